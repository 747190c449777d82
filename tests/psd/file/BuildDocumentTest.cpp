// Building documents: creation limits and formats, the weighted layer limit, the list fix-ups,
// background promotion and matte layers, and the setters.
#include "psd/vector/PSDPath.h"
#include "tests/psd/file/SaveTestSupport.h"

namespace {

using namespace savetest;
using PSD::PSDFile;
using PSD::PSDLayer;

Kernel::Counted<PSDFile> Empty(unsigned w, unsigned h, bool psb, Raster::Format f) {
    return PSDFile::CreateEmpty(w, h, psb, f, nullptr, nullptr);
}

Kernel::Counted<PSDLayer> Typed(PSDLayer::LayerType t) {
    return Kernel::Counted<PSDLayer>(new PSDLayer(t, PSD::String("l")));
}

Kernel::Counted<Raster::DynamicBitmap> Opaque(uint32_t w, uint32_t h) {
    auto bm = Pattern(w, h, Raster::Format::RGBA8, 3);
    bm->FillChannel(3, 255);
    return bm;
}

TEST(BuildDocument, CreateEmptyChecksSizeAndFormat) {
    EXPECT_FALSE(Empty(0, 10, false, Raster::Format::RGBA8));
    EXPECT_FALSE(Empty(10, 0, true, Raster::Format::RGBA8));
    EXPECT_FALSE(Empty(30001, 10, false, Raster::Format::RGBA8));
    EXPECT_FALSE(Empty(10, 30001, false, Raster::Format::RGBA8));
    EXPECT_TRUE(Empty(30000, 30000, false, Raster::Format::RGBA8));
    auto psb = Empty(30001, 10, true, Raster::Format::RGBA8);
    ASSERT_TRUE(psb);
    EXPECT_TRUE(psb->IsPSB());
    EXPECT_TRUE(Empty(300000, 1, true, Raster::Format::RGBA8));
    EXPECT_FALSE(Empty(300001, 1, true, Raster::Format::RGBA8));
    EXPECT_FALSE(Empty(10, 10, false, Raster::Format::A8));
    EXPECT_FALSE(Empty(10, 10, false, Raster::Format::AF));
    EXPECT_FALSE(Empty(10, 10, false, Raster::Format(8)));

    struct Row {
        Raster::Format f;
        uint32_t mode;
        uint16_t depth;
    };
    for (Row r : {Row{Raster::Format::RGBA8, 3, 8}, Row{Raster::Format::RGBA16, 3, 16},
                  Row{Raster::Format::IA8, 1, 8}, Row{Raster::Format::IA16, 1, 16},
                  Row{Raster::Format::CMYKA8, 4, 8}, Row{Raster::Format::LABA16, 9, 16},
                  Row{Raster::Format::RGBAF, 3, 32}}) {
        auto doc = Empty(7, 9, false, r.f);
        ASSERT_TRUE(doc);
        EXPECT_EQ(doc->m_colourMode, r.mode);
        EXPECT_EQ(doc->m_depth, r.depth);
        EXPECT_EQ(doc->m_width, 7u);
        EXPECT_EQ(doc->m_height, 9u);
        EXPECT_EQ(doc->m_channelCount, 0);
    }
}

TEST(BuildDocument, TheEightThousandthNormalLayerIsRefused) {
    auto doc = Empty(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 7999; ++i) ASSERT_TRUE(doc->AddLayer(Typed(PSDLayer::kNormal))) << i;
    EXPECT_FALSE(doc->m_tooManyLayers);
    EXPECT_FALSE(doc->AddLayer(Typed(PSDLayer::kNormal)));
    EXPECT_TRUE(doc->m_tooManyLayers);
    EXPECT_EQ(doc->m_layers.size(), 7999u);
}

TEST(BuildDocument, GroupEndsWeighTwoAndGroupStartsNothing) {
    auto doc = Empty(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 7998; ++i) ASSERT_TRUE(doc->AddLayer(Typed(PSDLayer::kNormal)));
    // Group records themselves do not count.
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(doc->AddLayer(Typed(i % 2 ? PSDLayer::kOpenGroup : PSDLayer::kClosedGroup)));
    EXPECT_TRUE(doc->AddLayer(Typed(PSDLayer::kNormal)));  // 7999
    EXPECT_FALSE(doc->AddLayer(Typed(PSDLayer::kGroupEnd)));
    EXPECT_TRUE(doc->m_tooManyLayers);

    auto other = Empty(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 7997; ++i) ASSERT_TRUE(other->AddLayer(Typed(PSDLayer::kNormal)));
    EXPECT_TRUE(other->AddLayer(Typed(PSDLayer::kGroupEnd)));  // 7999
    EXPECT_FALSE(other->m_tooManyLayers);
}

TEST(BuildDocument, NullAndHugeLayersAreRefused) {
    auto doc = Empty(4, 4, true, Raster::Format::RGBA8);
    EXPECT_FALSE(doc->AddLayer(nullptr));
    auto wide = Typed(PSDLayer::kNormal);
    wide->m_left = -5;
    wide->m_right = 299996;  // 300001 wide
    EXPECT_FALSE(doc->AddLayer(wide));
    wide->m_right = 299995;
    EXPECT_TRUE(doc->AddLayer(wide));
    auto tall = Typed(PSDLayer::kOpenGroup);
    tall->m_bottom = 300001;
    EXPECT_FALSE(doc->AddLayer(tall));
    EXPECT_EQ(doc->m_layers.size(), 1u);
}

TEST(BuildDocument, OnlyATrailingGroupEndIsRemoved) {
    auto doc = Empty(4, 4, false, Raster::Format::RGBA8);
    EXPECT_FALSE(doc->RemoveLastSectionDividerLayer());
    doc->AddLayer(Typed(PSDLayer::kGroupEnd));
    doc->AddLayer(Typed(PSDLayer::kNormal));
    EXPECT_FALSE(doc->RemoveLastSectionDividerLayer());
    EXPECT_EQ(doc->m_layers.size(), 2u);
    doc->AddLayer(Typed(PSDLayer::kOpenGroup));
    EXPECT_FALSE(doc->RemoveLastSectionDividerLayer());
    doc->AddLayer(Typed(PSDLayer::kGroupEnd));
    EXPECT_TRUE(doc->RemoveLastSectionDividerLayer());
    ASSERT_EQ(doc->m_layers.size(), 3u);
    EXPECT_EQ(doc->m_layers.back()->m_sectionType, PSDLayer::kOpenGroup);
}

TEST(BuildDocument, ValidateLayerCountDropsTheTopmostNormalLayers) {
    auto doc = Empty(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 8001; ++i) {
        auto l = Typed(PSDLayer::kNormal);
        l->m_name = PSD::String(std::to_string(i));
        doc->m_layers.push_back(l);
    }
    doc->m_layers.push_back(Typed(PSDLayer::kGroupEnd));
    doc->ValidateLayerCount();
    EXPECT_TRUE(doc->m_tooManyLayers);
    ASSERT_EQ(doc->m_layers.size(), 7999u);
    EXPECT_EQ(doc->m_layers.back()->m_sectionType, PSDLayer::kGroupEnd);
    EXPECT_EQ(doc->m_layers[7997]->m_name, "7997");

    // Without normal layers nothing can be removed.
    auto groups = Empty(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 8000; ++i) groups->m_layers.push_back(Typed(PSDLayer::kOpenGroup));
    groups->ValidateLayerCount();
    EXPECT_EQ(groups->m_layers.size(), 8000u);
    EXPECT_TRUE(groups->m_tooManyLayers);

    auto few = Empty(4, 4, false, Raster::Format::RGBA8);
    few->m_layers.push_back(Typed(PSDLayer::kNormal));
    few->ValidateLayerCount();
    EXPECT_FALSE(few->m_tooManyLayers);
}

TEST(BuildDocument, FlatteningNeedsAFullOpaquePlainBottomLayer) {
    auto make = [] {
        auto doc = Empty(12, 8, false, Raster::Format::RGBA8);
        doc->AddLayer(MakeLayer("bottom", 0, 0, Opaque(12, 8)));
        return doc;
    };
    EXPECT_FALSE(Empty(12, 8, false, Raster::Format::RGBA8)->CanFlattenFirstLayer(false));
    EXPECT_TRUE(make()->CanFlattenFirstLayer(false));
    {
        auto doc = make();
        doc->m_layers[0]->m_left = 1;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
    }
    {
        auto doc = make();
        doc->m_layers[0]->m_bitmap->GetRow(7)[11 * 4 + 3] = 254;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
    }
    {
        auto doc = make();
        doc->m_layers[0]->m_opacity = 254;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
        doc->m_layers[0]->m_opacity = 255;
        doc->m_layers[0]->m_fillOpacity = 0;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
    }
    {
        auto doc = make();
        doc->m_layers[0]->m_userMask.m_present = true;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
    }
    {
        auto doc = make();
        doc->m_layers[0]->m_bitmap = nullptr;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
    }
    {
        auto doc = make();
        doc->m_layers[0]->m_sectionType = PSDLayer::kClosedGroup;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
    }
    {
        // Hidden: never when alone, and with others only when hidden layers are allowed.
        auto doc = make();
        doc->m_layers[0]->m_visible = false;
        EXPECT_FALSE(doc->CanFlattenFirstLayer(false));
        doc->AddLayer(MakeLayer("top", 1, 1, Opaque(2, 2)));
        EXPECT_TRUE(doc->CanFlattenFirstLayer(false));
        EXPECT_FALSE(doc->CanFlattenFirstLayer(true));
    }
}

TEST(BuildDocument, PromotionMakesABackgroundOrTheComposite) {
    auto single = Empty(12, 8, false, Raster::Format::RGBA8);
    auto bm = Opaque(12, 8);
    single->AddLayer(MakeLayer("only", 0, 0, bm));
    EXPECT_EQ(single->PromoteFirstLayerToBackground(false), 1);
    EXPECT_TRUE(single->m_layers.empty());
    EXPECT_EQ(single->GetFlattenedBitmap().Get(), bm.Get());
    EXPECT_EQ(single->m_mergedTransparency, 0u);

    auto two = Empty(12, 8, false, Raster::Format::RGBA8);
    two->AddLayer(MakeLayer("bottom", 0, 0, Opaque(12, 8)));
    two->AddLayer(MakeLayer("top", 2, 2, Pattern(3, 3, Raster::Format::RGBA8, 1)));
    EXPECT_EQ(two->PromoteFirstLayerToBackground(false), 2);
    ASSERT_EQ(two->m_layers.size(), 2u);
    PSDLayer const& b = *two->m_layers[0];
    EXPECT_EQ(b.m_name, "Background");
    EXPECT_TRUE(b.m_background && b.m_lockTransparency && b.m_lockComposite && b.m_lockPosition);

    auto no = Empty(12, 8, false, Raster::Format::RGBA8);
    no->AddLayer(MakeLayer("small", 0, 0, Opaque(11, 8)));
    EXPECT_EQ(no->PromoteFirstLayerToBackground(false), 0);
    EXPECT_EQ(no->m_layers.size(), 1u);

    // The promoted background saves without a transparency channel and reads back as one.
    Saved s = SaveToMemory(*two, false, false);
    ASSERT_TRUE(s.ok);
    PSD::PSDReport r;
    auto back = Reopen(s.bytes, r);
    ASSERT_TRUE(back) << ErrorText(r);
    EXPECT_TRUE(back->m_layers[0]->m_background);
    EXPECT_EQ(back->m_layers[0]->m_channels.size(), 3u);
}

TEST(BuildDocument, InsertedBackgroundsGoToTheBottom) {
    auto doc = Empty(10, 6, false, Raster::Format::RGBA8);
    doc->AddLayer(MakeLayer("top", 0, 0, Opaque(3, 3)));
    auto bg = MakeLayer("bg", 0, 0, Opaque(10, 6));
    doc->InsertBackgroundLayer(bg);
    ASSERT_EQ(doc->m_layers.size(), 2u);
    EXPECT_EQ(doc->m_layers[0].Get(), bg.Get());
    EXPECT_TRUE(bg->m_background);
    doc->InsertBackgroundLayer(nullptr);
    EXPECT_EQ(doc->m_layers.size(), 2u);
}

TEST(BuildDocument, MatteLayersAreWrittenAsTheirSolidColour) {
    struct Case {
        Raster::Format f;
        Kernel::Consolidated<Renderer::Colour> colour;
        std::vector<uint32_t> expect;  // per colour channel, in bitmap units
    };
    auto red = Renderer::ColourRGB::Create(Renderer::RGBA8{255, 0, 51, 255}, 1.0f, 0.0f, "");
    std::vector<Case> cases = {
        {Raster::Format::RGBA8, red, {255, 0, 51}},
        {Raster::Format::RGBA16, red, {65535, 0, 51 * 257}},
        {Raster::Format::CMYKA8,
         Renderer::ColourCMYK::Create(Renderer::CMYKA8{0, 255, 128, 10, 255}, 1, 0, ""),
         {255, 0, 127, 245}},
        {Raster::Format::IA8, Renderer::ColourGrayscale::Create(1.0f, 1, 0, ""), {255}},
    };
    for (auto const& c : cases) {
        for (bool psb : {false, true}) {
            auto doc = Empty(9, 5, psb, c.f);
            doc->InsertBackgroundMatteLayer(c.colour);
            doc->AddLayer(MakeLayer("top", 1, 1, Pattern(2, 2, c.f, 1)));
            ASSERT_EQ(doc->m_layers.size(), 2u);
            PSDLayer const& m = *doc->m_layers[0];
            EXPECT_EQ(m.m_name, "Background");
            EXPECT_TRUE(m.m_background && m.m_lockTransparency && m.m_lockComposite &&
                        m.m_lockPosition);
            EXPECT_EQ(m.m_right, 9);
            EXPECT_EQ(m.m_bottom, 5);
            Saved s = SaveToMemory(*doc, psb, false);
            ASSERT_TRUE(s.ok) << Raster::FormatName(c.f);
            PSD::PSDReport r;
            auto back = Reopen(s.bytes, r);
            ASSERT_TRUE(back) << ErrorText(r);
            PSDLayer const& g = *back->m_layers[0];
            EXPECT_TRUE(g.m_background);
            for (auto const& ch : g.m_channels) EXPECT_GE(ch.m_id, 0);
            Kernel::Counted<Raster::DynamicBitmap> bm;
            ASSERT_TRUE(g.GetBitmap(bm, r)) << ErrorText(r);
            ASSERT_TRUE(bm);
            ASSERT_EQ(bm->GetWidth(), 9u);
            for (uint32_t y = 0; y < 5; ++y) {
                for (uint32_t x = 0; x < 9; ++x) {
                    for (unsigned k = 0; k < c.expect.size(); ++k) {
                        uint8_t const* p = bm->GetRow(y) + (size_t(x) * bm->GetChannelCount() + k) *
                                                               bm->GetBytesPerSample();
                        uint32_t v = bm->GetBytesPerSample() == 2 ? uint32_t(p[0] | p[1] << 8) : *p;
                        ASSERT_EQ(v, c.expect[k]) << Raster::FormatName(c.f) << " channel " << k;
                    }
                }
            }
        }
    }
}

TEST(BuildDocument, SettersReplaceTheirFields) {
    auto doc = Empty(10, 10, false, Raster::Format::RGBA8);
    auto flat = Pattern(10, 10, Raster::Format::RGBA8, 1);
    EXPECT_TRUE(doc->SetFlattenedBitmap(flat));
    EXPECT_NE(doc->m_mergedTransparency, 0u);
    EXPECT_FALSE(doc->SetFlattenedBitmap(Opaque(10, 10)));
    EXPECT_EQ(doc->m_mergedTransparency, 0u);
    EXPECT_TRUE(doc->SetFlattenedBitmap(flat));
    EXPECT_FALSE(doc->SetFlattenedBitmap(nullptr));
    EXPECT_EQ(doc->m_mergedTransparency, 0u);
    EXPECT_FALSE(doc->GetFlattenedBitmap());

    auto m = Pattern(10, 10, Raster::Format::A8, 2);
    doc->SetMasks({m}, {"Alpha 1"});
    ASSERT_EQ(doc->m_masks.size(), 1u);
    EXPECT_EQ(doc->m_alphaChannelNames, std::vector<PSD::String>{"Alpha 1"});
    doc->SetMasks({}, {});
    EXPECT_TRUE(doc->m_masks.empty());

    doc->SetHorzGuides({1.5, 3});
    doc->SetVertGuides({7});
    EXPECT_EQ(doc->m_horizontalGuides, (std::vector<double>{1.5, 3}));
    EXPECT_EQ(doc->m_verticalGuides, (std::vector<double>{7}));
    doc->SetHorzGuides({10, 20}, 10, 2);
    EXPECT_EQ(doc->m_horizontalGuides, (std::vector<double>{0, 20}));
    doc->SetVertGuides({5}, 1, 0.5);
    EXPECT_EQ(doc->m_verticalGuides, (std::vector<double>{2}));

    doc->SetJPEG(9, PSD::JPEGMethod::Progressive, 300);
    EXPECT_TRUE(doc->m_jpeg.present);
    EXPECT_EQ(doc->m_jpeg.quality, 9);
    EXPECT_EQ(doc->m_jpeg.method, PSD::JPEGMethod::Progressive);
    EXPECT_EQ(doc->m_jpeg.scans, uint8_t(300));

    auto thumb = Pattern(4, 4, Raster::Format::RGBA8, 3);
    doc->SetThumbnail(thumb);
    EXPECT_EQ(doc->m_thumbnail.Get(), thumb.Get());
    auto colour = Renderer::ColourGrayscale::Create(0.5f, 1, 0, "");
    doc->SetBackgroundColour(colour);
    EXPECT_EQ(doc->m_backgroundColour.Get(), colour.Get());
    doc->SetWorkingPath(nullptr);
    EXPECT_FALSE(doc->m_workingPath);
    doc->SetPaths({});
    EXPECT_TRUE(doc->m_paths.empty());
}

}  // namespace
