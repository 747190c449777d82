#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "host/kernel/Memory.h"
#include "host/raster/Bitmap.h"

using namespace Raster;

namespace {

constexpr Format kAllFormats[] = {Format::RGBA8,  Format::RGBA16, Format::IA8, Format::IA16,
                                  Format::CMYKA8, Format::LABA16, Format::A8,  Format::A16,
                                  Format::RGBAF,  Format::AF};

// Restores the allocation limit at the end of a test.
struct LimitGuard {
    uint64_t saved = Kernel::GetAllocationLimit();
    ~LimitGuard() { Kernel::SetAllocationLimit(saved); }
};

// Writes sample value v at (x, y, channel) in the bitmap's sample type.
void PutSample(DynamicBitmap& b, uint32_t x, uint32_t y, unsigned c, double v) {
    uint8_t* p = b.GetRow(y) + x * b.GetBytesPerPixel() + c * b.GetBytesPerSample();
    if (b.GetFormatInfo().isFloat) {
        float f = static_cast<float>(v);
        std::memcpy(p, &f, 4);
    } else if (b.GetBytesPerSample() == 2) {
        auto s = static_cast<uint16_t>(v);
        std::memcpy(p, &s, 2);
    } else {
        *p = static_cast<uint8_t>(v);
    }
}

double GetSample(DynamicBitmap const& b, uint32_t x, uint32_t y, unsigned c) {
    uint8_t const* p = b.GetRow(y) + x * b.GetBytesPerPixel() + c * b.GetBytesPerSample();
    if (b.GetFormatInfo().isFloat) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    if (b.GetBytesPerSample() == 2) {
        uint16_t s;
        std::memcpy(&s, p, 2);
        return s;
    }
    return *p;
}

double MaxSample(DynamicBitmap const& b) {
    return b.GetFormatInfo().isFloat ? 1.0 : b.GetBytesPerSample() == 2 ? 65535.0 : 255.0;
}

}  // namespace

TEST(DynamicBitmap, FormatTable) {
    FormatInfo i;
    EXPECT_TRUE(GetFormatInfo(Format::CMYKA8, i));
    EXPECT_EQ(i.channels, 5u);
    EXPECT_EQ(i.alphaChannel, 4);
    EXPECT_TRUE(GetFormatInfo(Format::RGBAF, i));
    EXPECT_EQ(i.bytesPerSample, 4u);
    EXPECT_TRUE(i.isFloat);
    EXPECT_FALSE(IsValidFormat(8));
    EXPECT_FALSE(IsValidFormat(11));
    EXPECT_FALSE(IsValidFormat(-1));
    for (Format f : kAllFormats) EXPECT_TRUE(IsValidFormat(static_cast<int>(f)));
    EXPECT_STREQ(FormatName(Format::LABA16), "LABA16");
}

TEST(DynamicBitmap, CreateSizes) {
    auto b = DynamicBitmap::Create(3, 2, Format::CMYKA8);
    EXPECT_EQ(b->GetRowBytes(), 15u);
    EXPECT_EQ(b->GetDataSize(), 30u);
    for (size_t i = 0; i < b->GetDataSize(); ++i) EXPECT_EQ(b->GetData()[i], 0);
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
                for (uint32_t x = 0; x < 7; ++x) {
                    double v = 10 * c + x + 100 * y;
                    if (bps == 4) {
                        float fv = static_cast<float>(v) / 256.0f;
                        std::memcpy(&samples[x * 4], &fv, 4);
                    } else if (bps == 2) {
                        auto s = static_cast<uint16_t>(v * 200);
                        std::memcpy(&samples[x * 2], &s, 2);
                    } else {
                        samples[x] = static_cast<uint8_t>(v);
                    }
                }
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
            for (unsigned c = 0; c < ch; ++c) {
                double v = 10 * c + x + 200;
                double expect = bps == 4   ? v / 256.0
                                : bps == 2 ? double(uint16_t(v * 200))
                                           : double(uint8_t(v));
                EXPECT_DOUBLE_EQ(GetSample(*b, x, 2, c), expect);
            }
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

TEST(DynamicBitmap, ChannelSpans) {
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
    // Spans that leave the row do nothing, even when x + count wraps around.
    uint16_t keep[3] = {9, 9, 9};
    b->ReadChannelSpan(1, 4, 3, 1, keep);
    b->ReadChannelSpan(1, 7, 0, 1, keep);
    b->ReadChannelSpan(1, 2, 0xFFFFFFFF, 1, keep);
    b->WriteChannelSpan(1, 0xFFFFFFFF, 2, 1, keep);
    EXPECT_EQ(keep[0], 9);
    b->ReadChannelSpan(1, 6, 0, 1, keep);  // an empty span at the end is fine
    EXPECT_EQ(keep[0], 9);
}

TEST(DynamicBitmap, PixelSpans) {
    auto b = DynamicBitmap::Create(5, 2, Format::CMYKA8);
    uint8_t in[10];
    for (int i = 0; i < 10; ++i) in[i] = static_cast<uint8_t>(i + 1);
    b->WriteSpan(1, 3, 2, in);
    EXPECT_EQ(std::memcmp(b->GetRow(1) + 15, in, 10), 0);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(b->GetRow(1)[i], 0);
    uint8_t out[10] = {};
    b->ReadSpan(1, 3, 2, out);
    EXPECT_EQ(std::memcmp(out, in, 10), 0);
    uint8_t keep[10] = {7, 7};
    b->ReadSpan(1, 4, 2, keep);
    b->ReadSpan(2, 0, 1, keep);
    b->ReadSpan(0, 1, 0xFFFFFFFF, keep);
    EXPECT_EQ(keep[0], 7);
    b->WriteSpan(0, 5, 1, in);
    for (size_t i = 0; i < b->GetRowBytes(); ++i) EXPECT_EQ(b->GetRow(0)[i], 0);
}

TEST(DynamicBitmap, FillChannelClamps) {
    auto b8 = DynamicBitmap::Create(2, 2, Format::RGBA8);
    b8->FillChannel(0, 300);
    b8->FillChannel(1, -5);
    b8->FillChannel(2, 127.5);
    b8->FillChannel(3, std::nan(""));
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 2; ++x) {
            EXPECT_EQ(GetSample(*b8, x, y, 0), 255);
            EXPECT_EQ(GetSample(*b8, x, y, 1), 0);
            EXPECT_EQ(GetSample(*b8, x, y, 2), 128);
            EXPECT_EQ(GetSample(*b8, x, y, 3), 0);
        }
    b8->FillChannel(0, 1e300);
    b8->FillChannel(1, -1e300);
    b8->FillChannel(2, INFINITY);
    EXPECT_EQ(GetSample(*b8, 1, 1, 0), 255);
    EXPECT_EQ(GetSample(*b8, 1, 1, 1), 0);
    EXPECT_EQ(GetSample(*b8, 1, 1, 2), 255);
    b8->FillChannel(4, 7);  // no such channel: nothing happens

    auto b16 = DynamicBitmap::Create(3, 1, Format::LABA16);
    b16->FillChannel(0, 70000);
    b16->FillChannel(1, 32767.6);
    b16->FillChannel(2, -1);
    EXPECT_EQ(GetSample(*b16, 2, 0, 0), 65535);
    EXPECT_EQ(GetSample(*b16, 2, 0, 1), 32768);
    EXPECT_EQ(GetSample(*b16, 2, 0, 2), 0);
    EXPECT_EQ(GetSample(*b16, 2, 0, 3), 0);

    auto bf = DynamicBitmap::Create(2, 1, Format::RGBAF);
    bf->FillChannel(0, -2.5);
    bf->FillChannel(1, 7.25);
    EXPECT_EQ(GetSample(*bf, 1, 0, 0), -2.5);  // float takes values as given
    EXPECT_EQ(GetSample(*bf, 1, 0, 1), 7.25);

    auto all = DynamicBitmap::Create(2, 2, Format::CMYKA8);
    all->Fill(99);
    for (size_t i = 0; i < all->GetDataSize(); ++i) EXPECT_EQ(all->GetData()[i], 99);
    auto empty = DynamicBitmap::Create(0, 0, Format::A8);
    empty->Fill(1);  // no rows to touch
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
    Raster::DynamicBitmap::ReleaseKeptMemory();
    const uint32_t w = 2048, h = 1024;  // 8 MiB
    uint8_t const* first;
    {
        auto a = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8);
        first = a->GetData();
        std::memset(a->GetData(), 0x77, a->GetDataSize());
    }
    // A zeroed request never takes the kept block.
    auto zeroed = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8);
    EXPECT_NE(zeroed->GetData(), first);
    for (size_t i = 0; i < zeroed->GetDataSize(); i += 4093) ASSERT_EQ(zeroed->GetData()[i], 0);
    // A much smaller one does not either; one of about the size does.
    auto small = Raster::DynamicBitmap::Create(w, h / 4, Raster::Format::RGBA8,
                                               Raster::Contents::Unspecified);
    EXPECT_NE(small->GetData(), first);
    auto reused = Raster::DynamicBitmap::Create(w, h - 8, Raster::Format::RGBA8,
                                                Raster::Contents::Unspecified);
    EXPECT_EQ(reused->GetData(), first);
    reused = nullptr;
    // Once released, nothing is kept.
    Raster::DynamicBitmap::ReleaseKeptMemory();
    auto fresh =
        Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8, Raster::Contents::Unspecified);
    EXPECT_EQ(fresh->GetDataSize(), size_t(w) * h * 4);
}
