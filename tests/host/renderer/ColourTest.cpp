#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/raster/ICC.h"
#include "host/renderer/Colour.h"
#include "host/renderer/Fill.h"

using namespace Renderer;

namespace {

void ExpectRGB(RGBAF c, float r, float g, float b, float tol = 1e-5f) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

void ExpectLab(LABA16 p, double L, double a, double b, double tol) {
    uint16_t px[4] = {p.l, p.a, p.b, p.alpha};
    double L2, a2, b2;
    Raster::RasterLABA16ToCIELab(px, L2, a2, b2);
    EXPECT_NEAR(L2, L, tol);
    EXPECT_NEAR(a2, a, tol);
    EXPECT_NEAR(b2, b, tol);
}

LABA16 Lab(double L, double a, double b) {
    uint16_t px[4];
    Raster::CIELabToRasterLABA16(L, a, b, px);
    return LABA16{px[0], px[1], px[2], px[3]};
}

template <class T>
T const& As(Kernel::Consolidated<Colour> const& c) {
    auto const* p = dynamic_cast<T const*>(c.Get());
    EXPECT_TRUE(p);
    return *p;
}

}  // namespace

// The model numbers are written to files; opacity and tint must not be swapped.
TEST(Colour, ModelsAndCommonFields) {
    auto rgb = ColourRGB::Create(RGBA8{1, 2, 3, 255}, 0.5f, 1.0f, "Brick");
    EXPECT_FLOAT_EQ(rgb->GetOpacity(), 0.5f);
    EXPECT_FLOAT_EQ(rgb->GetTint(), 1.0f);
    EXPECT_EQ(rgb->GetName(), "Brick");
    EXPECT_FALSE(rgb->GetWrapped());
    Kernel::Consolidated<Colour> const models[] = {
        rgb,
        ColourCMYK::Create(CMYKA8{}, 1, 1, ""),
        ColourHSL::Create(0, 0, 0, 1, 1, ""),
        ColourGrayscale::Create(0, 1, 1, ""),
        ColourLAB::Create(LABA16{}, 1, 1, ""),
        ColourWrapped::Create(rgb, 1, 1, "Spot"),
    };
    for (int i = 0; i < 6; ++i) EXPECT_EQ(static_cast<int>(models[i]->GetModel()), i);
    EXPECT_TRUE(IsCMYKModel(ColourModel::CMYK));
    EXPECT_TRUE(IsCMYKModel(static_cast<ColourModel>(6)));
    EXPECT_FALSE(IsCMYKModel(ColourModel::LAB));
}

// Natives at every depth and between depths; a 16-bit value read as value / 65535 is
// written back unchanged by record writers scaling and truncating, for every value.
TEST(Colour, RGBNativeValuesAtEveryDepth) {
    auto c8 = ColourRGB::Create(RGBA8{255, 128, 0, 255}, 1, 1, ""),
         c16 = ColourRGB::Create(RGBA16{65535, 12345, 1, 65535}, 1, 1, ""),
         cf = ColourRGB::Create(RGBAF{0.25f, 0.5f, 1.5f, 1.0f}, 1, 1, "");
    auto const &r8 = As<ColourRGB>(c8), &r16 = As<ColourRGB>(c16), &rf = As<ColourRGB>(cf);
    EXPECT_EQ(r8.GetDepth(), ColourDepth::Bits8);
    EXPECT_EQ(r8.GetRGBA8().g, 128);
    EXPECT_EQ(r8.GetRGBA16().g, 128 * 257);
    ExpectRGB(r8.ToRGBAF(), 1.0f, 128 / 255.0f, 0.0f);
    EXPECT_EQ(r16.GetDepth(), ColourDepth::Bits16);
    EXPECT_EQ(r16.GetRGBA16().b, 1);
    EXPECT_EQ(r16.GetRGBA8().g, 48);  // 12345 / 257 = 48.04
    EXPECT_EQ(rf.GetDepth(), ColourDepth::Float);
    EXPECT_FLOAT_EQ(rf.GetRGBAF().b, 1.5f);  // kept as given
    EXPECT_EQ(rf.GetRGBA8().b, 255);
    EXPECT_EQ(rf.GetRGBA16().r, 16384);
    for (uint32_t v = 0; v <= 65535; ++v) {
        auto c = ColourRGB::Create(RGBA16{uint16_t(v), 0, 0, 65535}, 1, 1, "");
        ASSERT_EQ(static_cast<uint32_t>(c->ToRGBAF().r * 65535.0), v);
        ASSERT_EQ(static_cast<uint32_t>(c->ToRGBAF().r * 65535.0f), v);
    }
}

// RGB to every other model, through the device formulas and the colour manager.
TEST(Colour, RGBConversions) {
    auto red = ColourRGB::Create(RGBA8{255, 0, 0, 255}, 1, 1, "");
    HSLAF h = red->ToHSLAF();
    ExpectRGB(RGBAF{h.h, h.s, h.l, 1}, 0, 1, 0.5f);
    CMYKAF k = red->ToCMYKAF();
    EXPECT_EQ(std::vector<float>({k.c, k.m, k.y, k.k}), std::vector<float>({0, 1, 1, 0}));
    ExpectLab(red->ToLABA16(), 54.29, 80.80, 69.89, 0.5);
    EXPECT_NEAR(red->ToGray16() / 65535.0, 0.509, 0.005);
    auto white = ColourRGB::Create(RGBA8{255, 255, 255, 255}, 1, 1, "");
    EXPECT_EQ(white->ToGray16(), 65535);
    ExpectLab(white->ToLABA16(), 100, 0, 0, 0.012);
    EXPECT_EQ(white->ToLABA16().alpha, 65535);
    auto black = ColourRGB::Create(RGBA8{0, 0, 0, 255}, 1, 1, "");
    EXPECT_EQ(black->ToGray16(), 0);
    EXPECT_NEAR(black->ToCMYKAF().k, 1.0f, 1e-6f);
    auto grey = ColourRGB::Create(RGBAF{0.5f, 0.5f, 0.5f, 1}, 1, 1, "");
    EXPECT_NEAR(grey->ToGray16(), 32768, 70);
    ExpectLab(grey->ToLABA16(), 53.39, 0, 0, 0.1);
    EXPECT_EQ(grey->ToHSLAF().s, 0.0f);
    EXPECT_FLOAT_EQ(grey->ToHSLAF().l, 0.5f);
}

// Known values (hue wrapping included), and RGB -> HSL -> RGB over a grid.
TEST(Colour, HSLKnownValuesAndRoundTrip) {
    struct Case {
        float h, s, l, r, g, b;
    } const cases[] = {
        {0, 1, 0.5f, 1, 0, 0},
        {1 / 3.0f, 1, 0.5f, 0, 1, 0},
        {2 / 3.0f, 1, 0.5f, 0, 0, 1},
        {1 / 6.0f, 1, 0.5f, 1, 1, 0},
        {0.5f, 1, 0.25f, 0, 0.5f, 0.5f},
        {0, 0, 0.75f, 0.75f, 0.75f, 0.75f},
        {1 / 3.0f, 0.5f, 0.5f, 0.25f, 0.75f, 0.25f},
        {0, 1, 1, 1, 1, 1},
        {0.9f, 1, 0, 0, 0, 0},
        {1.0f + 1 / 3.0f, 1, 0.5f, 0, 1, 0},
    };
    for (auto const& c : cases) {
        auto hsl = ColourHSL::Create(c.h, c.s, c.l, 1, 1, "");
        ExpectRGB(hsl->ToRGBAF(), c.r, c.g, c.b);
        EXPECT_EQ(As<ColourHSL>(hsl).GetHSLAF().h, c.h);
        EXPECT_EQ(hsl->ToHSLAF().l, c.l);
    }
    for (int r = 0; r <= 5; ++r)
        for (int g = 0; g <= 5; ++g)
            for (int b = 0; b <= 5; ++b) {
                RGBAF in{r / 5.0f, g / 5.0f, b / 5.0f, 1};
                HSLAF h = RGBToHSL(in);
                EXPECT_GE(h.h, 0.0f);
                EXPECT_LT(h.h, 1.0f);
                ExpectRGB(HSLToRGB(h), in.r, in.g, in.b);
            }
}

// CMYK natives are kept (not rebuilt through RGB); an 8-bit ink written as a 16-bit record
// keeps its high byte.
TEST(Colour, CMYKFormulaAndNatives) {
    auto c = ColourCMYK::Create(CMYKAF{0.2f, 0.4f, 0.6f, 0.5f, 1}, 1, 1, "");
    ExpectRGB(c->ToRGBAF(), 0.4f, 0.3f, 0.2f);
    EXPECT_EQ(c->ToCMYKAF().c, 0.2f);
    EXPECT_EQ(c->ToCMYKAF().k, 0.5f);
    EXPECT_EQ(As<ColourCMYK>(c).GetDepth(), ColourDepth::Float);
    EXPECT_EQ(As<ColourCMYK>(c).GetCMYKA8().m, 102);
    auto cyan = ColourCMYK::Create(CMYKA8{255, 0, 0, 0, 255}, 1, 1, "");
    EXPECT_EQ(As<ColourCMYK>(cyan).GetDepth(), ColourDepth::Bits8);
    ExpectRGB(cyan->ToRGBAF(), 0, 1, 1);
    EXPECT_NEAR(cyan->ToHSLAF().h, 0.5f, 1e-6f);
    for (unsigned v = 0; v < 256; ++v) {
        auto cv = ColourCMYK::Create(CMYKA8{uint8_t(v), 0, 0, 0, 255}, 1, 1, "");
        ASSERT_EQ(static_cast<uint32_t>(cv->ToCMYKAF().c * 65535.0) >> 8, v);
    }
    auto black = ColourCMYK::Create(CMYKA8{0, 0, 0, 255, 255}, 1, 1, "");
    EXPECT_EQ(black->ToGray16(), 0);
    ExpectLab(black->ToLABA16(), 0, 0, 0, 0.1);
}

// Lab and grey through the colour manager, natives kept; a grey read as value / 65535 is
// written back unchanged, out-of-range grey clamped.
TEST(Colour, LabAndGrey) {
    auto white = ColourLAB::Create(Lab(100, 0, 0), 1, 1, "");
    ExpectRGB(white->ToRGBAF(), 1, 1, 1, 0.002f);
    EXPECT_NEAR(white->ToGray16(), 65535, 70);
    EXPECT_EQ(As<ColourLAB>(white).GetLABA16().l, 65535);
    EXPECT_EQ(white->ToLABA16().b, 32768);
    auto red = ColourLAB::Create(Lab(54.29, 80.80, 69.89), 1, 1, "");
    ExpectRGB(red->ToRGBAF(), 1, 0, 0, 0.01f);
    EXPECT_NEAR(red->ToCMYKAF().m, 1.0f, 0.01f);
    EXPECT_NEAR(red->ToGray16() / 65535.0, 0.509, 0.01);

    auto g = ColourGrayscale::Create(0.5f, 1, 1, "");
    ExpectRGB(g->ToRGBAF(), 0.5f, 0.5f, 0.5f);
    EXPECT_EQ(g->ToGray16(), 32768);
    EXPECT_FLOAT_EQ(As<ColourGrayscale>(g).GetGray(), 0.5f);
    ExpectLab(g->ToLABA16(), 53.39, 0, 0, 0.1);
    EXPECT_NEAR(g->ToCMYKAF().k, 0.5f, 1e-6f);
    for (uint32_t v = 0; v <= 65535; v += 7)
        ASSERT_EQ(ColourGrayscale::Create(static_cast<float>(v / 65535.0), 1, 1, "")->ToGray16(),
                  v);
    EXPECT_EQ(ColourGrayscale::Create(1.5f, 1, 1, "")->ToGray16(), 65535);
    EXPECT_EQ(ColourGrayscale::Create(-1.0f, 1, 1, "")->ToGray16(), 0);
}

// A wrapped (spot) colour answers with its inner colour's values but its own name.
TEST(Colour, WrappedColoursDelegate) {
    auto inner = ColourCMYK::Create(CMYKAF{0.2f, 0.4f, 0.6f, 0.5f, 1}, 1, 1, "");
    auto spot = ColourWrapped::Create(inner, 1, 1, "PANTONE 1");
    ASSERT_TRUE(spot);
    EXPECT_EQ(spot->GetWrapped(), inner);
    EXPECT_EQ(spot->GetName(), "PANTONE 1");
    ExpectRGB(spot->ToRGBAF(), 0.4f, 0.3f, 0.2f);
    EXPECT_EQ(spot->ToCMYKAF().c, 0.2f);
    EXPECT_EQ(spot->ToGray16(), inner->ToGray16());
    EXPECT_EQ(spot->ToLABA16().l, inner->ToLABA16().l);
    EXPECT_FALSE(ColourWrapped::Create(nullptr, 1, 1, ""));
}

// Null contents are refused; a descriptor fill owns its payload and casts only to its type.
TEST(Fill, SolidAndDescriptorFills) {
    auto colour = ColourRGB::Create(RGBA8{9, 8, 7, 255}, 1, 1, "");
    auto solid = FillSolid::Create(colour);
    ASSERT_TRUE(solid);
    EXPECT_EQ(solid->GetType(), FillType::Solid);
    EXPECT_EQ(solid->GetColour(), colour);
    EXPECT_FALSE(FillSolid::Create(nullptr));
    struct Payload : Kernel::Countable {
        int value = 42;
    };
    struct Other : Kernel::Countable {};
    Kernel::Counted<Payload> payload(new Payload);
    auto fd = FillDescriptor::Create(payload);
    ASSERT_TRUE(fd);
    EXPECT_EQ(fd->GetType(), FillType::Descriptor);
    ASSERT_TRUE(fd->GetPayloadAs<Payload>());
    EXPECT_EQ(fd->GetPayloadAs<Payload>()->value, 42);
    EXPECT_FALSE(fd->GetPayloadAs<Other>());
    fd = nullptr;
    EXPECT_EQ(payload->GetRefCount(), 1);
    EXPECT_FALSE(FillDescriptor::Create(nullptr));
}
