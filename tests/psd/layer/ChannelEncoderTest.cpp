// The PackBits packer's exact packet choices, and the channel forms built from bitmaps: RLE, raw
// and ZIP with prediction at 8, 16 and 32 bits, checked by decoding them independently.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "host/kernel/Zip.h"
#include "psd/file/PSDSave.h"
#include "psd/layer/PSDChannelEncoder.h"

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

// Independent PackBits expansion; false on any packet that overruns or a short result.
bool Unpack(uint8_t const* p, size_t n, size_t rowBytes, Bytes& out) {
    out.clear();
    size_t i = 0;
    while (i < n) {
        int8_t h = int8_t(p[i++]);
        if (h == -128) continue;
        if (h >= 0) {
            size_t len = size_t(h) + 1;
            if (i + len > n || out.size() + len > rowBytes) return false;
            out.insert(out.end(), p + i, p + i + len);
            i += len;
        } else {
            size_t len = size_t(1 - h);
            if (i >= n || out.size() + len > rowBytes) return false;
            out.insert(out.end(), len, p[i++]);
        }
    }
    return out.size() == rowBytes;
}

Bytes Repeat(size_t n, uint8_t v) {
    return Bytes(n, v);
}

TEST(RLEPacker, ShortRowsFollowTheSmallCaseRules) {
    EXPECT_EQ(Pack({}), Bytes{});
    EXPECT_EQ(Pack({7}), (Bytes{0x00, 7}));
    EXPECT_EQ(Pack({7, 7}), (Bytes{0xFF, 7}));
    EXPECT_EQ(Pack({7, 8}), (Bytes{0x01, 7, 8}));
    EXPECT_EQ(Pack({7, 7, 7}), (Bytes{0xFE, 7}));
    // Two equal then one other: no run of three, not the x x y y form, so one literal.
    EXPECT_EQ(Pack({7, 7, 8}), (Bytes{0x02, 7, 7, 8}));
    EXPECT_EQ(Pack({1, 2, 3}), (Bytes{0x02, 1, 2, 3}));
}

TEST(RLEPacker, PairFollowedByPairStartsWithARunOfTwo) {
    EXPECT_EQ(Pack({5, 5, 9, 9}), (Bytes{0xFF, 5, 0xFF, 9}));
    EXPECT_EQ(Pack({5, 5, 9, 9, 4}), (Bytes{0xFF, 5, 0x02, 9, 9, 4}));
    // x x y z: the pair is not followed by a pair, so it stays inside a literal.
    EXPECT_EQ(Pack({5, 5, 9, 4}), (Bytes{0x03, 5, 5, 9, 4}));
}

TEST(RLEPacker, RunsSplitAt128) {
    EXPECT_EQ(Pack(Repeat(128, 3)), (Bytes{0x81, 3}));
    EXPECT_EQ(Pack(Repeat(129, 3)), (Bytes{0x81, 3, 0x00, 3}));
    EXPECT_EQ(Pack(Repeat(130, 3)), (Bytes{0x81, 3, 0xFF, 3}));
    EXPECT_EQ(Pack(Repeat(131, 3)), (Bytes{0x81, 3, 0xFE, 3}));
    EXPECT_EQ(Pack(Repeat(200, 3)), (Bytes{0x81, 3, 0xB9, 3}));
    EXPECT_EQ(Pack(Repeat(256, 3)), (Bytes{0x81, 3, 0x81, 3}));
}

TEST(RLEPacker, LiteralsStopWhereThreeEqualBytesBegin) {
    EXPECT_EQ(Pack({1, 2, 3, 4, 4, 4}), (Bytes{0x02, 1, 2, 3, 0xFE, 4}));
    EXPECT_EQ(Pack({1, 4, 4, 4, 4}), (Bytes{0x00, 1, 0xFD, 4}));
    // A pair inside a literal does not stop it.
    EXPECT_EQ(Pack({1, 2, 2, 3, 4}), (Bytes{0x04, 1, 2, 2, 3, 4}));
}

TEST(RLEPacker, AlternatingBytesBecomeLiteralsOf128) {
    Bytes row(300);
    for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t(i & 1);
    Bytes packed = Pack(row);
    ASSERT_EQ(packed.size(), 300u + 3);
    EXPECT_EQ(packed[0], 0x7F);
    EXPECT_EQ(packed[129], 0x7F);
    EXPECT_EQ(packed[258], 0x2B);  // the last 44 bytes
    Bytes back;
    ASSERT_TRUE(Unpack(packed.data(), packed.size(), row.size(), back));
    EXPECT_EQ(back, row);
}

TEST(RLEPacker, LiteralAtTheWindowEdge) {
    // 127 distinct bytes, then three equal: the triple begins at index 127 and ends the literal.
    Bytes row;
    for (int i = 0; i < 127; ++i) row.push_back(uint8_t(i * 2 + 1));
    row.insert(row.end(), 3, 0);
    Bytes packed = Pack(row);
    ASSERT_EQ(packed.size(), 1u + 127 + 2);
    EXPECT_EQ(packed[0], 126);
    EXPECT_EQ(packed[128], 0xFE);
    // 128 distinct, then a triple: the literal is capped at 128 and the triple packs as a run.
    Bytes row2;
    for (int i = 0; i < 128; ++i) row2.push_back(uint8_t(i + 1));
    row2.insert(row2.end(), 3, 0);
    Bytes packed2 = Pack(row2);
    ASSERT_EQ(packed2.size(), 1u + 128 + 2);
    EXPECT_EQ(packed2[0], 127);
    EXPECT_EQ(packed2[129], 0xFE);
    // 129 distinct then a triple: 128-byte literal, then a literal of one, then the run.
    Bytes row3;
    for (int i = 0; i < 129; ++i) row3.push_back(uint8_t(i + 1));
    row3.insert(row3.end(), 3, 0);
    EXPECT_EQ(Pack(row3).size(), 133u);
}

TEST(RLEPacker, CapacityIsRespectedExactly) {
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
}

TEST(RLEPacker, StreamFormWritesTheSamePacketsAndFailsOnShortWrites) {
    Bytes row = Repeat(200, 9);
    RLEPacker packer;
    std::memcpy(packer.PrepareLine(row.size()), row.data(), row.size());
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    size_t written = 0;
    ASSERT_TRUE(packer.FinaliseLine(*mem, written));
    EXPECT_EQ(mem->GetData(), (Bytes{0x81, 9, 0xB9, 9}));
    auto limited =
        Kernel::LimitedOutStream::Create(Kernel::NonCounted<Kernel::OutStream>(mem.Get()), 3);
    EXPECT_FALSE(packer.FinaliseLine(*limited, written));
}

TEST(RLEPacker, LongRandomRowsRoundTripWithinTheWorstCase) {
    std::mt19937 rng(42);
    for (int trial = 0; trial < 300; ++trial) {
        size_t n = rng() % 2000;
        Bytes row(n);
        // Mixed structure: runs of random lengths of few values, and noise.
        for (size_t i = 0; i < n;) {
            size_t len = 1 + rng() % (trial % 3 == 0 ? 3 : 200);
            uint8_t v = uint8_t(rng() % (trial % 2 ? 3 : 256));
            bool noise = rng() % 3 == 0;
            for (size_t k = 0; k < len && i < n; ++k, ++i) row[i] = noise ? uint8_t(rng()) : v;
        }
        Bytes packed = Pack(row);
        EXPECT_LE(packed.size(), RLEPacker::WorstCase(n));
        Bytes back;
        ASSERT_TRUE(Unpack(packed.data(), packed.size(), n, back)) << "trial " << trial;
        ASSERT_EQ(back, row) << "trial " << trial;
    }
}

// ---- Channel forms

uint32_t BE32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t BE16(uint8_t const* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

Kernel::Counted<Raster::DynamicBitmap> Noise(uint32_t w, uint32_t h, Raster::Format f,
                                             unsigned seed) {
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

// Decodes a block of any written compression into big-endian document rows.
Bytes DecodeBlock(PSD::EncodedChannel const& b, uint32_t w, uint32_t h, unsigned depth,
                  bool isPSB) {
    size_t rowBytes = size_t(w) * depth / 8;
    Bytes rows(rowBytes * h);
    if (b.compression == PSD::kCompressionRaw) return b.data;
    if (b.compression == PSD::kCompressionRLE) {
        size_t cb = isPSB ? 4 : 2, pos = cb * h;
        for (uint32_t y = 0; y < h; ++y) {
            size_t n = isPSB ? BE32(b.data.data() + 4 * y) : BE16(b.data.data() + 2 * y);
            Bytes row;
            EXPECT_TRUE(Unpack(b.data.data() + pos, n, rowBytes, row));
            std::memcpy(rows.data() + y * rowBytes, row.data(), rowBytes);
            pos += n;
        }
        EXPECT_EQ(pos, b.data.size());
        return rows;
    }
    EXPECT_EQ(b.compression, PSD::kCompressionZipPrediction);
    EXPECT_EQ(Kernel::ZlibInflate(b.data.data(), b.data.size(), rows.data(), rows.size()),
              Kernel::InflateStatus::Ok);
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* r = rows.data() + y * rowBytes;
        if (depth == 16) {
            for (size_t i = 1; i < w; ++i) {
                uint16_t v = uint16_t(BE16(r + 2 * i) + BE16(r + 2 * i - 2));
                r[2 * i] = uint8_t(v >> 8);
                r[2 * i + 1] = uint8_t(v);
            }
        } else {
            for (size_t i = 1; i < rowBytes; ++i) r[i] = uint8_t(r[i] + r[i - 1]);
            if (depth == 32) {
                Bytes planes(r, r + rowBytes);
                for (size_t i = 0; i < w; ++i)
                    for (int k = 0; k < 4; ++k) r[4 * i + k] = planes[k * w + i];
            }
        }
    }
    return rows;
}

Bytes ExpectedRows(PSD::ChannelSource const& src) {
    size_t rowBytes = size_t(src.bitmap->GetWidth()) * src.depth / 8;
    Bytes rows(rowBytes * src.bitmap->GetHeight());
    for (uint32_t y = 0; y < src.bitmap->GetHeight(); ++y)
        PSD::ExtractChannelRow(src, y, rows.data() + y * rowBytes);
    return rows;
}

TEST(ChannelEncoding, RowsAreBigEndianDocumentSamplesWithDepthConversions) {
    auto bm = Raster::DynamicBitmap::Create(2, 1, Raster::Format::RGBA16);
    uint16_t px[8] = {0x1234, 0, 0, 0xFFFF, 257 * 200, 0, 0, 0};
    std::memcpy(bm->GetRow(0), px, sizeof px);
    uint8_t out[8];
    PSD::ExtractChannelRow({bm.Get(), 0, 16}, 0, out);
    EXPECT_EQ(BE16(out), 0x1234);
    EXPECT_EQ(BE16(out + 2), 257 * 200);
    PSD::ExtractChannelRow({bm.Get(), 3, 16}, 0, out);
    EXPECT_EQ(BE16(out), 0xFFFF);
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

TEST(ChannelEncoding, CompressionOffGivesRLEAt8BitsAndRawDeeper) {
    auto flat = Raster::DynamicBitmap::Create(300, 7, Raster::Format::RGBA8);
    flat->Fill(0.5);
    PSD::EncodedChannel b;
    ASSERT_TRUE(PSD::EncodeChannel({flat.Get(), 0, 8}, false, false, nullptr, b));
    EXPECT_EQ(b.compression, PSD::kCompressionRLE);
    EXPECT_EQ(b.data.size(), 7u * 2 + 7 * 6);  // 300 = 128 + 128 + 44: three runs a row
    EXPECT_EQ(DecodeBlock(b, 300, 7, 8, false), ExpectedRows({flat.Get(), 0, 8}));
    ASSERT_TRUE(PSD::EncodeChannel({flat.Get(), 0, 8}, true, false, nullptr, b));
    EXPECT_EQ(b.data.size(), 7u * 4 + 7 * 6);  // 4-byte counts in PSB
    EXPECT_EQ(DecodeBlock(b, 300, 7, 8, true), ExpectedRows({flat.Get(), 0, 8}));

    auto deep = Noise(33, 5, Raster::Format::RGBA16, 1);
    ASSERT_TRUE(PSD::EncodeChannel({deep.Get(), 1, 16}, false, false, nullptr, b));
    EXPECT_EQ(b.compression, PSD::kCompressionRaw);
    EXPECT_EQ(b.data, ExpectedRows({deep.Get(), 1, 16}));
    auto fl = Noise(9, 4, Raster::Format::RGBAF, 2);
    ASSERT_TRUE(PSD::EncodeChannel({fl.Get(), 2, 32}, false, false, nullptr, b));
    EXPECT_EQ(b.compression, PSD::kCompressionRaw);
}

TEST(ChannelEncoding, NoiseThatRLECannotShrinkFallsBackToRawOrZip) {
    auto noise = Noise(257, 9, Raster::Format::IA8, 3);
    PSD::EncodedChannel b;
    ASSERT_TRUE(PSD::EncodeChannel({noise.Get(), 0, 8}, false, false, nullptr, b));
    EXPECT_EQ(b.compression, PSD::kCompressionRaw);
    EXPECT_EQ(b.data, ExpectedRows({noise.Get(), 0, 8}));
    ASSERT_TRUE(PSD::EncodeChannel({noise.Get(), 0, 8}, false, true, nullptr, b));
    EXPECT_EQ(b.compression, PSD::kCompressionZipPrediction);
    EXPECT_EQ(DecodeBlock(b, 257, 9, 8, false), ExpectedRows({noise.Get(), 0, 8}));
}

TEST(ChannelEncoding, WithCompressionTheSmallerFormWins) {
    // A gradient: RLE cannot pack it, prediction turns it into ones.
    auto grad = Raster::DynamicBitmap::Create(256, 16, Raster::Format::A8);
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 256; ++x) grad->GetRow(y)[x] = uint8_t(x);
    PSD::EncodedChannel rle, zip;
    ASSERT_TRUE(PSD::EncodeChannel({grad.Get(), 0, 8}, false, true, nullptr, zip));
    EXPECT_EQ(zip.compression, PSD::kCompressionZipPrediction);
    EXPECT_EQ(DecodeBlock(zip, 256, 16, 8, false), ExpectedRows({grad.Get(), 0, 8}));
    // One row of one value: RLE is 2 + 2 bytes, far below any zlib stream.
    auto one = Raster::DynamicBitmap::Create(100, 1, Raster::Format::A8);
    ASSERT_TRUE(PSD::EncodeChannel({one.Get(), 0, 8}, false, true, nullptr, rle));
    EXPECT_EQ(rle.compression, PSD::kCompressionRLE);
    EXPECT_EQ(rle.data.size(), 4u);
}

TEST(ChannelEncoding, EightBitFormChoiceFavoursZipOnTies) {
    EXPECT_EQ(PSD::ChooseEightBitForm(true, 100, true, 101), PSD::kCompressionRLE);
    EXPECT_EQ(PSD::ChooseEightBitForm(true, 100, true, 100), PSD::kCompressionZipPrediction);
    EXPECT_EQ(PSD::ChooseEightBitForm(true, 101, true, 100), PSD::kCompressionZipPrediction);
    EXPECT_EQ(PSD::ChooseEightBitForm(true, 1u << 30, false, 0), PSD::kCompressionRLE);
    EXPECT_EQ(PSD::ChooseEightBitForm(false, 0, true, 1u << 30), PSD::kCompressionZipPrediction);
    EXPECT_EQ(PSD::ChooseEightBitForm(false, 0, false, 0), PSD::kCompressionRaw);
}

TEST(ChannelEncoding, ZipWithPredictionDecodesAt16And32Bits) {
    for (bool psb : {false, true}) {
        auto deep = Noise(61, 13, Raster::Format::RGBA16, 4);
        PSD::EncodedChannel b;
        ASSERT_TRUE(PSD::EncodeChannel({deep.Get(), 3, 16}, psb, true, nullptr, b));
        EXPECT_EQ(b.compression, PSD::kCompressionZipPrediction);
        EXPECT_EQ(DecodeBlock(b, 61, 13, 16, psb), ExpectedRows({deep.Get(), 3, 16}));
        auto fl = Noise(17, 11, Raster::Format::RGBAF, 5);
        ASSERT_TRUE(PSD::EncodeChannel({fl.Get(), 1, 32}, psb, true, nullptr, b));
        EXPECT_EQ(b.compression, PSD::kCompressionZipPrediction);
        EXPECT_EQ(DecodeBlock(b, 17, 11, 32, psb), ExpectedRows({fl.Get(), 1, 32}));
    }
}

TEST(ChannelEncoding, MatteChannelsAreConstantRowsAndNeedASize) {
    PSD::EncodedChannel b;
    EXPECT_FALSE(PSD::EncodeMatteChannel(0, 5, 8, 1, b));
    EXPECT_FALSE(PSD::EncodeMatteChannel(5, 0, 8, 1, b));
    ASSERT_TRUE(PSD::EncodeMatteChannel(70, 3, 8, 0x42, b));
    EXPECT_EQ(b.compression, PSD::kCompressionZipPrediction);
    EXPECT_EQ(DecodeBlock(b, 70, 3, 8, false), Bytes(210, 0x42));
    ASSERT_TRUE(PSD::EncodeMatteChannel(9, 2, 16, 0xBEEF, b));
    Bytes rows = DecodeBlock(b, 9, 2, 16, false);
    for (size_t i = 0; i < 18; ++i) EXPECT_EQ(BE16(rows.data() + 2 * i), 0xBEEF);
    // Float: 0.25f, the planes differ from sample to sample only at the plane borders.
    ASSERT_TRUE(PSD::EncodeMatteChannel(5, 2, 32, 0x3E800000u, b));
    rows = DecodeBlock(b, 5, 2, 32, false);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(BE32(rows.data() + 4 * i), 0x3E800000u);
    // The predicted rows: the value's first sample, then zeros.
    Bytes predicted(36);
    ASSERT_TRUE(PSD::EncodeMatteChannel(9, 2, 16, 0xBEEF, b));
    ASSERT_EQ(Kernel::ZlibInflate(b.data.data(), b.data.size(), predicted.data(), 36),
              Kernel::InflateStatus::Ok);
    Bytes row = {0xBE, 0xEF};
    row.resize(18);
    EXPECT_EQ(Bytes(predicted.begin(), predicted.begin() + 18), row);
    EXPECT_EQ(Bytes(predicted.begin() + 18, predicted.end()), row);
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

TEST(ChannelEncoding, WriteRLEDataPacksChannelAfterChannelWithCounts) {
    auto bm = Noise(5, 3, Raster::Format::RGBA8, 8);
    auto out = Kernel::MemoryInOutStreamBase::Create();
    PSD::SaveData sd;
    PSD::RLEPacker packer;
    std::vector<uint16_t> counts;
    uint64_t size = 0;
    ASSERT_TRUE(PSD::WriteRLEData(*bm, true, *out, sd, size, counts, packer, nullptr));
    ASSERT_EQ(counts.size(), 12u);
    EXPECT_EQ(size, out->GetData().size());
    size_t pos = 0;
    for (unsigned c = 0; c < 4; ++c) {
        for (uint32_t y = 0; y < 3; ++y) {
            Bytes row;
            ASSERT_TRUE(Unpack(out->GetData().data() + pos, counts[c * 3 + y], 5, row));
            for (uint32_t x = 0; x < 5; ++x) EXPECT_EQ(row[x], bm->GetRow(y)[4 * x + c]);
            pos += counts[c * 3 + y];
        }
    }
    std::vector<uint32_t> counts32;
    ASSERT_TRUE(PSD::WriteRLEData(*bm, false, *out, sd, size, counts32, packer, nullptr));
    EXPECT_EQ(counts32.size(), 9u);
    auto deep = Raster::DynamicBitmap::Create(2, 2, Raster::Format::RGBA16);
    EXPECT_FALSE(PSD::WriteRLEData(*deep, true, *out, sd, size, counts32, packer, nullptr));
}

}  // namespace

namespace {

// The packet rules spelled out byte by byte, to compare the packer's word-at-a-time scans with.
Bytes ReferencePack(Bytes const& in) {
    Bytes out;
    size_t i = 0, n = in.size();
    auto triple = [&](size_t k) { return in[k] == in[k + 1] && in[k + 1] == in[k + 2]; };
    while (i < n) {
        size_t left = n - i;
        if (left == 1) {
            out.insert(out.end(), {0x00, in[i]});
            i += 1;
        } else if (left == 2) {
            if (in[i] == in[i + 1])
                out.insert(out.end(), {0xFF, in[i]});
            else
                out.insert(out.end(), {0x01, in[i], in[i + 1]});
            i += 2;
        } else if (triple(i)) {
            size_t len = 3;
            while (len < 128 && i + len < n && in[i + len] == in[i]) ++len;
            out.insert(out.end(), {uint8_t(1 - int(len)), in[i]});
            i += len;
        } else if (left >= 4 && in[i] == in[i + 1] && in[i + 2] != in[i + 1] &&
                   in[i + 2] == in[i + 3]) {
            out.insert(out.end(), {0xFF, in[i]});
            i += 2;
        } else {
            size_t window = std::min<size_t>(left, 130), len = 1;
            while (len + 3 <= window && !triple(i + len)) ++len;
            if (len + 3 > window) len = window;
            len = std::min<size_t>(len, 128);
            out.push_back(uint8_t(len - 1));
            out.insert(out.end(), in.begin() + long(i), in.begin() + long(i + len));
            i += len;
        }
    }
    return out;
}

}  // namespace

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
        ASSERT_EQ(packed, ReferencePack(row)) << "round " << round << " length " << n;
        Bytes back;
        ASSERT_TRUE(Unpack(packed.data(), packed.size(), row.size(), back));
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

// Vectorised de-interleaving (one channel at a time, and all four at once into planes) against
// the pixels themselves, at widths around the vector width.
TEST(ChannelEncoder, ChannelRowsMatchThePixels) {
    std::mt19937 rng(11);
    for (uint32_t w : {1u, 15u, 16u, 17u, 33u, 64u}) {
        const uint32_t h = 70;  // more than one band
        auto bm = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8);
        for (size_t i = 0; i < bm->GetDataSize(); ++i) bm->GetData()[i] = uint8_t(rng());
        Bytes row(w);
        for (unsigned c = 0; c < 4; ++c)
            for (uint32_t y = 0; y < h; ++y) {
                PSD::ExtractChannelRow({bm.Get(), c, 8}, y, row.data());
                for (uint32_t x = 0; x < w; ++x) {
                    uint8_t want = bm->GetRow(y)[4 * x + c];
                    ASSERT_EQ(row[x], want) << w << " " << c << " " << x << "," << y;
                }
            }
    }
    // 16-bit pixels give big-endian 16-bit rows.
    for (uint32_t w : {1u, 7u, 8u, 9u, 40u}) {
        auto bm = Raster::DynamicBitmap::Create(w, 3, Raster::Format::RGBA16);
        for (size_t i = 0; i < bm->GetDataSize(); ++i) bm->GetData()[i] = uint8_t(rng());
        Bytes row(2 * w);
        for (unsigned c = 0; c < 4; ++c)
            for (uint32_t y = 0; y < 3; ++y) {
                PSD::ExtractChannelRow({bm.Get(), c, 16}, y, row.data());
                for (uint32_t x = 0; x < w; ++x) {
                    uint8_t const* px = bm->GetRow(y) + 8 * x + 2 * c;
                    uint16_t v;
                    std::memcpy(&v, px, 2);
                    ASSERT_EQ(BE16(row.data() + 2 * x), v) << w << " " << c << " " << x;
                }
            }
    }
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
    // A cancel flag set beforehand stops it.
    auto bm = Raster::DynamicBitmap::Create(8, 8, Raster::Format::RGBA8);
    PSD::EncodedChannel one;
    std::vector<PSD::EncodedChannel*> outs = {&one};
    std::vector<char> done;
    bool cancel = true;
    EXPECT_FALSE(PSD::EncodeChannelsRLE(*bm, {0}, false, &cancel, outs, done));
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
