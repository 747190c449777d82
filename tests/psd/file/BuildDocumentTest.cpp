// Building documents: creation limits and formats, the weighted layer limit, the list fix-ups,
// background promotion and matte layers, and the setters.
#include <functional>

#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/layer/PSDLayerKind.h"
#include "psd/layer/PSDSmartObject.h"
#include "psd/vector/PSDPath.h"
#include "tests/psd/file/SaveTestSupport.h"

namespace {

using namespace savetest;
using PSD::PSDFile;
using PSD::PSDLayer;

Kernel::Counted<PSDLayer> Typed(PSDLayer::LayerType t) {
    return Kernel::Counted<PSDLayer>(new PSDLayer(t, PSD::String("l")));
}

Kernel::Counted<Raster::DynamicBitmap> Opaque(uint32_t w, uint32_t h) {
    auto bm = Pattern(w, h, Raster::Format::RGBA8, 3);
    bm->FillChannel(3, 255);
    return bm;
}

TEST(BuildDocument, CreateEmptyChecksSizeAndFormat) {
    for (auto [w, h, psb, ok] : {std::tuple{0u, 10u, false, false},
                                 {10u, 0u, true, false},
                                 {30001u, 10u, false, false},
                                 {10u, 30001u, false, false},
                                 {30000u, 30000u, false, true},
                                 {30001u, 10u, true, true},
                                 {300000u, 1u, true, true},
                                 {300001u, 1u, true, false}}) {
        auto doc = NewDoc(w, h, psb, Raster::Format::RGBA8);
        EXPECT_EQ(bool(doc), ok) << w << "x" << h << " psb " << psb;
        if (doc) {
            EXPECT_EQ(doc->IsPSB(), psb);
        }
    }
    for (auto f : {Raster::Format::A8, Raster::Format::AF, Raster::Format(8)})
        EXPECT_FALSE(NewDoc(10, 10, false, f)) << int(f);
    for (auto [f, mode, depth] : {std::tuple{Raster::Format::RGBA8, 3u, 8},
                                  {Raster::Format::RGBA16, 3u, 16},
                                  {Raster::Format::IA8, 1u, 8},
                                  {Raster::Format::IA16, 1u, 16},
                                  {Raster::Format::CMYKA8, 4u, 8},
                                  {Raster::Format::LABA16, 9u, 16},
                                  {Raster::Format::RGBAF, 3u, 32}}) {
        auto doc = NewDoc(7, 9, false, f);
        ASSERT_TRUE(doc);
        EXPECT_EQ(std::tuple(doc->m_colourMode, int(doc->m_depth), doc->m_width, doc->m_height,
                             doc->m_channelCount),
                  std::tuple(mode, depth, 7u, 9u, uint16_t(0)));
    }
}

TEST(BuildDocument, AddLayerKeepsTheWeightedLayerLimit) {
    // Normal layers weigh one, group ends two, group starts nothing; weight 8000 is refused.
    using T = PSDLayer::LayerType;
    struct Case {
        char const* what;
        int normals;
        std::vector<std::pair<T, bool>> then;
    } const cases[] = {{"8000th normal", 7999, {{PSDLayer::kNormal, false}}},
                       {"group end to 8001",
                        7998,
                        {{PSDLayer::kOpenGroup, true},
                         {PSDLayer::kClosedGroup, true},
                         {PSDLayer::kOpenGroup, true},
                         {PSDLayer::kNormal, true},
                         {PSDLayer::kGroupEnd, false}}},
                       {"group end to 7999", 7997, {{PSDLayer::kGroupEnd, true}}}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        auto doc = NewDoc(4, 4, false, Raster::Format::RGBA8);
        for (int i = 0; i < c.normals; ++i) ASSERT_TRUE(doc->AddLayer(Typed(PSDLayer::kNormal)));
        bool failed = false;
        size_t added = size_t(c.normals);
        for (auto [type, ok] : c.then) {
            EXPECT_EQ(doc->HasTooManyLayers(), failed);
            EXPECT_EQ(doc->AddLayer(Typed(type)), ok);
            failed = failed || !ok;
            added += ok;
        }
        EXPECT_EQ(doc->HasTooManyLayers(), failed);
        EXPECT_EQ(doc->m_layers.size(), added);
    }
}

TEST(BuildDocument, NullAndHugeLayersAreRefused) {
    // Width and height are measured for every type, up to the PSB limit.
    auto doc = NewDoc(4, 4, true, Raster::Format::RGBA8);
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
    auto doc = NewDoc(4, 4, false, Raster::Format::RGBA8);
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
    auto doc = NewDoc(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 8001; ++i) {
        auto l = Typed(PSDLayer::kNormal);
        l->m_name = PSD::String(std::to_string(i));
        doc->m_layers.push_back(l);
    }
    doc->m_layers.push_back(Typed(PSDLayer::kGroupEnd));
    doc->ValidateLayerCount();
    EXPECT_TRUE(doc->HasTooManyLayers());
    ASSERT_EQ(doc->m_layers.size(), 7999u);
    EXPECT_EQ(doc->m_layers.back()->m_sectionType, PSDLayer::kGroupEnd);
    EXPECT_EQ(doc->m_layers[7997]->m_name, "7997");

    // Without normal layers nothing can be removed.
    auto groups = NewDoc(4, 4, false, Raster::Format::RGBA8);
    for (int i = 0; i < 8000; ++i) groups->m_layers.push_back(Typed(PSDLayer::kOpenGroup));
    groups->ValidateLayerCount();
    EXPECT_EQ(groups->m_layers.size(), 8000u);
    EXPECT_TRUE(groups->HasTooManyLayers());

    auto few = NewDoc(4, 4, false, Raster::Format::RGBA8);
    few->m_layers.push_back(Typed(PSDLayer::kNormal));
    few->ValidateLayerCount();
    EXPECT_FALSE(few->HasTooManyLayers());
}

TEST(BuildDocument, FlatteningNeedsAFullOpaquePlainBottomLayer) {
    EXPECT_FALSE(NewDoc(12, 8, false, Raster::Format::RGBA8)->CanFlattenFirstLayer(false));
    struct Case {
        char const* what;
        std::function<void(PSDLayer&)> change;
        bool ok;
    } const cases[] = {
        {"as made", [](PSDLayer&) {}, true},
        {"moved", [](PSDLayer& l) { l.m_left = 1; }, false},
        {"one pixel", [](PSDLayer& l) { l.m_bitmap->GetRow(7)[11 * 4 + 3] = 254; }, false},
        {"opacity", [](PSDLayer& l) { l.m_opacity = 254; }, false},
        {"fill", [](PSDLayer& l) { l.m_fillOpacity = 0; }, false},
        {"user mask", [](PSDLayer& l) { l.m_userMask.m_present = true; }, false},
        {"no pixels", [](PSDLayer& l) { l.m_bitmap = nullptr; }, false},
        {"group", [](PSDLayer& l) { l.m_sectionType = PSDLayer::kClosedGroup; }, false},
        {"hidden", [](PSDLayer& l) { l.m_visible = false; }, false}};
    for (auto const& c : cases) {
        auto doc = NewDoc(12, 8, false, Raster::Format::RGBA8);
        doc->AddLayer(MakeLayer("bottom", 0, 0, Opaque(12, 8)));
        c.change(*doc->m_layers[0]);
        EXPECT_EQ(doc->CanFlattenFirstLayer(false), c.ok) << c.what;
        // Hidden: never when alone, and with others only when hidden layers are allowed.
        if (std::string(c.what) == "hidden") {
            doc->AddLayer(MakeLayer("top", 1, 1, Opaque(2, 2)));
            EXPECT_TRUE(doc->CanFlattenFirstLayer(false));
            EXPECT_FALSE(doc->CanFlattenFirstLayer(true));
        }
    }
}

TEST(BuildDocument, PromotionMakesABackgroundOrTheComposite) {
    auto single = NewDoc(12, 8, false, Raster::Format::RGBA8);
    auto bm = Opaque(12, 8);
    single->AddLayer(MakeLayer("only", 0, 0, bm));
    EXPECT_EQ(single->PromoteFirstLayerToBackground(false), 1);
    EXPECT_TRUE(single->m_layers.empty());
    EXPECT_EQ(single->GetFlattenedBitmap().Get(), bm.Get());
    EXPECT_EQ(single->m_mergedTransparency, 0u);

    auto two = NewDoc(12, 8, false, Raster::Format::RGBA8);
    two->AddLayer(MakeLayer("bottom", 0, 0, Opaque(12, 8)));
    two->AddLayer(MakeLayer("top", 2, 2, Pattern(3, 3, Raster::Format::RGBA8, 1)));
    EXPECT_EQ(two->PromoteFirstLayerToBackground(false), 2);
    ASSERT_EQ(two->m_layers.size(), 2u);
    PSDLayer const& b = *two->m_layers[0];
    EXPECT_EQ(std::tuple(std::string(b.m_name), b.m_background, b.m_lockTransparency,
                         b.m_lockComposite, b.m_lockPosition),
              std::tuple(std::string("Background"), true, true, true, true));

    auto no = NewDoc(12, 8, false, Raster::Format::RGBA8);
    no->AddLayer(MakeLayer("small", 0, 0, Opaque(11, 8)));
    EXPECT_EQ(no->PromoteFirstLayerToBackground(false), 0);
    EXPECT_EQ(no->m_layers.size(), 1u);
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
        {Raster::Format::IA8, Renderer::ColourGrayscale::Create(1.0f, 1, 0, ""), {255}}};
    for (auto const& c : cases) {
        for (bool psb : {false, true}) {
            auto doc = NewDoc(9, 5, psb, c.f);
            doc->InsertBackgroundMatteLayer(c.colour);
            doc->AddLayer(MakeLayer("top", 1, 1, Pattern(2, 2, c.f, 1)));
            ASSERT_EQ(doc->m_layers.size(), 2u);
            PSDLayer const& m = *doc->m_layers[0];
            EXPECT_EQ(std::tuple(std::string(m.m_name), m.m_background, m.m_lockTransparency,
                                 m.m_lockComposite, m.m_lockPosition, m.m_right, m.m_bottom),
                      std::tuple(std::string("Background"), true, true, true, true, 9, 5));
            PSD::PSDReport r;
            auto back = SaveAndReopen(*doc, psb, false, r);
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

TEST(BuildDocument, SettersOfTheCompositeAndGuides) {
    // The composite tells merged transparency by its alpha; guides are moved and scaled.
    auto doc = NewDoc(10, 10, false, Raster::Format::RGBA8);
    auto flat = Pattern(10, 10, Raster::Format::RGBA8, 1);
    EXPECT_TRUE(doc->SetFlattenedBitmap(flat));
    EXPECT_NE(doc->m_mergedTransparency, 0u);
    EXPECT_FALSE(doc->SetFlattenedBitmap(Opaque(10, 10)));
    EXPECT_EQ(doc->m_mergedTransparency, 0u);
    EXPECT_TRUE(doc->SetFlattenedBitmap(flat));
    EXPECT_FALSE(doc->SetFlattenedBitmap(nullptr));
    EXPECT_EQ(doc->m_mergedTransparency, 0u);
    EXPECT_FALSE(doc->GetFlattenedBitmap());

    doc->SetHorzGuides({1.5, 3});
    EXPECT_EQ(doc->m_horizontalGuides, (std::vector<double>{1.5, 3}));
    doc->SetHorzGuides({10, 20}, 10, 2);
    EXPECT_EQ(doc->m_horizontalGuides, (std::vector<double>{0, 20}));
    doc->SetVertGuides({5}, 1, 0.5);
    EXPECT_EQ(doc->m_verticalGuides, (std::vector<double>{2}));
}

}  // namespace

namespace {

// The layer list bottom first, as names; end markers as "/".
std::string Names(PSDFile const& doc) {
    std::string out;
    for (auto const& l : doc.m_layers)
        out += (l->IsGroupEnd() ? std::string("/") : std::string(l->m_name)) +
               (l->m_clipping ? "^ " : " ");
    return out;
}

Kernel::Counted<PSDLayer> Named(char const* name) {
    return Kernel::Counted<PSDLayer>(new PSDLayer(PSDLayer::kNormal, PSD::String(name)));
}

}  // namespace

// Layers and groups go to the top of their parent, which saves and reads back as that tree.
TEST(BuildDocument, LayersAndGroupsGoToTheTopOfTheirParent) {
    auto doc = NewDoc(4, 4, false, Raster::Format::RGBA8);
    ASSERT_TRUE(doc->AddLayer(Named("a"), nullptr));
    auto outer = doc->AddGroup(PSD::String("G"), nullptr);
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->m_blendMode, PSD::BlendMode::PassThrough);
    ASSERT_TRUE(doc->AddLayer(Named("b"), outer.Get()));
    auto inner = doc->AddGroup(PSD::String("H"), outer.Get());
    ASSERT_TRUE(inner);
    ASSERT_TRUE(doc->AddLayer(Named("c"), inner.Get()));
    ASSERT_TRUE(doc->AddLayer(Named("d"), outer.Get()));
    ASSERT_TRUE(doc->AddLayer(Named("e"), nullptr));
    EXPECT_EQ(Names(*doc), "a / b / c H d G e ");
    // Not a group, and not a layer of this document.
    EXPECT_FALSE(doc->AddLayer(Named("x"), doc->m_layers[0].Get()));
    auto other = Named("y");
    EXPECT_FALSE(doc->AddLayer(Named("x"), other.Get()));
    EXPECT_FALSE(doc->AddGroup(PSD::String("x"), other.Get()));
    EXPECT_EQ(Names(*doc), "a / b / c H d G e ");
}

// Removing and restacking take a group's records along and keep every group closed.
TEST(BuildDocument, LayersAndGroupsAreRemovedAndRestacked) {
    struct Case {
        char const* layer;
        char const* parent;  // restacked into this group ("" the top level); null: removed
        size_t index;
        bool ok;
        char const* names;
    } const cases[] = {
        {"c", nullptr, 0, true, "a / b / H d G e "},
        {"H", nullptr, 0, true, "a / b d G e "},
        {"G", nullptr, 0, true, "a e "},
        {"y", nullptr, 0, false, "a / b / c H d G e "},
        {"e", "", 99, true, "e a / b / c H d G "},
        {"a", "H", 0, true, "/ b / c a H d G e "},
        {"H", "", 0, true, "a / b d G e / c H "},
        {"d", "G", 2, true, "a / d b / c H G e "},
        {"b", "G", 1, true, "a / / c H b d G e "},
        {"G", "H", 0, false, "a / b / c H d G e "},
        {"b", "d", 0, false, "a / b / c H d G e "},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.layer) +
                     (c.parent ? std::string(" into ") + c.parent : " removed"));
        auto doc = NewDoc(4, 4, false, Raster::Format::RGBA8);
        ASSERT_TRUE(doc->AddLayer(Named("a"), nullptr));
        auto g = doc->AddGroup(PSD::String("G"), nullptr);
        ASSERT_TRUE(doc->AddLayer(Named("b"), g.Get()));
        auto h = doc->AddGroup(PSD::String("H"), g.Get());
        ASSERT_TRUE(doc->AddLayer(Named("c"), h.Get()));
        ASSERT_TRUE(doc->AddLayer(Named("d"), g.Get()));
        ASSERT_TRUE(doc->AddLayer(Named("e"), nullptr));
        auto other = Named("y");
        auto find = [&](char const* name) -> PSDLayer const* {
            for (auto const& l : doc->m_layers)
                if (l->m_name == name) return l.Get();
            return std::string(name) == "y" ? other.Get() : nullptr;
        };
        bool ok = c.parent ? doc->RestackLayer(find(c.layer), *c.parent ? find(c.parent) : nullptr,
                                               c.index)
                           : doc->RemoveLayer(find(c.layer));
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(Names(*doc), c.names);
    }
}

// Clipped layers whose base goes are released, a layer dropped into a clipping group joins it,
// and nothing goes below a background layer or moves it up.
TEST(BuildDocument, RemovingAndRestackingKeepClippingGroupsAndTheBackground) {
    struct Case {
        char const* layer;
        bool removed;
        size_t index;  // restacked at the top level, this many layers from its top
        bool ok;
        char const* names;
    } const cases[] = {
        {"a", true, 0, true, "bg b c d e^ "},        {"b", true, 0, true, "bg a c^ d e^ "},
        {"d", true, 0, true, "bg a b^ c^ e "},       {"d", false, 2, true, "bg a b^ d^ c^ e "},
        {"c", false, 0, true, "bg a b^ d e^ c "},    {"a", false, 0, true, "bg b c d e^ a "},
        {"b", false, 3, true, "bg a b^ c^ d e^ "},   {"c", false, 1, true, "bg a b^ d c^ e^ "},
        {"a", false, 99, false, "bg a b^ c^ d e^ "}, {"bg", false, 0, false, "bg a b^ c^ d e^ "},
        {"bg", false, 99, true, "bg a b^ c^ d e^ "},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.layer) + (c.removed ? " removed" : " restacked"));
        auto doc = NewDoc(4, 4, false, Raster::Format::RGBA8);
        for (char const* name : {"bg", "a", "b", "c", "d", "e"}) {
            auto l = Named(name);
            l->m_background = name == std::string("bg");
            l->m_clipping =
                std::string(" b c e ").find(std::string(" ") + name + " ") != std::string::npos;
            ASSERT_TRUE(doc->AddLayer(l, nullptr));
        }
        PSDLayer const* layer = nullptr;
        for (auto const& l : doc->m_layers)
            if (l->m_name == c.layer) layer = l.Get();
        bool ok = c.removed ? doc->RemoveLayer(layer) : doc->RestackLayer(layer, nullptr, c.index);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(Names(*doc), c.names);
    }
}

TEST(BuildDocument, MoveByShiftsBoundsAndMasksWithinRange) {
    struct Case {
        int64_t dx, dy;
        bool ok;
    };
    for (auto c : {Case{3, -2, true}, Case{-10, 0, true}, Case{int64_t(INT32_MAX), 0, false},
                   Case{0, int64_t(INT32_MIN) - 10, false}}) {
        PSDLayer l(PSDLayer::kNormal, PSD::String("l"));
        l.m_left = 1, l.m_top = 2, l.m_right = 5, l.m_bottom = 6;
        l.m_userMask = {true, false, false, false, false, 0, 0, 1, 2, 3};
        l.m_realMask = {true, false, false, false, false, 0, 4, 4, 8, 8};
        EXPECT_EQ(l.MoveBy(c.dx, c.dy), c.ok) << c.dx << "," << c.dy;
        int64_t mx = c.ok ? c.dx : 0, my = c.ok ? c.dy : 0;
        EXPECT_EQ(l.m_left, 1 + mx);
        EXPECT_EQ(l.m_bottom, 6 + my);
        EXPECT_EQ(l.m_userMask.m_right, 2 + mx);
        EXPECT_EQ(l.m_userMask.m_bottom, 3 + my);
        EXPECT_EQ(l.m_realMask.m_left, 4 + mx);
        EXPECT_EQ(l.m_realMask.m_top, 4 + my);
        // The editor's drawing of a vector mask goes where the vector mask goes: with the layer
        // when linked, nowhere when not.
        l.m_userMask.m_fromRendering = true;
        auto path = Kernel::MakeCounted<PSD::PSDPath>();
        path->m_outline = Kernel::MakeCounted<Geometry::PolyCurveDbl>();
        path->m_outline->AddRectangle({1.5, 2.5, 4.5, 5.5});
        l.m_vectorMask = path;
        l.m_smartObject = Kernel::MakeCounted<PSD::PSDSmartObject>();
        l.m_smartObject->m_transform = {1, 2, 5, 2, 5, 6, 1, 6};
        for (bool linked : {true, false}) {
            l.m_vectorMaskFlag1 = !linked;
            int32_t userRight = l.m_userMask.m_right, realLeft = l.m_realMask.m_left;
            double outlineLeft = l.m_vectorMask->m_outline->GetBoundingRect().left;
            double placedX = l.m_smartObject->m_transform[2];
            EXPECT_EQ(l.MoveBy(c.dx, c.dy), c.ok);
            EXPECT_EQ(l.m_userMask.m_right, userRight + (linked ? mx : 0));
            EXPECT_EQ(l.m_realMask.m_left, realLeft + mx);
            EXPECT_EQ(l.m_vectorMask->m_outline->GetBoundingRect().left,
                      outlineLeft + (linked ? mx : 0));
            EXPECT_EQ(l.m_smartObject->m_transform[2], placedX + mx);
            EXPECT_EQ(l.m_smartObject->IsMoved(), c.ok);
        }
        // The path read is left as it was: the moved one is a copy.
        EXPECT_EQ(path->m_outline->GetBoundingRect().left, 1.5);
    }
}

// Adjustment and fill layers made here save with the editor's settings for a new layer of their
// kind, and read back as that kind, in documents of three and four colour channels.
TEST(BuildDocument, AdjustmentLayersAreAddedWithTheEditorsSettings) {
    char const* const kinds[] = {
        "levels",        "curves",         "brightnesscontrast", "huesaturation", "colorbalance",
        "blackandwhite", "photofilter",    "channelmixer",       "colorlookup",   "invert",
        "posterize",     "threshold",      "selectivecolor",     "gradientmap",   "exposure",
        "vibrance",      "solidcolorfill", "gradientfill"};
    for (auto format : {Raster::Format::RGBA8, Raster::Format::CMYKA8}) {
        auto doc = NewDoc(6, 4, false, format);
        doc->AddLayer(MakeLayer("base", 0, 0, Pattern(6, 4, format, 1)));
        EXPECT_FALSE(doc->AddAdjustmentLayer(PSD::String("none"), nullptr, nullptr));
        EXPECT_FALSE(doc->AddAdjustmentLayer(PSD::String("no pattern"),
                                             PSD::NewAdjustment("patternfill", 3), nullptr));
        std::vector<std::string> made;
        for (char const* kind : kinds) {
            auto a = PSD::NewAdjustment(kind, format == Raster::Format::CMYKA8 ? 4 : 3);
            ASSERT_TRUE(a) << kind;
            auto layer = doc->AddAdjustmentLayer(PSD::String(kind), a, nullptr);
            ASSERT_TRUE(layer) << kind;
            EXPECT_STREQ(PSD::LayerKind(*layer), kind);
            made.push_back(PSD::AdjustmentJson(*a).dump());
        }
        for (bool psb : {false, true}) {
            PSD::PSDReport r;
            auto back = SaveAndReopen(*doc, psb, false, r);
            ASSERT_TRUE(back) << ErrorText(r);
            ASSERT_EQ(back->m_layers.size(), 1 + made.size());
            for (size_t i = 0; i < made.size(); ++i) {
                PSDLayer const& l = *back->m_layers[i + 1];
                SCOPED_TRACE(kinds[i]);
                EXPECT_STREQ(PSD::LayerKind(l), kinds[i]);
                ASSERT_TRUE(l.GetAdjustment());
                EXPECT_EQ(PSD::AdjustmentJson(*l.GetAdjustment()).dump(), made[i]);
            }
        }
    }
}
