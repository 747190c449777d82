// The PackBits packer's exact packet choices, and the channel forms built from bitmaps: RLE, raw
// and ZIP with prediction at 8, 16 and 32 bits, checked by decoding them independently.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "host/kernel/Zip.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDChannelEncoder.h"
#include "tests/support/PixelDocument.h"

namespace {

using PSD::RLEPacker;
using Bytes = std::vector<uint8_t>;

Bytes Pack(Bytes const& in) {
    Bytes out(RLEPacker::WorstCase(in.size()));
    size_t n = RLEPacker::Pack(in.data(), in.size(), out.data(), out.size());
    EXPECT_NE(n, SIZE_MAX);
    out.resize(n == SIZE_MAX ? 0 : n);
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto const& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Lit(Bytes const& b) {
    return Cat({{uint8_t(b.size() - 1)}, b});
}
Bytes RunOf(size_t n, uint8_t v) {
    return {uint8_t(1 - int(n)), v};
}
Bytes Distinct(size_t n, uint8_t step = 1) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.push_back(uint8_t(i * step + 1));
    return b;
}

}  // namespace

// Packet choices at the small-row, pair, 128-byte run/literal and window edges; each row is
// also checked against the byte-wise rules, so the reference cannot drift from them.
TEST(RLEPacker, EdgeCasesGiveTheExpectedPackets) {
    Bytes alternating(300);
    for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = uint8_t(i & 1);
    Bytes alt0(alternating.begin(), alternating.begin() + 128);
    Bytes alt2(alternating.begin() + 256, alternating.end());
    struct Case {
        char const* what;
        Bytes row, want;
    } const cases[] = {
        {"empty", {}, {}},
        {"one", {7}, {0x00, 7}},
        {"two equal", {7, 7}, {0xFF, 7}},
        {"two bytes", {7, 8}, {0x01, 7, 8}},
        {"three equal", {7, 7, 7}, {0xFE, 7}},
        {"pair then other: one literal", {7, 7, 8}, {0x02, 7, 7, 8}},
        {"three distinct", {1, 2, 3}, {0x02, 1, 2, 3}},
        {"x x y y", {5, 5, 9, 9}, {0xFF, 5, 0xFF, 9}},
        {"x x y y z", {5, 5, 9, 9, 4}, {0xFF, 5, 0x02, 9, 9, 4}},
        {"x x y z stays literal", {5, 5, 9, 4}, {0x03, 5, 5, 9, 4}},
        {"run 128", Bytes(128, 3), RunOf(128, 3)},
        {"run 129", Bytes(129, 3), Cat({RunOf(128, 3), {0x00, 3}})},
        {"run 130", Bytes(130, 3), Cat({RunOf(128, 3), RunOf(2, 3)})},
        {"run 131", Bytes(131, 3), Cat({RunOf(128, 3), RunOf(3, 3)})},
        {"200 equal: 128 and 72", Bytes(200, 3), {0x81, 3, 0xB9, 3}},
        {"run 256", Bytes(256, 3), Cat({RunOf(128, 3), RunOf(128, 3)})},
        {"literal stops at a triple", {1, 2, 3, 4, 4, 4}, {0x02, 1, 2, 3, 0xFE, 4}},
        {"literal of one then run", {1, 4, 4, 4, 4}, {0x00, 1, 0xFD, 4}},
        {"pair inside a literal", {1, 2, 2, 3, 4}, {0x04, 1, 2, 2, 3, 4}},
        {"alternating: literals of 128", alternating, Cat({Lit(alt0), Lit(alt0), Lit(alt2)})},
        {"127 distinct then a triple", Cat({Distinct(127, 2), Bytes(3, 0)}),
         Cat({Lit(Distinct(127, 2)), RunOf(3, 0)})},
        {"128 distinct then a triple", Cat({Distinct(128), Bytes(3, 0)}),
         Cat({Lit(Distinct(128)), RunOf(3, 0)})},
        {"129 distinct then a triple", Cat({Distinct(129), Bytes(3, 0)}),
         Cat({Lit(Distinct(128)), Lit({129}), RunOf(3, 0)})},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Pack(c.row), c.want);
        EXPECT_EQ(testsupport::ReferencePack(c.row), c.want);
    }
}

TEST(RLEPacker, CapacityIsRespectedExactlyInEveryForm) {
    Bytes row = {1, 2, 3, 9, 9, 9, 9};  // literal of 3 (4 bytes) + run (2 bytes)
    Bytes out(6);
    EXPECT_EQ(RLEPacker::Pack(row.data(), row.size(), out.data(), 6), 6u);
    EXPECT_EQ(RLEPacker::Pack(row.data(), row.size(), out.data(), 5), SIZE_MAX);
    EXPECT_EQ(RLEPacker::Pack(row.data(), row.size(), out.data(), 3), SIZE_MAX);
    RLEPacker packer;
    packer.SetLine(row.data(), row.size());
    size_t written = 0;
    EXPECT_FALSE(packer.FinaliseLine(out.data(), 5, written));
    EXPECT_TRUE(packer.FinaliseLine(out.data(), 6, written));
    EXPECT_EQ(written, 6u);
    // The stream form writes the same packets and fails on a short write.
    Bytes run(200, 9);
    std::memcpy(packer.PrepareLine(run.size()), run.data(), run.size());
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(packer.FinaliseLine(*mem, written));
    EXPECT_EQ(mem->GetData(), (Bytes{0x81, 9, 0xB9, 9}));
    auto limited =
        Kernel::LimitedOutStream::Create(Kernel::NonCounted<Kernel::OutStream>(mem.Get()), 3);
    EXPECT_FALSE(packer.FinaliseLine(*limited, written));
}

TEST(RLEPacker, MatchesTheRulesOnRandomRows) {
    std::mt19937 rng(7);
    for (int round = 0; round < 4000; ++round) {
        // Mostly short rows around the packet limits; some long enough to cross the packer's
        // mask stretches (8 KB) and word boundaries at every offset.
        size_t n = round < 300 ? size_t(round) : rng() % (round % 50 == 0 ? 20000 : 700);
        Bytes row;
        unsigned kind = round % 4;
        while (row.size() < n) {
            if (kind == 0) {  // runs of every length around the block sizes, pairs, and noise
                size_t len = 1 + rng() % (rng() % 4 == 0 ? 150 : 5);
                uint8_t v = uint8_t(rng() % (round % 2 ? 3 : 256));
                if (rng() % 2)
                    row.insert(row.end(), len, v);
                else
                    for (size_t k = 0; k < len; ++k) row.push_back(uint8_t(rng() % 4));
            } else if (kind == 1) {  // few values: triples at every distance from the edges
                row.push_back(uint8_t(rng() % (2 + round % 9)));
            } else if (kind == 2) {  // no triple at all: literals of 128
                row.push_back(uint8_t(row.size() * 7 + (row.size() & 1)));
            } else {  // pairs of pairs and long runs
                size_t len = rng() % 3 == 0 ? 60 + rng() % 140 : 2;
                row.insert(row.end(), len, uint8_t(rng() % 256));
            }
        }
        row.resize(n);
        Bytes packed = Pack(row);
        ASSERT_EQ(packed, testsupport::ReferencePack(row)) << "round " << round << " length " << n;
        // The reader's unpacker, held to the packet rules in ChannelCodecTest, undoes it.
        Bytes back(row.size());
        ASSERT_TRUE(PSD::UnpackBits(packed.data(), packed.size(), back.data(), back.size(), 1));
        ASSERT_EQ(back, row);
        // Any smaller capacity fails as a whole; the exact one gives the same packets.
        if (!packed.empty()) {
            Bytes out(packed.size());
            size_t cap = packed.size() - 1 - rng() % std::min<size_t>(packed.size(), 200);
            EXPECT_EQ(RLEPacker::Pack(row.data(), n, out.data(), cap), SIZE_MAX);
            ASSERT_EQ(RLEPacker::Pack(row.data(), n, out.data(), out.size()), packed.size());
            EXPECT_EQ(out, packed);
        }
    }
}

// ---- Channel forms

namespace {

uint32_t BE32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t BE16(uint8_t const* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

BitmapRef Noise(uint32_t w, uint32_t h, Raster::Format f, unsigned seed) {
    auto bm = Raster::DynamicBitmap::Create(w, h, f);
    std::mt19937 rng(seed);
    if (bm->GetFormatInfo().isFloat) {
        float* p = reinterpret_cast<float*>(bm->GetData());
        for (size_t i = 0; i < bm->GetDataSize() / 4; ++i)
            p[i] = float(rng() % 100000) / 50000.0f - 0.25f;
    } else {
        for (size_t i = 0; i < bm->GetDataSize(); ++i) bm->GetData()[i] = uint8_t(rng());
    }
    return bm;
}

Bytes ExpectedRows(PSD::ChannelSource const& src) {
    size_t rowBytes = size_t(src.bitmap->GetWidth()) * src.depth / 8;
    Bytes rows(rowBytes * src.bitmap->GetHeight());
    for (uint32_t y = 0; y < src.bitmap->GetHeight(); ++y)
        PSD::ExtractChannelRow(src, y, rows.data() + y * rowBytes);
    return rows;
}

// The block as a reader sees it (compression, then data) decoded into one channel, as big-endian
// document rows. The decoder is held to independently made blocks and to real documents
// elsewhere, so a round trip through it checks what the encoder wrote.
Bytes DecodeBlock(PSD::EncodedChannel const& b, uint32_t w, uint32_t h, unsigned depth,
                  bool isPSB) {
    Bytes block = {uint8_t(b.compression >> 8), uint8_t(b.compression)};
    block.insert(block.end(), b.data.begin(), b.data.end());
    auto bm = Raster::DynamicBitmap::Create(w, h,
                                            depth == 8    ? Raster::Format::A8
                                            : depth == 16 ? Raster::Format::A16
                                                          : Raster::Format::AF);
    auto s = Kernel::MemoryInStream::Create(block);
    PSD::PSDLoadData ld;
    bool damaged = false;
    bool ok =
        depth == 32
            ? PSD::ParseChannelDataFloat(*s, block.size(), isPSB, false, *bm, 0, damaged, ld)
            : PSD::ParseChannelData(*s, block.size(), isPSB, false, *bm, 0, depth / 8, damaged, ld);
    EXPECT_TRUE(ok && !damaged);
    EXPECT_EQ(s->GetPosition(), block.size());
    return ExpectedRows({bm.Get(), 0, depth});
}

}  // namespace

// Channel rows against the pixels (one channel at a time, widths around the vector width, more
// than one band), big-endian at 16 and 32 bits, and the depth conversions.
TEST(ChannelEncoding, RowsAreBigEndianDocumentSamples) {
    std::mt19937 rng(11);
    for (auto f : {Raster::Format::RGBA8, Raster::Format::RGBA16})
        for (uint32_t w : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 64u}) {
            unsigned sb = f == Raster::Format::RGBA8 ? 1 : 2;
            const uint32_t h = 70;
            auto bm = Raster::DynamicBitmap::Create(w, h, f);
            for (size_t i = 0; i < bm->GetDataSize(); ++i) bm->GetData()[i] = uint8_t(rng());
            Bytes row(w * sb);
            for (unsigned c = 0; c < 4; ++c)
                for (uint32_t y = 0; y < h; ++y) {
                    PSD::ExtractChannelRow({bm.Get(), c, 8 * sb}, y, row.data());
                    for (uint32_t x = 0; x < w; ++x) {
                        uint8_t const* px = bm->GetRow(y) + (4 * x + c) * sb;
                        uint16_t v = *px;
                        if (sb == 2) std::memcpy(&v, px, 2);
                        ASSERT_EQ(sb == 1 ? row[x] : BE16(row.data() + 2 * x), v)
                            << sb << " " << w << " " << c << " " << x << "," << y;
                    }
                }
        }
    auto bm = Raster::DynamicBitmap::Create(2, 1, Raster::Format::RGBA16);
    uint16_t px[8] = {0x1234, 0, 0, 0xFFFF, 257 * 200, 0, 0, 0};
    std::memcpy(bm->GetRow(0), px, sizeof px);
    uint8_t out[8];
    // 16 to 8 bits rounds, so 8-bit values widened by 257 come back exactly.
    PSD::ExtractChannelRow({bm.Get(), 0, 8}, 0, out);
    EXPECT_EQ(out[1], 200);
    auto cmyk = Raster::DynamicBitmap::Create(1, 1, Raster::Format::CMYKA8);
    cmyk->GetRow(0)[2] = 0xAB;
    PSD::ExtractChannelRow({cmyk.Get(), 2, 16}, 0, out);
    EXPECT_EQ(BE16(out), 0xABAB);
    auto f = Raster::DynamicBitmap::Create(1, 1, Raster::Format::RGBAF);
    float v = -1.5f;
    std::memcpy(f->GetRow(0), &v, 4);
    PSD::ExtractChannelRow({f.Get(), 0, 32}, 0, out);
    EXPECT_EQ(BE32(out), 0xBFC00000u);
}

TEST(ChannelEncoding, MatteChannelsAreConstantRowsAndNeedASize) {
    PSD::EncodedChannel b;
    EXPECT_FALSE(PSD::EncodeMatteChannel(0, 5, 8, 1, b));
    EXPECT_FALSE(PSD::EncodeMatteChannel(5, 0, 8, 1, b));
    // 8 bits: RLE, 2- or 4-byte counts.
    for (bool psb : {false, true}) {
        ASSERT_TRUE(PSD::EncodeMatteChannel(200, 3, 8, 0x42, b, psb));
        EXPECT_EQ(b.compression, PSD::kCompressionRLE);
        EXPECT_EQ(b.data.size(), 3 * ((psb ? 4 : 2) + 4u));  // runs of 128 and 72
        EXPECT_EQ(DecodeBlock(b, 200, 3, 8, psb), Bytes(600, 0x42));
    }
    ASSERT_TRUE(PSD::EncodeMatteChannel(5, 2, 32, 0x3E800000u, b));  // 0.25f
    Bytes rows = DecodeBlock(b, 5, 2, 32, false);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(BE32(rows.data() + 4 * i), 0x3E800000u);
    // 16 bits: the predicted rows are the value's first sample, then zeros.
    ASSERT_TRUE(PSD::EncodeMatteChannel(9, 2, 16, 0xBEEF, b));
    Bytes predicted(36), row = {0xBE, 0xEF};
    row.resize(18);
    ASSERT_EQ(Kernel::ZlibInflate(b.data.data(), b.data.size(), predicted.data(), 36),
              Kernel::InflateStatus::Ok);
    EXPECT_EQ(predicted, Cat({row, row}));
}

TEST(ChannelEncoding, ACancelledEncodeFails) {
    auto bm = Noise(10, 10, Raster::Format::RGBA8, 6);
    bool cancel = true;
    PSD::EncodedChannel b;
    EXPECT_FALSE(PSD::EncodeChannel({bm.Get(), 0, 8}, false, true, &cancel, b));
    std::vector<uint32_t> counts;
    Bytes packed;
    EXPECT_FALSE(PSD::EncodeRLERows({bm.Get(), 0, 8}, &cancel, counts, packed));
    uint64_t len;
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_FALSE(
        PSD::SaveMatteChannelData<uint8_t>(*mem, PSD::ByteOrderFixer{}, 4, 4, 1, len, &cancel));
    EXPECT_TRUE(mem->GetData().empty());
    std::vector<PSD::EncodedChannel*> outs = {&b};
    std::vector<char> done;
    EXPECT_FALSE(PSD::EncodeChannelsRLE(*bm, {0}, false, &cancel, outs, done));
}

TEST(ChannelEncoding, SaveChannelDataWritesTheBlockAndItsLength) {
    auto bm = Noise(40, 3, Raster::Format::CMYKA8, 7);
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    PSD::EncodedChannel buf;
    uint64_t length = 0;
    ASSERT_TRUE((PSD::SaveChannelData<Raster::Format::CMYKA8, 3, uint8_t>(
        *mem, PSD::ByteOrderFixer{}, false, false, *bm, 8, buf, length, nullptr)));
    EXPECT_EQ(length, mem->GetData().size());
    EXPECT_EQ(BE16(mem->GetData().data()), buf.compression);
    // The wrong pixel format is refused.
    EXPECT_FALSE((PSD::SaveChannelData<Raster::Format::RGBA8, 0, uint8_t>(
        *mem, PSD::ByteOrderFixer{}, false, false, *bm, 8, buf, length, nullptr)));
}

// Channels packed band by band from the pixels come out byte for byte as EncodeChannel makes them,
// or are left to it where a band does not fit (a noisy band, a channel of noise).
TEST(ChannelEncoder, BandPackingMatchesChannelByChannel) {
    std::mt19937 rng(5);
    struct Case {
        uint32_t w, h;
        Raster::Format format;
        bool psb;
    };
    for (Case c :
         {Case{1000, 700, Raster::Format::RGBA8, false},
          Case{333, 301, Raster::Format::RGBA8, true}, Case{77, 130, Raster::Format::CMYKA8, false},
          Case{40, 65, Raster::Format::IA8, true}}) {
        auto bm = Raster::DynamicBitmap::Create(c.w, c.h, c.format);
        unsigned k = bm->GetChannelCount();
        for (uint32_t y = 0; y < c.h; ++y) {
            uint8_t* row = bm->GetRow(y);
            for (uint32_t x = 0; x < c.w; ++x)
                for (unsigned ch = 0; ch < k; ++ch) {
                    uint8_t v = uint8_t((x / 9 + y / 5 + ch * 40) & 0xFF);
                    if (ch == 1 && y >= c.h / 3 && y < c.h / 3 + 40)
                        v = uint8_t(rng());               // a noisy band
                    if (ch == k - 1) v = uint8_t(rng());  // all noise: raw is smaller
                    row[x * k + ch] = v;
                }
        }
        std::vector<unsigned> channels;
        for (unsigned ch = k; ch-- > 0;) channels.push_back(ch);  // any order
        std::vector<PSD::EncodedChannel> blocks(k);
        std::vector<PSD::EncodedChannel*> outs;
        for (auto& b : blocks) outs.push_back(&b);
        std::vector<char> done;
        ASSERT_TRUE(PSD::EncodeChannelsRLE(*bm, channels, c.psb, nullptr, outs, done));
        ASSERT_EQ(done.size(), k);
        EXPECT_FALSE(done[0]) << "the channel of noise";
        for (unsigned i = 0; i < k; ++i) {
            PSD::EncodedChannel want;
            ASSERT_TRUE(
                PSD::EncodeChannel({bm.Get(), channels[i], 8}, c.psb, false, nullptr, want));
            if (!done[i]) continue;
            EXPECT_EQ(blocks[i].compression, want.compression);
            Bytes joined;
            for (auto const& [offset, size] : blocks[i].pieces)
                joined.insert(joined.end(), blocks[i].data.begin() + long(offset),
                              blocks[i].data.begin() + long(offset + size));
            EXPECT_EQ(joined, want.data)
                << "channel " << channels[i] << " of " << c.w << "x" << c.h;
            EXPECT_EQ(blocks[i].GetLength(), want.GetLength());
        }
    }
    // Every row packs a byte short of raw, but not short by the two bytes its count takes; then
    // rows whose packets and count come to exactly raw: RLE is not smaller, so both stay raw.
    for (char const* row : {"\7\7\7\7\1\2\3\4", "\7\7\7\7\7\1\2\3"}) {
        auto tight = Raster::DynamicBitmap::Create(8, 4, Raster::Format::A8);
        for (uint32_t y = 0; y < 4; ++y) std::memcpy(tight->GetRow(y), row, 8);
        PSD::EncodedChannel block;
        std::vector<char> done;
        ASSERT_TRUE(PSD::EncodeChannelsRLE(*tight, {0}, false, nullptr, {&block}, done));
        EXPECT_FALSE(done[0]);
        ASSERT_TRUE(PSD::EncodeChannel({tight.Get(), 0, 8}, false, false, nullptr, block));
        EXPECT_EQ(block.compression, PSD::kCompressionRaw);
        EXPECT_EQ(block.data.size(), 32u);
    }
}

// Predicted rows made for all channels in one pass deflate to what EncodeChannel makes of each.
TEST(ChannelEncoder, ZipOfSeveralChannelsMatchesChannelByChannel) {
    std::vector<std::vector<uint8_t>> scratch;  // reused across bitmaps of different sizes
    for (auto f : {Raster::Format::RGBA16, Raster::Format::RGBA8, Raster::Format::IA16}) {
        auto bm = Noise(f == Raster::Format::RGBA8 ? 90 : 150, 97, f, 9);
        for (uint32_t y = 20; y < 60; ++y)  // flat rows among the noise
            std::memset(bm->GetRow(y), 0x42, bm->GetRowBytes());
        unsigned k = bm->GetChannelCount();
        std::vector<unsigned> channels;
        for (unsigned c = 0; c < k; ++c) channels.push_back((c + 1) % k);
        std::vector<PSD::EncodedChannel> blocks(k);
        std::vector<PSD::EncodedChannel*> outs;
        for (auto& b : blocks) outs.push_back(&b);
        ASSERT_TRUE(PSD::EncodeChannelsZip(*bm, channels, 16, nullptr, outs, scratch));
        for (unsigned i = 0; i < k; ++i) {
            PSD::EncodedChannel want;
            ASSERT_TRUE(
                PSD::EncodeChannel({bm.Get(), channels[i], 16}, false, true, nullptr, want));
            EXPECT_EQ(blocks[i].compression, want.compression);
            EXPECT_EQ(blocks[i].data, want.data)
                << Raster::FormatName(f) << " channel " << channels[i];
        }
    }
}
