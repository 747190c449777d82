#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "host/kernel/Memory.h"
#include "host/raster/Bitmap.h"
#include "support/BitmapSamples.h"

using namespace Raster;

namespace {

constexpr Format kAllFormats[] = {Format::RGBA8,  Format::RGBA16,  Format::IA8, Format::IA16,
                                  Format::CMYKA8, Format::LABA16,  Format::A8,  Format::A16,
                                  Format::RGBAF,  Format::AF,      Format::CMYKA16, Format::IAF};

// Restores the allocation limit at the end of a test.
struct LimitGuard {
    uint64_t saved = Kernel::GetAllocationLimit();
    ~LimitGuard() { Kernel::SetAllocationLimit(saved); }
};

using testsupport::LoadSample;
using testsupport::StoreSample;

uint8_t* At(DynamicBitmap& b, uint32_t x, uint32_t y, unsigned c) {
    return b.GetRow(y) + x * b.GetBytesPerPixel() + c * b.GetBytesPerSample();
}

void PutSample(DynamicBitmap& b, uint32_t x, uint32_t y, unsigned c, double v) {
    StoreSample(At(b, x, y, c), b.GetBytesPerSample(), v);
}

double GetSample(DynamicBitmap& b, uint32_t x, uint32_t y, unsigned c) {
    return LoadSample(At(b, x, y, c), b.GetBytesPerSample());
}

double MaxSample(DynamicBitmap& b) {
    return b.GetFormatInfo().isFloat ? 1.0 : b.GetBytesPerSample() == 2 ? 65535.0 : 255.0;
}

// A distinct value per sample that survives storing at each size.
double Encoded(unsigned bps, double v) {
    return bps == 4 ? v / 256.0 : bps == 2 ? double(uint16_t(v * 200)) : double(uint8_t(v));
}

}  // namespace

// The format numbers are fixed: exactly 0..7 and 9..12 are formats.
TEST(DynamicBitmap, FormatNumbersAndSizes) {
    for (Format f : kAllFormats) EXPECT_TRUE(IsValidFormat(static_cast<int>(f))) << int(f);
    for (int bad : {-1, 8, 13}) EXPECT_FALSE(IsValidFormat(bad)) << bad;
    auto b = DynamicBitmap::Create(3, 2, Format::CMYKA8);
    EXPECT_EQ(b->GetRowBytes(), 15u);
    EXPECT_EQ(b->GetDataSize(), 30u);
    EXPECT_EQ(testsupport::AllSamples(*b), std::vector<double>(30, 0));
    auto e = DynamicBitmap::Create(0, 100, Format::RGBA16);
    EXPECT_TRUE(e->IsEmpty());
    EXPECT_EQ(e->GetDataSize(), 0u);
    EXPECT_EQ(e->GetFormat(), Format::RGBA16);

    EXPECT_THROW(DynamicBitmap::Create(0xFFFFFFFF, 0xFFFFFFFF, Format::RGBAF),
                 Kernel::MemoryException);
    EXPECT_THROW(DynamicBitmap::Create(0xFFFFFFFF, 0x10000, Format::RGBA16),
                 Kernel::MemoryException);
    EXPECT_THROW(DynamicBitmap::Create(1, 1, static_cast<Format>(8)), Kernel::MemoryException);
    LimitGuard guard;
    Kernel::SetAllocationLimit(1000);
    EXPECT_NO_THROW(DynamicBitmap::Create(10, 25, Format::RGBA8));  // exactly 1000 bytes
    EXPECT_THROW(DynamicBitmap::Create(10, 26, Format::RGBA8), Kernel::MemoryException);
    EXPECT_THROW(DynamicBitmap::Create(251, 1, Format::RGBA8), Kernel::MemoryException);
}

TEST(DynamicBitmap, ChannelRowsForEveryFormat) {
    for (Format f : kAllFormats) {
        SCOPED_TRACE(FormatName(f));
        auto b = DynamicBitmap::Create(7, 3, f);
        unsigned const ch = b->GetChannelCount(), bps = b->GetBytesPerSample();
        // Each channel of each row gets its own pattern through WriteChannelRow.
        for (uint32_t y = 0; y < 3; ++y)
            for (unsigned c = 0; c < ch; ++c) {
                std::vector<uint8_t> samples(7 * bps);
                for (uint32_t x = 0; x < 7; ++x)
                    StoreSample(&samples[x * bps], bps, Encoded(bps, 10 * c + x + 100 * y));
                b->WriteChannelRow(y, c, samples.data());
                std::vector<uint8_t> back(7 * bps, 0xEE);
                b->ReadChannelRow(y, c, back.data());
                EXPECT_EQ(back, samples);
            }
        // The interleaving is as the format says.
        std::vector<uint8_t> row(b->GetRowBytes());
        b->ReadRow(2, row.data());
        EXPECT_EQ(std::memcmp(row.data(), b->GetRow(2), row.size()), 0);
        for (uint32_t x = 0; x < 7; ++x)
            for (unsigned c = 0; c < ch; ++c)
                EXPECT_DOUBLE_EQ(GetSample(*b, x, 2, c), Encoded(bps, 10 * c + x + 200));
        // Whole rows round trip; out-of-range rows and channels are ignored.
        std::vector<uint8_t> fill(b->GetRowBytes(), 0x5A);
        b->WriteRow(1, fill.data());
        b->ReadRow(1, row.data());
        EXPECT_EQ(row, fill);
        b->WriteRow(3, fill.data());
        std::vector<uint8_t> untouched(8, 0x11);
        b->ReadChannelRow(0, ch, untouched.data());
        b->ReadChannelRow(3, 0, untouched.data());
        EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0x11));
    }
}

// Spans write only their pixels; spans leaving the row, even by wrapping x + count, do nothing.
TEST(DynamicBitmap, ChannelAndPixelSpans) {
    auto b = DynamicBitmap::Create(6, 2, Format::IA16);
    uint16_t in[3] = {1, 2, 3};
    b->WriteChannelSpan(1, 2, 3, 1, in);
    for (uint32_t x = 0; x < 6; ++x) {
        EXPECT_EQ(GetSample(*b, x, 1, 1), (x >= 2 && x < 5) ? x - 1.0 : 0.0);
        EXPECT_EQ(GetSample(*b, x, 1, 0), 0.0);
    }
    uint16_t out[3] = {};
    b->ReadChannelSpan(1, 2, 3, 1, out);
    EXPECT_EQ(std::vector<uint16_t>(out, out + 3), std::vector<uint16_t>(in, in + 3));
    uint16_t keep[3] = {9, 9, 9};
    b->ReadChannelSpan(1, 4, 3, 1, keep);
    b->ReadChannelSpan(1, 7, 0, 1, keep);
    b->ReadChannelSpan(1, 2, 0xFFFFFFFF, 1, keep);
    b->WriteChannelSpan(1, 0xFFFFFFFF, 2, 1, keep);
    b->ReadChannelSpan(1, 6, 0, 1, keep);  // an empty span at the end is fine
    EXPECT_EQ(keep[0], 9);

    auto p = DynamicBitmap::Create(5, 2, Format::CMYKA8);
    uint8_t px[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    p->WriteSpan(1, 3, 2, px);
    std::vector<uint8_t> row1(p->GetRow(1), p->GetRow(1) + 25), expected(15, 0);
    expected.insert(expected.end(), px, px + 10);
    EXPECT_EQ(row1, expected);
    uint8_t back[10] = {};
    p->ReadSpan(1, 3, 2, back);
    EXPECT_EQ(std::memcmp(back, px, 10), 0);
    uint8_t keep8[10] = {7, 7};
    p->ReadSpan(1, 4, 2, keep8);
    p->ReadSpan(2, 0, 1, keep8);
    p->ReadSpan(0, 1, 0xFFFFFFFF, keep8);
    EXPECT_EQ(keep8[0], 7);
    p->WriteSpan(0, 5, 1, px);
    EXPECT_EQ(std::vector<uint8_t>(p->GetRow(0), p->GetRow(0) + 25), std::vector<uint8_t>(25, 0));
}

TEST(DynamicBitmap, InverseAlphaBoundingBoxForAllFormats) {
    for (Format f : kAllFormats) {
        SCOPED_TRACE(FormatName(f));
        auto b = DynamicBitmap::Create(9, 6, f);
        unsigned const a = static_cast<unsigned>(b->GetFormatInfo().alphaChannel);
        double const top = MaxSample(*b);
        // All transparent (zeroed): the whole bitmap.
        EXPECT_EQ(b->GetInverseAlphaBoundingBox(), (Kernel::RectT<int32_t>{0, 0, 9, 6}));
        b->FillChannel(a, top);
        EXPECT_TRUE(b->GetInverseAlphaBoundingBox().IsEmpty());
        // Colour channels do not count.
        if (b->GetChannelCount() > 1) {
            PutSample(*b, 4, 4, 0, 0);
            EXPECT_TRUE(b->GetInverseAlphaBoundingBox().IsEmpty());
        }
        PutSample(*b, 2, 1, a, 0);
        EXPECT_EQ(b->GetInverseAlphaBoundingBox(), (Kernel::RectT<int32_t>{2, 1, 3, 2}));
        // Just below opaque counts as transparent.
        PutSample(*b, 7, 4, a, b->GetFormatInfo().isFloat ? 0.999 : top - 1);
        EXPECT_EQ(b->GetInverseAlphaBoundingBox(), (Kernel::RectT<int32_t>{2, 1, 8, 5}));
        PutSample(*b, 0, 5, a, b->GetFormatInfo().isFloat ? 0.5 : 1);
        EXPECT_EQ(b->GetInverseAlphaBoundingBox(), (Kernel::RectT<int32_t>{0, 1, 8, 6}));
        if (b->GetFormatInfo().isFloat) {
            b->FillChannel(a, 1.5);  // above one is opaque too
            EXPECT_TRUE(b->GetInverseAlphaBoundingBox().IsEmpty());
        }
    }
    EXPECT_TRUE(DynamicBitmap::Create(0, 3, Format::RGBA8)->GetInverseAlphaBoundingBox().IsEmpty());
}

TEST(DynamicBitmap, FreedLargeBlocksServeOnlyUnspecifiedContents) {
    DynamicBitmap::ReleaseKeptMemory();
    const uint32_t w = 2048, h = 1024;  // 8 MiB
    uint8_t const* first;
    {
        auto a = DynamicBitmap::Create(w, h, Format::RGBA8);
        first = a->GetData();
        std::memset(a->GetData(), 0x77, a->GetDataSize());
    }
    // A zeroed request never takes the kept block.
    auto zeroed = DynamicBitmap::Create(w, h, Format::RGBA8);
    EXPECT_NE(zeroed->GetData(), first);
    for (size_t i = 0; i < zeroed->GetDataSize(); i += 4093) ASSERT_EQ(zeroed->GetData()[i], 0);
    // A much smaller one does not either; one of about the size does.
    auto small = DynamicBitmap::Create(w, h / 4, Format::RGBA8, Contents::Unspecified);
    EXPECT_NE(small->GetData(), first);
    auto reused = DynamicBitmap::Create(w, h - 8, Format::RGBA8, Contents::Unspecified);
    EXPECT_EQ(reused->GetData(), first);
    reused = nullptr;
    // Once released, nothing is kept.
    DynamicBitmap::ReleaseKeptMemory();
    auto fresh = DynamicBitmap::Create(w, h, Format::RGBA8, Contents::Unspecified);
    EXPECT_EQ(fresh->GetDataSize(), size_t(w) * h * 4);
}
