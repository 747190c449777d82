#include <gtest/gtest.h>
#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "host/raster/ICC.h"
#include "support/BitmapSamples.h"

using namespace Raster;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes SaveProfile(cmsHPROFILE h) {
    cmsUInt32Number n = 0;
    EXPECT_TRUE(cmsSaveProfileToMem(h, nullptr, &n));
    Bytes bytes(n);
    EXPECT_TRUE(cmsSaveProfileToMem(h, bytes.data(), &n));
    cmsCloseProfile(h);
    return bytes;
}

Kernel::Counted<ICCProfile const> Add(Bytes const& bytes, size_t n = SIZE_MAX) {
    return ICCManager::GetInstance().AddProfileFromMemory(bytes.data(), std::min(n, bytes.size()));
}

using testsupport::AllSamples;

// A CMYK profile whose table is the device formula, so the profile path can be checked
// against the formula path.
int FormulaSampler(cmsUInt16Number const in[], cmsUInt16Number out[], void* cargo) {
    float r, g, b;
    CMYKToRGBDevice(in[0] / 65535.0f, in[1] / 65535.0f, in[2] / 65535.0f, in[3] / 65535.0f, r, g,
                    b);
    cmsUInt16Number rgb[3] = {cmsUInt16Number(std::lround(r * 65535)),
                              cmsUInt16Number(std::lround(g * 65535)),
                              cmsUInt16Number(std::lround(b * 65535))};
    cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, out, 1);
    return TRUE;
}

Bytes FormulaCMYKProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab =
        cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(h, 4.3);
    cmsSetDeviceClass(h, cmsSigInputClass);
    cmsSetColorSpace(h, cmsSigCmykData);
    cmsSetPCS(h, cmsSigLabData);
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 18, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, FormulaSampler, toLab, 0);
    // Identity curves around the table: the A-CLUT-B layout a v4 table is stored in.
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(lut, cmsAT_END, clut);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(h, cmsSigAToB0Tag, lut);
    cmsWriteTag(h, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(lut);
    cmsDeleteTransform(toLab);
    return SaveProfile(h);
}

}  // namespace

// Real profiles of each space keep their bytes, space and UTF-8 description; garbage, a broken
// magic and every cut below a header give null, and no cut crashes.
TEST(ICCProfile, RealProfilesAndBadBytes) {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE gh = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetWide(mlu, "en", "US", L"Gr\u00e4u 2.2");
    cmsWriteTag(gh, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    Bytes const srgb = SaveProfile(cmsCreate_sRGBProfile());
    struct Case {
        Bytes bytes;
        uint32_t space;
        char const* description;
    } const cases[] = {{srgb, kICCSpaceRGB, "sRGB built-in"},
                       {SaveProfile(cmsCreateLab4Profile(nullptr)), kICCSpaceLab, nullptr},
                       {SaveProfile(gh), kICCSpaceGray, "Gr\xC3\xA4u 2.2"}};
    for (auto const& c : cases) {
        auto p = Add(c.bytes);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->GetData(), c.bytes);
        EXPECT_EQ(p->GetColourSpace(), c.space);
        EXPECT_NE(p->GetHandle(), nullptr);
        if (c.description) {
            EXPECT_EQ(p->GetDescription(), c.description);
        }
    }

    Bytes garbage(600);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_FALSE(Add(garbage));
    EXPECT_FALSE(Add(garbage, 0));
    EXPECT_FALSE(ICCManager::GetInstance().AddProfileFromMemory(nullptr, 0));
    auto broken = srgb;
    broken[36] = 'x';  // the 'acsp' magic
    EXPECT_FALSE(Add(broken));
    for (size_t cut = 0; cut < srgb.size(); ++cut) {
        auto p = Add(srgb, cut);
        EXPECT_TRUE(cut >= 128 || !p) << cut;
        EXPECT_TRUE(!p || p->GetData().size() == cut) << cut;
    }
}

// Exact encodings at the ends, rounding, clamping of out-of-range and NaN input, and the inverse.
TEST(CIELabToRasterLABA16, BoundariesAndClamping) {
    struct Case {
        double L, a, b;
        uint16_t p0, p1, p2;
    } const cases[] = {
        {0, -128, -128, 0, 0, 0},
        {100, 127, 127, 65535, 65280, 65280},
        {50, 0, 0, 32768, 32768, 32768},  // 32767.5 rounds up
        {1, 0.5, -0.25, 655, 32896, 32704},
        {100, 127.99609375, 128, 65535, 65535, 65535},  // the last value below the clamp
        {150, 200, -300, 65535, 65535, 0},
        {-5, -128.5, 1e300, 0, 0, 65535},
        {std::nan(""), 0, 0, 0, 32768, 32768},
    };
    for (auto const& c : cases) {
        uint16_t p[4];
        CIELabToRasterLABA16(c.L, c.a, c.b, p);
        EXPECT_EQ(std::vector<uint16_t>(p, p + 4), (std::vector<uint16_t>{c.p0, c.p1, c.p2, 65535}))
            << c.L << " " << c.a << " " << c.b;
    }
    for (double L : {0.0, 12.5, 50.0, 99.9, 100.0})
        for (double a : {-128.0, -20.25, 0.0, 64.5, 127.0}) {
            uint16_t p[4];
            CIELabToRasterLABA16(L, a, -a, p);
            double L2, a2, b2;
            RasterLABA16ToCIELab(p, L2, a2, b2);
            EXPECT_NEAR(L2, L, 100.0 / 65535);
            EXPECT_NEAR(a2, a, 1.0 / 256);
            EXPECT_NEAR(b2, std::min(-a, 127.99609375), 1.0 / 256);
        }
}

// The device formula back from RGB (the forward way is checked through ConvertToRGBA and the
// colours), black included, and the round trip.
TEST(DeviceCMYK, FormulaBothWays) {
    float r, g, b, c, m, y, k;
    RGBToCMYKDevice(0.4f, 0.3f, 0.2f, c, m, y, k);
    EXPECT_NEAR(k, 0.6f, 1e-6f);
    EXPECT_NEAR(c, 0.0f, 1e-6f);
    EXPECT_NEAR(m, 0.25f, 1e-6f);
    EXPECT_NEAR(y, 0.5f, 1e-6f);
    RGBToCMYKDevice(0, 0, 0, c, m, y, k);
    EXPECT_EQ(k, 1.0f);
    EXPECT_EQ(c + m + y, 0.0f);
    for (float rr : {0.0f, 0.1f, 0.5f, 1.0f})
        for (float gg : {0.0f, 0.3f, 0.9f})
            for (float bb : {0.2f, 0.7f}) {
                RGBToCMYKDevice(rr, gg, bb, c, m, y, k);
                CMYKToRGBDevice(c, m, y, k, r, g, b);
                EXPECT_NEAR(r, rr, 1e-6f);
                EXPECT_NEAR(g, gg, 1e-6f);
                EXPECT_NEAR(b, bb, 1e-6f);
            }
}

// CMYK by the formula in both sample conventions and depths, alpha premultiplied by nothing,
// and a profile of another space passed over.
TEST(ConvertToRGBA, CMYKByFormulaAndAlpha) {
    auto src = DynamicBitmap::Create(3, 2, Format::CMYKA8);
    // Document samples: 255 = no ink.
    uint8_t row0[] = {255, 255, 255, 255, 200, 0, 255, 255, 255, 255, 255, 255, 255, 0, 10};
    uint8_t row1[] = {204, 153, 102, 127, 255, 0, 0, 0, 0, 0, 128, 128, 128, 128, 128};
    src->WriteRow(0, row0);
    src->WriteRow(1, row1);
    auto out = ConvertToRGBA(*src);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->GetFormat(), Format::RGBA8);
    auto s = AllSamples(*out);
    EXPECT_EQ(std::vector<double>(s.begin(), s.begin() + 12),
              (std::vector<double>{255, 255, 255, 200, 0, 255, 255, 255, 0, 0, 0, 10}));
    // ink 0.2 0.4 0.6 0.502 -> (0.8, 0.6, 0.4) * 0.498
    EXPECT_NEAR(s[12], 102, 1);
    EXPECT_NEAR(s[13], 76, 1);
    EXPECT_NEAR(s[14], 51, 1);
    EXPECT_EQ(s[15], 255);
    EXPECT_EQ(s[16] + s[17] + s[18], 0);
    EXPECT_EQ(s[20], 64);  // 0.502 * 0.502 * 255

    ConvertToRGBAOptions o;
    o.cmykSamples = CMYKSamples::InkIsMax;
    o.depth = 16;
    auto deep = ConvertToRGBA(*src, o);
    ASSERT_EQ(deep->GetFormat(), Format::RGBA16);
    auto d = AllSamples(*deep);
    EXPECT_EQ(d[0], 0);  // full ink everywhere
    EXPECT_EQ(d[3], 200 * 257);
    EXPECT_EQ(d[4], 0);  // full black ink hides the missing cyan
    EXPECT_EQ(std::vector<double>(d.begin() + 16, d.begin() + 19), std::vector<double>(3, 65535));
    o.profile = Add(SaveProfile(cmsCreate_sRGBProfile()));
    EXPECT_EQ(AllSamples(*ConvertToRGBA(*src, o)), d);
}

// Lab wider than a staging chunk: the default space and an explicit Lab profile agree.
TEST(ConvertToRGBA, LabDefaultAndProfile) {
    auto src = DynamicBitmap::Create(300, 3, Format::LABA16);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 300; ++x) {
            uint16_t px[4];
            CIELabToRasterLABA16(x / 3.0, y == 1 ? 60 : 0, 0, px);
            px[3] = static_cast<uint16_t>(x * 200);
            std::memcpy(src->GetRow(y) + 8 * x, px, 8);
        }
    auto out = ConvertToRGBA(*src);
    ASSERT_TRUE(out);
    uint8_t const* p = out->GetRow(0);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[3], 0);
    p = out->GetRow(0) + 4 * 299;  // L 99.67
    EXPECT_GE(p[0], 253);
    EXPECT_EQ(p[0], p[1]);
    EXPECT_EQ(p[3], (299 * 200 * 255 + 32767) / 65535);
    p = out->GetRow(1) + 4 * 150;  // L 50, a 60: a red-magenta
    EXPECT_GT(p[0], p[1] + 60);
    ConvertToRGBAOptions o;
    o.profile = Add(SaveProfile(cmsCreateLab4Profile(nullptr)));
    ASSERT_TRUE(o.profile);
    auto viaProfile = ConvertToRGBA(*src, o);
    for (size_t i = 0; i < out->GetDataSize(); ++i)
        ASSERT_NEAR(viaProfile->GetData()[i], out->GetData()[i], 1) << i;
}

// Each other format at 8 and 16 bits: depth scaling with rounding, grey expansion, masks as
// opaque grey, float clamped (NaN to 0); a bad depth refused, an empty bitmap kept.
TEST(ConvertToRGBA, OtherFormatsAndDepths) {
    struct Case {
        Format format;
        std::vector<double> in;
        unsigned depth;
        std::vector<double> out;
    } const cases[] = {
        {Format::RGBA8, {0, 1, 128, 255, 7, 200, 255, 0}, 8, {0, 1, 128, 255, 7, 200, 255, 0}},
        {Format::RGBA8, {0, 1, 128, 255}, 16, {0, 257, 128 * 257, 65535}},
        {Format::RGBA16, {128, 129, 65535, 32896}, 8, {0, 1, 255, 128}},  // 128/257 = 0.498
        {Format::IA8, {90, 30}, 8, {90, 90, 90, 30}},
        {Format::A16, {1000}, 16, {1000, 1000, 1000, 65535}},
        {Format::RGBAF, {-0.5, 0.5, 2.0, NAN}, 8, {0, 128, 255, 0}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message() << FormatName(c.format) << " to " << c.depth);
        FormatInfo info;
        ASSERT_TRUE(GetFormatInfo(c.format, info));
        auto src =
            DynamicBitmap::Create(static_cast<uint32_t>(c.in.size() / info.channels), 1, c.format);
        testsupport::SetAllSamples(*src, c.in);
        ConvertToRGBAOptions o;
        o.depth = c.depth;
        auto out = ConvertToRGBA(*src, o);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->GetFormat(), c.depth == 16 ? Format::RGBA16 : Format::RGBA8);
        EXPECT_EQ(AllSamples(*out), c.out);
    }
    ConvertToRGBAOptions bad;
    bad.depth = 12;
    EXPECT_FALSE(ConvertToRGBA(*DynamicBitmap::Create(1, 1, Format::RGBAF), bad));
    auto e = ConvertToRGBA(*DynamicBitmap::Create(0, 5, Format::CMYKA8));
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->IsEmpty());
}

// A CMYK profile whose table is the formula gives the formula's results at table nodes, in both
// sample conventions and depths; alpha is copied, never transformed.
TEST(ConvertToRGBA, CMYKThroughAProfile) {
    ConvertToRGBAOptions o;
    o.profile = Add(FormulaCMYKProfile());
    ASSERT_TRUE(o.profile);
    ASSERT_EQ(o.profile->GetColourSpace(), kICCSpaceCMYK);
    auto src = DynamicBitmap::Create(64, 4, Format::CMYKA8);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            uint8_t* p = src->GetRow(y) + 5 * x;
            // Multiples of 15 fall on the nodes of an 18-point table: no interpolation error.
            p[0] = static_cast<uint8_t>(x % 18 * 15);
            p[1] = static_cast<uint8_t>(255 - x * 7 % 18 * 15);
            p[2] = static_cast<uint8_t>(y * 5 % 18 * 15);
            p[3] = static_cast<uint8_t>(y == 3 ? 45 : 255);
            p[4] = static_cast<uint8_t>(x + y);
        }
    for (auto samples : {CMYKSamples::InkIsZero, CMYKSamples::InkIsMax})
        for (unsigned depth : {8u, 16u}) {
            o.cmykSamples = samples;
            o.depth = depth;
            ConvertToRGBAOptions plain = o;
            plain.profile = nullptr;
            auto viaProfile = ConvertToRGBA(*src, o);
            auto viaFormula = ConvertToRGBA(*src, plain);
            ASSERT_TRUE(viaProfile && viaFormula);
            auto a = AllSamples(*viaProfile), b = AllSamples(*viaFormula);
            double const scale = depth == 16 ? 257.0 : 1.0;
            ASSERT_EQ(a.size(), b.size());
            for (size_t i = 0; i < a.size(); ++i) {
                if (i % 4 == 3)
                    ASSERT_EQ(a[i], b[i]) << i;
                else
                    ASSERT_NEAR(a[i] / scale, b[i] / scale, 1.5) << i << " depth " << depth;
            }
        }
}
