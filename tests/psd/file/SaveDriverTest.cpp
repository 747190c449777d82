// The save driver: header, colour mode data, size limits, abort, progress and the composite
// image, read back through the library's own reader.
#include <algorithm>
#include <atomic>
#include <thread>

#include "psd/layer/PSDChannelCodec.h"
#include "support/CappedOutStream.h"
#include "tests/support/MinimalDocument.h"
#include "tests/psd/file/SaveTestSupport.h"
#include "tests/support/PixelDocument.h"

namespace {

using namespace savetest;
using PSD::PSDFile;

TEST(SaveDriver, SizeLimitsRefuseBeforeWritingAnything) {
    for (auto [w, h, psb, ok] : {std::tuple{30001u, 2u, false, false},
                                 {2u, 30001u, false, false},
                                 {30000u, 1u, false, true},
                                 {30001u, 2u, true, true},
                                 {300000u, 1u, true, true},
                                 {300001u, 1u, true, false}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + (psb ? " psb" : " psd"));
        // Made as a PSB (or grown later) so that the save itself must refuse.
        auto doc = NewDoc(std::min(w, 300000u), h, true, Raster::Format::IA8);
        ASSERT_TRUE(doc);
        doc->m_width = w;
        Saved s = SaveToMemory(*doc, psb, false);
        EXPECT_EQ(s.ok, ok);
        EXPECT_EQ(s.bytes.empty(), !ok);
    }
}

TEST(SaveDriver, WithoutACompositeEveryChannelIsWhiteRLE) {
    for (auto f : {Raster::Format::RGBA8, Raster::Format::RGBA16, Raster::Format::IA8,
                   Raster::Format::CMYKA8, Raster::Format::CMYKA16}) {
        for (bool psb : {false, true}) {
            // 300 bytes a row at 8 bits: 128 + 128 + 44; odd widths end in a literal of one.
            for (unsigned w : {300u, 129u, 1u}) {
                auto doc = NewDoc(w, 3, psb, f);
                PSD::PSDReport r;
                auto back = SaveAndReopen(*doc, psb, false, r);
                ASSERT_TRUE(back) << ErrorText(r);
                Kernel::Counted<Raster::DynamicBitmap> bm;
                std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
                ASSERT_TRUE(back->GetBitmap(bm, masks, r)) << ErrorText(r);
                ASSERT_TRUE(bm);
                EXPECT_FALSE(back->GetCompositeDamagedRows());
                for (size_t i = 0; i < bm->GetDataSize(); ++i)
                    ASSERT_EQ(bm->GetData()[i], 0xFF) << i;
            }
        }
    }
    // Float composites are white as raw 1.0 samples.
    for (auto f : {Raster::Format::RGBAF, Raster::Format::IAF}) {
        auto deep = NewDoc(5, 3, false, f);
        PSD::PSDReport r;
        auto back = SaveAndReopen(*deep, false, false, r);
        ASSERT_TRUE(back) << ErrorText(r);
        Kernel::Counted<Raster::DynamicBitmap> bm;
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        ASSERT_TRUE(back->GetBitmap(bm, masks, r)) << ErrorText(r);
        ASSERT_EQ(bm->GetFormat(), f);
        for (size_t i = 0; i < bm->GetDataSize(); i += 4) {
            float v;
            std::memcpy(&v, bm->GetData() + i, 4);
            ASSERT_EQ(v, 1.0f) << i;
        }
    }
}

TEST(SaveDriver, ColourModeDataReadIsWrittenBackAsItWas) {
    // A palette, duotone inks, a document's own toning block and stray data of an RGB document go
    // back byte for byte; 32-bit RGB without data of its own gets the fixed HDR block.
    std::vector<uint8_t> palette(768), inks(130, 0x5A), own(40, 0x11), stray = {1, 2, 3};
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 7 + 3);
    struct Case {
        uint16_t mode, depth, channels;
        std::vector<uint8_t> data;
        size_t expected;  // length written
    } const cases[] = {{2, 8, 1, palette, 768}, {8, 16, 2, inks, 130}, {3, 32, 3, own, 40},
                       {3, 32, 3, {}, 112},     {3, 8, 3, stray, 3},   {7, 16, 3, {}, 0}};
    for (auto const& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.depth));
        testsupport::Header h{1, c.channels, 3, 5, c.depth, c.mode};
        std::vector<uint8_t> image(2 + size_t(5) * 3 * c.channels * (c.depth / 8), 0);
        PSD::PSDReport r;
        auto doc = Reopen(testsupport::Document(h, c.data, {}, {}, image), r);
        ASSERT_TRUE(doc) << ErrorText(r);
        // Extra channels (the inks after the first) are written from the decoded composite.
        Kernel::Counted<Raster::DynamicBitmap> flat;
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        ASSERT_TRUE(doc->GetBitmap(flat, masks, r)) << ErrorText(r);
        Saved s = SaveToMemory(*doc, true, false);
        ASSERT_TRUE(s.ok);
        ASSERT_EQ(BE32(&s.bytes[26]), c.expected);
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), s.bytes.begin() + 30));
        auto back = Reopen(s.bytes, r);
        ASSERT_TRUE(back) << ErrorText(r);
        EXPECT_EQ(back->m_colourMode, c.mode);
        EXPECT_EQ(back->m_channelCount, c.channels);
        EXPECT_EQ(back->m_colourModeData.size(), c.expected);
    }
}

TEST(SaveDriver, AbortBeforeOrDuringTheSaveFails) {
    // Raised before the call, nothing is written after the colour mode section.
    auto one = NewDoc(8, 8, false, Raster::Format::RGBA8);
    one->AddLayer(MakeLayer("one", 0, 0, Pattern(8, 8, Raster::Format::RGBA8, 7)));
    bool raised = true;
    Saved s = SaveToMemory(*one, false, false, &raised);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.bytes.size(), 26u + 4);
    // With a composite too, whose channels are encoded beside the layers'.
    for (bool composite : {false, true})
        for (uint64_t after : {1u, 3u, 5u, 6u}) {
            auto doc = NewDoc(16, 16, false, Raster::Format::RGBA8);
            for (int i = 0; i < 3; ++i)
                doc->AddLayer(MakeLayer("l", i, i, Pattern(10, 10, Raster::Format::RGBA8, i)));
            if (composite) doc->SetFlattenedBitmap(Pattern(16, 16, Raster::Format::RGBA8, 9));
            bool abort = false;
            Kernel::Counted<AbortingProgress> p(new AbortingProgress(&abort, after));
            EXPECT_FALSE(SaveToMemory(*doc, false, false, &abort, p).ok)
                << "abort after " << after << " steps, composite " << composite;
        }
}

TEST(SaveDriver, ProgressCountsTwoStepsALayerAndOneForTheComposite) {
    // Read from another thread meanwhile, progress only grows.
    auto doc = NewDoc(64, 64, false, Raster::Format::RGBA8);
    for (int i = 0; i < 40; ++i)
        doc->AddLayer(MakeLayer("l", 0, 0, Pattern(64, 64, Raster::Format::RGBA8, i)));
    Kernel::Counted<AbortingProgress> p(new AbortingProgress(nullptr, 0));
    std::atomic<bool> finished{false};
    bool monotonic = true;
    std::thread watcher([&] {
        for (double last = 0; !finished;) {
            double v = p->GetProgress();
            monotonic = monotonic && v >= last;
            last = v;
        }
    });
    Saved s = SaveToMemory(*doc, false, true, nullptr, p);
    finished = true;
    watcher.join();
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(monotonic);
    uint64_t done, total;
    p->GetProgress(done, total);
    EXPECT_EQ(total, 81u);
    EXPECT_EQ(done, 81u);
    EXPECT_EQ(p->m_lastDone, 81u);
    EXPECT_EQ(p->m_lastTotal, 81u);
    EXPECT_EQ(p->m_calls, 82);  // Init and a call a step
    EXPECT_DOUBLE_EQ(p->GetProgress(), 1.0);
}

TEST(SaveDriver, ShortWritesFailTheSave) {
    auto doc = NewDoc(20, 20, false, Raster::Format::RGBA8);
    doc->AddLayer(MakeLayer("x", 2, 2, Pattern(9, 9, Raster::Format::RGBA8, 1)));
    doc->SetFlattenedBitmap(Pattern(20, 20, Raster::Format::RGBA8, 2));
    Saved full = SaveToMemory(*doc, false, false);
    ASSERT_TRUE(full.ok);
    // A file that cannot grow past a limit: every cut makes the save fail.
    for (uint64_t cap = 0; cap < full.bytes.size(); cap += 1 + cap / 8) {
        testsupport::CappedOutStream out(cap);
        EXPECT_FALSE(doc->Save(out, {.decodeStored = false})) << cap;
    }
    testsupport::CappedOutStream enough(full.bytes.size());
    EXPECT_TRUE(doc->Save(enough, {.decodeStored = false}));
    EXPECT_EQ(enough.m_end, full.bytes.size());
}

TEST(SaveDriver, AsCompressedWritesEightBitCompositesOnly) {
    auto doc = NewDoc(33, 7, false, Raster::Format::RGBA8);
    auto flat = Pattern(33, 7, Raster::Format::RGBA8, 9);
    doc->SetFlattenedBitmap(flat);
    doc->SetMasks({Pattern(33, 7, Raster::Format::A8, 10)}, {"m"});
    for (bool psb : {false, true}) {
        // The same bytes as the parallel writer.
        Saved ref = SaveToMemory(*doc, psb, false);
        ASSERT_TRUE(ref.ok);
        PSD::SaveData sd;
        sd.m_isPSB = psb;
        sd.m_depth = 8;
        sd.m_colourMode = 3;
        sd.m_width = 33;
        sd.m_height = 7;
        sd.m_headerChannels = 5;
        auto a = Kernel::MemoryInOutStreamBase::Create();
        auto b = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(doc->SaveImageDataAsCompressed(*a, sd, nullptr));
        ASSERT_TRUE(doc->SaveImageData(*b, sd, nullptr));
        EXPECT_EQ(a->GetData(), b->GetData());
        EXPECT_GT(a->GetData().size(), 2u);
        Bytes tail(ref.bytes.end() - ptrdiff_t(a->GetData().size()), ref.bytes.end());
        EXPECT_EQ(tail, a->GetData());
    }
    auto deep = NewDoc(4, 4, false, Raster::Format::RGBA16);
    deep->SetFlattenedBitmap(Pattern(4, 4, Raster::Format::RGBA16, 1));
    PSD::SaveData sd;
    sd.m_depth = 16;
    auto c = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_FALSE(deep->SaveImageDataAsCompressed(*c, sd, nullptr));
}

// A composite read raw is written raw again, one read as RLE stays RLE and a deflated one becomes
// RLE (other readers take composites only raw or RLE); compression of the layers changes none of
// them, and the pixels come back the same.
TEST(SaveDriver, CompositesKeepTheRawOrRLEFormTheyWereReadIn) {
    constexpr uint16_t Raw = PSD::kCompressionRaw, RLE = PSD::kCompressionRLE,
                       Zip = PSD::kCompressionZip, ZipP = PSD::kCompressionZipPrediction;
    struct Case {
        char const* what;
        uint16_t mode, depth, channels, version;
        uint16_t read;     // the composite's compression in the document opened
        uint16_t written;  // what a save writes, with or without compression
    } const cases[] = {
        {"RGB 8 raw", 3, 8, 3, 1, Raw, Raw},
        {"RGB 8 RLE", 3, 8, 3, 1, RLE, RLE},
        {"RGB 8 RLE, PSB", 3, 8, 4, 2, RLE, RLE},
        {"RGB 8 ZIP", 3, 8, 3, 1, Zip, RLE},
        {"grey 16 raw, PSB", 1, 16, 1, 2, Raw, Raw},
        {"grey 16 ZIP with prediction", 1, 16, 2, 1, ZipP, RLE},
        {"CMYK 8 raw", 4, 8, 4, 1, Raw, Raw},
        {"bitmap raw", 0, 1, 1, 1, Raw, Raw},
        {"bitmap RLE", 0, 1, 1, 1, RLE, RLE},
        {"RGB 32 raw", 3, 32, 3, 1, Raw, Raw},
    };
    const uint32_t w = 21, h = 6;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        size_t rowBytes = c.depth == 1 ? (w + 7) / 8 : size_t(w) * c.depth / 8;
        std::vector<std::vector<uint8_t>> planes;
        std::vector<uint8_t> all;
        for (unsigned k = 0; k < c.channels; ++k) {
            planes.push_back(testsupport::Pattern(rowBytes * h, 70 + k));
            all.insert(all.end(), planes.back().begin(), planes.back().end());
        }
        testsupport::Bytes image;
        if (c.read == Raw) {
            image = testsupport::CompositeRaw(planes);
        } else if (c.read == RLE) {
            image = testsupport::CompositeRLE(planes, rowBytes, c.version == 2);
        } else {
            image = testsupport::ZipBlock(all, rowBytes, c.depth / 8, c.read == ZipP);
        }
        testsupport::Header hd{c.version, c.channels, h, w, c.depth, c.mode};
        PSD::PSDReport r;
        auto bytes = testsupport::Document(hd, {}, {}, {}, image);
        auto doc = Reopen(bytes, r);
        ASSERT_TRUE(doc) << ErrorText(r);
        Kernel::Counted<Raster::DynamicBitmap> flat;
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        ASSERT_TRUE(doc->GetBitmap(flat, masks, r)) << ErrorText(r);
        // Run 2 saves a document whose composite was never asked for: the save decodes it.
        for (int run = 0; run < 3; ++run) {
            bool compress = run == 1;
            auto source = run == 2 ? Reopen(bytes, r) : doc;
            ASSERT_TRUE(source);
            Saved s = SaveToMemory(*source, c.version == 2, compress, nullptr, nullptr, run == 2);
            ASSERT_TRUE(s.ok);
            auto back = Reopen(s.bytes, r);
            ASSERT_TRUE(back) << ErrorText(r);
            ASSERT_LT(back->GetImageDataPosition() + 2, s.bytes.size());
            EXPECT_EQ(BE16(&s.bytes[back->GetImageDataPosition()]), c.written) << compress;
            Kernel::Counted<Raster::DynamicBitmap> got;
            std::vector<Kernel::Counted<Raster::DynamicBitmap>> gotMasks;
            ASSERT_TRUE(back->GetBitmap(got, gotMasks, r)) << ErrorText(r);
            EXPECT_TRUE(SameBitmap(got.Get(), flat.Get()));
            ASSERT_EQ(gotMasks.size(), masks.size());
            for (size_t i = 0; i < masks.size(); ++i)
                EXPECT_TRUE(SameBitmap(gotMasks[i].Get(), masks[i].Get()));
        }
    }
    // A composite the host built is RLE.
    auto doc = NewDoc(w, h, false, Raster::Format::RGBA16);
    doc->SetFlattenedBitmap(WithOpaqueAlpha(Pattern(w, h, Raster::Format::RGBA16, 3)));
    Saved s = SaveToMemory(*doc, false, true);
    ASSERT_TRUE(s.ok);
    PSD::PSDReport r;
    auto back = Reopen(s.bytes, r);
    ASSERT_TRUE(back) << ErrorText(r);
    EXPECT_EQ(BE16(&s.bytes[back->GetImageDataPosition()]), RLE);
}

}  // namespace
