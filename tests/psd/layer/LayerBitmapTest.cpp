#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDLayerRows.h"
#include "tests/support/Cuts.h"
#include "tests/support/PixelDocument.h"

using namespace PSD;
using testsupport::Bytes;
using testsupport::Sample;
using testsupport::ChannelSpec;
using testsupport::LayerSpec;

namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

Kernel::Counted<PSDFile> Open(Bytes const& bytes, PSDReport& report) {
    return PSDFile::Create(Kernel::MemoryInStream::Create(bytes), CreateOptions{}, report);
}

Bytes Doc(std::vector<LayerSpec> const& layers, uint16_t mode = 3, uint16_t depth = 8,
          uint16_t version = 1) {
    testsupport::Header h;
    h.version = version;
    h.mode = mode;
    h.depth = depth;
    h.width = 8;
    h.height = 8;
    h.channels = mode == 4 ? 4 : (mode == 3 || mode == 9 ? 3 : 1);
    size_t plane = size_t(h.width) * h.height * (depth / 8);
    std::vector<uint8_t> image(plane * h.channels, 0);
    return testsupport::Document(h, {}, {}, testsupport::LayerSectionBody(layers, version == 2),
                                 testsupport::RawBlock(image));
}

LayerSpec Layer(int32_t top, int32_t left, int32_t bottom, int32_t right,
                std::vector<ChannelSpec> channels = {}) {
    return LayerSpec{top, left, bottom, right, std::move(channels), false, {}};
}

Bytes Raw(size_t n, uint8_t v) {
    return testsupport::RawBlock(std::vector<uint8_t>(n, v));
}

}  // namespace

TEST(LayerBitmap, DamagedRowIsZeroedAndFlaggedUntilTheNextLoad) {
    const uint32_t w = 4;
    LayerSpec l = Layer(0, 0, 2, w);
    Bytes damaged;
    std::vector<uint8_t> r0 = {3, 1, 2, 3, 4}, r1 = {0xFB, 6};  // row 1 runs 6 into 4
    damaged.U16(1).U16(uint16_t(r0.size())).U16(uint16_t(r1.size())).Append(r0).Append(r1);
    l.channels = {{0, damaged}, {1, testsupport::RawBlock(std::vector<uint8_t>(8, 5))}};
    PSDReport report;
    auto doc = Open(Doc({l}), report);
    ASSERT_TRUE(doc);
    auto const& layer = *doc->m_layers[0];
    BitmapRef bm;
    ASSERT_TRUE(layer.GetBitmap(bm, report));
    EXPECT_TRUE(layer.IsBitmapDamaged());
    for (uint32_t x = 0; x < w; ++x) {
        EXPECT_EQ(Sample(*bm, 0, x, 0), x + 1);
        EXPECT_EQ(Sample(*bm, 0, x, 1), 0u);
        EXPECT_EQ(Sample(*bm, 1, x, 1), 5u);
    }
    // Dropping the cache and loading again sets the flag from this load.
    layer.m_bitmap = nullptr;
    ASSERT_TRUE(layer.GetBitmap(bm, report));
    EXPECT_TRUE(layer.IsBitmapDamaged());
}

TEST(LayerBitmap, SamplesKeepTheDocumentDepthAndLab8IsWidened) {
    const uint32_t w = 3, h = 2;
    // Colour channels, transparency and the user mask all come out as stored, whatever the
    // compression; a sample cut to 8 bits or a swapped channel fails.
    struct Deep {
        uint16_t mode, depth;
        int16_t colours;
        Raster::Format format, mask;
        unsigned compression;
    };
    for (Deep const& c : {Deep{4, 16, 4, Raster::Format::CMYKA16, Raster::Format::A16, 3},
                          Deep{4, 16, 4, Raster::Format::CMYKA16, Raster::Format::A16, 0},
                          Deep{1, 32, 1, Raster::Format::IAF, Raster::Format::AF, 2},
                          Deep{8, 16, 1, Raster::Format::IA16, Raster::Format::A16, 1},
                          Deep{2, 8, 1, Raster::Format::IA8, Raster::Format::A8, 1}}) {
        SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.depth) + " compression " +
                     std::to_string(c.compression));
        unsigned bytes = c.depth / 8;
        LayerSpec l = Layer(0, 0, h, w);
        l.hasMask = true;
        l.mask.bottom = h;
        l.mask.right = w;
        std::vector<std::vector<uint8_t>> stored;
        for (int16_t id = -2; id < c.colours; ++id) {
            stored.push_back(testsupport::Pattern(w * h * bytes, uint32_t(20 + id)));
            auto const& v = stored.back();
            Bytes block = c.compression == 0   ? testsupport::RawBlock(v)
                          : c.compression == 1 ? testsupport::RLEBlock(v, w * bytes)
                                               : testsupport::ZipBlock(v, w * bytes, bytes,
                                                                       c.compression == 3);
            l.channels.push_back({id, block});
        }
        PSDReport report;
        auto doc = Open(Doc({l}, c.mode, c.depth), report);
        ASSERT_TRUE(doc) << testsupport::ErrorCodeOf(report);
        BitmapRef bm, mask;
        ASSERT_TRUE(doc->m_layers[0]->GetBitmap(bm, report)) << testsupport::ErrorCodeOf(report);
        ASSERT_TRUE(doc->m_layers[0]->GetBitmapUserMask(mask, report)) << testsupport::ErrorCodeOf(report);
        ASSERT_EQ(bm->GetFormat(), c.format);
        ASSERT_EQ(mask->GetFormat(), c.mask);
        auto value = [&](int16_t id, uint32_t i) {
            uint32_t v = 0;
            for (unsigned k = 0; k < bytes; ++k) v = v << 8 | stored[size_t(id + 2)][bytes * i + k];
            return v;
        };
        unsigned alpha = unsigned(bm->GetFormatInfo().alphaChannel);
        for (uint32_t i = 0; i < w * h; ++i) {
            for (int16_t id = 0; id < c.colours; ++id)
                ASSERT_EQ(Sample(*bm, unsigned(id), i % w, i / w), value(id, i)) << id;
            ASSERT_EQ(Sample(*bm, alpha, i % w, i / w), value(-1, i));
            ASSERT_EQ(Sample(*mask, 0, i % w, i / w), value(-2, i));
        }
    }

    PSDReport report;
    BitmapRef bm;
    auto s8 = testsupport::Pattern(w * h, 2);
    LayerSpec lab = Layer(0, 0, h, w);
    for (int16_t c = 0; c < 3; ++c) lab.channels.push_back({c, testsupport::RLEBlock(s8, w)});
    lab.hasMask = true;
    lab.mask.bottom = h;
    lab.mask.right = w;
    lab.channels.push_back({-2, testsupport::RawBlock(s8)});
    auto labDoc = Open(Doc({lab}, 9, 8), report);
    ASSERT_TRUE(labDoc);
    ASSERT_TRUE(labDoc->m_layers[0]->GetBitmap(bm, report));
    EXPECT_EQ(bm->GetFormat(), Raster::Format::LABA16);
    BitmapRef mask;
    ASSERT_TRUE(labDoc->m_layers[0]->GetBitmapUserMask(mask, report));
    EXPECT_EQ(mask->GetFormat(), Raster::Format::A16);
    for (uint32_t i = 0; i < w * h; ++i) {
        EXPECT_EQ(Sample(*bm, 1, i % w, i / w), s8[i] * 257u);
        EXPECT_EQ(Sample(*bm, 3, i % w, i / w), 65535u);
        EXPECT_EQ(Sample(*mask, 0, i % w, i / w), s8[i] * 257u);
    }
}

TEST(LayerBitmap, Refusals) {
    Bytes unknown = Bytes().U16(4).U8(0);
    struct Case {
        char const* what;
        LayerSpec layer;
        uint16_t mode, depth;
        std::string error;  // the text, or "#" and the code
    } const cases[] = {
        {"32-bit channels stored with RLE",
         Layer(0, 0, 1, 1, {{0, testsupport::RLEBlock({0, 0, 0, 0}, 4)}}), 3, 32,
         "#" + std::to_string(PSDError::kParsing)},
        {"unknown compression", Layer(0, 0, 1, 1, {{0, unknown}}), 3, 8,
         "Unknown raster compression method : 4"},
        {"CMYK 32 has no layer bitmap format", Layer(0, 0, 1, 1, {{0, Raw(4, 0)}}), 4, 32,
         "#" + std::to_string(PSDError::kParsing)},
        {"Lab 32 has no layer bitmap format", Layer(0, 0, 1, 1, {{0, Raw(4, 0)}}), 9, 32,
         "#" + std::to_string(PSDError::kParsing)},
    };
    for (auto const& c : cases) {
        PSDReport report;
        auto doc = Open(Doc({c.layer}, c.mode, c.depth), report);
        ASSERT_TRUE(doc) << c.what;
        BitmapRef bm;
        EXPECT_FALSE(doc->m_layers[0]->GetBitmap(bm, report)) << c.what;
        ASSERT_TRUE(report.m_error) << c.what;
        EXPECT_EQ(c.error[0] == '#' ? "#" + std::to_string(testsupport::ErrorCodeOf(report))
                                    : std::string(report.m_error->Report()),
                  c.error)
            << c.what;
    }
    // A layer built by the host has no source to decode from.
    PSDLayer made(true);
    made.m_channels.push_back(PSDChannelInfo(0, 10));
    PSDReport report;
    BitmapRef bm;
    EXPECT_FALSE(made.GetBitmap(bm, report));
    EXPECT_EQ(testsupport::ErrorCodeOf(report), PSDError::kParsing);
}

// Channel lengths are checked before decoding: a cut anywhere in raw, RLE or ZIP data is a short
// read, whatever it cuts.
TEST(LayerBitmap, ChannelDataCutAtEveryOffsetFailsWithTruncation) {
    const uint32_t w = 6, h = 5;
    LayerSpec l = Layer(0, 0, h, w);
    for (int16_t c = -1; c < 3; ++c) {
        auto s = testsupport::Pattern(w * h, uint32_t(c + 5));
        l.channels.push_back({c, c == 2       ? testsupport::RawBlock(s)
                                 : c % 2 != 0 ? testsupport::RLEBlock(s, w)
                                              : testsupport::ZipBlock(s, w, 1, true)});
    }
    Bytes full = Doc({l});
    PSDReport report;
    auto doc = Open(full, report);
    ASSERT_TRUE(doc);
    uint64_t start = doc->m_layers[0]->m_dataPosition;
    uint64_t end = start;
    for (auto const& c : doc->m_layers[0]->m_channels) end += c.m_length;
    // The parsed document, with its source replaced by the cut bytes.
    testsupport::ExpectEveryCutTruncated(std::vector<uint8_t>(full.begin(), full.begin() + long(end)),
                                         [&](std::vector<uint8_t> const& part) {
        PSDLayer const& layer = *doc->m_layers[0];
        layer.m_bitmap = nullptr;
        const_cast<PSDLayer&>(layer).m_stream = Kernel::MemoryInStream::Create(part);
        BitmapRef bm;
        PSDReport r;
        return layer.GetBitmap(bm, r) ? -1 : testsupport::ErrorCodeOf(r);
    }, size_t(start));
}

// First requests racing on one layer (colour and mask) and on the composite decode each bitmap once:
// every thread gets the same, complete bitmap. Repeated over fresh documents to give races a chance.
TEST(LayerBitmap, OneLayerRequestedFromSeveralThreadsAtOnceDecodesOnce) {
    const uint32_t w = 256, h = 128;
    std::vector<std::vector<uint8_t>> s;
    LayerSpec l = Layer(0, 0, h, w);
    for (int16_t c = -1; c < 3; ++c) {
        s.push_back(testsupport::Pattern(w * h, uint32_t(c + 7)));
        l.channels.push_back({c, c % 2 ? testsupport::RLEBlock(s.back(), w)
                                       : testsupport::ZipBlock(s.back(), w, 1, true)});
    }
    auto maskSamples = testsupport::Pattern(w * h, 99);
    l.channels.push_back({-2, testsupport::RLEBlock(maskSamples, w)});
    l.hasMask = true;
    l.mask.bottom = int32_t(h);
    l.mask.right = int32_t(w);
    Bytes bytes = Doc({l});
    const unsigned threadCount = std::max(4u, std::thread::hardware_concurrency());
    for (int round = 0; round < 20; ++round) {
        PSDReport report;
        auto doc = Open(bytes, report);
        ASSERT_TRUE(doc);
        PSDLayer const& layer = *doc->m_layers[0];
        std::vector<BitmapRef> colour(threadCount), mask(threadCount), flat(threadCount);
        std::vector<std::thread> threads;
        std::atomic<unsigned> waiting{threadCount};
        for (unsigned t = 0; t < threadCount; ++t)
            threads.emplace_back([&, t] {
                PSDReport r;
                std::vector<BitmapRef> masks;
                // All threads start together, so that the first requests overlap.
                waiting.fetch_sub(1);
                while (waiting.load() > 0) std::this_thread::yield();
                // Half the threads ask for the mask first, so both caches are filled concurrently.
                if (t % 2) (void)layer.GetBitmapUserMask(mask[t], r);
                (void)layer.GetBitmap(colour[t], r);
                if (t % 2 == 0) (void)layer.GetBitmapUserMask(mask[t], r);
                (void)doc->GetBitmap(flat[t], masks, r);
            });
        for (auto& t : threads) t.join();
        ASSERT_TRUE(colour[0] && mask[0] && flat[0]) << round;
        for (unsigned t = 1; t < threadCount; ++t) {
            EXPECT_EQ(colour[t].Get(), colour[0].Get()) << round;
            EXPECT_EQ(mask[t].Get(), mask[0].Get()) << round;
            EXPECT_EQ(flat[t].Get(), flat[0].Get()) << round;
        }
        EXPECT_TRUE(layer.IsDecodedBitmap(colour[0].Get()));
        bool same = true;
        for (uint32_t p = 0; p < w * h; ++p) {
            for (unsigned c = 0; c < 4; ++c)
                same &= Sample(*colour[0], c == 3 ? 3 : c, p % w, p / w) == s[c == 3 ? 0 : c + 1][p];
            same &= Sample(*mask[0], 0, p % w, p / w) == maskSamples[p];
        }
        EXPECT_TRUE(same) << round;
    }
}

// Bitmaps a decoder fills may take memory a freed bitmap left behind: whatever it held must not
// show through where no block writes, nor where a block fails to decode.
TEST(LayerBitmap, ReusedMemoryNeverShowsThrough) {
    const uint32_t w = 1024, h = 1024;  // 4 MiB of RGBA: large enough to be kept when freed
    auto dirty = [&] {
        auto bm = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8);
        std::memset(bm->GetData(), 0xAB, bm->GetDataSize());
    };
    std::vector<uint8_t> red(size_t(w) * h, 200), green(size_t(w) * h, 100);
    // Channel 2 is missing; alpha is missing.
    LayerSpec partial = Layer(0, 0, h, w);
    partial.channels = {{0, testsupport::RLEBlock(red, w)}, {1, testsupport::RLEBlock(green, w)}};
    // Channel 1's deflate stream is damaged in the middle.
    LayerSpec broken = Layer(0, 0, h, w);
    Bytes zip = testsupport::ZipBlock(green, w, 1, false);
    ASSERT_GT(zip.size(), 40u);
    for (size_t i = zip.size() / 2; i < zip.size() / 2 + 8; ++i) zip[i] ^= 0x5A;
    broken.channels = {
        {0, testsupport::RLEBlock(red, w)}, {1, zip}, {2, testsupport::RLEBlock(red, w)}};
    PSDReport report;
    auto doc = Open(Doc({partial, broken}), report);
    ASSERT_TRUE(doc);

    dirty();
    BitmapRef bm;
    ASSERT_TRUE(doc->m_layers[0]->GetBitmap(bm, report));
    for (uint32_t y : {0u, h / 2, h - 1})
        for (uint32_t x : {0u, 17u, w - 1}) {
            EXPECT_EQ(Sample(*bm, 0, x, y), 200u);
            EXPECT_EQ(Sample(*bm, 1, x, y), 100u);
            EXPECT_EQ(Sample(*bm, 2, x, y), 0u);
            EXPECT_EQ(Sample(*bm, 3, x, y), 255u);
        }

    dirty();
    BitmapRef failed;
    PSDReport r2;
    EXPECT_FALSE(doc->m_layers[1]->GetBitmap(failed, r2));
    ASSERT_TRUE(doc->m_layers[1]->m_bitmap);  // kept after the failure
    auto const& kept = *doc->m_layers[1]->m_bitmap;
    for (uint32_t y : {0u, h / 2, h - 1}) {
        EXPECT_EQ(Sample(kept, 0, 5, y), 200u);
        EXPECT_EQ(Sample(kept, 1, 5, y), 0u);
        EXPECT_EQ(Sample(kept, 2, 5, y), 200u);
    }
}

// ZIP channels read a band at a time agree with the whole decode at every depth, with and without
// prediction: bands in order, a little out of order, one older than the rows kept, a second pass.
// A stream cut short leaves its channel zero from where it ends, and says so.
TEST(LayerRows, ZipBandsAgreeWithTheWholeBitmap) {
    const uint32_t w = 5, h = 90, band = 8;
    for (uint16_t depth : {8, 16, 32})
        for (bool predict : {false, true}) {
            SCOPED_TRACE(std::to_string(depth) + (predict ? " predicted" : " plain"));
            unsigned sb = depth / 8;
            LayerSpec l = Layer(0, 0, h, w), cut = l;
            for (int16_t c = -1; c < 3; ++c) {
                auto s = testsupport::Pattern(size_t(w) * h * sb, uint32_t(c + 11 + depth));
                Bytes block = testsupport::ZipBlock(s, size_t(w) * sb, sb, predict);
                l.channels.push_back({c, block});
                // The red channel's stream loses its second half.
                cut.channels.push_back(
                    {c, c == 0 ? Bytes().Append(
                                     {block.begin(), block.begin() + long(block.size() / 2)})
                               : block});
            }
            PSDReport report;
            auto doc = Open(Doc({l}, 3, depth), report);
            auto damagedDoc = Open(Doc({cut}, 3, depth), report);
            ASSERT_TRUE(doc && damagedDoc);
            PSDLayerRows refused, rows, damaged;
            EXPECT_FALSE(refused.Init(*doc->m_layers[0]));  // ZIP needs the rows kept
            ASSERT_TRUE(rows.Init(*doc->m_layers[0], 2 * band));
            ASSERT_TRUE(damaged.Init(*damagedDoc->m_layers[0], 2 * band));
            BitmapRef whole;
            ASSERT_TRUE(doc->m_layers[0]->GetBitmap(whole, report));
            size_t rowBytes = size_t(w) * whole->GetBytesPerPixel();
            auto out = Raster::DynamicBitmap::Create(w, band, rows.GetFormat(),
                                                     Raster::Contents::Unspecified);
            for (uint32_t b : {0u, 2u, 1u, 3u, 4u, 0u, 7u, 5u, 6u, 10u, 8u, 9u}) {
                SCOPED_TRACE("band " + std::to_string(b));
                ASSERT_TRUE(rows.Decode(b * band, *out, report));
                for (uint32_t r = 0; r < band; ++r)
                    EXPECT_EQ(0,
                              std::memcmp(out->GetRow(r), whole->GetRow(b * band + r), rowBytes));
            }
            EXPECT_EQ(rows.Damage(), "");
            // Rows before the cut come out whole; the last band's red channel is zero.
            for (uint32_t b = 0; b < h / band; ++b)
                ASSERT_TRUE(damaged.Decode(b * band, *out, report));
            for (uint32_t x = 0; x < w; ++x)
                EXPECT_EQ(testsupport::Sample(*out, 0, x, band - 1), 0u);
            ASSERT_TRUE(damaged.Decode(0, *out, report));
            EXPECT_EQ(0, std::memcmp(out->GetRow(0), whole->GetRow(0), rowBytes));
            EXPECT_NE(damaged.Damage().find("ZIP data, from row "), std::string::npos);
        }
}
