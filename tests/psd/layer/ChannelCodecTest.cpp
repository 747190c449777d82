#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "psd/layer/PSDChannelCodec.h"
#include "tests/support/OneByteStream.h"
#include "tests/support/PixelDocument.h"
#include "host/kernel/Zip.h"

using namespace PSD;
using testsupport::Bytes;
using testsupport::Sample;

namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

// Decodes one block from a mapped stream and from a stream that has neither mapping nor size.
struct Decoded {
    bool ok = false;
    bool damaged = false;
    int code = -1;
    std::string detail;
};

Decoded Decode(Bytes const& block, Raster::DynamicBitmap& bm, unsigned channel,
               unsigned sampleBytes, bool invert = false, bool psb = false, bool mapped = true,
               bool bigEndian = true) {
    Decoded d;
    PSDLoadData ld(bigEndian);
    Kernel::Counted<Kernel::InStreamSeekable> s;
    testsupport::OneByteInStream oneByte(block);
    if (mapped)
        s = Kernel::MemoryInStream::Create(block);
    else
        s = Kernel::ForwardBiasedSeekableInStream::Create(
            Kernel::NonCounted<Kernel::InStream>(&oneByte));
    d.ok = ParseChannelData(*s, block.size(), psb, invert, bm, channel, sampleBytes, d.damaged, ld);
    if (ld.m_report.m_error) {
        d.code = int(ld.m_report.m_error->GetCode());
        d.detail = ld.m_report.m_error->GetDetail();
    }
    if (d.ok) {
        EXPECT_EQ(s->GetPosition(), block.size());
    }
    return d;
}

}  // namespace

// Packets of every kind, and rows that come out too long, too short, cut inside a packet or
// followed by more packets.
TEST(ChannelCodec, UnpackBitsRules) {
    struct Case {
        char const* what;
        std::vector<uint8_t> src;
        size_t rowBytes;
        std::vector<uint8_t> want;  // empty with rowBytes > 0: refused
    } const cases[] = {
        {"literal, run, no-op, literal",
         {2, 10, 11, 12, 0xFD, 7, 0x80, 0, 9},
         8,
         {10, 11, 12, 7, 7, 7, 7, 9}},
        {"no-op after a full row", {3, 1, 2, 3, 4, 0x80}, 4, {1, 2, 3, 4}},
        {"empty row", {}, 0, {}},
        {"run overflows", {0xFC, 1}, 4, {}},
        {"literal overflows", {4, 1, 2, 3, 4, 5}, 4, {}},
        {"literal cut short", {3, 1, 2}, 4, {}},
        {"run without its byte", {0xFE}, 4, {}},
        {"too few bytes", {1, 1, 2}, 4, {}},
        {"a packet after the row is full", {3, 1, 2, 3, 4, 0, 9}, 4, {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> out(c.rowBytes + 1, 0xEE);
        bool ok = UnpackBits(c.src.data(), c.src.size(), out.data(), c.rowBytes, 1);
        EXPECT_EQ(ok, c.rowBytes == 0 || !c.want.empty());
        if (!c.want.empty()) {
            EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), c.want);
        }
    }
    // Strided output leaves the bytes between samples alone.
    uint8_t wide[16];
    std::memset(wide, 0xEE, sizeof wide);
    ASSERT_TRUE(UnpackBits(cases[0].src.data(), cases[0].src.size(), wide, 8, 2));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(wide[2 * i], cases[0].want[size_t(i)]);
        EXPECT_EQ(wide[2 * i + 1], 0xEE);
    }
}

TEST(ChannelCodec, EveryCompressionRoundTripsAt8And16Bits) {
    const uint32_t w = 37, h = 23;
    for (unsigned sb : {1u, 2u}) {
        auto samples = testsupport::Pattern(size_t(w) * h * sb, 7 + sb);
        size_t rowBytes = size_t(w) * sb;
        std::vector<Bytes> blocks = {testsupport::RawBlock(samples),
                                     testsupport::RLEBlock(samples, rowBytes),
                                     testsupport::ZipBlock(samples, rowBytes, sb, false),
                                     testsupport::ZipBlock(samples, rowBytes, sb, true)};
        for (size_t k = 0; k < blocks.size(); ++k) {
            for (bool mapped : {true, false}) {
                SCOPED_TRACE(testing::Message() << "sample bytes " << sb << " compression " << k
                                                << " mapped " << mapped);
                auto bm = Raster::DynamicBitmap::Create(
                    w, h, sb == 1 ? Raster::Format::RGBA8 : Raster::Format::RGBA16);
                Decoded d = Decode(blocks[k], *bm, 1, sb, false, false, mapped);
                ASSERT_TRUE(d.ok) << d.code;
                EXPECT_FALSE(d.damaged);
                for (uint32_t y = 0; y < h; ++y)
                    for (uint32_t x = 0; x < w; ++x) {
                        size_t i = (size_t(y) * w + x) * sb;
                        uint32_t want =
                            sb == 1 ? samples[i] : uint32_t(samples[i]) << 8 | samples[i + 1];
                        ASSERT_EQ(Sample(*bm, 1, x, y), want) << x << "," << y;
                        ASSERT_EQ(Sample(*bm, 0, x, y), 0u);  // neighbours untouched
                    }
            }
        }
    }
}

// A little-endian container (a layered TIFF file) stores the compression code low byte first but
// the 16-bit samples and their deltas big-endian, as in any document.
TEST(ChannelCodec, LittleEndianSixteenBitPrediction) {
    const uint32_t w = 37, h = 5;
    auto samples = testsupport::Pattern(size_t(w) * h * 2, 9);  // big-endian
    std::vector<uint8_t> deltas(samples.size());
    for (size_t row = 0; row < size_t(w) * h * 2; row += size_t(w) * 2) {
        uint16_t prev = 0;
        for (size_t i = row; i < row + size_t(w) * 2; i += 2) {
            uint16_t v = uint16_t(samples[i] << 8 | samples[i + 1]), delta = uint16_t(v - prev);
            prev = v;
            deltas[i] = uint8_t(delta >> 8);
            deltas[i + 1] = uint8_t(delta);
        }
    }
    std::vector<uint8_t> z;
    Kernel::ZlibDeflate(deltas.data(), deltas.size(), z, 6);
    auto bm = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA16);
    ASSERT_TRUE(Decode(Bytes().U8(3).U8(0).Append(z), *bm, 2, 2, false, false, true, false).ok);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            size_t i = (size_t(y) * w + x) * 2;
            ASSERT_EQ(Sample(*bm, 2, x, y), uint32_t(samples[i]) << 8 | samples[i + 1]) << x << "," << y;
        }
}

TEST(ChannelCodec, SampleConversionsAndInvert) {
    const uint32_t w = 9, h = 4;
    auto s16 = testsupport::Pattern(size_t(w) * h * 2, 3);
    auto s8 = testsupport::Pattern(size_t(w) * h, 4);
    // 16-bit source into an 8-bit CMYK bitmap keeps the high byte.
    auto cmyk = Raster::DynamicBitmap::Create(w, h, Raster::Format::CMYKA8);
    ASSERT_TRUE(Decode(testsupport::RLEBlock(s16, w * 2), *cmyk, 3, 2).ok);
    // 8-bit source into a 16-bit Lab bitmap is multiplied by 257.
    auto lab = Raster::DynamicBitmap::Create(w, h, Raster::Format::LABA16);
    ASSERT_TRUE(Decode(testsupport::ZipBlock(s8, w, 1, true), *lab, 0, 1).ok);
    // Masks may be inverted.
    auto mask = Raster::DynamicBitmap::Create(w, h, Raster::Format::A8);
    ASSERT_TRUE(Decode(testsupport::RawBlock(s8), *mask, 0, 1, true).ok);
    auto mask16 = Raster::DynamicBitmap::Create(w, h, Raster::Format::A16);
    ASSERT_TRUE(Decode(testsupport::RawBlock(s16), *mask16, 0, 2, true).ok);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            size_t i = size_t(y) * w + x;
            EXPECT_EQ(Sample(*cmyk, 3, x, y), s16[2 * i]);
            EXPECT_EQ(Sample(*lab, 0, x, y), s8[i] * 257u);
            EXPECT_EQ(Sample(*mask, 0, x, y), 255u - s8[i]);
            EXPECT_EQ(Sample(*mask16, 0, x, y),
                      65535u - (uint32_t(s16[2 * i]) << 8 | s16[2 * i + 1]));
        }
}

TEST(ChannelCodec, DamagedRowsAreZeroedAndTheRestDecodes) {
    const uint32_t w = 6, h = 3;
    std::vector<uint8_t> rows = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    Bytes block;
    // Row 1's final run overflows the row by one byte.
    std::vector<uint8_t> r0 = {5, 1, 2, 3, 4, 5, 6}, r1 = {2, 7, 8, 9, 0xFD, 10},
                         r2 = {5, 13, 14, 15, 16, 17, 18};
    block.U16(1).U16(uint16_t(r0.size())).U16(uint16_t(r1.size())).U16(uint16_t(r2.size()));
    block.Append(r0).Append(r1).Append(r2);
    for (auto fmt : {Raster::Format::RGBA8, Raster::Format::A8, Raster::Format::A16}) {
        auto bm = Raster::DynamicBitmap::Create(w, h, fmt);
        bm->Fill(fmt == Raster::Format::A16 ? 1000 : 99);
        Decoded d = Decode(block, *bm, 0, 1);
        ASSERT_TRUE(d.ok);
        EXPECT_TRUE(d.damaged);
        unsigned k = fmt == Raster::Format::A16 ? 257 : 1;
        for (uint32_t x = 0; x < w; ++x) {
            EXPECT_EQ(Sample(*bm, 0, x, 0), rows[x] * k);
            EXPECT_EQ(Sample(*bm, 0, x, 1), 0u);
            EXPECT_EQ(Sample(*bm, 0, x, 2), rows[12 + x] * k);
        }
    }
}

TEST(ChannelCodec, ErrorsBeforeAnythingIsWritten) {
    auto bm = Raster::DynamicBitmap::Create(4, 2, Raster::Format::A8);
    Decoded d = Decode(Bytes().U16(4).Zeros(8), *bm, 0, 1);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.code, PSDError::kUnknownCompression);
    EXPECT_EQ(d.detail, "4");
    struct Case {
        char const* what;
        Bytes block;
    } const cases[] = {
        {"raw short", Bytes().U16(0).Zeros(7)},
        {"count table short", Bytes().U16(1).U16(2)},
        {"counts promise more than the block", Bytes().U16(1).U16(200).U16(2).U8(3).Zeros(4)},
        {"no compression field", Bytes().U8(0)},
        {"bad zlib data", Bytes().U16(2).Str("not zlib data")},
    };
    for (auto const& c : cases) {
        Decoded e = Decode(c.block, *bm, 0, 1);
        EXPECT_FALSE(e.ok) << c.what;
        EXPECT_EQ(e.code, PSDError::kTruncated) << c.what;
    }
}

// The block unpacker against the plain one on packet streams of every kind, well-formed or not,
// with room to read past the packets and without it.
TEST(ChannelCodec, PaddedUnpackingAgreesWithThePlainRules) {
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        size_t n = rng() % (round % 10 == 0 ? 3000 : 300);
        std::vector<uint8_t> src;
        size_t made = 0;
        while (made < n + (round % 7 == 0 ? 5 : 0)) {
            if (rng() % 2) {  // literal, sometimes cut short at the end
                size_t len = 1 + rng() % (rng() % 5 == 0 ? 128 : 20);
                src.push_back(uint8_t(len - 1));
                for (size_t k = 0; k < len; ++k) src.push_back(uint8_t(rng()));
                made += len;
            } else if (rng() % 10) {  // run
                size_t len = 2 + rng() % (rng() % 5 == 0 ? 127 : 30);
                src.push_back(uint8_t(1 - int(len)));
                src.push_back(uint8_t(rng()));
                made += len;
            } else {
                src.push_back(0x80);  // no-op
            }
        }
        if (round % 5 == 0 && !src.empty()) src.resize(rng() % src.size());
        std::vector<uint8_t> want(n + 1), got(n + kUnpackSlack + 1, 0xEE);
        bool ok = UnpackBits(src.data(), src.size(), want.data(), n, 1);
        // Slack after the packets (the fast path) and none (byte by byte).
        for (size_t slack : {size_t(64), size_t(0)}) {
            std::vector<uint8_t> in(src);
            in.resize(src.size() + slack, 0x33);
            bool padded =
                UnpackBitsPadded(in.data(), src.size(), in.data() + in.size(), got.data(), n);
            ASSERT_EQ(padded, ok) << "round " << round << " slack " << slack;
            if (ok) {
                ASSERT_EQ(0, std::memcmp(got.data(), want.data(), n)) << "round " << round;
            }
        }
    }
}
