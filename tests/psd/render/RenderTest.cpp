// The renderer: blend formulas per family, then small documents built in memory whose one or two
// pixels say whether opacity, masks, clipping, groups, adjustments and deep samples composite as
// the editor does, and a few corpus documents against the composites their files store.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "host/raster/ICC.h"
#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/effects/PSDEffect.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDLayerRows.h"
#include "psd/render/PSDBlend.h"
#include "psd/render/PSDRender.h"
#include "psd/render/PSDRenderAdjustment.h"
#include "psd/render/PSDRenderEffects.h"
#include "tests/support/BitmapSamples.h"
#include "tests/support/CorpusRoot.h"

namespace {

using namespace PSD;
using Layer = Kernel::Counted<PSDLayer>;

TEST(Blend, FormulasPerFamily) {
    struct Case {
        BlendMode mode;
        float b, s, want;
    } const cases[] = {
        {BlendMode::Darken, 0.6f, 0.3f, 0.3f},      {BlendMode::Lighten, 0.6f, 0.3f, 0.6f},
        {BlendMode::Multiply, 0.5f, 0.4f, 0.2f},    {BlendMode::Screen, 0.5f, 0.4f, 0.7f},
        {BlendMode::ColourBurn, 0.5f, 0.25f, 0.0f}, {BlendMode::ColourBurn, 0.8f, 0.5f, 0.6f},
        {BlendMode::ColourDodge, 0.3f, 0.5f, 0.6f}, {BlendMode::ColourDodge, 0.0f, 1.0f, 0.0f},
        {BlendMode::LinearBurn, 0.7f, 0.6f, 0.3f},  {BlendMode::LinearDodge, 0.7f, 0.6f, 1.0f},
        {BlendMode::Overlay, 0.25f, 0.5f, 0.25f},   {BlendMode::Overlay, 0.75f, 0.5f, 0.75f},
        {BlendMode::HardLight, 0.5f, 0.25f, 0.25f}, {BlendMode::HardLight, 0.5f, 0.75f, 0.75f},
        {BlendMode::SoftLight, 0.25f, 0.5f, 0.25f}, {BlendMode::SoftLight, 0.25f, 1.0f, 0.5f},
        {BlendMode::SoftLight, 0.5f, 0.0f, 0.25f},  {BlendMode::VividLight, 0.5f, 0.75f, 1.0f},
        {BlendMode::VividLight, 0.8f, 0.25f, 0.6f}, {BlendMode::LinearLight, 0.5f, 0.75f, 1.0f},
        {BlendMode::VividLight, 1.0f, 0.0f, 0.0f},  {BlendMode::VividLight, 0.0f, 1.0f, 1.0f},
        {BlendMode::LinearLight, 0.5f, 0.4f, 0.3f}, {BlendMode::PinLight, 0.9f, 0.25f, 0.5f},
        {BlendMode::PinLight, 0.1f, 0.75f, 0.5f},   {BlendMode::HardMix, 0.5f, 0.49f, 0.0f},
        {BlendMode::HardMix, 0.5f, 0.5f, 1.0f},     {BlendMode::Difference, 0.2f, 0.7f, 0.5f},
        {BlendMode::Exclusion, 0.5f, 0.5f, 0.5f},   {BlendMode::Subtract, 0.7f, 0.2f, 0.5f},
        {BlendMode::Subtract, 0.2f, 0.7f, 0.0f},    {BlendMode::Divide, 0.3f, 0.6f, 0.5f},
        {BlendMode::Divide, 0.3f, 0.0f, 1.0f},      {BlendMode::Normal, 0.3f, 0.6f, 0.6f},
        {BlendMode::ColourBurn, 1 - 6e-8f, 0, 1},   {BlendMode::ColourDodge, 6e-8f, 1, 0},
    };
    // The last two cases: a backdrop a rounding error off white or black is white or black.
    BlendContext grey{1, false, false};
    for (auto const& c : cases) {
        float out = -1;
        BlendColours(c.mode, grey, &c.b, &c.s, &out);
        EXPECT_NEAR(out, c.want, 1e-5) << "mode " << int(c.mode) << " b " << c.b << " s " << c.s;
    }

    // The component modes keep the backdrop's luminosity (or take the source's) and clip back
    // into range; the colour modes pick the whole darker or lighter colour.
    BlendContext rgb{3, true, false};
    float red[3] = {1, 0, 0}, grey50[3] = {0.5f, 0.5f, 0.5f}, out[3];
    BlendColours(BlendMode::Luminosity, rgb, red, grey50, out);
    EXPECT_NEAR(0.3f * out[0] + 0.59f * out[1] + 0.11f * out[2], 0.5f, 1e-5);
    EXPECT_GT(out[0], out[1]);
    BlendColours(BlendMode::Colour, rgb, grey50, red, out);
    EXPECT_NEAR(0.3f * out[0] + 0.59f * out[1] + 0.11f * out[2], 0.5f, 1e-5);
    EXPECT_NEAR(out[1], out[2], 1e-6);
    BlendColours(BlendMode::Saturation, rgb, red, grey50, out);
    EXPECT_NEAR(out[0], out[1], 1e-6);  // no saturation left: grey of red's luminosity
    EXPECT_NEAR(out[0], 0.3f, 1e-5);
    BlendColours(BlendMode::DarkerColour, rgb, red, grey50, out);
    EXPECT_EQ(out[0], 1.0f);  // by luminosity: red 0.3, the grey 0.5
    BlendColours(BlendMode::LighterColour, rgb, red, grey50, out);
    EXPECT_EQ(out[0], 0.5f);
    float green[3] = {0, 1, 0}, blue[3] = {0, 0, 1};  // the same sum, green far lighter
    BlendColours(BlendMode::LighterColour, rgb, green, blue, out);
    EXPECT_EQ(out[1], 1.0f);

    // A half-transparent backdrop takes half the blended colour and half the source's.
    RenderPixel b{{0.5f}, 0.5f}, s{{0.4f}, 1.0f};
    CompositePixel(BlendMode::Multiply, grey, b, s);
    EXPECT_NEAR(b.c[0], 0.5f * 0.4f + 0.5f * 0.2f, 1e-6);
    EXPECT_EQ(b.a, 1.0f);

    // Type in the text gamma: red text's green over white, as the editor's composites of
    // text-layer hold it at three of its anti-aliasing levels; over nothing it keeps its colour.
    for (auto [alpha, want] : {std::pair{17, 244}, {136, 156}, {238, 38}}) {
        RenderPixel white{{1, 1, 1}, 1}, text{{1, 0, 0}, alpha / 255.0f};
        CompositeTextGamma(rgb, white, text);
        EXPECT_NEAR(white.c[1] * 255, want, 0.5) << alpha;
        EXPECT_NEAR(white.c[0], 1.0f, 1e-6);
    }
    RenderPixel clear, text{{1, 0, 0}, 0.5f};
    CompositeTextGamma(rgb, clear, text);
    EXPECT_EQ(clear.c[0], 1.0f);
    EXPECT_EQ(clear.a, 0.5f);
}

// A document two pixels wide whose layers are built in the cases below.
struct Stack {
    static double Scale(unsigned bytes) { return bytes == 1 ? 255.0 : bytes == 2 ? 65535.0 : 1.0; }
    Kernel::Counted<PSDFile> doc;
    Raster::Format format;
    explicit Stack(Raster::Format f = Raster::Format::RGBA8) : format(f) {
        doc = PSDFile::CreateEmpty(2, 1, false, f, nullptr, nullptr);
    }
    // A layer over both pixels, of the colour and alpha given per pixel (0..1).
    Layer Add(std::array<std::array<float, 4>, 2> px, PSDLayer const* parent = nullptr) {
        auto bm = Raster::DynamicBitmap::Create(2, 1, format);
        unsigned bytes = bm->GetBytesPerSample();
        for (uint32_t x = 0; x < 2; ++x)
            for (unsigned c = 0; c < 4; ++c) {
                float v = px[x][c];
                testsupport::StoreSample(bm->GetRow(0) + bytes * (4 * x + c), bytes,
                                         bytes == 4 ? v : double(std::lround(v * Scale(bytes))));
            }
        Layer l(new PSDLayer(PSDLayer::kNormal, "layer"));
        l->m_right = 2, l->m_bottom = 1;
        l->m_bitmap = bm;
        EXPECT_TRUE(doc->AddLayer(l, parent));
        return l;
    }
    // Red of pixel x as rendered (0..1).
    std::array<float, 4> Pixel(uint32_t x, PSDRenderOptions const& o = {}) {
        PSDRenderResult r;
        std::string error;
        EXPECT_TRUE(RenderDocument(*doc, o, r, error)) << error;
        std::array<float, 4> out{};
        unsigned bytes = r.bitmap->GetBytesPerSample();
        for (unsigned c = 0; c < 4; ++c)
            out[c] = float(testsupport::LoadSample(r.bitmap->GetRow(0) + bytes * (4 * x + c), bytes) /
                           Scale(bytes));
        return out;
    }
};

std::array<std::array<float, 4>, 2> Both(float r, float g, float b, float a = 1) {
    return {{{r, g, b, a}, {r, g, b, a}}};
}

void Mask(PSDLayer& l, uint8_t first, uint8_t second, uint8_t outside, int32_t width = 2) {
    auto bm = Raster::DynamicBitmap::Create(uint32_t(width), 1, Raster::Format::A8);
    bm->GetRow(0)[0] = first;
    if (width > 1) bm->GetRow(0)[1] = second;
    l.m_userMask.m_present = true;
    l.m_userMask.m_right = width, l.m_userMask.m_bottom = 1;
    l.m_userMask.m_defaultColour = outside;
    l.m_bitmapUserMask = bm;
}

// The colour adjustments at colours whose result follows from the settings alone: a range
// moved all the way, a full-density filter, saturation taken away, lightness put back.
TEST(Render, ColourAdjustmentsAtKnownColours) {
    auto balance = [](bool preserve) {
        auto a = Kernel::MakeCounted<PSDAdjustmentColourBalance>();
        a->m_midtones = {100, 0, 0};
        a->m_preserveLuminosity = preserve;
        return Kernel::Counted<PSDAdjustment>(a);
    };
    auto selective = [](uint16_t method, PSDAdjustmentSelectiveColour::Record reds) {
        auto a = Kernel::MakeCounted<PSDAdjustmentSelectiveColour>();
        a->m_method = method;
        a->m_records[1] = reds;
        return Kernel::Counted<PSDAdjustment>(a);
    };
    auto filter = [](bool preserve) {
        auto a = Kernel::MakeCounted<PSDAdjustmentPhotoFilter>();
        a->m_colour = Renderer::ColourRGB::Create(Renderer::RGBA8{255, 0, 0, 255}, 1.0f, 1.0f, {});
        a->m_density = 100;
        a->m_preserveLuminosity = preserve;
        return Kernel::Counted<PSDAdjustment>(a);
    };
    auto vibrance = [](int32_t vibrance, int32_t saturation) {
        auto a = Kernel::MakeCounted<PSDAdjustmentVibrance>();
        a->m_vibrance = vibrance, a->m_saturation = saturation;
        return Kernel::Counted<PSDAdjustment>(a);
    };
    struct Case {
        char const* name;
        Kernel::Counted<PSDAdjustment> adjustment;
        std::array<float, 3> in, out;
    } const cases[] = {
        {"balance", balance(false), {0.5f, 0.5f, 0.5f}, {1, 0.5f, 0.5f}},
        {"balance, lightness kept", balance(true), {0.5f, 0.5f, 0.5f}, {1, 0, 0}},
        {"selective absolute cyan", selective(1, {100, 0, 0, 0}), {1, 0, 0}, {0, 0, 0}},
        {"selective relative cyan on no ink", selective(0, {100, 0, 0, 0}), {1, 0, 0}, {1, 0, 0}},
        {"selective reds leave grey",
         selective(1, {100, 0, 0, 100}),
         {0.5f, 0.5f, 0.5f},
         {0.5f, 0.5f, 0.5f}},
        {"filter", filter(false), {1, 1, 1}, {1, 0, 0}},
        {"filter, luminosity kept", filter(true), {1, 1, 1}, {1, 0.7f, 0.7f}},
        {"no saturation", vibrance(0, -100), {1, 0, 0}, {0.3f, 0.3f, 0.3f}},
        {"vibrance", vibrance(100, 0), {0.6f, 0.4f, 0.4f}, {0.6933f, 0.36f, 0.36f}},
        {"a colour lookup without a table",
         Kernel::MakeCounted<PSDAdjustmentColourLookup>(),
         {0.2f, 0.5f, 0.9f},
         {0.2f, 0.5f, 0.9f}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        std::string undrawn;
        auto f = PSDPixelAdjustment::Create(*c.adjustment, BlendContext{}, false, undrawn);
        ASSERT_TRUE(f) << undrawn;
        float px[4] = {c.in[0], c.in[1], c.in[2], 0};
        f->Apply(px);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(px[i], c.out[size_t(i)], 2e-3f) << i;
    }
    // Hue/saturation at levels read off the editor's composites of huesaturation_rgb and
    // huesaturation_lightness_rgb: master values (a grey stays grey; a near grey takes the hue
    // of its last level after lightness), then colour ranges whose hues add up, whose gains
    // scale the master's by their summed departures from 1 (a +100 range at a fifth of its
    // weight undoes a -97 master) and whose lightness turns colours grey, not black.
    using Ranges = std::array<PSDAdjustmentHSLShift::Range, 6>;
    auto hsl = [](PSDAdjustmentHSLShift::HSL master, Ranges ranges = {}) {
        auto a = Kernel::MakeCounted<PSDAdjustmentHSLShift>();
        a->m_master = master;
        a->m_ranges = ranges;
        return a;
    };
    Ranges const saturations = {{{207, 239, 351, 37, 32, 93, 0},
                                 {15, 45, 75, 105, 0, 0, 0},
                                 {267, 315, 343, 27, -38, -83, 0},
                                 {279, 46, 107, 147, 0, -61, 0},
                                 {195, 225, 319, 8, 0, 0, 0},
                                 {82, 133, 151, 171, 0, 100, 0}}};
    Ranges const lightnesses = {{{111, 191, 279, 8, 0, 0, -100},
                                 {15, 45, 75, 105, 0, 0, -84},
                                 {75, 105, 135, 165, 0, 0, 0},
                                 {135, 165, 195, 225, 0, 0, -39},
                                 {246, 277, 324, 336, 0, 0, 0},
                                 {214, 245, 275, 305, 0, 0, -34}}};
    struct Shift {
        Kernel::Counted<PSDAdjustmentHSLShift> a;
        std::array<float, 3> in, out;
    } const shifts[] = {
        {hsl({122, 100, -37}), {255, 255, 255}, {161, 161, 161}},
        {hsl({122, 100, -37}), {166, 167, 169}, {212, 7, 0}},
        {hsl({122, 100, -37}), {211, 204, 214}, {255, 181, 9}},
        // Near greys: the lightness scales by whole levels (161/255), and +100 saturation by
        // at most 128, so one level's difference keeps some grey.
        {hsl({122, 100, -37}), {123, 122, 124}, {136, 141, 13}},
        {hsl({122, 100, -37}), {227, 224, 219}, {26, 255, 171}},
        {hsl({122, 100, -37}), {195, 195, 194}, {58, 181, 186}},
        {hsl({0, -97, 0}, saturations), {114, 103, 137}, {125, 113, 127}},
        {hsl({0, -97, 0}, saturations), {114, 125, 153}, {129, 129, 138}},
        {hsl({0, -97, 0}, saturations), {87, 255, 8}, {87, 255, 8}},
        {hsl({0, -97, 0}, saturations), {21, 46, 0}, {21, 42, 4}},
        {hsl({0, -97, 0}, saturations), {255, 13, 8}, {169, 98, 93}},
        {hsl({0, 0, 76}, lightnesses), {190, 189, 199}, {239, 239, 239}},
        {hsl({0, 0, 76}, lightnesses), {35, 10, 0}, {202, 195, 193}},
    };
    for (auto const& c : shifts) {
        std::string why;
        auto f = PSDPixelAdjustment::Create(*c.a, BlendContext{}, false, why);
        ASSERT_TRUE(f) << why;
        float px[4] = {c.in[0] / 255, c.in[1] / 255, c.in[2] / 255, 0};
        f->Apply(px);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(px[i] * 255, c.out[size_t(i)], 2) << c.in[0] << " " << i;
    }
    // Modern brightness/contrast near the editor's curves (levels read off its composites of
    // brightnesscontrast_rgb): approximated, to within 16 levels.
    struct Curve {
        int16_t brightness, contrast;
        float at64, at128, at192;
    } const curves[] = {{150, -21, 158, 236, 252}, {23, 70, 57, 157, 229}, {-31, 47, 42, 99, 171}};
    for (auto const& c : curves) {
        PSDAdjustmentBrightnessContrast b;
        b.m_brightness = c.brightness, b.m_contrast = c.contrast, b.m_useLegacy = false;
        std::string why;
        auto f = PSDPixelAdjustment::Create(b, BlendContext{}, false, why);
        ASSERT_TRUE(f) << why;
        float px[4] = {64 / 255.0f, 128 / 255.0f, 192 / 255.0f, 0};
        f->Apply(px);
        EXPECT_NEAR(px[0] * 255, c.at64, 16) << c.brightness;
        EXPECT_NEAR(px[1] * 255, c.at128, 16) << c.brightness;
        EXPECT_NEAR(px[2] * 255, c.at192, 16) << c.brightness;
    }
    std::string undrawn;
    // A Lab document's gradient map runs by lightness to its stops' Lab values, not their RGB.
    auto map = Kernel::MakeCounted<PSDAdjustmentGradientMap>();
    map->m_gradient.m_smoothness = 0;
    map->m_gradient.m_colours = {
        {0, 50, Renderer::ColourGrayscale::Create(0, 1, 1, ""), "UsrS"},
        {4096, 50,
         Renderer::ColourLAB::Create(Renderer::LABA16{32768, 49152, 16384, 65535}, 1, 1, ""),
         "UsrS"}};
    auto lab = PSDPixelAdjustment::Create(*map, BlendContext{3, false, false}, false, undrawn);
    ASSERT_TRUE(lab) << undrawn;
    float white[4] = {1, 0.5f, 0.5f, 1}, dark[4] = {0.25f, 0.9f, 0.1f, 1};
    lab->Apply(white), lab->Apply(dark);
    EXPECT_NEAR(white[0], 0.5f, 0.01f);
    EXPECT_NEAR(white[1], 0.75f, 0.01f);
    EXPECT_NEAR(white[2], 0.25f, 0.01f);
    EXPECT_NEAR(dark[0], 0.125f, 0.02f);
    EXPECT_NEAR(dark[1], 0.5625f, 0.02f);
    // CMYK threshold (samples as stored, 1 = no ink) gives black of the black ink alone.
    auto threshold = Kernel::MakeCounted<PSDAdjustmentThreshold>();
    threshold->m_level = 128;
    auto t = PSDPixelAdjustment::Create(*threshold, BlendContext{4, false, false}, true, undrawn);
    ASSERT_TRUE(t);
    float ink[4] = {0.2f, 0.3f, 0.9f, 0.8f}, paper[4] = {0.95f, 0.9f, 1, 1};
    t->Apply(ink), t->Apply(paper);
    EXPECT_EQ(std::vector<float>(ink, ink + 4), (std::vector<float>{1, 1, 1, 0}));
    EXPECT_EQ(std::vector<float>(paper, paper + 4), (std::vector<float>{1, 1, 1, 1}));
    // A CMYK gradient map places black ink alone as far down the ramp as its grey.
    map->m_gradient.m_colours[1].colour = Renderer::ColourGrayscale::Create(1, 1, 1, "");
    auto cmykMap = PSDPixelAdjustment::Create(*map, BlendContext{4, false, false}, true, undrawn);
    ASSERT_TRUE(cmykMap) << undrawn;
    float blackInk[4] = {1, 1, 1, 0.25f};
    cmykMap->Apply(blackInk);
    EXPECT_NEAR(blackInk[3], 0.25f, 0.01f);
    // Exposure goes through a grey document's tone curve: with a straight one, a stop doubles.
    auto exposure = Kernel::MakeCounted<PSDAdjustmentExposure>();
    exposure->m_exposure = 1, exposure->m_gamma = 1;
    std::vector<float> straight(4096);
    for (size_t i = 0; i < straight.size(); ++i) straight[i] = float(i) / 4095;
    BlendContext grey{1, false, false, &straight};
    auto e = PSDPixelAdjustment::Create(*exposure, grey, false, undrawn);
    ASSERT_TRUE(e);
    float quarter[4] = {0.25f, 0, 0, 0};
    e->Apply(quarter);
    EXPECT_NEAR(quarter[0], 0.5f, 2e-3f);
}

TEST(Render, StacksOfLayers) {
    struct Case {
        char const* what;
        void (*build)(Stack& s);
        std::array<float, 4> first, second;  // the two pixels, RGBA
    } const cases[] = {
        {"opacity and fill multiply",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             auto top = s.Add(Both(1, 0, 0));
             top->m_opacity = 128, top->m_fillOpacity = 128;
         },
         {0.25f, 0, 0.75f, 1},
         {0.25f, 0, 0.75f, 1}},
        {"fill of linear light fades the source toward grey, not the layer's coverage",
         [](Stack& s) {
             s.Add({{{0, 0, 1, 0.6f}, {0, 0, 0, 0}}});
             auto top = s.Add(Both(1, 0, 0));
             top->m_blendMode = BlendMode::LinearLight, top->m_fillOpacity = 51;
         },
         {0.2f / 0.68f, 0, 0.48f / 0.68f, 0.68f},
         {1, 0, 0, 0.2f}},
        {"half-transparent over half-transparent, and nothing over something",
         [](Stack& s) {
             s.Add({{{1, 0, 0, 0.5f}, {0, 1, 0, 0.5f}}});
             s.Add({{{0, 0, 1, 0.5f}, {1, 1, 1, 0}}});
         },
         {1 / 3.0f, 0, 2 / 3.0f, 0.75f},
         {0, 1, 0, 0.5f}},
        {"multiply over a transparent pixel takes the source",
         [](Stack& s) {
             s.Add({{{0.5f, 0.5f, 0.5f, 1}, {0, 0, 0, 0}}});
             s.Add(Both(0.5f, 1, 1))->m_blendMode = BlendMode::Multiply;
         },
         {0.25f, 0.5f, 0.5f, 1},
         {0.5f, 1, 1, 1}},
        {"mask per pixel, the default colour past its edge",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             Mask(*s.Add(Both(1, 0, 0)), 0, 0, 255, 1);
         },
         {0, 0, 1, 1},
         {1, 0, 0, 1}},
        {"a disabled mask does nothing; an inverted one's samples are as decoded (inverted "
         "already), its value outside them inverted",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             auto a = s.Add(Both(1, 0, 0));
             Mask(*a, 255, 0, 255, 1);
             a->m_userMask.m_invert = true;
             auto b = s.Add(Both(0, 1, 0, 0.5f));
             Mask(*b, 0, 0, 0);
             b->m_userMask.m_disabled = true;
         },
         {0.5f, 0.5f, 0, 1},
         {0, 0.5f, 0.5f, 1}},
        {"mask density keeps part of what the mask hides",
         [](Stack& s) {
             s.Add(Both(0, 0, 0));
             auto a = s.Add(Both(1, 1, 1));
             // The pixel mask in the record's second slot, beside the editor's drawing of a
             // vector mask; the density is the pixel mask's.
             Mask(*a, 0, 255, 0);
             a->m_realMask = a->m_userMask, a->m_bitmapRealMask = a->m_bitmapUserMask;
             Mask(*a, 255, 255, 255);
             a->m_userMask.m_fromRendering = true;
             a->m_pixelMaskDensity = 128;
             a->m_maskParameters = 0x01;
         },
         {0.5f, 0.5f, 0.5f, 1},
         {1, 1, 1, 1}},
        {"clipped to the base's shape, hidden with a hidden base",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             s.Add({{{0, 1, 0, 1}, {0, 1, 0, 0}}});
             s.Add(Both(1, 0, 0))->m_clipping = true;
             auto hidden = s.Add(Both(1, 1, 1, 0));
             hidden->m_visible = false;
             s.Add(Both(1, 1, 1))->m_clipping = true;
         },
         {1, 0, 0, 1},
         {0, 0, 1, 1}},
        {"a clipped layer lies inside its base's shape: the base's alpha stays",
         [](Stack& s) {
             s.Add(Both(1, 0, 0, 0.5f));
             s.Add(Both(0, 1, 0))->m_clipping = true;
         },
         {0, 1, 0, 0.5f},
         {0, 1, 0, 0.5f}},
        {"an isolated group sees nothing below it, a pass-through group does",
         [](Stack& s) {
             s.Add(Both(0.5f, 0.5f, 0.5f));
             auto g = s.doc->AddGroup("isolated", nullptr);
             g->m_blendMode = BlendMode::Normal;
             auto a = s.Add({{{1, 0, 0, 1}, {0, 0, 0, 0}}}, g.Get());
             a->m_blendMode = BlendMode::Multiply;
             auto p = s.doc->AddGroup("pass", nullptr);
             p->m_blendMode = BlendMode::PassThrough;
             s.Add({{{0, 0, 0, 0}, {1, 0, 0, 1}}}, p.Get())->m_blendMode = BlendMode::Multiply;
         },
         {1, 0, 0, 1},
         {0.5f, 0, 0, 1}},
        {"a pass-through group stays so under the layers clipped to it",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             auto p = s.doc->AddGroup("pass", nullptr);
             p->m_blendMode = BlendMode::PassThrough;
             s.Add({{{1, 0, 0, 1}, {0, 0, 0, 0}}}, p.Get())->m_blendMode = BlendMode::Screen;
             s.Add(Both(0, 1, 0, 0.5f))->m_clipping = true;
         },
         {0.5f, 0.5f, 0.5f, 1},
         {0, 0, 1, 1}},
        {"a pass-through group's opacity fades what its layers did",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             auto p = s.doc->AddGroup("pass", nullptr);
             p->m_blendMode = BlendMode::PassThrough;
             p->m_opacity = 128;
             s.Add(Both(1, 0, 0), p.Get());
         },
         {0.5f, 0, 0.5f, 1},
         {0.5f, 0, 0.5f, 1}},
        {"a layer that knocks out blends with its group's backdrop, not the layers below",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             auto g = s.doc->AddGroup("isolated", nullptr);
             g->m_blendMode = BlendMode::Normal;
             s.Add(Both(1, 0, 0), g.Get());
             auto k = s.Add({{{0.5f, 0.5f, 0.5f, 1}, {0, 0, 0, 0}}}, g.Get());
             k->m_blendMode = BlendMode::Multiply, k->m_knockout = 1;
         },
         {0.5f, 0.5f, 0.5f, 1},
         {1, 0, 0, 1}},
        {"at no fill it shows the backdrop through, by its shape",
         [](Stack& s) {
             s.Add(Both(0, 0, 1));
             auto g = s.doc->AddGroup("pass", nullptr);
             g->m_blendMode = BlendMode::PassThrough;
             s.Add(Both(1, 0, 0), g.Get());
             auto k = s.Add({{{0, 1, 0, 1}, {0, 1, 0, 0.5f}}}, g.Get());
             k->m_fillOpacity = 0, k->m_knockout = 1;
         },
         {0, 0, 1, 1},
         {0.5f, 0, 0.5f, 1}},
        {"a normal stroke within a soft edge takes the place of the colour, adding no coverage",
         [](Stack& s) {
             auto l = s.Add(Both(1, 0, 0, 0.5f));
             auto k = Kernel::MakeCounted<PSDEffectStroke>();
             k->m_style = PSDEffectStroke::kInside, k->m_size = 1;
             Renderer::RGBA8 green{0, 255, 0, 255};
             k->m_colour = Renderer::ColourRGB::Create(green, 1, 1, "");
             l->m_effects = Kernel::MakeCounted<PSDLayerEffects>();
             l->m_effects->m_effects.push_back(k);
         },
         {0, 1, 0, 0.5f},
         {0, 1, 0, 0.5f}},
        {"a half-transparent gradient stroke within the shape covers half of the content",
         [](Stack& s) {
             auto l = s.Add(Both(1, 0, 0));
             auto k = Kernel::MakeCounted<PSDEffectStroke>();
             k->m_style = PSDEffectStroke::kInside, k->m_size = 1;
             k->m_fillType = PSDEffectStroke::kGradient;
             Renderer::RGBA8 green{0, 255, 0, 255};
             auto colour = Renderer::ColourRGB::Create(green, 1, 1, "");
             k->m_gradient.SetGradientSingleColour(colour);
             for (auto& t : k->m_gradient.m_gradient.m_transparency) t.opacity = 50;
             l->m_effects = Kernel::MakeCounted<PSDLayerEffects>();
             l->m_effects->m_effects.push_back(k);
         },
         {0.5f, 0.5f, 0, 1},
         {0.5f, 0.5f, 0, 1}},
        {"an adjustment changes what lies below, through its mask",
         [](Stack& s) {
             s.Add(Both(0.2f, 0.4f, 1));
             Layer inv(new PSDLayer(PSDLayer::kNormal, "invert"));
             inv->m_adjustment = Kernel::MakeCounted<PSDAdjustmentInvert>();
             Mask(*inv, 255, 0, 0);
             ASSERT_TRUE(s.doc->AddLayer(inv));
         },
         {0.8f, 0.6f, 0, 1},
         {0.2f, 0.4f, 1, 1}},
    };
    for (auto format : {Raster::Format::RGBA8, Raster::Format::RGBA16, Raster::Format::RGBAF}) {
        for (auto const& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " in " + Raster::FormatName(format));
            Stack s(format);
            c.build(s);
            // Opacities and masks are 8-bit (128 is 0.502): deep samples are held to the same steps.
            float tolerance = 2.5f / 255;
            auto a = s.Pixel(0), b = s.Pixel(1);
            for (unsigned k = 0; k < 4; ++k) {
                EXPECT_NEAR(a[k], c.first[k], tolerance) << "first pixel, sample " << k;
                EXPECT_NEAR(b[k], c.second[k], tolerance) << "second pixel, sample " << k;
            }
        }
    }
}

// Plain layers in normal mode are summed a row at a time for every colour mode, four or eight
// pixels a step: over 11 columns of noisy samples (every step and the tail), with a mask and
// opacities, the render is the layers put one over another pixel by pixel. One layer multiplies
// (a row at a time too), and in deep documents the top layer is 8-bit (as a host may set it), so
// that the deep ones are drawn apart below it.
TEST(Render, PlainLayersInEveryColourMode) {
    // The fourth layer in a mode of each family that blends rows of its own (the component ones
    // keep the backdrop's colour or take the source's without RGB), masked every other time.
    BlendMode const modes[] = {
        BlendMode::Multiply,   BlendMode::Hue,          BlendMode::Saturation,   BlendMode::Colour,
        BlendMode::Luminosity, BlendMode::DarkerColour, BlendMode::LighterColour};
    for (auto format : {Raster::Format::IA8, Raster::Format::IA16, Raster::Format::CMYKA8,
                        Raster::Format::CMYKA16, Raster::Format::RGBA8, Raster::Format::RGBA16})
        for (size_t mi = 0; mi < std::size(modes) * 2; ++mi) {
            BlendMode const mode = modes[mi / 2];
            bool const modeMasked = mi % 2;
            SCOPED_TRACE(std::string(Raster::FormatName(format)) + " mode " +
                         std::to_string(int(mode)) + (modeMasked ? " masked" : ""));
            Raster::FormatInfo info;
            ASSERT_TRUE(Raster::GetFormatInfo(format, info));
            uint32_t const width = 11;
            unsigned const n = info.channels, bytes = info.bytesPerSample;
            double const top = bytes == 1 ? 255.0 : 65535.0;
            auto doc = PSDFile::CreateEmpty(width, 1, false, format, nullptr, nullptr);
            std::vector<RenderPixel> want(width);
            BlendContext ctx;
            ctx.channels = n - 1, ctx.rgb = n == 4, ctx.depth = 8 * bytes;
            uint32_t seed = 7;
            auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
            for (int k = 0; k < 5; ++k) {
                Layer l(new PSDLayer(PSDLayer::kNormal, "layer"));
                l->m_right = int32_t(width), l->m_bottom = 1;
                bool shallow = k == 4 && bytes == 2;
                unsigned const lb = shallow ? 1 : bytes;
                double const ltop = shallow ? 255.0 : top;
                l->m_bitmap = Raster::DynamicBitmap::Create(
                    width, 1,
                    !shallow                           ? format
                    : format == Raster::Format::IA16   ? Raster::Format::IA8
                    : format == Raster::Format::RGBA16 ? Raster::Format::RGBA8
                                                       : Raster::Format::CMYKA8);
                l->m_opacity = k == 2 ? 200 : 255, l->m_fillOpacity = k == 3 ? 150 : 255;
                if (k == 3) l->m_blendMode = mode;
                std::vector<uint8_t> mask(width, 255);
                if (k == 1 || (k == 3 && modeMasked)) {
                    auto bm = Raster::DynamicBitmap::Create(width, 1, Raster::Format::A8);
                    for (uint32_t x = 0; x < width; ++x)
                        bm->GetRow(0)[x] = mask[x] = uint8_t(next());
                    l->m_userMask.m_present = true;
                    l->m_userMask.m_right = int32_t(width), l->m_userMask.m_bottom = 1;
                    l->m_bitmapUserMask = bm;
                }
                for (uint32_t x = 0; x < width; ++x) {
                    RenderPixel px{};
                    for (unsigned c = 0; c < n; ++c) {
                        // Alphas of nothing and of everything among the noisy ones.
                        unsigned v = next() % 258;
                        double s =
                            c + 1 < n || v < 256 ? std::min(v, 255u) * ltop / 255 : (v & 1) * ltop;
                        if (lb == 2 && c + 1 < n) s = next() % 65536;
                        testsupport::StoreSample(l->m_bitmap->GetRow(0) + lb * (n * x + c), lb, s);
                        (c + 1 < n ? px.c[c] : px.a) = float(s / ltop);
                    }
                    px.a *= mask[x] / 255.0f * l->m_opacity / 255.0f * l->m_fillOpacity / 255.0f;
                    CompositePixel(l->m_blendMode, ctx, want[x], px);
                }
                ASSERT_TRUE(doc->AddLayer(l));
            }
            PSDRenderResult r;
            std::string error;
            ASSERT_TRUE(RenderDocument(*doc, {}, r, error)) << error;
            for (uint32_t x = 0; x < width; ++x)
                for (unsigned c = 0; c < n; ++c) {
                    if (c + 1 < n && want[x].a == 0) continue;  // no colour where nothing is
                    double got =
                        testsupport::LoadSample(r.bitmap->GetRow(0) + bytes * (n * x + c), bytes);
                    EXPECT_NEAR(got / top, c + 1 < n ? want[x].c[c] : want[x].a, 0.75 / 255)
                        << "pixel " << x << " sample " << c;
                }
        }
}

// Every mode but dissolve through the renderer, at layer and fill opacity, over an opaque and a
// partly transparent backdrop, in 8 and 16 bits: the composite of its pixel formula. A mask of 255
// everywhere takes the layer through the path of shaped rows, which must agree; clipped, it lies
// atop the layer below by CompositeAtop.
TEST(Render, BlendModesDrawTheirFormula) {
    float const r = 0.6f, g = 77 / 255.0f, b = 230 / 255.0f;  // whole levels, as layers hold
    RenderPixel const under[2] = {{{r, g, b}, 1}, {{r, g, b}, 0.4f}},
                      over{{0.4f, 0.8f, 0.2f}, 178 / 255.0f};
    for (uint32_t m = 0; m <= uint32_t(BlendMode::Divide); ++m) {
        float neutral = 0;
        BlendMode mode = BlendMode(m);
        if (mode == BlendMode::PassThrough) continue;  // groups only
        uint8_t fill = FadesByFill(mode, neutral) ? 255 : 204;
        for (int form = 0; form < 8 && mode != BlendMode::Dissolve; ++form) {
            // Clipped, the layer lies atop the one below, which is alone over nothing.
            bool masked = form & 1, clipped = form & 4;
            Stack s(form & 2 ? Raster::Format::RGBA16 : Raster::Format::RGBA8);
            s.Add({{{r, g, b, 1}, {r, g, b, 0.4f}}});
            auto top = s.Add(Both(over.c[0], over.c[1], over.c[2], over.a));
            top->m_blendMode = mode, top->m_opacity = 230, top->m_fillOpacity = fill;
            if (masked) Mask(*top, 255, 255, 255);
            top->m_clipping = clipped;
            for (uint32_t x = 0; x < 2; ++x) {
                RenderPixel want = under[x], src = over;
                src.a *= fill / 255.0f * (230 / 255.0f);
                if (clipped)
                    CompositeAtop(mode, BlendContext{}, want, src);
                else
                    CompositePixel(mode, BlendContext{}, want, src);
                auto got = s.Pixel(x);
                for (unsigned c = 0; c < 4; ++c)
                    EXPECT_NEAR(got[c], c < 3 ? want.c[c] : want.a, 0.6 / 255)
                        << "mode " << m << " pixel " << x << " form " << form;
            }
        }
    }
}

// An outside stroke of 1 px beside edges of a 4 x 3 map, read at one pixel: each row is the
// shape's coverage in reading order.
TEST(Render, StrokesReachFromTheNearestSubPixelEdge) {
    struct Case {
        char const* what;
        std::array<float, 12> shape;
        int x, y;
        float want;
    } const cases[] = {
        {"beside a whole pixel", {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 1, 1, 1},
        {"the next pixel out", {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 2, 1, 0},
        {"beside a pixel covered 0.6", {1, 0.6f, 0, 0, 1, 0.6f, 0, 0, 1, 0.6f, 0, 0}, 2, 1, 0.6f},
        // A faint pixel as near as a strong one: the edge in the strong one is nearer (a
        // translucent shape's outline).
        {"a faint neighbour beside", {0, 0, 0, 0, 0, 0, 0.61f, 0, 0, 0.29f, 0, 0}, 1, 1, 0.61f},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        RenderMap shape;
        shape.box = {0, 0, 4, 3};
        shape.v.assign(c.shape.begin(), c.shape.end());
        EXPECT_NEAR(StrokeCoverage(shape, 0, 1).At(c.x, c.y), c.want, 0.01);
    }
}

// Blurs by the true kernel and by box passes, on maps whose sides are no whole number of the
// blocks of lines the passes take: the blur of the transposed map is the transposed blur, an
// impulse spreads symmetrically and keeps its mass, and what lies beyond the map blurs in.
TEST(Render, GaussianBlursTreatEveryLineAlike) {
    for (double sigma : {0.8, 3.0, 12.0}) {
        SCOPED_TRACE(sigma);
        int32_t const w = 71, h = 37;
        RenderMap m, t;
        m.box = {0, 0, w, h}, t.box = {0, 0, h, w};
        m.v.resize(size_t(w) * h), t.v.resize(m.v.size());
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                m.v[size_t(y * w + x)] = t.v[size_t(x * h + y)] = float((x * 7 + y * 13) % 17) / 16;
        GaussianBlur(m, sigma);
        GaussianBlur(t, sigma);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                ASSERT_NEAR(m.At(x, y), t.At(y, x), 1e-5) << x << "," << y;

        RenderMap impulse;
        impulse.box = {0, 0, 201, 203};
        impulse.v.assign(201 * 203, 0);
        impulse.v[101 * 201 + 100] = 1;
        GaussianBlur(impulse, sigma);
        double mass = 0;
        for (float v : impulse.v) mass += v;
        EXPECT_NEAR(mass, 1, 1e-4);
        for (int32_t d : {1, 3, 9})
            EXPECT_NEAR(impulse.At(100 - d, 101), impulse.At(100 + d, 101), 1e-7) << d;
        EXPECT_NEAR(impulse.At(100, 101 - 2), impulse.At(100 + 2, 101), 1e-6);

        RenderMap edge;  // nothing inside, everything beyond: the border darkens inward
        edge.box = {0, 0, 40, 19}, edge.v.assign(40 * 19, 0), edge.outside = 1;
        GaussianBlur(edge, sigma);
        EXPECT_GT(edge.At(0, 9), edge.At(5, 9));
        EXPECT_NEAR(edge.At(0, 9), edge.At(39, 9), 1e-6);
    }
}

// Effects' maps are packed into tiles once planned: every value reads back bit for bit (zeros of
// either sign, a NaN, the box's ragged edges, values outside it), flat tiles share their storage,
// and a map that packing would not shrink (noisy, or narrower than a tile) stays as it was.
TEST(Render, PackedMapsReadBackExactly) {
    struct Case {
        int32_t left, top, w, h;
        bool noisy, packs;
    };
    for (Case c : {Case{-7, 3, 301, 203, false, true}, Case{0, 0, 32, 32, false, false},
                   Case{5, -9, 1, 200, false, false}, Case{0, 0, 96, 64, true, false}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        RenderMap m;
        m.box = {c.left, c.top, c.left + c.w, c.top + c.h};
        m.outside = 0.25f;
        m.v.resize(size_t(c.w) * size_t(c.h));
        for (int32_t y = 0; y < c.h; ++y)
            for (int32_t x = 0; x < c.w; ++x) {
                float& f = m.v[size_t(y) * size_t(c.w) + size_t(x)];
                // A disc of ones in zeros with an edge between; the last case noisy throughout.
                float d = std::hypot(float(x - 50), float(y - 30)) - 25;
                f = c.noisy ? float((x * 7 + y) % 5) : std::clamp(-d, 0.0f, 1.0f);
                if (c.packs && x == 3 && y == 4) f = -0.0f;
                if (c.packs && x == 60 && y == 60) f = std::numeric_limits<float>::quiet_NaN();
            }
        RenderMap dense = m;
        m.Pack();
        EXPECT_EQ(m.v.empty(), c.packs);
        EXPECT_FALSE(m.Empty());
        if (c.packs) {
            EXPECT_LT(m.packed.StoredBytes(), dense.v.size() * sizeof(float));
        }
        // Read a pixel at a time and a row at a time, from a little beyond the box on each side.
        std::vector<float> rows[2];
        for (int32_t y = c.top - 2; y < c.top + c.h + 2; ++y) {
            for (int k = 0; k < 2; ++k) {
                rows[k].resize(size_t(c.w) + 4);
                (k ? m : dense).Row(y, c.left - 2, c.left + c.w + 2, rows[k].data());
            }
            for (int32_t x = c.left - 2; x < c.left + c.w + 2; ++x) {
                float a = dense.At(x, y), b = m.At(x, y), ra = rows[0][size_t(x - c.left + 2)],
                      rb = rows[1][size_t(x - c.left + 2)];
                ASSERT_EQ(0, std::memcmp(&a, &b, sizeof a)) << x << "," << y;
                ASSERT_EQ(0, std::memcmp(&a, &ra, sizeof a)) << x << "," << y;
                ASSERT_EQ(0, std::memcmp(&a, &rb, sizeof a)) << x << "," << y;
            }
        }
    }
    RenderMap none;
    none.Pack();
    EXPECT_TRUE(none.Empty());
}

// Bevels lit from the left: the left-facing slope takes the highlight, the right-facing one the
// shadow; the inner side recolours the layer's pixels, the outer styles' side the backdrop. A
// gradient glow starts its ramp at the edge.
TEST(Render, BevelsAndGradientGlowsFollowTheEdge) {
    auto bevelled = [](Stack& s, int style, std::array<std::array<float, 4>, 2> px) {
        auto l = s.Add(px);
        auto b = Kernel::MakeCounted<PSDEffectBevel>();
        b->m_style = style, b->m_blur = 3, b->m_useGlobalAngle = false, b->m_angle = 180;
        b->m_highlightOpacity = b->m_shadowOpacity = 1;
        Renderer::RGBA8 white{255, 255, 255, 255}, black{0, 0, 0, 255};
        b->m_highlightColour = Renderer::ColourRGB::Create(white, 1, 1, "");
        b->m_shadowColour = Renderer::ColourRGB::Create(black, 1, 1, "");
        l->m_effects = Kernel::MakeCounted<PSDLayerEffects>();
        l->m_effects->m_effects.push_back(b);
    };
    Stack soft;
    bevelled(soft, PSDEffectBevel::kInnerBevel, Both(1, 0, 0, 0.5f));
    auto lit = soft.Pixel(0), shaded = soft.Pixel(1);
    EXPECT_NEAR(lit[3], 0.5f, 0.01f);  // no coverage of its own
    EXPECT_NEAR(shaded[3], 0.5f, 0.01f);
    EXPECT_GT(lit[1], 0.03f);
    EXPECT_LT(shaded[0], 0.95f);
    EXPECT_EQ(shaded[1], 0);
    // The right pixel lies beyond a one-pixel layer, over blue: only the outer styles reach it,
    // an emboss's outer slope facing away from the light and a pillow's sunk edge towards it.
    struct Beyond {
        int style;
        int sign;  // of the change to the blue beyond the layer
    } const beyond[] = {{PSDEffectBevel::kInnerBevel, 0},
                        {PSDEffectBevel::kEmboss, -1},
                        {PSDEffectBevel::kPillowEmboss, 1}};
    for (auto const& c : beyond) {
        SCOPED_TRACE(c.style);
        Stack s;
        s.Add(Both(0, 0, 0.5f));
        bevelled(s, c.style, {{{1, 0, 0, 1}, {0, 0, 0, 0}}});
        auto blue = s.Pixel(1);
        float change = (blue[0] + blue[1] + blue[2]) - 0.5f;
        if (c.sign == 0)
            EXPECT_NEAR(change, 0, 0.01f);
        else
            EXPECT_GT(change * float(c.sign), 0.05f);
    }
    // Green at the edge to blue far out, where the glow itself is red: at the edge (a wide red
    // square's, between the two pixels), green, on either side of it.
    for (bool inner : {false, true}) {
        SCOPED_TRACE(inner ? "inner glow" : "outer glow");
        Stack s;
        Layer l(new PSDLayer(PSDLayer::kNormal, "square"));
        auto bm = Raster::DynamicBitmap::Create(40, 41, Raster::Format::RGBA8);
        for (uint32_t y = 0; y < 41; ++y)
            for (uint32_t x = 0; x < 40; ++x) {
                uint8_t* p = bm->GetRow(y) + 4 * x;
                p[0] = 255, p[1] = p[2] = 0, p[3] = 255;
            }
        l->m_left = -39, l->m_top = -20, l->m_right = 1, l->m_bottom = 21;
        l->m_bitmap = bm;
        ASSERT_TRUE(s.doc->AddLayer(l));
        auto g = Kernel::MakeCounted<PSDEffectGlow>(inner);
        g->m_blur = 10, g->m_range = 0.5, g->m_opacity = 1, g->m_blendMode = BlendMode::Normal;
        Renderer::RGBA8 red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255};
        g->m_colour = Renderer::ColourRGB::Create(red, 1, 1, "");
        g->m_hasGradient = true;
        g->m_gradient.m_colours = {{0, 50, Renderer::ColourRGB::Create(green, 1, 1, ""), "UsrS"},
                                   {4096, 50, Renderer::ColourRGB::Create(blue, 1, 1, ""), "UsrS"}};
        g->m_gradient.m_transparency = {{100, 0, 50}, {100, 4096, 50}};
        l->m_effects = Kernel::MakeCounted<PSDLayerEffects>();
        l->m_effects->m_effects.push_back(g);
        auto edge = s.Pixel(inner ? 0 : 1);
        EXPECT_LT(edge[0], 0.5f);
        EXPECT_GT(edge[1], 2 * edge[2]);
        EXPECT_GT(edge[3], 0.9f);
    }
}

// A black-to-white overlay on a layer over the right pixel alone: aligned with the layer it
// starts there, otherwise it spans the document, and is lighter there.
TEST(Render, GradientOverlaysSpanTheLayerOrTheDocument) {
    float grey[2];
    for (bool aligned : {true, false}) {
        Stack s;
        Layer l(new PSDLayer(PSDLayer::kNormal, "right"));
        l->m_bitmap = Raster::DynamicBitmap::Create(1, 1, Raster::Format::RGBA8);
        std::fill_n(l->m_bitmap->GetRow(0), 4, uint8_t(255));
        l->m_left = 1, l->m_right = 2, l->m_bottom = 1;
        ASSERT_TRUE(s.doc->AddLayer(l));
        auto f = Kernel::MakeCounted<PSDEffectGradientFill>();
        Renderer::RGBA8 black{0, 0, 0, 255}, white{255, 255, 255, 255};
        f->m_gradient.m_gradient.m_colours = {
            {0, 50, Renderer::ColourRGB::Create(black, 1, 1, ""), "UsrS"},
            {4096, 50, Renderer::ColourRGB::Create(white, 1, 1, ""), "UsrS"}};
        f->m_gradient.m_gradient.m_transparency = {{100, 0, 50}, {100, 4096, 50}};
        f->m_gradient.m_angle = 0, f->m_gradient.m_alignWithLayer = aligned;
        l->m_effects = Kernel::MakeCounted<PSDLayerEffects>();
        l->m_effects->m_effects.push_back(f);
        grey[aligned] = s.Pixel(1)[1];
    }
    EXPECT_GT(grey[0], grey[1] + 0.1f);
}

TEST(Render, PartsAloneAndRefusals) {
    Stack s;
    s.Add(Both(0, 0, 1));
    auto g = s.doc->AddGroup("top", nullptr);
    auto inside = s.Add(Both(1, 0, 0, 0.5f), g.Get());
    PSDRenderOptions o;
    o.group = "top";
    EXPECT_NEAR(s.Pixel(0, o)[3], 0.5f, 0.01f);  // over transparency, not over the blue
    o.group = "";
    o.layer = 0;
    EXPECT_EQ(s.Pixel(0, o)[2], 1.0f);

    PSDRenderResult r;
    std::string error;
    o.layer = 99;
    EXPECT_FALSE(RenderDocument(*s.doc, o, r, error));
    EXPECT_EQ(error, "no layer 99");
    o = {};
    o.group = "missing";
    EXPECT_FALSE(RenderDocument(*s.doc, o, r, error));
    EXPECT_EQ(error, "no group named \"missing\"");
    bool stop = true;
    o = {};
    o.abort = &stop;
    EXPECT_FALSE(RenderDocument(*s.doc, o, r, error));
    EXPECT_EQ(error, "cancelled");
}

// An image freed by one render is reused by the next of its size: nothing of the first may show
// through where the second draws nothing. Large enough (over 4 MB) to be kept between renders.
TEST(Render, ImagesTakeNothingFromTheLastRender) {
    uint32_t const w = 1200, h = 1000;
    auto draw = [&](uint32_t side, uint8_t value) {
        auto doc = PSDFile::CreateEmpty(w, h, false, Raster::Format::RGBA8, nullptr, nullptr);
        auto bm = Raster::DynamicBitmap::Create(side, side, Raster::Format::RGBA8);
        std::memset(bm->GetData(), value, size_t(side) * side * 4);
        Layer l(new PSDLayer(PSDLayer::kNormal, "layer"));
        l->m_left = l->m_top = 5;
        l->m_right = l->m_bottom = int32_t(5 + side);
        l->m_bitmap = bm;
        EXPECT_TRUE(doc->AddLayer(l, nullptr));
        PSDRenderResult r;
        std::string error;
        EXPECT_TRUE(RenderDocument(*doc, {}, r, error)) << error;
        return r.bitmap;
    };
    draw(h - 10, 200);  // freed on return
    auto second = draw(10, 255);
    size_t lit = 0;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < w * 4; ++i) lit += second->GetRow(y)[i] != 0;
    EXPECT_EQ(lit, 10u * 10 * 4);
}

// Scaled renders average what covers each output pixel, band by band: colour by coverage (half
// a pixel of red over nothing stays red, at half alpha), over source rows of several bands.
TEST(Render, ScaledRendersAverageByCoverage) {
    uint32_t const w = 8, h = 200;
    auto doc = PSDFile::CreateEmpty(w, h, false, Raster::Format::RGBA8, nullptr, nullptr);
    auto bm = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* px = bm->GetRow(y) + 4 * x;
            bool covered = x % 2 == 0;
            px[0] = covered ? uint8_t(y) : 0, px[1] = 0, px[2] = 0, px[3] = covered ? 255 : 0;
        }
    Layer l(new PSDLayer(PSDLayer::kNormal, "stripes"));
    l->m_right = int32_t(w), l->m_bottom = int32_t(h);
    l->m_bitmap = bm;
    ASSERT_TRUE(doc->AddLayer(l, nullptr));
    struct Case {
        double scale;
        uint32_t width, height, x, y;
        double red, alpha;  // 0..255
    } const cases[] = {
        {0.5, 4, 100, 1, 10, 20.5, 127.5},      // rows 20 and 21, one column of two covered
        {0.01, 1, 2, 0, 1, 149.5, 127.5},       // rows 100 to 199 in one pixel: four bands
        {1 / 3.0, 3, 67, 2, 66, 198.5, 127.5},  // the last output row takes what is left
        {2.0, 16, 400, 1, 3, 1, 255},           // enlarged: the nearest pixel, (0, 1)
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.scale);
        PSDRenderOptions o;
        o.scale = c.scale;
        PSDRenderResult r;
        std::string error;
        ASSERT_TRUE(RenderDocument(*doc, o, r, error)) << error;
        ASSERT_EQ(r.bitmap->GetWidth(), c.width);
        ASSERT_EQ(r.bitmap->GetHeight(), c.height);
        uint8_t const* px = r.bitmap->GetRow(c.y) + 4 * c.x;
        EXPECT_NEAR(px[0], c.red, 0.51);
        EXPECT_NEAR(px[3], c.alpha, 0.51);
    }
    PSDRenderOptions huge;
    huge.scale = 1e9;
    PSDRenderResult r;
    std::string error;
    EXPECT_FALSE(RenderDocument(*doc, huge, r, error));
    EXPECT_NE(error.find("pixels a side"), std::string::npos) << error;

    // A file claiming 1.6 billion columns and no rows (found by fuzzing): scaled, nothing to
    // average, so no table of source columns and no row of output.
    PSDReport report;
    auto wide = OpenFile(ZUZODORIV_SOURCE_DIR "/fuzz/regressions/open/wide-without-rows",
                         CreateOptions{}, report, error);
    ASSERT_TRUE(wide) << error;
    ASSERT_GT(wide->m_width, 1000000000u);
    PSDRenderOptions small;
    small.scale = 0.05;
    ASSERT_TRUE(RenderDocument(*wide, small, r, error)) << error;
    EXPECT_EQ(r.bitmap->GetHeight(), 0u);
}

// Where gradients fall (each pixel's top-left corner, by style and angle) and how smoothness
// eases between stops.
TEST(Render, GradientPlacementAndSmoothness) {
    PSDGradientDesc g;
    Kernel::RectT<double> box{0, 0, 10, 10};
    struct Case {
        int32_t kind;
        double angle, x, y, want;
    } const cases[] = {
        {PSDGradientDesc::kLinear, 0, 0, 3, 0},      {PSDGradientDesc::kLinear, 0, 10, 3, 1},
        {PSDGradientDesc::kLinear, 90, 3, 10, 0},    {PSDGradientDesc::kLinear, 90, 3, 0, 1},
        {PSDGradientDesc::kRadial, 0, 5, 5, 0},      {PSDGradientDesc::kRadial, 0, 5, 0, 1},
        {PSDGradientDesc::kReflected, 0, 0, 0, 1},   {PSDGradientDesc::kReflected, 0, 7.5, 0, 0.5},
        {PSDGradientDesc::kDiamond, 0, 7.5, 7.5, 1},
        {PSDGradientDesc::kAngle, 0, 5, 0, 0.75},  // clockwise
    };
    for (auto const& c : cases) {
        g.m_kind = c.kind, g.m_angle = c.angle;
        EXPECT_NEAR(GradientPlacement(g, box).At(c.x, c.y), c.want, 1e-9) << c.kind << " " << c.x;
    }
    PSDGradient ramp;
    ramp.m_colours.resize(2);
    ramp.m_colours[0].colour = Renderer::ColourGrayscale::Create(0, 1, 1, "");
    ramp.m_colours[1] = {4096, 50, Renderer::ColourGrayscale::Create(1, 1, 1, ""), "UsrS"};
    for (double smooth : {0.0, 1.0}) {
        ramp.m_smoothness = smooth;
        PSDGradientRamp r;
        ASSERT_TRUE(r.Build(ramp, 1, false));
        EXPECT_NEAR(r.At(0.25f).c[0], smooth ? 0.203125f : 0.25f, 0.002f) << smooth;
        EXPECT_NEAR(r.At(0.5f).c[0], 0.5f, 0.002f);
    }
    // Three stops: the middle one's slope follows its neighbours, and the overshoot past the
    // last is cut off at that stop's value.
    ramp.m_colours[1] = {2048, 50, Renderer::ColourGrayscale::Create(0.9, 1, 1, ""), "UsrS"};
    ramp.m_colours.push_back({4096, 50, Renderer::ColourGrayscale::Create(1, 1, 1, ""), "UsrS"});
    PSDGradientRamp three;
    ASSERT_TRUE(three.Build(ramp, 1, false));
    EXPECT_NEAR(three.At(0.125f).c[0], 0.1805f, 0.002f);
    EXPECT_NEAR(three.At(0.75f).c[0], 1.0f, 1e-6f);
    EXPECT_NEAR(three.At(0.5f).c[0], 0.9f, 0.002f);
    // End points snap down to whole pixels: 30 degrees over a 32 px square runs from the centre
    // to (32, 6), so that pixel ends a radial gradient.
    g.m_kind = PSDGradientDesc::kRadial, g.m_angle = 30;
    EXPECT_NEAR(GradientPlacement(g, {0, 0, 32, 32}).At(32, 6), 1.0, 1e-9);
}

// A corpus document, or null without the corpus (a document that does not open fails the test).
Kernel::Counted<PSDFile> OpenCorpusDocument(char const* path) {
    auto full = testsupport::CorpusRoot() / path;
    if (!std::filesystem::exists(full)) return {};
    PSDReport report;
    std::string message;
    auto doc = OpenFile(full.string(), CreateOptions{}, report, message);
    EXPECT_TRUE(doc) << path << ": " << message;
    return doc;
}

// Colour lookups: the table files of both formats in either nesting and column order, the
// profiles the editor stores beside them, and what is not drawn.
TEST(Render, ColourLookupTablesAndProfiles) {
    auto lookup = [](char const* format, std::string const& file, char const* table = "",
                     char const* data = "") {
        auto a = Kernel::MakeCounted<PSDAdjustmentColourLookup>();
        a->m_lookupType = "3DLUT", a->m_lutFormat = format;
        a->m_tableOrder = table, a->m_dataOrder = data;
        auto item = Kernel::MakeCounted<DescriptorItemPDFData>();
        item->SetData(file.data(), file.size());
        if (!file.empty())
            a->m_descriptor.AddItem(DescriptorKey::Name(String("LUT3DFileData")), item);
        return a;
    };
    // Red and blue swapped, by a two-point grid; 3DL steps of 12 bits inverted.
    std::string swapCube = "TITLE \"swap\"\r\nLUT_3D_SIZE 2\r\n# red fastest\r\n",
                swapBgrColumns = "LUT_3D_SIZE 2\n", invert3dl = "3DMESH\nMesh 1 12\n0 1023\n",
                halfDomainCube = "LUT_3D_SIZE 2\nDOMAIN_MAX 0.5 0.5 0.5\n";
    for (int i = 0; i < 8; ++i) {
        int r = i & 1, g = i >> 1 & 1, b = i >> 2;
        swapCube += std::to_string(b) + " " + std::to_string(g) + " " + std::to_string(r) + "\r\n";
        swapBgrColumns +=
            std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b) + "\n";
        halfDomainCube +=
            std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b) + "\n";
        // Blue fastest: the i-th line is red i >> 2, green, blue i & 1.
        invert3dl += std::to_string(4095 - 4095 * (i >> 2)) + " " +
                     std::to_string(4095 - 4095 * g) + " " + std::to_string(4095 - 4095 * (i & 1)) +
                     "\n";
    }
    struct Case {
        char const* what;
        Kernel::Counted<PSDAdjustmentColourLookup> a;
        std::array<float, 3> in, out;
    } const cases[] = {
        {"cube ending in a NUL",
         lookup("LUTFormatCUBE", swapCube + std::string(1, '\0')),
         {0.2f, 0.5f, 0.9f},
         {0.9f, 0.5f, 0.2f}},
        {"cube, columns bgr",
         lookup("LUTFormatCUBE", swapBgrColumns, "bgrOrder", "bgrOrder"),
         {0.2f, 0.5f, 0.9f},
         {0.9f, 0.5f, 0.2f}},
        {"3dl", lookup("LUTFormat3DL", invert3dl), {0.25f, 0.5f, 1}, {0.75f, 0.5f, 0}},
        {"cube over half the range",
         lookup("LUTFormatCUBE", halfDomainCube),
         {0.25f, 0.1f, 0.8f},
         {0.5f, 0.2f, 1}},
    };
    std::string undrawn;
    for (auto const& c : cases) {
        auto f = PSDPixelAdjustment::Create(*c.a, BlendContext{}, false, undrawn);
        ASSERT_TRUE(f) << c.what << ": " << undrawn;
        float px[4] = {c.in[0], c.in[1], c.in[2], 1};
        f->Apply(px);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(px[k], c.out[k], 1e-5f) << c.what << " " << k;
    }
    struct Refusal {
        Kernel::Counted<PSDAdjustmentColourLookup> a;
        BlendContext ctx;
        char const* undrawn;
    } const refusals[] = {
        {lookup("LUTFormatCUBE", ""), {}, "adjustment colorlookup (no table)"},
        {lookup("LUTFormatLOOK", "<look/>"),
         {},
         "adjustment colorlookup (a table in LUTFormatLOOK)"},
        {lookup("LUTFormatCUBE", swapCube.substr(0, swapCube.size() - 8)),
         {},
         "adjustment colorlookup (a CUBE table that does not read)"},
        {lookup("LUTFormatCUBE", "LUT_3D_SIZE 2.5\n"),
         {},
         "adjustment colorlookup (a CUBE table that does not read)"},
        {lookup("LUTFormatCUBE", swapCube), BlendContext{3, true, true}, "adjustment colorlookup"},
    };
    for (auto const& r : refusals) {
        EXPECT_FALSE(PSDPixelAdjustment::Create(*r.a, r.ctx, false, undrawn));
        EXPECT_EQ(undrawn, r.undrawn);
    }
    // A table set by a change set is embedded with a device link made from it: what is saved
    // reads back, and draws from the link, as the table does.
    nlohmann::json set = {
        {"table", {{"format", "cube"}, {"data", swapCube}, {"name", "swap.cube"}}}};
    auto changed = AdjustmentWithChanges(PSDAdjustmentColourLookup(), set, undrawn);
    ASSERT_TRUE(changed) << undrawn;
    auto saved = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(changed->SaveI(*saved, SaveData{}));
    auto back = PSDAdjustment::Create(Key("clrL"));
    ParseData pd;
    auto in = Kernel::MemoryInStream::Create(saved->GetData());
    ASSERT_TRUE(back->Parse(*in, pd));
    auto json = AdjustmentJson(*back);
    EXPECT_EQ(json["lut_format"], "LUTFormatCUBE");
    EXPECT_EQ(json["name"], "swap.cube");
    auto fromLink = PSDPixelAdjustment::Create(*back, BlendContext{}, false, undrawn);
    ASSERT_TRUE(fromLink &&
                !static_cast<PSDAdjustmentColourLookup const&>(*back).Profile().empty());
    float px[4] = {0.2f, 0.5f, 0.9f, 1};
    fromLink->Apply(px);
    EXPECT_NEAR(px[0], 0.9f, 1 / 255.0f);
    EXPECT_NEAR(px[2], 0.2f, 1 / 255.0f);
    for (char const* wrong :
         {R"({"table": {"format": "look", "data": "<look/>"}})", R"({"table": "swap.cube"})",
          R"({"table": {"format": "cube", "data": "LUT_3D_SIZE 2\n0 0 0\n"}})",
          R"({"table": {"format": "3dl", "data": "0 1023\n", "file": "x"}})"}) {
        EXPECT_FALSE(AdjustmentWithChanges(*back, nlohmann::json::parse(wrong), undrawn)) << wrong;
        EXPECT_EQ(undrawn.find("\"table\" of colorlookup "), 0u) << undrawn;
    }
    // Profiles chosen as the lookup: an abstract one (Lab to Lab) applies between sRGB and itself,
    // a display profile is not a lookup.
    auto withProfile = [](cmsHPROFILE h) {
        cmsUInt32Number size = 0;
        cmsSaveProfileToMem(h, nullptr, &size);
        std::vector<uint8_t> bytes(size);
        cmsSaveProfileToMem(h, bytes.data(), &size);
        cmsCloseProfile(h);
        auto a = Kernel::MakeCounted<PSDAdjustmentColourLookup>();
        a->m_lookupType = "abstractProfile";
        auto item = Kernel::MakeCounted<DescriptorItemPDFData>();
        item->SetData(bytes.data(), bytes.size());
        a->m_descriptor.AddItem(DescriptorKey::Name(String("profile")), item);
        return a;
    };
    auto brighter = PSDPixelAdjustment::Create(
        *withProfile(cmsCreateBCHSWabstractProfile(17, 20, 1, 0, 0, 0, 0)), BlendContext{}, false,
        undrawn);
    ASSERT_TRUE(brighter) << undrawn;
    float grey[4] = {0.5f, 0.5f, 0.5f, 1};
    brighter->Apply(grey);
    EXPECT_GT(grey[0], 0.6f);  // L* 53 raised to 73
    EXPECT_NEAR(grey[0], grey[2], 0.01f);
    EXPECT_FALSE(PSDPixelAdjustment::Create(*withProfile(cmsCreate_sRGBProfile()), BlendContext{},
                                            false, undrawn));
    EXPECT_EQ(undrawn,
              "adjustment colorlookup (a profile that is not a device link or abstract profile)");
    // The editor's device link agrees with the table it was made from, at the table's own points.
    auto doc = OpenCorpusDocument("ag-psd/test/read/adjustment-layers/src.psd");
    if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
    auto const& stored =
        static_cast<PSDAdjustmentColourLookup const&>(*doc->m_layers[11]->GetAdjustment());
    PSDLookupTable table;
    std::vector<float> linked;
    ASSERT_TRUE(stored.ReadTable(table, undrawn)) << undrawn;
    ASSERT_EQ(table.size, 17u);
    auto profile = stored.Profile();
    ASSERT_TRUE(Raster::ICCManager::GetInstance().SampleLookupProfile(
        profile.data(), profile.size(), nullptr, 17, linked));
    float worst = 0;
    for (size_t i = 0; i < linked.size(); ++i)
        worst = std::max(worst, std::abs(linked[i] - table.rgb[i]));
    EXPECT_LT(worst * 255, 1.0f);
}

// A composite is blank when the file says so, or when a writer left zeros in its place with no
// resource to say it is real; a one-pixel composite is not blank for being of one colour.
TEST(Render, BlankStoredComposites) {
    struct Doc {
        char const* path;
        bool blank;
    } const docs[] = {
        {"ag-psd/test/read/layers/src.psd", false},
        {"ag-psd/test/read/16bits/src.psd", true},                   // saved as not real
        {"ag-psd/test/read/placed-transform/Layer 1.psd", true},  // black under a white layer
        {"ag-psd/test/read/fill-opacity/src.psd", false},
    };
    for (auto const& [path, blank] : docs) {
        SCOPED_TRACE(path);
        auto doc = OpenCorpusDocument(path);
        if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        EXPECT_EQ(StoredCompositeIsBlank(*doc), blank);
    }
}

// Documents whose every feature the renderer draws, against the composites their files store;
// some, drawn approximately, at the share they reach. Fill and shape layers read and unchanged
// are drawn as their files store them; once a layer is edited (here renamed) the renderer draws
// it from the model, at the share given as edited.
TEST(Render, CorpusDocumentsMatchTheirComposites) {
    struct Doc {
        char const* path;
        double floor = 0.98;
        double edited = -1;
    } const docs[] = {
        {"ag-psd/test/read/layers/src.psd"},
        {"ag-psd/test/read/nested/src.psd"},
        {"ag-psd/test/read/cmyk/src.psd"},
        {"ag-psd/test/read/grayscale-alpha/src.psd"},
        {"ag-psd/test/read/cat/src.psd"},
        {"psd-tools/tests/psd_files/passthrough_opacity.psd"},
        // Levels whose lightening gammas start at black with a finite slope, as the editor's.
        {"psd-tools/tests/psd_files/adjustments/levels_cmyk.psd", 0.999},
        {"psd-tools/tests/psd_files/adjustments/levels_grayscale.psd", 1.0},
        // Legacy brightness/contrast: raised contrast after the brightness, lowered before it.
        {"psd-tools/tests/psd_files/adjustments/brightnesscontrast_legacy_cmyk.psd", 1.0},
        {"ag-psd/test/read-write/masks/src.psd", 1.0},
        // Exposure of a steep gamma over soft edges whose trace of colour is under half a level.
        {"psd-tools/tests/psd_files/adjustments/exposure_rgb.psd", 0.9999},
        // Threshold on a grey rounded to whole levels (59.6 passes 60).
        {"psd-tools/tests/psd_files/adjustments/threshold_rgb.psd", 0.9999},
        // Posterize: samples right on a band's edge go to the upper band, at 8 and 16 bits.
        {"psd-tools/tests/psd_files/adjustments/posterize_rgb.psd", 0.9999},
        {"psd-tools/tests/psd_files/adjustments/posterize_16bits_cmyk.psd", 0.9999},
        {"psd-tools/tests/psd_files/adjustments/posterize_16bits_rgb.psd", 1.0},
        // Hue/saturation whose colour ranges change lightness alone, under masks, and whose
        // ranges' gains add up by weight (as approximated: raised saturations of near greys, and
        // ranges changing saturation and lightness together).
        {"psd-tools/tests/psd_files/adjustments/huesaturation_lightness_rgb.psd", 0.99},
        {"psd-tools/tests/psd_files/adjustments/huesaturation_rgb.psd", 0.94},
        {"ag-psd/test/read/artboards/src.psd"},  // white, transparent and coloured artboards
        {"psd-tools/tests/psd_files/artboard-bgcolor.psd"},
        // Feathered pixel and vector masks (a whole Gaussian), with densities of their own; the
        // editor's drawing of the outline (its pixel mask divided out) is used as stored until
        // the layer is edited.
        {"psd-tools/tests/psd_files/layer_mask_data.psd", 0.99, 0.965},
        {"psd-tools/tests/psd_files/layer_mask_data.psb", 0.975},
        // Gradients drawn from the model, their end points snapped to whole pixels: over shapes
        // (once edited), a mask's box (32-bit), a whole empty outline (opacity stops alone) and
        // 4 px squares (30 degrees running as 45), three stops mixed in the document's own
        // samples: RGB, Lab and greyscale.
        {"psd-tools/tests/psd_files/gradient-sizes.psd", 1.0, 1.0},
        {"psd-tools/tests/psd_files/gradient-fill.psd", 1.0},
        {"psd-tools/tests/psd_files/vector-mask2.psd", 1.0},
        {"psd-tools/tests/psd_files/colormodes/4x4_16bit_rgb.psd", 1.0},
        {"psd-tools/tests/psd_files/colormodes/4x4_16bit_lab.psd", 1.0},
        {"psd-tools/tests/psd_files/colormodes/4x4_32bit_grayscale.psd", 1.0},
        // One-pixel inside strokes of combined ellipses, anti-aliased a little apart when drawn
        // (fill and stroke both from the model).
        {"psd-tools/tests/psd_files/path-operations/exclude.psd", 1.0, 0.78},
        // A gradient overlay whose colours mix perceptually, over a shape's soft edge.
        {"ag-psd/test/read-write/gradient-mode/src.psd", 0.999},
        // Drop shadow and outer glow of size 5 (a true Gaussian, widened a little), the shadow
        // moved by 2.5 px rounded up, and a colour overlay that recolours soft edges without
        // covering more.
        {"ag-psd/test/read/blend-mode/src.psd", 0.985},
        // Stacked strokes: the first listed on top, hiding those below wholly where it covers
        // its part of a pixel (the shape's share or the rest), as at a soft edge; wide ones
        // reach as far as the editor's chamfer distance says (short of a circle off the axes).
        // A multiplying one meets the backdrop alone beside the layer's soft edge.
        {"ag-psd/test/read-write/strokes/src.psd", 0.999},
        {"ag-psd/test/multiple-strokes-test.psd", 0.995},
        // One-pixel outside and inside strokes along a crisp edge cover whole pixels.
        {"psd-tools/tests/psd_files/effects/double-stroke-effects.psd", 0.99},
        // Linear light and linear dodge at reduced fill (one pixel).
        {"ag-psd/test/read/fill-opacity/src.psd", 1.0},
        // A pass-through group at 47 % fill over a semi-transparent lighter-colour layer: part of
        // its isolated drawing shows where the backdrop is the lighter (as approximated).
        {"psd-tools/tests/psd_files/passthrough_fill_blendmode.psd", 0.999},
        // Pattern fills, and pattern overlays enlarged twice, from their shapes' corners: drawn
        // from the model as the editor drew them.
        {"psd-tools/tests/psd_files/patterns.psd", 1.0, 1.0},
        // A pattern overlay reduced to 81 %, from softened tiles.
        {"ag-psd/test/read/pattern/src.psd", 0.985},
        // Drop shadows of groups, from the shapes their layers draw together, and a glow over
        // type: each spread by whole pixels of chamfer length.
        {"ag-psd/test/read/group-drop-shadows/src.psd", 0.999},
        {"ag-psd/test/read-write/float-color/src.psd", 0.995},
        // Multiplying layers that knock out to the bottom of their groups, isolated or not.
        {"psd-tools/tests/psd_files/transparency/knockout-isolated-groups.psd", 0.99},
        // Strokes within and around translucent pixels and along shapes' outlines (its linked
        // pattern stroke named as approximated).
        {"psd-tools/tests/psd_files/effects/stroke-effects.psd", 0.965},
        // Little-endian TIFFs: two by the editor (blending ranges in order) and one whose layer
        // section declares merged transparency its image does not hold (compared opaque).
        {"tiff/real/magicknet_8Bim.tif", 1.0},
        {"tiff/real/pillow_tiff_adobe_deflate.tif", 1.0},
        {"tiff/rgb8-mergedalpha-clipping_II.tif", 1.0},
        // Transparency in an undeclared fourth channel, beside unmatted colour.
        {"psd-tools/tests/psd_files/third-party-psds/cactus_top.psd", 1.0},
        // A clipping base's gradient overlay lies over the layers clipped to it (its
        // brightness/contrast approximated).
        {"psd-tools/tests/psd_files/clipping-mask2.psd", 0.96},
        // A drop shadow through its Gaussian contour, a glow along its gradient and a pillow
        // emboss (the stroke's radial gradient beside them approximated).
        {"psd-tools/tests/psd_files/layer_params.psd", 0.93},
        // A smooth inner bevel, lit from the document's global angle (its noise gradient and
        // radial overlay undrawn or approximated).
        {"ag-psd/test/read/effects/src.psd", 0.955},
        // Sharp and smooth type blends in the editor's text gamma; the system's anti-aliasing
        // (masks.psb) plainly.
        {"ag-psd/test/read/text-layer/src.psd", 1.0},
        {"ag-psd/test/read/text-complex/src.psd", 1.0},
        {"psd-tools/tests/psd_files/masks.psb", 0.998},
        // A newer gradient map whose colours mix perceptually, deep in its darkest stretch.
        {"ag-psd/test/read/gradient-overlay-2/src.psd", 1.0},
    };
    for (auto const& [path, floor, edited] : docs) {
        SCOPED_TRACE(path);
        auto doc = OpenCorpusDocument(path);
        if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        PSDRenderResult r;
        std::string error;
        ASSERT_TRUE(RenderDocument(*doc, {}, r, error)) << error;
        double share = CompareWithStoredComposite(*doc, *r.bitmap);
        EXPECT_GE(share, floor);
        if (edited < 0) continue;
        for (auto const& l : doc->GetLayers()) l->m_name = "edited";
        ASSERT_TRUE(RenderDocument(*doc, {}, r, error)) << error;
        double drawn = CompareWithStoredComposite(*doc, *r.bitmap);
        EXPECT_GE(drawn, edited);
        // The model's drawing, not the stored one (unless the two are alike to the level).
        if (edited < 1) {
            EXPECT_LT(drawn, share);
        }
    }
}

// Shapes with dashed strokes, drawn from the model once edited, against the editor's drawings of
// them: the dashes where the editor put them (not a whole stroke, nor the stale pixels under it).
TEST(Render, DashedShapesAsTheEditorDrewThem) {
    struct Case {
        char const* path;
        char const* layer;
        double floor;
    } const cases[] = {
        {"psd-tools/tests/psd_files/stroke.psd", "Rectangle 1", 0.9},  // 1.5 px, from a corner
        {"ag-psd/test/read/vector-complex/src.psd", "Shape 1", 0.75},  // an arrow, 4.4 px
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.layer);
        auto doc = OpenCorpusDocument(c.path);
        if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        auto const& layers = doc->GetLayers();
        auto found = std::find_if(layers.begin(), layers.end(),
                                  [&](auto const& l) { return std::string(l->m_name) == c.layer; });
        ASSERT_NE(found, layers.end());
        PSDRenderOptions options;
        options.layer = found - layers.begin();
        PSDRenderResult stored, drawn;
        std::string error;
        ASSERT_TRUE(RenderDocument(*doc, options, stored, error)) << error;
        (*found)->m_name = "edited";
        ASSERT_TRUE(RenderDocument(*doc, options, drawn, error)) << error;
        // Over the pixels either drawing touches, the share within 16 levels on every channel.
        size_t touched = 0, near = 0;
        for (uint32_t y = 0; y < stored.bitmap->GetHeight(); ++y)
            for (uint32_t x = 0; x < stored.bitmap->GetWidth(); ++x) {
                uint8_t const *p = stored.bitmap->GetRow(y) + 4 * x,
                              *q = drawn.bitmap->GetRow(y) + 4 * x;
                touched += p[3] || q[3];
                near += (p[3] || q[3]) &&
                        std::equal(p, p + 4, q, [](int u, int v) { return std::abs(u - v) <= 16; });
            }
        EXPECT_GE(double(near) / double(std::max<size_t>(touched, 1)), c.floor);
    }
}

// A little-endian TIFF stores each blending range half as a reversed 32-bit word: read in
// document order, its layers blend as the big-endian twin's do.
TEST(Render, LittleEndianTIFFsDrawAsTheirBigEndianTwins) {
    for (char const* name : {"gray8-rle", "rgb16-rle", "rgb8-groups-masks-rle", "lab8-raw"}) {
        SCOPED_TRACE(name);
        std::string base = std::string("tiff/") + name;
        auto le = OpenCorpusDocument((base + "_II.tif").c_str());
        auto be = OpenCorpusDocument((base + "_MM.tif").c_str());
        if (!le || !be) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        ASSERT_EQ(le->GetLayers().size(), be->GetLayers().size());
        for (size_t k = 0; k < le->GetLayers().size(); ++k) {
            auto const& a = le->GetLayers()[k]->m_blendRanges;
            auto const& b = be->GetLayers()[k]->m_blendRanges;
            ASSERT_EQ(a.size(), b.size());
            for (size_t i = 0; i < a.size(); ++i)
                EXPECT_EQ(0, std::memcmp(a[i].m_bytes, b[i].m_bytes, 8)) << "layer " << k;
        }
        PSDRenderResult r;
        std::string error;
        ASSERT_TRUE(RenderDocument(*le, {}, r, error)) << error;
        EXPECT_GE(CompareWithStoredComposite(*le, *r.bitmap), 0.99);
    }
    // Adjustment layers whose settings the writer left out are named, in either byte order.
    for (char const* name :
         {"tiff/gray16-zippred-group-masks_II.tif", "tiff/cmyk16-zippred_MM.tif"}) {
        SCOPED_TRACE(name);
        auto doc = OpenCorpusDocument(name);
        if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        PSDRenderResult r;
        std::string error;
        ASSERT_TRUE(RenderDocument(*doc, {}, r, error)) << error;
        EXPECT_TRUE(std::any_of(r.undrawn.begin(), r.undrawn.end(), [](std::string const& u) {
            return u.find("without settings") != std::string::npos;
        }));
    }
}

// Masks the render decodes itself are decoded by bands of rows (ZIP ones past the budget for
// whole ones) and not kept in their layers; they draw as the whole masks a host decoded do.
TEST(Render, MasksDrawTheSameByBandsAndAreNotKept) {
    // A 16-bit document whose masks the writer deflates: noisy, offset, one inverted.
    auto made = [] {
        uint32_t seed = 3;
        auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
        auto noisy = [&](uint32_t w, uint32_t h, Raster::Format f) {
            auto bm = Raster::DynamicBitmap::Create(w, h, f);
            for (uint32_t y = 0; y < h; ++y)
                for (size_t i = 0; i < size_t(w) * bm->GetBytesPerPixel(); ++i)
                    bm->GetRow(y)[i] = uint8_t(next());
            return bm;
        };
        auto doc = PSDFile::CreateEmpty(40, 90, false, Raster::Format::RGBA16, nullptr, nullptr);
        for (int k = 0; k < 3; ++k) {
            Layer l(new PSDLayer(PSDLayer::kNormal, "layer"));
            l->m_right = 40, l->m_bottom = 90;
            l->m_bitmap = noisy(40, 90, Raster::Format::RGBA16);
            if (k > 0) {
                l->m_userMask.m_present = true;
                l->m_userMask.m_left = 2 * k, l->m_userMask.m_top = 3 * k;
                l->m_userMask.m_right = 36, l->m_userMask.m_bottom = 80;
                l->m_userMask.m_defaultColour = k == 1 ? 255 : 0;
                l->m_userMask.m_invert = k == 2;
                l->m_bitmapUserMask = noisy(36 - 2 * k, 80 - 3 * k, Raster::Format::A16);
            }
            EXPECT_TRUE(doc->AddLayer(l));
        }
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        EXPECT_TRUE(doc->Save(*mem, {.compress = true}));
        PSDReport r;
        auto in = Kernel::MemoryInStream::Create(mem->TakeData());
        return PSDFile::Create(Kernel::Counted<Kernel::InStreamSeekable>(in.Get()), {}, r);
    };
    for (char const* name : {"made", "psd-tools/tests/psd_files/layer_mask_data.psd",
                             "ag-psd/test/read-write/masks/src.psd"}) {
        SCOPED_TRACE(name);
        bool zip = std::strcmp(name, "made") == 0;
        auto doc = zip ? made() : OpenCorpusDocument(name);
        if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        std::vector<PSDLayer const*> masked;
        for (auto const& l : doc->GetLayers())
            if (l->HasStoredUserMask() && !l->m_bitmapUserMask) masked.push_back(l.Get());
        ASSERT_GE(masked.size(), 2u);
        EXPECT_TRUE(std::any_of(masked.begin(), masked.end(), [&](PSDLayer const* l) {
            PSDLayerRows whole, rows;
            return l->m_userMask.GetHeight() > 32 && (zip ? !whole.InitMask(*l, false) : true) &&
                   rows.InitMask(*l, false, zip ? 64 : 0);
        }));
        Kernel::Counted<Raster::DynamicBitmap> asked;
        PSDReport report;
        ASSERT_TRUE(masked[0]->GetBitmapUserMask(asked, report));
        PSDRenderResult a, b;
        std::string error;
        PSDRenderOptions bands;
        if (zip) bands.wholeZipBytes = 0;
        ASSERT_TRUE(RenderDocument(*doc, bands, a, error)) << error;
        EXPECT_EQ(masked[0]->m_bitmapUserMask.Get(), asked.Get());
        for (size_t k = 1; k < masked.size(); ++k) EXPECT_FALSE(masked[k]->m_bitmapUserMask) << k;
        // Every mask held whole: drawn from the layers' caches.
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> held(masked.size());
        for (size_t k = 0; k < masked.size(); ++k)
            ASSERT_TRUE(masked[k]->GetBitmapUserMask(held[k], report));
        ASSERT_TRUE(RenderDocument(*doc, {}, b, error)) << error;
        size_t rowBytes = size_t(a.bitmap->GetWidth()) * a.bitmap->GetBytesPerPixel();
        for (uint32_t y = 0; y < a.bitmap->GetHeight(); ++y)
            ASSERT_EQ(0, std::memcmp(a.bitmap->GetRow(y), b.bitmap->GetRow(y), rowBytes)) << y;
    }
}

// Past the budget for decoding them whole, ZIP layers inflate by bands: the render is the same
// to the byte, at 16 and 32 bits, in TIFFs of either byte order, with masks and groups, and with
// effects planned from the bands of every layer.
TEST(Render, ZipLayersDrawTheSameByBands) {
    for (bool effects : {false, true})
        for (char const* name :
             {"psd-tools/tests/psd_files/32bit.psd", "tiff/rgb16-zippred-group-masks_II.tif",
              "tiff/gray16-zippred-group-masks_MM.tif", "tiff/cmyk16-zippred_II.tif"}) {
            SCOPED_TRACE(std::string(name) + (effects ? " with effects" : ""));
            auto doc = OpenCorpusDocument(name);
            if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
            for (auto const& l : doc->GetLayers()) {
                if (!effects || l->IsGroupEnd() || l->IsGroupStart()) continue;
                l->m_effects = Kernel::MakeCounted<PSDLayerEffects>();
                for (char const* type : {"DropShadow", "Stroke", "InnerGlow"})
                    l->m_effects->Insert(NewEffect(type));
            }
            // At least one layer is ZIP: read by rows only when its stream's rows are kept.
            EXPECT_TRUE(
                std::any_of(doc->GetLayers().begin(), doc->GetLayers().end(), [](auto const& l) {
                    PSDLayerRows whole, streamed;
                    return !whole.Init(*l) && streamed.Init(*l, 64);
                }));
            // By bands first: a whole decode stays cached in the layer and would be used instead.
            PSDRenderResult a, b;
            std::string error;
            PSDRenderOptions bands;
            bands.wholeZipBytes = 0;
            ASSERT_TRUE(RenderDocument(*doc, bands, b, error)) << error;
            ASSERT_TRUE(RenderDocument(*doc, {}, a, error)) << error;
            ASSERT_EQ(a.bitmap->GetHeight(), b.bitmap->GetHeight());
            size_t rowBytes = size_t(a.bitmap->GetWidth()) * a.bitmap->GetBytesPerPixel();
            for (uint32_t y = 0; y < a.bitmap->GetHeight(); ++y)
                ASSERT_EQ(0, std::memcmp(a.bitmap->GetRow(y), b.bitmap->GetRow(y), rowBytes)) << y;
            EXPECT_EQ(a.undrawn, b.undrawn);
        }
}

}  // namespace
