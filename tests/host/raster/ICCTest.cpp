#include <gtest/gtest.h>
#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "host/raster/ICC.h"

using namespace Raster;

namespace {

std::vector<uint8_t> SaveProfile(cmsHPROFILE h) {
    cmsUInt32Number n = 0;
    EXPECT_TRUE(cmsSaveProfileToMem(h, nullptr, &n));
    std::vector<uint8_t> bytes(n);
    EXPECT_TRUE(cmsSaveProfileToMem(h, bytes.data(), &n));
    cmsCloseProfile(h);
    return bytes;
}

std::vector<uint8_t> SRGBBytes() {
    return SaveProfile(cmsCreate_sRGBProfile());
}

// Lab of an RGB colour through the 16-bit path, back to CIE units.
void ToLab(float r, float g, float b, double& L, double& a, double& bb) {
    float rgba[4] = {r, g, b, 1.0f};
    uint16_t lab[4];
    ICCManager::GetInstance().DoRGBAFToLABA16Transform(rgba, lab, 1);
    EXPECT_EQ(lab[3], 65535);
    RasterLABA16ToCIELab(lab, L, a, bb);
}

void FromLab(double L, double a, double b, float rgba[4]) {
    uint16_t lab[4];
    CIELabToRasterLABA16(L, a, b, lab);
    ICCManager::GetInstance().DoLABA16ToRGBAFTransform(lab, rgba, 1);
}

}  // namespace

TEST(ICCProfile, FromRealProfileBytes) {
    std::vector<uint8_t> bytes = SRGBBytes();
    auto p = ICCManager::GetInstance().AddProfileFromMemory(bytes.data(), bytes.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetData(), bytes);
    EXPECT_EQ(p->GetColourSpace(), kICCSpaceRGB);
    EXPECT_EQ(p->GetDescription(), "sRGB built-in");
    EXPECT_NE(p->GetHandle(), nullptr);

    auto lab = SaveProfile(cmsCreateLab4Profile(nullptr));
    auto pl = ICCManager::GetInstance().AddProfileFromMemory(lab.data(), lab.size());
    ASSERT_TRUE(pl);
    EXPECT_EQ(pl->GetColourSpace(), kICCSpaceLab);

    cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE gh = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    // A description with text beyond ASCII comes back as UTF-8.
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetWide(mlu, "en", "US", L"Gr\u00e4u 2.2");
    cmsWriteTag(gh, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    auto grey = SaveProfile(gh);
    auto pg = ICCManager::GetInstance().AddProfileFromMemory(grey.data(), grey.size());
    ASSERT_TRUE(pg);
    EXPECT_EQ(pg->GetColourSpace(), kICCSpaceGray);
    EXPECT_EQ(pg->GetDescription(), "Gr\xC3\xA4u 2.2");
}

TEST(ICCProfile, BadBytesGiveNull) {
    auto& m = ICCManager::GetInstance();
    std::vector<uint8_t> garbage(600);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_FALSE(m.AddProfileFromMemory(garbage.data(), garbage.size()));
    EXPECT_FALSE(m.AddProfileFromMemory(nullptr, 0));
    EXPECT_FALSE(m.AddProfileFromMemory(garbage.data(), 0));

    std::vector<uint8_t> bytes = SRGBBytes();
    // The 'acsp' magic of the header broken.
    auto broken = bytes;
    broken[36] = 'x';
    EXPECT_FALSE(m.AddProfileFromMemory(broken.data(), broken.size()));
    // Anything shorter than a header is refused; every cut is handled without a crash.
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        auto p = m.AddProfileFromMemory(bytes.data(), cut);
        if (cut < 128) {
            EXPECT_FALSE(p) << cut;
        }
        if (p) {
            EXPECT_EQ(p->GetData().size(), cut);
        }
    }
}

TEST(ICCTransform, KnownLabValues) {
    double L, a, b;
    ToLab(1, 1, 1, L, a, b);
    EXPECT_NEAR(L, 100.0, 0.05);
    EXPECT_NEAR(a, 0.0, 0.05);
    EXPECT_NEAR(b, 0.0, 0.05);
    ToLab(0, 0, 0, L, a, b);
    EXPECT_NEAR(L, 0.0, 0.05);
    EXPECT_NEAR(a, 0.0, 0.05);
    EXPECT_NEAR(b, 0.0, 0.05);
    // sRGB 50 % grey: Y = 0.2140, L* = 53.39.
    ToLab(0.5f, 0.5f, 0.5f, L, a, b);
    EXPECT_NEAR(L, 53.39, 0.1);
    EXPECT_NEAR(a, 0.0, 0.05);
    EXPECT_NEAR(b, 0.0, 0.05);
    // sRGB red adapted to D50: L 54.29, a 80.80, b 69.89.
    ToLab(1, 0, 0, L, a, b);
    EXPECT_NEAR(L, 54.29, 0.3);
    EXPECT_NEAR(a, 80.80, 0.5);
    EXPECT_NEAR(b, 69.89, 0.5);

    float rgba[4];
    FromLab(100, 0, 0, rgba);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(rgba[c], 1.0f, 0.002f);
    EXPECT_FLOAT_EQ(rgba[3], 1.0f);
    FromLab(0, 0, 0, rgba);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(rgba[c], 0.0f, 0.002f);
    FromLab(54.29, 80.80, 69.89, rgba);
    EXPECT_NEAR(rgba[0], 1.0f, 0.01f);
    EXPECT_NEAR(rgba[1], 0.0f, 0.01f);
    EXPECT_NEAR(rgba[2], 0.0f, 0.01f);
    // Out of gamut: limited to 0..1.
    FromLab(50, -128, 127, rgba);
    for (int c = 0; c < 3; ++c) {
        EXPECT_GE(rgba[c], 0.0f);
        EXPECT_LE(rgba[c], 1.0f);
    }
}

TEST(ICCTransform, RoundTripsAndAlpha) {
    std::vector<float> rgba;
    for (int r = 0; r <= 4; ++r)
        for (int g = 0; g <= 4; ++g)
            for (int b = 0; b <= 4; ++b)
                rgba.insert(rgba.end(), {r / 4.0f, g / 4.0f, b / 4.0f, (r + g) / 8.0f});
    size_t n = rgba.size() / 4;
    std::vector<uint16_t> lab(n * 4);
    std::vector<float> back(n * 4);
    auto& m = ICCManager::GetInstance();
    m.DoRGBAFToLABA16Transform(rgba.data(), lab.data(), n);
    m.DoLABA16ToRGBAFTransform(lab.data(), back.data(), n);
    for (size_t i = 0; i < n * 4; ++i) EXPECT_NEAR(back[i], rgba[i], 1.0f / 255) << i;
    // More pixels than one staging chunk.
    std::vector<uint16_t> many(1000 * 4);
    for (size_t i = 0; i < 1000; ++i) {
        many[4 * i] = static_cast<uint16_t>(i * 65);
        many[4 * i + 1] = 32768;
        many[4 * i + 2] = 32768;
        many[4 * i + 3] = static_cast<uint16_t>(i);
    }
    std::vector<float> out(1000 * 4);
    m.DoLABA16ToRGBAFTransform(many.data(), out.data(), 1000);
    for (size_t i = 1; i < 1000; ++i) {
        EXPECT_GE(out[4 * i], out[4 * (i - 1)]);  // lighter with L
        EXPECT_NEAR(out[4 * i], out[4 * i + 1], 0.002f);
        EXPECT_FLOAT_EQ(out[4 * i + 3], i / 65535.0f);
    }
}

TEST(ICCTransform, GreyConversions) {
    auto& m = ICCManager::GetInstance();
    float rgba[] = {1, 1, 1, 1, 0, 0, 0, 1, 0.5f, 0.5f, 0.5f, 1, 1, 0, 0, 1};
    float g[4];
    m.DoRGBAFToGrayFTransform(rgba, g, 4);
    EXPECT_NEAR(g[0], 1.0f, 0.002f);
    EXPECT_NEAR(g[1], 0.0f, 0.002f);
    EXPECT_NEAR(g[2], 0.5f, 0.002f);    // the grey space shares the sRGB tone curve
    EXPECT_NEAR(g[3], 0.509f, 0.005f);  // red's luminance 0.2225, encoded
    uint16_t lab[4];
    float mid = 0.5f;
    m.DoGrayFToLABA16Transform(&mid, lab, 1);
    double L, a, b;
    RasterLABA16ToCIELab(lab, L, a, b);
    EXPECT_NEAR(L, 53.39, 0.1);
    EXPECT_EQ(lab[1], 32768);
    EXPECT_EQ(lab[2], 32768);
    EXPECT_EQ(lab[3], 65535);
    float back;
    m.DoLABA16ToGrayFTransform(lab, &back, 1);
    EXPECT_NEAR(back, 0.5f, 0.002f);
}

TEST(ICCTransform, ConcurrentUseGivesTheSameResults) {
    std::vector<uint16_t> lab(4096 * 4);
    for (size_t i = 0; i < lab.size(); ++i) lab[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
    std::vector<float> expected(lab.size());
    ICCManager::GetInstance().DoLABA16ToRGBAFTransform(lab.data(), expected.data(), 4096);
    std::vector<std::vector<float>> results(4, std::vector<float>(lab.size()));
    std::vector<std::thread> threads;
    for (auto& r : results)
        threads.emplace_back([&] {
            ICCManager::GetInstance().DoLABA16ToRGBAFTransform(lab.data(), r.data(), 4096);
        });
    for (auto& t : threads) t.join();
    for (auto const& r : results) EXPECT_EQ(r, expected);
}

TEST(CIELabToRasterLABA16, BoundariesAndClamping) {
    uint16_t p[4];
    CIELabToRasterLABA16(0, -128, -128, p);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[3], 65535);
    CIELabToRasterLABA16(100, 127, 127, p);
    EXPECT_EQ(p[0], 65535);
    EXPECT_EQ(p[1], 65280);
    EXPECT_EQ(p[2], 65280);
    CIELabToRasterLABA16(50, 0, 0, p);
    EXPECT_EQ(p[0], 32768);  // 32767.5 rounds up
    EXPECT_EQ(p[1], 32768);
    EXPECT_EQ(p[2], 32768);
    CIELabToRasterLABA16(1, 0.5, -0.25, p);
    EXPECT_EQ(p[0], 655);
    EXPECT_EQ(p[1], 32896);
    EXPECT_EQ(p[2], 32704);
    // The top of the range: 127.996 is the last value below the clamp.
    CIELabToRasterLABA16(100, 127.99609375, 128, p);
    EXPECT_EQ(p[1], 65535);
    EXPECT_EQ(p[2], 65535);
    CIELabToRasterLABA16(150, 200, -300, p);
    EXPECT_EQ(p[0], 65535);
    EXPECT_EQ(p[1], 65535);
    EXPECT_EQ(p[2], 0);
    CIELabToRasterLABA16(-5, -128.5, 1e300, p);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 65535);
    CIELabToRasterLABA16(std::nan(""), 0, 0, p);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[3], 65535);
    // The inverse recovers the CIE values to the encoding's step.
    for (double L : {0.0, 12.5, 50.0, 99.9, 100.0})
        for (double a : {-128.0, -20.25, 0.0, 64.5, 127.0}) {
            CIELabToRasterLABA16(L, a, -a, p);
            double L2, a2, b2;
            RasterLABA16ToCIELab(p, L2, a2, b2);
            EXPECT_NEAR(L2, L, 100.0 / 65535);
            EXPECT_NEAR(a2, a, 1.0 / 256);
            if (-a < 127.99) {
                EXPECT_NEAR(b2, -a, 1.0 / 256);
            }
        }
}

TEST(DeviceCMYK, Formula) {
    float r, g, b;
    CMYKToRGBDevice(0.2f, 0.4f, 0.6f, 0.5f, r, g, b);
    EXPECT_FLOAT_EQ(r, 0.4f);
    EXPECT_FLOAT_EQ(g, 0.3f);
    EXPECT_FLOAT_EQ(b, 0.2f);
    CMYKToRGBDevice(0, 0, 0, 1, r, g, b);
    EXPECT_EQ(r + g + b, 0.0f);
    float c, m, y, k;
    RGBToCMYKDevice(0.4f, 0.3f, 0.2f, c, m, y, k);
    EXPECT_NEAR(k, 0.6f, 1e-6f);
    EXPECT_NEAR(c, 0.0f, 1e-6f);
    EXPECT_NEAR(m, 0.25f, 1e-6f);
    EXPECT_NEAR(y, 0.5f, 1e-6f);
    RGBToCMYKDevice(0, 0, 0, c, m, y, k);
    EXPECT_EQ(k, 1.0f);
    EXPECT_EQ(c + m + y, 0.0f);
    // RGB -> CMYK -> RGB is exact up to float rounding.
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
    uint8_t const* p = out->GetRow(0);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 12),
              (std::vector<uint8_t>{255, 255, 255, 200, 0, 255, 255, 255, 0, 0, 0, 10}));
    p = out->GetRow(1);
    // ink 0.2 0.4 0.6 0.502 -> (0.8, 0.6, 0.4) * 0.498
    EXPECT_NEAR(p[0], 102, 1);
    EXPECT_NEAR(p[1], 76, 1);
    EXPECT_NEAR(p[2], 51, 1);
    EXPECT_EQ(p[3], 255);
    EXPECT_EQ(p[4] + p[5] + p[6], 0);
    EXPECT_EQ(p[8], 64);  // 0.502 * 0.502 * 255

    ConvertToRGBAOptions o;
    o.cmykSamples = CMYKSamples::InkIsMax;
    o.depth = 16;
    auto deep = ConvertToRGBA(*src, o);
    ASSERT_EQ(deep->GetFormat(), Format::RGBA16);
    uint16_t px[4];
    std::memcpy(px, deep->GetRow(0), 8);
    EXPECT_EQ(px[0], 0);  // full ink everywhere
    EXPECT_EQ(px[3], 200 * 257);
    std::memcpy(px, deep->GetRow(0) + 8, 8);
    EXPECT_EQ(px[0], 0);                      // full black ink hides the missing cyan
    std::memcpy(px, deep->GetRow(1) + 8, 8);  // no ink at all
    EXPECT_EQ(px[0], 65535);
    EXPECT_EQ(px[1], 65535);
    EXPECT_EQ(px[2], 65535);

    // A profile of another colour space is passed over: the formula applies.
    auto bytes = SRGBBytes();
    o.profile = ICCManager::GetInstance().AddProfileFromMemory(bytes.data(), bytes.size());
    auto same = ConvertToRGBA(*src, o);
    EXPECT_EQ(std::memcmp(same->GetData(), deep->GetData(), deep->GetDataSize()), 0);
}

TEST(ConvertToRGBA, LabDefaultAndProfile) {
    auto src = DynamicBitmap::Create(300, 3, Format::LABA16);  // wider than a staging chunk
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

    auto labProfile = SaveProfile(cmsCreateLab4Profile(nullptr));
    ConvertToRGBAOptions o;
    o.profile =
        ICCManager::GetInstance().AddProfileFromMemory(labProfile.data(), labProfile.size());
    ASSERT_TRUE(o.profile);
    auto viaProfile = ConvertToRGBA(*src, o);
    for (size_t i = 0; i < out->GetDataSize(); ++i)
        ASSERT_NEAR(viaProfile->GetData()[i], out->GetData()[i], 1) << i;
}

TEST(ConvertToRGBA, OtherFormatsAndDepths) {
    auto rgba8 = DynamicBitmap::Create(2, 1, Format::RGBA8);
    uint8_t px8[] = {0, 1, 128, 255, 7, 200, 255, 0};
    rgba8->WriteRow(0, px8);
    auto same = ConvertToRGBA(*rgba8);
    EXPECT_EQ(std::memcmp(same->GetData(), px8, 8), 0);
    ConvertToRGBAOptions deep;
    deep.depth = 16;
    auto up = ConvertToRGBA(*rgba8, deep);
    uint16_t px16[8];
    std::memcpy(px16, up->GetData(), 16);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(px16[i], px8[i] * 257);

    auto rgba16 = DynamicBitmap::Create(1, 1, Format::RGBA16);
    uint16_t s16[] = {128, 129, 65535, 32896};
    rgba16->WriteRow(0, s16);
    auto down = ConvertToRGBA(*rgba16);
    EXPECT_EQ(down->GetData()[0], 0);  // 128/257 = 0.498
    EXPECT_EQ(down->GetData()[1], 1);
    EXPECT_EQ(down->GetData()[2], 255);
    EXPECT_EQ(down->GetData()[3], 128);

    auto ia = DynamicBitmap::Create(1, 1, Format::IA8);
    uint8_t sia[] = {90, 30};
    ia->WriteRow(0, sia);
    auto g = ConvertToRGBA(*ia);
    EXPECT_EQ(std::vector<uint8_t>(g->GetData(), g->GetData() + 4),
              (std::vector<uint8_t>{90, 90, 90, 30}));

    auto mask = DynamicBitmap::Create(1, 1, Format::A16);
    uint16_t sm = 1000;
    mask->WriteRow(0, &sm);
    auto gm = ConvertToRGBA(*mask, deep);
    uint16_t pm[4];
    std::memcpy(pm, gm->GetData(), 8);
    EXPECT_EQ(pm[0], 1000);
    EXPECT_EQ(pm[2], 1000);
    EXPECT_EQ(pm[3], 65535);

    auto f = DynamicBitmap::Create(1, 1, Format::RGBAF);
    float sf[] = {-0.5f, 0.5f, 2.0f, std::nanf("")};
    f->WriteRow(0, sf);
    auto gf = ConvertToRGBA(*f);
    EXPECT_EQ(std::vector<uint8_t>(gf->GetData(), gf->GetData() + 4),
              (std::vector<uint8_t>{0, 128, 255, 0}));

    ConvertToRGBAOptions bad;
    bad.depth = 12;
    EXPECT_FALSE(ConvertToRGBA(*f, bad));
    auto empty = DynamicBitmap::Create(0, 5, Format::CMYKA8);
    auto e = ConvertToRGBA(*empty);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->IsEmpty());
}

namespace {

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

std::vector<uint8_t> FormulaCMYKProfile() {
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

TEST(ConvertToRGBA, CMYKThroughAProfile) {
    auto bytes = FormulaCMYKProfile();
    ConvertToRGBAOptions o;
    o.profile = ICCManager::GetInstance().AddProfileFromMemory(bytes.data(), bytes.size());
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
            size_t const n = viaFormula->GetDataSize() / (depth / 8);
            for (size_t i = 0; i < n; ++i) {
                double a, b;
                if (depth == 8) {
                    a = viaProfile->GetData()[i];
                    b = viaFormula->GetData()[i];
                } else {
                    uint16_t s, t;
                    std::memcpy(&s, viaProfile->GetData() + 2 * i, 2);
                    std::memcpy(&t, viaFormula->GetData() + 2 * i, 2);
                    a = s / 257.0;
                    b = t / 257.0;
                }
                if (i % 4 == 3) {
                    ASSERT_EQ(a, b) << i;  // alpha is copied, never transformed
                } else {
                    ASSERT_NEAR(a, b, 1.5) << i << " depth " << depth;
                }
            }
        }
}
