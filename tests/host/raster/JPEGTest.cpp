#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cmath>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "host/kernel/Memory.h"
#include "host/raster/JPEG.h"
#include "support/BitmapSamples.h"

using namespace Raster;

namespace {

// A smooth RGBA8 picture: gradients JPEG keeps well.
Kernel::Counted<DynamicBitmap> Gradient(uint32_t w, uint32_t h) {
    auto b = DynamicBitmap::Create(w, h, Format::RGBA8);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = b->GetRow(y) + 4 * x;
            p[0] = static_cast<uint8_t>(x * 255 / (w - 1));
            p[1] = static_cast<uint8_t>(y * 255 / (h - 1));
            p[2] = static_cast<uint8_t>(128 + 100 * std::sin(x * 0.1));
            p[3] = static_cast<uint8_t>(x);  // dropped by JPEG
        }
    return b;
}

// Mean and largest difference of the colour samples of two RGBA8 bitmaps (alpha left out).
std::pair<double, double> ColourDiff(DynamicBitmap const& a, DynamicBitmap const& b) {
    auto sa = testsupport::AllSamples(a), sb = testsupport::AllSamples(b);
    double sum = 0, most = 0;
    for (size_t i = 0; i < sa.size(); ++i)
        if (i % 4 != 3) {
            sum += std::abs(sa[i] - sb[i]);
            most = std::max(most, std::abs(sa[i] - sb[i]));
        }
    return {sum / double(sa.size() / 4 * 3), most};
}

}  // namespace

// Lower quality is smaller, absurd quality clamped; progressive at the top quality reads back
// its header, colours within tolerance and opaque alpha; grey is one component and stays neutral.
TEST(DynamicJPEG, QualityProgressiveAndGrey) {
    auto src = Gradient(80, 80);
    ExportOptions lo, hi;
    lo.quality = 10;
    hi.quality = 100;
    hi.progressive = true;
    auto a = DynamicJPEG::Encode(*src, lo);
    auto b = DynamicJPEG::Encode(*src, hi);
    ASSERT_TRUE(a && b);
    EXPECT_LT(a->GetData().size(), b->GetData().size());
    lo.quality = -40;  // limited to 1, still a valid stream
    auto c = DynamicJPEG::Encode(*src, lo);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->Decode());
    std::string error;
    auto header = DynamicJPEG::CreateFromMemory(b->GetData().data(), b->GetData().size(), &error);
    ASSERT_TRUE(header) << error;
    EXPECT_EQ(std::tuple(header->GetWidth(), header->GetHeight(), header->GetComponents()),
              std::tuple(80u, 80u, 3u));
    auto back = header->Decode(&error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->GetFormat(), Format::RGBA8);
    auto [mean, most] = ColourDiff(*src, *back);
    EXPECT_LT(mean, 2.0);
    EXPECT_LT(most, 24);
    for (uint32_t y = 0; y < 80; ++y)
        for (uint32_t x = 0; x < 80; ++x) ASSERT_EQ(back->GetRow(y)[4 * x + 3], 255);

    auto grey = DynamicBitmap::Create(16, 16, Format::IA8);
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 16; ++x) {
            grey->GetRow(y)[2 * x] = static_cast<uint8_t>(x * 16);
            grey->GetRow(y)[2 * x + 1] = 3;
        }
    auto gj = DynamicJPEG::Encode(*grey, hi);
    ASSERT_TRUE(gj);
    EXPECT_EQ(gj->GetComponents(), 1u);
    auto gb = gj->Decode();
    ASSERT_TRUE(gb);
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 16; ++x) {
            uint8_t const* p = gb->GetRow(y) + 4 * x;
            EXPECT_TRUE(p[0] == p[1] && p[0] == p[2] && p[3] == 255) << x << "," << y;
            EXPECT_NEAR(p[0], x * 16, 3);
        }
}

// Formats and sizes JPEG cannot hold, and a decode beyond the allocation limit, with messages.
TEST(DynamicJPEG, Refusals) {
    std::string error;
    EXPECT_FALSE(DynamicJPEG::Encode(*DynamicBitmap::Create(4, 4, Format::RGBA16), {}, &error));
    EXPECT_EQ(error, "Unsupported pixel format for JPEG");
    EXPECT_FALSE(DynamicJPEG::Encode(*DynamicBitmap::Create(0, 4, Format::RGBA8), {}, &error));
    EXPECT_FALSE(DynamicJPEG::Encode(*DynamicBitmap::Create(70000, 1, Format::RGBA8), {}, &error));
    EXPECT_EQ(error, "Unsupported image size for JPEG");
    auto j = DynamicJPEG::Encode(*Gradient(100, 100), {});
    ASSERT_TRUE(j);
    uint64_t saved = Kernel::GetAllocationLimit();
    Kernel::SetAllocationLimit(100 * 100 * 4 - 1);
    EXPECT_FALSE(j->Decode(&error));
    Kernel::SetAllocationLimit(saved);
    EXPECT_EQ(error, "Out of memory");
    EXPECT_TRUE(j->Decode());
}

// Garbage, cuts (strict: fail; tolerant: a whole-size bitmap or a failure), broken markers and
// random damage: never a crash, a message on failure, the promised size on success.
TEST(DynamicJPEG, MalformedInputFailsCleanly) {
    std::string error;
    std::vector<uint8_t> garbage(500);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 31 + 7);
    EXPECT_FALSE(DynamicJPEG::CreateFromMemory(garbage.data(), garbage.size(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(DynamicJPEG::DecodeMemory(nullptr, 0, &error));
    garbage[0] = 0xFF;  // a signature followed by garbage
    garbage[1] = 0xD8;
    garbage[2] = 0xFF;
    error.clear();
    EXPECT_FALSE(DynamicJPEG::DecodeMemory(garbage.data(), garbage.size(), &error));
    EXPECT_FALSE(error.empty());

    auto j = DynamicJPEG::Encode(*Gradient(40, 40), {});
    ASSERT_TRUE(j);
    std::vector<uint8_t> bytes = j->GetData();
    int tolerated = 0;
    for (size_t cut = 0; cut < bytes.size() - 2; cut += 7) {
        EXPECT_FALSE(DynamicJPEG::DecodeMemory(bytes.data(), cut)) << cut;
        auto partial = DynamicJPEG::DecodeMemory(bytes.data(), cut, nullptr, true);
        if (partial) {
            EXPECT_EQ(partial->GetWidth(), 40u);
            ++tolerated;
        }
    }
    EXPECT_GT(tolerated, 0);
    EXPECT_FALSE(DynamicJPEG::DecodeMemory(bytes.data(), bytes.size() - 2, &error));  // no end
    auto broken = bytes;
    broken[2] = 0x00;
    EXPECT_FALSE(DynamicJPEG::DecodeMemory(broken.data(), broken.size(), &error));
    EXPECT_TRUE(DynamicJPEG::DecodeMemory(bytes.data(), bytes.size()));

    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    int decoded = 0;
    for (int round = 0; round < 300; ++round) {
        auto damaged = bytes;
        for (int k = 0; k < 1 + round % 4; ++k)
            damaged[next() % damaged.size()] = static_cast<uint8_t>(next() >> 8);
        for (bool tolerate : {false, true}) {
            error.clear();
            auto b = DynamicJPEG::DecodeMemory(damaged.data(), damaged.size(), &error, tolerate);
            EXPECT_TRUE(b || !error.empty());
            if (!b) continue;
            auto header = DynamicJPEG::CreateFromMemory(damaged.data(), damaged.size());
            ASSERT_TRUE(header);
            EXPECT_EQ(b->GetWidth(), header->GetWidth());
            EXPECT_EQ(b->GetHeight(), header->GetHeight());
            ++decoded;
        }
    }
    EXPECT_GT(decoded, 0);
}

TEST(DynamicJPEG, AdobeCMYKStreamsDecodeByTheDeviceFormula) {
    // A CMYK stream as Adobe writes it: inverted ink, YCCK transform, APP14 marker.
    uint32_t const w = 16, h = 8;
    std::vector<uint8_t> cmyk(w * h * 4);
    for (size_t i = 0; i < w * h; ++i) {
        uint8_t ink[4] = {51, 102, 153, 128};  // 0.2, 0.4, 0.6, 0.5
        for (int c = 0; c < 4; ++c) cmyk[4 * i + c] = static_cast<uint8_t>(255 - ink[c]);
    }
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buf, &size);
    cinfo.image_width = w;
    cinfo.image_height = h;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < h) {
        JSAMPROW row = cmyk.data() + cinfo.next_scanline * w * 4;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> bytes(buf, buf + size);
    std::free(buf);

    auto j = DynamicJPEG::CreateFromMemory(bytes.data(), bytes.size());
    ASSERT_TRUE(j);
    EXPECT_EQ(j->GetComponents(), 4u);
    auto b = j->Decode();
    ASSERT_TRUE(b);
    uint8_t const* p = b->GetRow(3) + 4 * 5;
    // (1 - ink) * (1 - black): 0.8 * 0.498, 0.6 * 0.498, 0.4 * 0.498
    EXPECT_NEAR(p[0], 102, 2);
    EXPECT_NEAR(p[1], 76, 2);
    EXPECT_NEAR(p[2], 51, 2);
    EXPECT_EQ(p[3], 255);
}
