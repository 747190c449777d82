#include <gtest/gtest.h>

#include <cstring>

#include "psd/file/PSDFile.h"
#include "tests/support/PixelDocument.h"
#include "tests/support/Cuts.h"

using namespace PSD;
using testsupport::Bytes;
using testsupport::Sample;

namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;
using Planes = std::vector<std::vector<uint8_t>>;

testsupport::Header Hdr(uint16_t mode, uint16_t depth, uint16_t channels, uint32_t w = 7,
                        uint32_t h = 5, uint16_t version = 1) {
    testsupport::Header hd;
    hd.mode = mode;
    hd.depth = depth;
    hd.channels = channels;
    hd.width = w;
    hd.height = h;
    hd.version = version;
    return hd;
}

Kernel::Counted<PSDFile> Open(testsupport::Header const& h, std::vector<uint8_t> const& image,
                              PSDReport& report) {
    return PSDFile::Create(
        Kernel::MemoryInStream::Create(testsupport::Document(h, {}, {}, {}, image)),
        CreateOptions{}, report);
}

Planes MakePlanes(unsigned n, size_t bytes) {
    Planes p;
    for (unsigned c = 0; c < n; ++c) p.push_back(testsupport::Pattern(bytes, 40 + c));
    return p;
}

// A document opened from its header and image data, and its composite read.
struct Decoded {
    Kernel::Counted<PSDFile> doc;
    PSDReport report;
    bool ok = false;
    BitmapRef bm;
    std::vector<BitmapRef> masks;
};

Decoded Decode(testsupport::Header const& h, std::vector<uint8_t> const& image,
               uint32_t merged = 0) {
    Decoded d;
    d.doc = Open(h, image, d.report);
    EXPECT_TRUE(d.doc);
    if (!d.doc) return d;
    d.doc->m_mergedTransparency = merged;
    d.ok = d.doc->GetBitmap(d.bm, d.masks, d.report);
    return d;
}

}  // namespace

TEST(Composite, RGBAlphaAndExtraChannels) {
    // The fourth channel is the alpha with the transparency flag, else an extra channel; PSB
    // row counts take four bytes.
    const uint32_t w = 7, h = 5;
    for (auto [channels, merged, raw, psb] : {std::tuple{3u, 0u, false, false},
                                              {4u, 1u, false, false},
                                              {5u, 1u, false, true},
                                              {4u, 0u, true, false},
                                              {3u, 0u, false, true}}) {
        SCOPED_TRACE(std::to_string(channels) + (merged ? " merged" : "") + (raw ? " raw" : "") +
                     (psb ? " psb" : ""));
        Planes p = MakePlanes(channels, w * h);
        Decoded d = Decode(
            Hdr(3, 8, uint16_t(channels), w, h, psb ? 2 : 1),
            raw ? testsupport::CompositeRaw(p) : testsupport::CompositeRLE(p, w, psb), merged);
        ASSERT_TRUE(d.ok) << testsupport::ErrorCodeOf(d.report);
        EXPECT_EQ(d.doc->IsPSB(), psb);
        EXPECT_EQ(d.doc->GetCompositeDamagedRows(), 0u);
        EXPECT_EQ(d.bm->GetFormat(), Raster::Format::RGBA8);
        ASSERT_EQ(d.masks.size(), channels - 3 - merged);
        for (uint32_t i = 0; i < w * h; ++i) {
            for (unsigned c = 0; c < 3; ++c) ASSERT_EQ(Sample(*d.bm, c, i % w, i / w), p[c][i]);
            ASSERT_EQ(Sample(*d.bm, 3, i % w, i / w), merged ? p[3][i] : 255u);
            if (!d.masks.empty()) {
                EXPECT_EQ(d.masks[0]->GetFormat(), Raster::Format::A8);
                ASSERT_EQ(Sample(*d.masks[0], 0, i % w, i / w), p[3 + merged][i]);
            }
        }
    }
}

TEST(Composite, ConversionsAndDepths) {
    const uint32_t w = 4, h = 3;
    // One-intensity modes and 16-bit CMYK keep every sample at the document depth: the first
    // channel in the bitmap, the rest (multichannel inks, extra channels) as masks.
    struct Deep {
        uint16_t mode, depth, channels;
        Raster::Format format, maskFormat;
        uint32_t opaque;
    };
    for (Deep const& c : {Deep{4, 16, 4, Raster::Format::CMYKA16, Raster::Format::A16, 0xFFFF},
                          Deep{4, 16, 5, Raster::Format::CMYKA16, Raster::Format::A16, 0xFFFF},
                          Deep{1, 32, 2, Raster::Format::IAF, Raster::Format::AF, 0x3F800000},
                          Deep{2, 8, 1, Raster::Format::IA8, Raster::Format::A8, 0xFF},
                          Deep{8, 8, 1, Raster::Format::IA8, Raster::Format::A8, 0xFF},
                          Deep{8, 16, 1, Raster::Format::IA16, Raster::Format::A16, 0xFFFF},
                          Deep{7, 16, 3, Raster::Format::IA16, Raster::Format::A16, 0xFFFF},
                          Deep{7, 8, 2, Raster::Format::IA8, Raster::Format::A8, 0xFF}}) {
        SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.depth) + "/" +
                     std::to_string(c.channels));
        unsigned bytes = c.depth / 8;
        Planes p = MakePlanes(c.channels, w * h * bytes);
        for (bool zip : {false, true}) {
            Decoded d = Decode(Hdr(c.mode, c.depth, c.channels, w, h),
                               zip ? testsupport::CompositeZip(p, w * bytes, bytes, false)
                                   : testsupport::CompositeRaw(p));
            ASSERT_TRUE(d.ok) << testsupport::ErrorCodeOf(d.report);
            ASSERT_EQ(d.bm->GetFormat(), c.format);
            unsigned colour = c.mode == 4 ? 4 : 1;
            ASSERT_EQ(d.masks.size(), c.channels - colour);
            auto stored = [&](unsigned ch, uint32_t i) {
                uint32_t v = 0;
                for (unsigned k = 0; k < bytes; ++k) v = v << 8 | p[ch][bytes * i + k];
                return v;
            };
            for (uint32_t i = 0; i < w * h; ++i) {
                for (unsigned ch = 0; ch < colour; ++ch)
                    ASSERT_EQ(Sample(*d.bm, ch, i % w, i / w), stored(ch, i)) << ch << " " << i;
                ASSERT_EQ(Sample(*d.bm, colour, i % w, i / w), c.opaque);
                for (size_t m = 0; m < d.masks.size(); ++m) {
                    ASSERT_EQ(d.masks[m]->GetFormat(), c.maskFormat);
                    ASSERT_EQ(Sample(*d.masks[m], 0, i % w, i / w), stored(colour + m, i));
                }
            }
        }
    }
    {  // 8-bit Lab becomes 16-bit Lab.
        Planes p = MakePlanes(3, w * h);
        Decoded d = Decode(Hdr(9, 8, 3, w, h), testsupport::CompositeZip(p, w, 1, true));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.bm->GetFormat(), Raster::Format::LABA16);
        for (uint32_t i = 0; i < w * h; ++i)
            EXPECT_EQ(Sample(*d.bm, 1, i % w, i / w), p[1][i] * 257u);
    }
    {  // 16-bit grey with an extra channel, ZIP with prediction.
        Planes p = MakePlanes(2, w * h * 2);
        Decoded d = Decode(Hdr(1, 16, 2, w, h), testsupport::CompositeZip(p, w * 2, 2, true));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.bm->GetFormat(), Raster::Format::IA16);
        ASSERT_EQ(d.masks.size(), 1u);
        EXPECT_EQ(d.masks[0]->GetFormat(), Raster::Format::A16);
        for (uint32_t i = 0; i < w * h; ++i) {
            EXPECT_EQ(Sample(*d.bm, 0, i % w, i / w), uint32_t(p[0][2 * i]) << 8 | p[0][2 * i + 1]);
            EXPECT_EQ(Sample(*d.masks[0], 0, i % w, i / w),
                      uint32_t(p[1][2 * i]) << 8 | p[1][2 * i + 1]);
        }
    }
    {  // 32-bit RGB floats, byte-plane prediction.
        std::vector<float> v;
        Planes p(3);
        for (unsigned c = 0; c < 3; ++c)
            for (uint32_t i = 0; i < w * h; ++i) {
                float f = float(c) - 0.5f + float(i) / 7.0f;
                v.push_back(f);
                uint32_t u;
                std::memcpy(&u, &f, 4);
                for (int s = 24; s >= 0; s -= 8) p[c].push_back(uint8_t(u >> s));
            }
        Decoded d = Decode(Hdr(3, 32, 3, w, h), testsupport::CompositeZip(p, w * 4, 4, true));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.bm->GetFormat(), Raster::Format::RGBAF);
        for (unsigned c = 0; c < 3; ++c)
            for (uint32_t i = 0; i < w * h; ++i) {
                uint32_t bits = Sample(*d.bm, c, i % w, i / w);
                float f;
                std::memcpy(&f, &bits, 4);
                EXPECT_EQ(f, v[c * w * h + i]);
            }
    }
}

TEST(Composite, RefusalsAndErrors) {
    struct Case {
        char const* what;
        testsupport::Header h;
        Bytes image;
        int error;
        std::string text;  // the whole report, or empty for the detail alone
        std::string detail;
    };
    Bytes method4;
    method4.U16(4).Zeros(40);
    Case const cases[] = {
        {"method 4", Hdr(3, 8, 3, 2, 2), method4, PSDError::kUnknownCompression,
         "Unknown raster compression method : 4", "4"},
        {"bitmap zip", Hdr(0, 1, 1, 10, 2),
         testsupport::CompositeZip({{0xA0, 0xC0, 0, 0}}, 2, 1, false),
         PSDError::kUnknownCompression, "", "2"},
        {"32-bit Lab", Hdr(9, 32, 3, 2, 2),
         testsupport::CompositeRaw(Planes(3, std::vector<uint8_t>(16))), PSDError::kParsing, "",
         "-"},
        {"32-bit CMYK", Hdr(4, 32, 4, 2, 2),
         testsupport::CompositeRaw(Planes(4, std::vector<uint8_t>(16))), PSDError::kParsing, "",
         "-"},
        {"unknown mode", Hdr(5, 8, 1, 2, 2), testsupport::CompositeRaw({std::vector<uint8_t>(4)}),
         PSDError::kUnsupportedColourMode, "", ""}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Decoded d = Decode(c.h, c.image);
        EXPECT_FALSE(d.ok);
        ASSERT_EQ(testsupport::ErrorCodeOf(d.report), c.error);
        if (!c.text.empty()) {
            EXPECT_EQ(std::string(d.report.m_error->Report()), c.text);
        }
        if (c.detail != "-") {
            EXPECT_EQ(d.report.m_error->GetDetail(), c.detail);
        }
    }
    // A document built in memory has nothing to read.
    PSDFile made;
    PSDReport report;
    BitmapRef bm;
    std::vector<BitmapRef> masks;
    EXPECT_FALSE(made.GetBitmap(bm, masks, report));
    EXPECT_EQ(testsupport::ErrorCodeOf(report), PSDError::kParsing);
}

TEST(Composite, CutDataFailsAndLeavesTheCacheEmpty) {
    const uint32_t w = 6, h = 4;
    Planes p = MakePlanes(3, w * h);
    for (int kind = 0; kind < 3; ++kind) {
        Bytes image = kind == 0   ? testsupport::CompositeRaw(p)
                      : kind == 1 ? testsupport::CompositeRLE(p, w, false)
                                  : testsupport::CompositeZip(p, w, 1, true);
        SCOPED_TRACE(kind);
        testsupport::ExpectEveryCutTruncated(image, [&](std::vector<uint8_t> const& part) {
            Decoded d = Decode(Hdr(3, 8, 3, w, h), part);
            EXPECT_FALSE(d.doc->m_flattenedBitmap);
            // A second request reads again and meets the same end.
            PSDReport again;
            EXPECT_FALSE(d.doc->GetBitmap(d.bm, d.masks, again));
            EXPECT_EQ(testsupport::ErrorCodeOf(again), testsupport::ErrorCodeOf(d.report));
            return d.ok ? -1 : testsupport::ErrorCodeOf(d.report);
        });
        Decoded d = Decode(Hdr(3, 8, 3, w, h), image);
        ASSERT_TRUE(d.ok);
        BitmapRef cached;
        ASSERT_TRUE(d.doc->GetBitmap(cached, d.masks, d.report));
        EXPECT_EQ(cached.Get(), d.bm.Get());
    }
}

TEST(Composite, DamagedRowsAreCounted) {
    Bytes image;
    // One channel (grey): row 0 fine, row 1 too short.
    image.U16(1).U16(5).U16(2).U8(3).U8(1).U8(2).U8(3).U8(4).U8(1).U8(9);
    Decoded d = Decode(Hdr(1, 8, 1, 4, 2), image);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.doc->GetCompositeDamagedRows(), 1u);
    EXPECT_EQ(Sample(*d.bm, 0, 3, 0), 4u);
    EXPECT_EQ(Sample(*d.bm, 0, 0, 1), 0u);
}
