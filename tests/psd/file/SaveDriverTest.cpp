// The save driver: header, colour mode data, size limits, abort, progress and the composite
// image, read back through the library's own reader.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/psd/file/SaveTestSupport.h"

namespace {

using namespace savetest;
using PSD::PSDFile;

Kernel::Counted<PSDFile> Empty(unsigned w, unsigned h, bool psb, Raster::Format f) {
    return PSDFile::CreateEmpty(w, h, psb, f, nullptr, nullptr);
}

TEST(SaveDriver, HeaderCarriesVersionSizeDepthModeAndChannelCount) {
    auto doc = Empty(37, 11, false, Raster::Format::RGBA8);
    ASSERT_TRUE(doc);
    doc->SetFlattenedBitmap(
        Pattern(37, 11, Raster::Format::RGBA8, 1));  // not opaque: merged transparency
    doc->SetMasks({Pattern(37, 11, Raster::Format::A8, 2), Pattern(37, 11, Raster::Format::A8, 3)},
                  {"a", "b"});
    for (bool psb : {false, true}) {
        Saved s = SaveToMemory(*doc, psb, false);
        ASSERT_TRUE(s.ok);
        ASSERT_GE(s.bytes.size(), 26u);
        EXPECT_EQ(std::string(s.bytes.begin(), s.bytes.begin() + 4), "8BPS");
        EXPECT_EQ(BE16(&s.bytes[4]), psb ? 2 : 1);
        EXPECT_EQ(BE16(&s.bytes[12]), 3 + 1 + 2);
        EXPECT_EQ(BE32(&s.bytes[14]), 11u);
        EXPECT_EQ(BE32(&s.bytes[18]), 37u);
        EXPECT_EQ(BE16(&s.bytes[22]), 8);
        EXPECT_EQ(BE16(&s.bytes[24]), 3);
    }
}

TEST(SaveDriver, SizeLimitsRefuseBeforeWritingAnything) {
    // 30001 is too wide for PSD but fine for PSB.
    auto wide = Empty(30001, 2, true, Raster::Format::IA8);
    ASSERT_TRUE(wide);
    Saved psd = SaveToMemory(*wide, false, false);
    EXPECT_FALSE(psd.ok);
    EXPECT_TRUE(psd.bytes.empty());
    EXPECT_TRUE(SaveToMemory(*wide, true, false).ok);
    auto tall = Empty(2, 30001, true, Raster::Format::IA8);
    EXPECT_FALSE(SaveToMemory(*tall, false, false).ok);

    auto edge = Empty(30000, 1, false, Raster::Format::IA8);
    ASSERT_TRUE(edge);
    EXPECT_TRUE(SaveToMemory(*edge, false, false).ok);

    auto big = Empty(300000, 1, true, Raster::Format::IA8);
    ASSERT_TRUE(big);
    Saved s = SaveToMemory(*big, true, false);
    EXPECT_TRUE(s.ok);
    big->m_width = 300001;
    Saved over = SaveToMemory(*big, true, false);
    EXPECT_FALSE(over.ok);
    EXPECT_TRUE(over.bytes.empty());
}

TEST(SaveDriver, ColourModeDataIsTheHDRBlockOnlyFor32BitRGB) {
    auto deep = Empty(4, 4, false, Raster::Format::RGBAF);
    deep->SetFlattenedBitmap(Pattern(4, 4, Raster::Format::RGBAF, 4));
    Saved s = SaveToMemory(*deep, false, false);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(BE32(&s.bytes[26]), 112u);
    EXPECT_EQ(std::string(s.bytes.begin() + 30, s.bytes.begin() + 34), "hdrt");
    EXPECT_EQ(std::string(s.bytes.begin() + 30 + 74, s.bytes.begin() + 30 + 78), "hdra");
    PSD::PSDReport r;
    auto back = Reopen(s.bytes, r);
    ASSERT_TRUE(back) << ErrorText(r);
    EXPECT_EQ(back->m_sections.colourModeDataLength, 112u);

    for (auto f : {Raster::Format::RGBA8, Raster::Format::RGBA16, Raster::Format::IA8,
                   Raster::Format::LABA16}) {
        auto doc = Empty(4, 4, false, f);
        Saved t = SaveToMemory(*doc, false, false);
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(BE32(&t.bytes[26]), 0u);
    }
}

TEST(SaveDriver, WithoutACompositeEveryChannelIsWhiteRLE) {
    for (auto f : {Raster::Format::RGBA8, Raster::Format::RGBA16, Raster::Format::IA8,
                   Raster::Format::CMYKA8}) {
        for (bool psb : {false, true}) {
            // 300 bytes a row at 8 bits: 128 + 128 + 44; odd widths end in a literal of one.
            for (unsigned w : {300u, 129u, 1u}) {
                auto doc = Empty(w, 3, psb, f);
                Saved s = SaveToMemory(*doc, psb, false);
                ASSERT_TRUE(s.ok);
                PSD::PSDReport r;
                auto back = Reopen(s.bytes, r);
                ASSERT_TRUE(back) << ErrorText(r);
                Kernel::Counted<Raster::DynamicBitmap> bm;
                std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
                ASSERT_TRUE(back->GetBitmap(bm, masks, r)) << ErrorText(r);
                ASSERT_TRUE(bm);
                EXPECT_FALSE(back->m_compositeDamagedRows);
                for (size_t i = 0; i < bm->GetDataSize(); ++i)
                    ASSERT_EQ(bm->GetData()[i], 0xFF) << i;
            }
        }
    }
    // Only 8 and 16 bits can be written this way.
    auto deep = Empty(4, 4, false, Raster::Format::RGBAF);
    EXPECT_FALSE(SaveToMemory(*deep, false, false).ok);
}

TEST(SaveDriver, CompositeAndMasksRoundTripInEveryFormat) {
    struct Case {
        Raster::Format format;
        Raster::Format mask;
    };
    for (Case c : {Case{Raster::Format::RGBA8, Raster::Format::A8},
                   Case{Raster::Format::RGBA16, Raster::Format::A16},
                   Case{Raster::Format::RGBAF, Raster::Format::AF},
                   Case{Raster::Format::IA8, Raster::Format::A8},
                   Case{Raster::Format::IA16, Raster::Format::A16},
                   Case{Raster::Format::CMYKA8, Raster::Format::A8},
                   Case{Raster::Format::LABA16, Raster::Format::A16}}) {
        for (bool psb : {false, true}) {
            for (bool transparent : {false, true}) {
                auto doc = Empty(45, 9, psb, c.format);
                auto flat = Pattern(45, 9, c.format, 5);
                if (!transparent) {
                    auto const& info = flat->GetFormatInfo();
                    flat->FillChannel(unsigned(info.alphaChannel), info.isFloat ? 1.0
                                                                   : info.bytesPerSample == 2
                                                                       ? 65535.0
                                                                       : 255.0);
                }
                EXPECT_EQ(doc->SetFlattenedBitmap(flat), transparent);
                doc->SetMasks({Pattern(45, 9, c.mask, 6)}, {"extra"});
                // Merged transparency is told by the layer section, so the document needs a layer.
                doc->AddLayer(MakeLayer("layer", 1, 1, Pattern(5, 5, c.format, 7)));
                Saved s = SaveToMemory(*doc, psb, true);
                ASSERT_TRUE(s.ok) << Raster::FormatName(c.format);
                PSD::PSDReport r;
                auto back = Reopen(s.bytes, r);
                ASSERT_TRUE(back) << ErrorText(r);
                Kernel::Counted<Raster::DynamicBitmap> bm;
                std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
                ASSERT_TRUE(back->GetBitmap(bm, masks, r)) << ErrorText(r);
                EXPECT_EQ(back->m_mergedTransparency != 0, transparent);
                EXPECT_TRUE(SameBitmap(bm.Get(), flat.Get()))
                    << Raster::FormatName(c.format) << " psb " << psb;
                ASSERT_EQ(masks.size(), 1u);
                EXPECT_TRUE(SameBitmap(masks[0].Get(), doc->m_masks[0].Get()));
            }
        }
    }
}

TEST(SaveDriver, AbortBeforeTheCallStopsAfterTheColourModeSection) {
    auto doc = Empty(8, 8, false, Raster::Format::RGBA8);
    doc->AddLayer(MakeLayer("one", 0, 0, Pattern(8, 8, Raster::Format::RGBA8, 7)));
    bool abort = true;
    Saved s = SaveToMemory(*doc, false, false, &abort);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.bytes.size(), 26u + 4);
}

// Raises the abort flag once a given number of steps is done.
class AbortingProgress : public PSD::PSDSaveProgress {
public:
    AbortingProgress(bool* flag, uint64_t after) : m_flag(flag), m_after(after) {}
    void OnUpdate(uint64_t done, uint64_t total) override {
        m_lastDone = done;
        m_lastTotal = total;
        ++m_calls;
        if (m_flag && done >= m_after && m_after > 0) *m_flag = true;
    }
    bool* m_flag;
    uint64_t m_after;
    uint64_t m_lastDone = 0, m_lastTotal = 0;
    int m_calls = 0;
};

TEST(SaveDriver, AbortDuringTheSaveFails) {
    // With a composite too, whose channels are encoded beside the layers'.
    for (bool composite : {false, true})
        for (uint64_t after : {1u, 3u, 5u, 6u}) {
            auto doc = Empty(16, 16, false, Raster::Format::RGBA8);
            for (int i = 0; i < 3; ++i)
                doc->AddLayer(MakeLayer("l", i, i, Pattern(10, 10, Raster::Format::RGBA8, i)));
            if (composite) doc->SetFlattenedBitmap(Pattern(16, 16, Raster::Format::RGBA8, 9));
            bool abort = false;
            Kernel::Counted<AbortingProgress> p(new AbortingProgress(&abort, after));
            Saved s = SaveToMemory(*doc, false, false, &abort, p);
            EXPECT_FALSE(s.ok) << "abort after " << after << " steps, composite " << composite;
        }
}

TEST(SaveDriver, ProgressCountsTwoStepsALayerAndOneForTheComposite) {
    auto doc = Empty(16, 16, false, Raster::Format::RGBA8);
    for (int i = 0; i < 4; ++i)
        doc->AddLayer(MakeLayer("l", 0, 0, Pattern(16, 16, Raster::Format::RGBA8, i)));
    Kernel::Counted<AbortingProgress> p(new AbortingProgress(nullptr, 0));
    Saved s = SaveToMemory(*doc, false, false, nullptr, p);
    ASSERT_TRUE(s.ok);
    uint64_t done, total;
    p->GetProgress(done, total);
    EXPECT_EQ(total, 9u);
    EXPECT_EQ(done, 9u);
    EXPECT_EQ(p->m_lastDone, 9u);
    EXPECT_EQ(p->m_calls, 10);  // Init and nine steps
    EXPECT_DOUBLE_EQ(p->GetProgress(), 1.0);
}

TEST(SaveDriver, ProgressMayBeReadFromAnotherThread) {
    auto doc = Empty(64, 64, false, Raster::Format::RGBA8);
    for (int i = 0; i < 40; ++i)
        doc->AddLayer(MakeLayer("l", 0, 0, Pattern(64, 64, Raster::Format::RGBA8, i)));
    Kernel::Counted<PSD::PSDSaveProgress> p(new PSD::PSDSaveProgress);
    std::atomic<bool> finished{false};
    double last = 0;
    bool monotonic = true;
    std::thread watcher([&] {
        while (!finished) {
            double v = p->GetProgress();
            if (v < last) monotonic = false;
            last = v;
        }
    });
    Saved s = SaveToMemory(*doc, false, true, nullptr, p);
    finished = true;
    watcher.join();
    EXPECT_TRUE(s.ok);
    EXPECT_TRUE(monotonic);
    EXPECT_DOUBLE_EQ(p->GetProgress(), 1.0);
}

TEST(SaveDriver, ShortWritesFailTheSave) {
    auto doc = Empty(20, 20, false, Raster::Format::RGBA8);
    doc->AddLayer(MakeLayer("x", 2, 2, Pattern(9, 9, Raster::Format::RGBA8, 1)));
    doc->SetFlattenedBitmap(Pattern(20, 20, Raster::Format::RGBA8, 2));
    Saved full = SaveToMemory(*doc, false, false);
    ASSERT_TRUE(full.ok);
    // A file that cannot grow past a limit: every cut makes the save fail.
    class CappedStream : public Kernel::OutStreamSeekable {
    public:
        explicit CappedStream(uint64_t cap) : m_cap(cap) {}
        bool Write(void const*, size_t n) override {
            if (m_pos + n > m_cap) return false;
            m_pos += n;
            m_end = std::max(m_end, m_pos);
            return true;
        }
        uint64_t GetPosition() const override { return m_pos; }
        bool Seek(uint64_t pos) override {
            m_pos = pos;
            return true;
        }
        uint64_t m_cap, m_pos = 0, m_end = 0;
    };
    for (uint64_t cap = 0; cap < full.bytes.size(); cap += 1 + cap / 8) {
        Kernel::Counted<CappedStream> out(new CappedStream(cap));
        EXPECT_FALSE(doc->Save(*out, false, false, false, nullptr, nullptr)) << cap;
    }
    Kernel::Counted<CappedStream> enough(new CappedStream(full.bytes.size()));
    EXPECT_TRUE(doc->Save(*enough, false, false, false, nullptr, nullptr));
    EXPECT_EQ(enough->m_end, full.bytes.size());
}

TEST(SaveDriver, AsCompressedWritesEightBitCompositesOnly) {
    auto doc = Empty(33, 7, false, Raster::Format::RGBA8);
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
    auto deep = Empty(4, 4, false, Raster::Format::RGBA16);
    deep->SetFlattenedBitmap(Pattern(4, 4, Raster::Format::RGBA16, 1));
    PSD::SaveData sd;
    sd.m_depth = 16;
    auto c = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_FALSE(deep->SaveImageDataAsCompressed(*c, sd, nullptr));
}

}  // namespace
