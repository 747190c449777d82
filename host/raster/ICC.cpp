#include "host/raster/ICC.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/kernel/Dispatch.h"
#include "host/kernel/Memory.h"
#include "host/kernel/String.h"

namespace Raster {

namespace {

// Pixels converted per Little CMS call; the staging buffers live on the stack.
constexpr size_t kChunk = 256;

void SilentLogger(cmsContext, cmsUInt32Number, char const*) {}

float Clamp01(float v) {
    if (!(v > 0.0f)) return 0.0f;  // NaN included
    return v < 1.0f ? v : 1.0f;
}

uint16_t ClampRound16(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 65535.0) return 65535;
    return static_cast<uint16_t>(std::lround(v));
}

cmsHPROFILE CreateDefaultGrayProfile() {
    // The sRGB tone curve: grey values line up with neutral sRGB values.
    cmsFloat64Number const params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    if (!curve) return nullptr;
    cmsHPROFILE p = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return p;
}

// The built-in transforms, made once on first use.
struct DefaultTransforms {
    cmsHTRANSFORM labToRGB = nullptr;
    cmsHTRANSFORM rgbToLab = nullptr;
    cmsHTRANSFORM rgbToGray = nullptr;
    cmsHTRANSFORM labToGray = nullptr;
    cmsHTRANSFORM grayToLab = nullptr;

    DefaultTransforms() {
        cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);  // D50
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHPROFILE gray = CreateDefaultGrayProfile();
        if (!lab || !srgb || !gray)
            throw std::runtime_error("Little CMS: built-in profiles unavailable");
        // No one-pixel cache: the transforms are shared between threads.
        cmsUInt32Number const flags = cmsFLAGS_NOCACHE;
        cmsUInt32Number const intent = INTENT_RELATIVE_COLORIMETRIC;
        labToRGB = cmsCreateTransform(lab, TYPE_Lab_FLT, srgb, TYPE_RGB_FLT, intent, flags);
        rgbToLab = cmsCreateTransform(srgb, TYPE_RGB_FLT, lab, TYPE_Lab_FLT, intent, flags);
        rgbToGray = cmsCreateTransform(srgb, TYPE_RGB_FLT, gray, TYPE_GRAY_FLT, intent, flags);
        labToGray = cmsCreateTransform(lab, TYPE_Lab_FLT, gray, TYPE_GRAY_FLT, intent, flags);
        grayToLab = cmsCreateTransform(gray, TYPE_GRAY_FLT, lab, TYPE_Lab_FLT, intent, flags);
        cmsCloseProfile(lab);
        cmsCloseProfile(srgb);
        cmsCloseProfile(gray);
        if (!labToRGB || !rgbToLab || !rgbToGray || !labToGray || !grayToLab)
            throw std::runtime_error("Little CMS: built-in transforms unavailable");
    }
    ~DefaultTransforms() {
        for (cmsHTRANSFORM t : {labToRGB, rgbToLab, rgbToGray, labToGray, grayToLab})
            if (t) cmsDeleteTransform(t);
    }
};

DefaultTransforms const& Defaults() {
    static DefaultTransforms const t;
    return t;
}

void Lab16ToFloat(uint16_t const* lab, float* out) {
    out[0] = static_cast<float>(lab[0] * (100.0 / 65535.0));
    out[1] = static_cast<float>(lab[1] / 256.0 - 128.0);
    out[2] = static_cast<float>(lab[2] / 256.0 - 128.0);
}

// Wide text (UTF-32 on this platform) from Little CMS to UTF-8.
std::string WideToUtf8(wchar_t const* w, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && w[i]; ++i) {
        auto cp = static_cast<char32_t>(w[i]);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        Kernel::AppendUtf8(out, cp);
    }
    return out;
}

std::string ReadDescription(cmsHPROFILE h) {
    cmsUInt32Number bytes = cmsGetProfileInfo(h, cmsInfoDescription, "en", "US", nullptr, 0);
    if (bytes >= sizeof(wchar_t)) {
        std::vector<wchar_t> buf(bytes / sizeof(wchar_t) + 1, 0);
        cmsGetProfileInfo(h, cmsInfoDescription, "en", "US", buf.data(), bytes);
        return WideToUtf8(buf.data(), buf.size());
    }
    bytes = cmsGetProfileInfoASCII(h, cmsInfoDescription, "en", "US", nullptr, 0);
    if (bytes == 0) return {};
    std::string s(bytes, '\0');
    cmsGetProfileInfoASCII(h, cmsInfoDescription, "en", "US", s.data(), bytes);
    s.resize(std::strlen(s.c_str()));
    return s;
}

uint8_t To8(float v) {
    return static_cast<uint8_t>(std::lround(Clamp01(v) * 255.0f));
}
uint16_t To16(float v) {
    return static_cast<uint16_t>(std::lround(Clamp01(v) * 65535.0f));
}
uint8_t Reduce16To8(uint16_t v) {
    return static_cast<uint8_t>((uint32_t(v) * 255u + 32767u) / 65535u);
}

// One converter per source kind; Row() fills one output row from one source row.
class RowConverter {
public:
    RowConverter(DynamicBitmap const& src, DynamicBitmap& dst, ConvertToRGBAOptions const& opt)
        : m_src(src), m_dst(dst), m_opt(opt), m_deep(opt.depth == 16) {}
    ~RowConverter() {
        if (m_transform) cmsDeleteTransform(m_transform);
    }
    RowConverter(RowConverter const&) = delete;
    RowConverter& operator=(RowConverter const&) = delete;

    void Prepare() {
        Format f = m_src.GetFormat();
        ICCProfile const* p = m_opt.profile.Get();
        if ((f == Format::CMYKA8 || f == Format::CMYKA16) && p &&
            p->GetColourSpace() == kICCSpaceCMYK) {
            cmsUInt32Number in = COLORSPACE_SH(PT_CMYK) | EXTRA_SH(1) | CHANNELS_SH(4) |
                                 BYTES_SH(f == Format::CMYKA16 ? 2 : 1);
            if (m_opt.cmykSamples == CMYKSamples::InkIsZero) in |= FLAVOR_SH(1);
            MakeTransform(p, in);
        } else if (f == Format::LABA16 && p && p->GetColourSpace() == kICCSpaceLab) {
            MakeTransform(p, TYPE_Lab_FLT);
        }
    }

    void Row(uint32_t y) {
        uint8_t const* s = m_src.GetRow(y);
        uint8_t* d = m_dst.GetRow(y);
        uint32_t const w = m_src.GetWidth();
        switch (m_src.GetFormat()) {
            case Format::RGBA8:
                for (size_t x = 0; x < size_t(w) * 4; ++x) Put(d, x, uint16_t(s[x] * 257u));
                break;
            case Format::RGBA16:
                for (size_t x = 0; x < size_t(w) * 4; ++x) Put(d, x, Sample16(s, x));
                break;
            case Format::IA8:
                for (uint32_t x = 0; x < w; ++x)
                    Grey(d, x, uint16_t(s[2 * x] * 257u), uint16_t(s[2 * x + 1] * 257u));
                break;
            case Format::IA16:
                for (uint32_t x = 0; x < w; ++x)
                    Grey(d, x, Sample16(s, 2 * x), Sample16(s, 2 * x + 1));
                break;
            case Format::A8:
                for (uint32_t x = 0; x < w; ++x) Grey(d, x, uint16_t(s[x] * 257u), 65535);
                break;
            case Format::A16:
                for (uint32_t x = 0; x < w; ++x) Grey(d, x, Sample16(s, x), 65535);
                break;
            case Format::AF:
                for (uint32_t x = 0; x < w; ++x) Grey(d, x, To16(SampleF(s, x)), 65535);
                break;
            case Format::RGBAF:
                for (size_t x = 0; x < size_t(w) * 4; ++x) PutF(d, x, SampleF(s, x));
                break;
            case Format::CMYKA8:
                CMYKRow<uint8_t>(s, d, w);
                break;
            case Format::CMYKA16:
                CMYKRow<uint16_t>(s, d, w);
                break;
            case Format::IAF:
                for (uint32_t x = 0; x < w; ++x) {
                    uint16_t g = To16(SampleF(s, 2 * size_t(x)));
                    Grey(d, x, g, To16(SampleF(s, 2 * size_t(x) + 1)));
                }
                break;
            case Format::LABA16:
                LabRow(s, d, w);
                break;
        }
    }

private:
    void MakeTransform(ICCProfile const* p, cmsUInt32Number inFormat) {
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        if (!srgb) return;
        cmsUInt32Number out = m_deep ? TYPE_RGB_16 : TYPE_RGB_8;
        // Relative colorimetric with black point compensation: colours kept as measured, shadows
        // scaled into sRGB's black rather than clipped.
        m_transform = cmsCreateTransform(static_cast<cmsHPROFILE>(p->GetHandle()), inFormat, srgb,
                                         out, INTENT_RELATIVE_COLORIMETRIC,
                                         cmsFLAGS_NOCACHE | cmsFLAGS_BLACKPOINTCOMPENSATION);
        cmsCloseProfile(srgb);
    }

    static uint16_t Sample16(uint8_t const* row, size_t i) {
        uint16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return v;
    }
    static float SampleF(uint8_t const* row, size_t i) {
        float v;
        std::memcpy(&v, row + 4 * i, 4);
        return v;
    }
    // Stores sample i of the output row from a 16-bit value.
    void Put(uint8_t* d, size_t i, uint16_t v) const {
        if (m_deep)
            std::memcpy(d + 2 * i, &v, 2);
        else
            d[i] = Reduce16To8(v);
    }
    void PutF(uint8_t* d, size_t i, float v) const {
        if (m_deep) {
            uint16_t s = To16(v);
            std::memcpy(d + 2 * i, &s, 2);
        } else {
            d[i] = To8(v);
        }
    }
    void Grey(uint8_t* d, uint32_t x, uint16_t g, uint16_t a) const {
        Put(d, 4 * size_t(x), g);
        Put(d, 4 * size_t(x) + 1, g);
        Put(d, 4 * size_t(x) + 2, g);
        Put(d, 4 * size_t(x) + 3, a);
    }

    // T is the sample type: 8-bit or 16-bit ink.
    template <class T>
    void CMYKRow(uint8_t const* s, uint8_t* d, uint32_t w) const {
        constexpr unsigned kMax = sizeof(T) == 1 ? 255u : 65535u;
        auto sample = [s](size_t i) {
            T v;
            std::memcpy(&v, s + i * sizeof(T), sizeof(T));
            return unsigned(v);
        };
        auto wide = [](unsigned v) { return uint16_t(sizeof(T) == 1 ? v * 257u : v); };
        if (m_transform) {
            uint8_t rgb[kChunk * 3 * 2];
            for (uint32_t x0 = 0; x0 < w; x0 += kChunk) {
                uint32_t n = std::min<uint32_t>(kChunk, w - x0);
                cmsDoTransform(m_transform, s + size_t(x0) * 5 * sizeof(T), rgb, n);
                for (uint32_t i = 0; i < n; ++i) {
                    size_t o = 4 * size_t(x0 + i);
                    for (unsigned c = 0; c < 3; ++c) {
                        if (m_deep)
                            std::memcpy(d + 2 * (o + c), rgb + 2 * (3 * i + c), 2);
                        else
                            d[o + c] = rgb[3 * i + c];
                    }
                    Put(d, o + 3, wide(sample(5 * size_t(x0 + i) + 4)));
                }
            }
            return;
        }
        bool const inkIsZero = m_opt.cmykSamples == CMYKSamples::InkIsZero;
        for (uint32_t x = 0; x < w; ++x) {
            size_t p = 5 * size_t(x);
            float ink[4];
            for (unsigned c = 0; c < 4; ++c) {
                unsigned v = sample(p + c);
                ink[c] = float(inkIsZero ? kMax - v : v) / float(kMax);
            }
            float r, g, b;
            CMYKToRGBDevice(ink[0], ink[1], ink[2], ink[3], r, g, b);
            size_t o = 4 * size_t(x);
            PutF(d, o, r);
            PutF(d, o + 1, g);
            PutF(d, o + 2, b);
            Put(d, o + 3, wide(sample(p + 4)));
        }
    }

    void LabRow(uint8_t const* s, uint8_t* d, uint32_t w) const {
        uint16_t lab[kChunk * 4];
        float rgba[kChunk * 4];
        float labF[kChunk * 3];
        uint8_t rgb[kChunk * 3 * 2];
        for (uint32_t x0 = 0; x0 < w; x0 += kChunk) {
            uint32_t n = std::min<uint32_t>(kChunk, w - x0);
            std::memcpy(lab, s + size_t(x0) * 8, size_t(n) * 8);
            if (m_transform) {
                for (uint32_t i = 0; i < n; ++i) Lab16ToFloat(lab + 4 * i, labF + 3 * i);
                cmsDoTransform(m_transform, labF, rgb, n);
                for (uint32_t i = 0; i < n; ++i) {
                    size_t o = 4 * size_t(x0 + i);
                    for (unsigned c = 0; c < 3; ++c) {
                        if (m_deep)
                            std::memcpy(d + 2 * (o + c), rgb + 2 * (3 * i + c), 2);
                        else
                            d[o + c] = rgb[3 * i + c];
                    }
                    Put(d, o + 3, lab[4 * i + 3]);
                }
                continue;
            }
            ICCManager::GetInstance().DoLABA16ToRGBAFTransform(lab, rgba, n);
            for (uint32_t i = 0; i < n; ++i) {
                size_t o = 4 * size_t(x0 + i);
                for (unsigned c = 0; c < 3; ++c) PutF(d, o + c, rgba[4 * i + c]);
                Put(d, o + 3, lab[4 * i + 3]);  // exact, not through the float
            }
        }
    }

    DynamicBitmap const& m_src;
    DynamicBitmap& m_dst;
    ConvertToRGBAOptions const& m_opt;
    bool m_deep;
    cmsHTRANSFORM m_transform = nullptr;
};

}  // namespace

ICCProfile::~ICCProfile() {
    if (m_handle) cmsCloseProfile(static_cast<cmsHPROFILE>(m_handle));
}

bool ICCProfile::SampleGrayToneCurve(size_t n, std::vector<float>& out) const {
    if (n < 2 || !m_handle || m_colourSpace != kICCSpaceGray) return false;
    auto const* curve = static_cast<cmsToneCurve const*>(
        cmsReadTag(static_cast<cmsHPROFILE>(m_handle), cmsSigGrayTRCTag));
    if (!curve) return false;
    out.resize(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = cmsEvalToneCurveFloat(curve, cmsFloat32Number(double(i) / double(n - 1)));
    return true;
}

ICCManager& ICCManager::GetInstance() {
    static ICCManager instance;
    return instance;
}

ICCManager::ICCManager() {
    // Damaged embedded profiles are expected; their failures are reported by result.
    cmsSetLogErrorHandler(SilentLogger);
}

Kernel::Consolidated<ICCProfile> ICCManager::AddProfileFromMemory(void const* data, size_t size) {
    // A profile header alone is 128 bytes; Little CMS takes a 32-bit size.
    if (!data || size < 128 || size > UINT32_MAX) return nullptr;
    cmsHPROFILE h = cmsOpenProfileFromMem(data, static_cast<cmsUInt32Number>(size));
    if (!h) return nullptr;
    Kernel::Counted<ICCProfile> p(new ICCProfile);
    p->m_handle = h;  // closed by the profile from here on
    auto const* bytes = static_cast<uint8_t const*>(data);
    p->m_data.assign(bytes, bytes + size);
    p->m_colourSpace = static_cast<uint32_t>(cmsGetColorSpace(h));
    p->m_description = ReadDescription(h);
    return p;
}

void ICCManager::DoLABA16ToRGBAFTransform(uint16_t const* lab, float* rgba, size_t n) const {
    auto const& t = Defaults();
    float in[kChunk * 3], out[kChunk * 3];
    for (size_t done = 0; done < n;) {
        size_t m = std::min(kChunk, n - done);
        for (size_t i = 0; i < m; ++i) Lab16ToFloat(lab + 4 * (done + i), in + 3 * i);
        cmsDoTransform(t.labToRGB, in, out, static_cast<cmsUInt32Number>(m));
        for (size_t i = 0; i < m; ++i) {
            float* o = rgba + 4 * (done + i);
            o[0] = Clamp01(out[3 * i]);
            o[1] = Clamp01(out[3 * i + 1]);
            o[2] = Clamp01(out[3 * i + 2]);
            o[3] = static_cast<float>(lab[4 * (done + i) + 3] / 65535.0);
        }
        done += m;
    }
}

void ICCManager::DoRGBAFToLABA16Transform(float const* rgba, uint16_t* lab, size_t n) const {
    auto const& t = Defaults();
    float in[kChunk * 3], out[kChunk * 3];
    for (size_t done = 0; done < n;) {
        size_t m = std::min(kChunk, n - done);
        for (size_t i = 0; i < m; ++i)
            for (unsigned c = 0; c < 3; ++c) in[3 * i + c] = Clamp01(rgba[4 * (done + i) + c]);
        cmsDoTransform(t.rgbToLab, in, out, static_cast<cmsUInt32Number>(m));
        for (size_t i = 0; i < m; ++i) {
            uint16_t* o = lab + 4 * (done + i);
            CIELabToRasterLABA16(out[3 * i], out[3 * i + 1], out[3 * i + 2], o);
            o[3] = To16(rgba[4 * (done + i) + 3]);
        }
        done += m;
    }
}

void ICCManager::DoRGBAFToGrayFTransform(float const* rgba, float* gray, size_t n) const {
    auto const& t = Defaults();
    float in[kChunk * 3], out[kChunk];
    for (size_t done = 0; done < n;) {
        size_t m = std::min(kChunk, n - done);
        for (size_t i = 0; i < m; ++i)
            for (unsigned c = 0; c < 3; ++c) in[3 * i + c] = Clamp01(rgba[4 * (done + i) + c]);
        cmsDoTransform(t.rgbToGray, in, out, static_cast<cmsUInt32Number>(m));
        for (size_t i = 0; i < m; ++i) gray[done + i] = Clamp01(out[i]);
        done += m;
    }
}

void ICCManager::DoLABA16ToGrayFTransform(uint16_t const* lab, float* gray, size_t n) const {
    auto const& t = Defaults();
    float in[kChunk * 3], out[kChunk];
    for (size_t done = 0; done < n;) {
        size_t m = std::min(kChunk, n - done);
        for (size_t i = 0; i < m; ++i) Lab16ToFloat(lab + 4 * (done + i), in + 3 * i);
        cmsDoTransform(t.labToGray, in, out, static_cast<cmsUInt32Number>(m));
        for (size_t i = 0; i < m; ++i) gray[done + i] = Clamp01(out[i]);
        done += m;
    }
}

void ICCManager::DoGrayFToLABA16Transform(float const* gray, uint16_t* lab, size_t n) const {
    auto const& t = Defaults();
    float in[kChunk], out[kChunk * 3];
    for (size_t done = 0; done < n;) {
        size_t m = std::min(kChunk, n - done);
        for (size_t i = 0; i < m; ++i) in[i] = Clamp01(gray[done + i]);
        cmsDoTransform(t.grayToLab, in, out, static_cast<cmsUInt32Number>(m));
        for (size_t i = 0; i < m; ++i) {
            // A neutral: a and b are zero up to the transform's rounding.
            CIELabToRasterLABA16(out[3 * i], 0.0, 0.0, lab + 4 * (done + i));
        }
        done += m;
    }
}

void CIELabToRasterLABA16(double L, double a, double b, uint16_t out[4]) {
    out[0] = ClampRound16(L * 65535.0 / 100.0);
    out[1] = ClampRound16((a + 128.0) * 256.0);
    out[2] = ClampRound16((b + 128.0) * 256.0);
    out[3] = 65535;
}

void RasterLABA16ToCIELab(uint16_t const in[4], double& L, double& a, double& b) {
    L = in[0] * 100.0 / 65535.0;
    a = in[1] / 256.0 - 128.0;
    b = in[2] / 256.0 - 128.0;
}

void CMYKToRGBDevice(float c, float m, float y, float k, float& r, float& g, float& b) {
    float const w = 1.0f - Clamp01(k);
    r = (1.0f - Clamp01(c)) * w;
    g = (1.0f - Clamp01(m)) * w;
    b = (1.0f - Clamp01(y)) * w;
}

void RGBToCMYKDevice(float r, float g, float b, float& c, float& m, float& y, float& k) {
    r = Clamp01(r);
    g = Clamp01(g);
    b = Clamp01(b);
    float const mx = std::max({r, g, b});
    k = 1.0f - mx;
    if (mx <= 0.0f) {
        c = m = y = 0.0f;
        return;
    }
    c = (mx - r) / mx;
    m = (mx - g) / mx;
    y = (mx - b) / mx;
}

bool ICCManager::SampleLookupProfile(void const* data, size_t size, ICCProfile const* rgb,
                                     unsigned n, std::vector<float>& out) const {
    if (!data || size < 128 || size > UINT32_MAX || n < 2 || n > 256) return false;
    cmsHPROFILE h = cmsOpenProfileFromMem(data, static_cast<cmsUInt32Number>(size));
    if (!h) return false;
    cmsHTRANSFORM t = nullptr;
    cmsHPROFILE srgb = nullptr;
    // The grid is evaluated once, so precalculation would only add its own rounding.
    cmsUInt32Number const flags = cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE;
    if (cmsGetDeviceClass(h) == cmsSigLinkClass && cmsGetColorSpace(h) == cmsSigRgbData &&
        cmsGetPCS(h) == cmsSigRgbData) {
        t = cmsCreateTransform(h, TYPE_RGB_FLT, nullptr, TYPE_RGB_FLT, INTENT_PERCEPTUAL, flags);
    } else if (cmsGetDeviceClass(h) == cmsSigAbstractClass &&
               cmsGetColorSpace(h) == cmsSigLabData) {
        cmsHPROFILE space = rgb && rgb->GetColourSpace() == kICCSpaceRGB
                                ? static_cast<cmsHPROFILE>(rgb->GetHandle())
                                : (srgb = cmsCreate_sRGBProfile());
        cmsHPROFILE chain[3] = {space, h, space};
        t = cmsCreateMultiprofileTransform(chain, 3, TYPE_RGB_FLT, TYPE_RGB_FLT,
                                           INTENT_RELATIVE_COLORIMETRIC, flags);
    }
    if (t) {
        size_t count = size_t(n) * n * n;
        std::vector<float> in(count * 3);
        float step = 1.0f / float(n - 1);
        for (size_t i = 0; i < count; ++i) {
            in[i * 3] = float(i % n) * step;
            in[i * 3 + 1] = float(i / n % n) * step;
            in[i * 3 + 2] = float(i / n / n) * step;
        }
        out.resize(count * 3);
        cmsDoTransform(t, in.data(), out.data(), static_cast<cmsUInt32Number>(count));
        for (float& v : out) v = Clamp01(v);
        cmsDeleteTransform(t);
    }
    if (srgb) cmsCloseProfile(srgb);
    cmsCloseProfile(h);
    return t != nullptr;
}

namespace {

int SampleGrid(cmsUInt16Number const in[], cmsUInt16Number out[], void* cargo) {
    auto const& at = *static_cast<std::function<void(float const*, float*)> const*>(cargo);
    float i[3] = {in[0] / 65535.0f, in[1] / 65535.0f, in[2] / 65535.0f}, o[3];
    at(i, o);
    for (int c = 0; c < 3; ++c) out[c] = ClampRound16(double(Clamp01(o[c])) * 65535.0);
    return 1;
}

}  // namespace

std::vector<uint8_t> ICCManager::MakeLookupDeviceLink(
    unsigned n, std::function<void(float const*, float*)> const& at,
    std::string const& description) const {
    std::vector<uint8_t> bytes;
    if (n < 2 || n > 255) return bytes;
    cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 3, 3);
    cmsMLU* text = cmsMLUalloc(nullptr, 1);
    cmsMLU* none = cmsMLUalloc(nullptr, 1);
    cmsSEQ* seq = cmsAllocProfileSequenceDescription(nullptr, 1);
    bool ok = h && lut && text && none && seq;
    if (ok) {
        cmsSetProfileVersion(h, 4.3);
        cmsSetDeviceClass(h, cmsSigLinkClass);
        cmsSetColorSpace(h, cmsSigRgbData);
        cmsSetPCS(h, cmsSigRgbData);
        cmsSetHeaderRenderingIntent(h, INTENT_PERCEPTUAL);
        // lutAToBType holds a table only between curves: identity ones here.
        cmsStage* stages[3] = {cmsStageAllocToneCurves(nullptr, 3, nullptr),
                               cmsStageAllocCLut16bit(nullptr, n, 3, 3, nullptr),
                               cmsStageAllocToneCurves(nullptr, 3, nullptr)};
        void* cargo = const_cast<void*>(static_cast<void const*>(&at));
        ok = stages[0] && stages[1] && stages[2] &&
             cmsStageSampleCLut16bit(stages[1], SampleGrid, cargo, 0);
        for (cmsStage* stage : stages)
            if (ok)
                ok = cmsPipelineInsertStage(lut, cmsAT_END, stage);
            else if (stage)
                cmsStageFree(stage);
    }
    if (ok) {
        std::string ascii = description;
        for (char& ch : ascii)
            if (static_cast<unsigned char>(ch) > 126 || static_cast<unsigned char>(ch) < 32)
                ch = '?';
        cmsMLUsetASCII(text, "en", "US", ascii.c_str());
        cmsMLUsetASCII(none, "en", "US", "");
        seq->seq[0].deviceMfg = seq->seq[0].deviceModel = 0;
        seq->seq[0].Manufacturer = cmsMLUdup(none);
        seq->seq[0].Model = cmsMLUdup(none);
        seq->seq[0].Description = cmsMLUdup(text);
        seq->seq[0].technology = cmsSigDigitalCamera;
        ok = cmsWriteTag(h, cmsSigProfileDescriptionTag, text) &&
             cmsWriteTag(h, cmsSigCopyrightTag, none) &&
             cmsWriteTag(h, cmsSigProfileSequenceDescTag, seq) &&
             cmsWriteTag(h, cmsSigAToB0Tag, lut);
    }
    cmsUInt32Number size = 0;
    if (ok && cmsSaveProfileToMem(h, nullptr, &size) && size) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(h, bytes.data(), &size)) bytes.clear();
    }
    if (seq) cmsFreeProfileSequenceDescription(seq);
    if (none) cmsMLUfree(none);
    if (text) cmsMLUfree(text);
    if (lut) cmsPipelineFree(lut);
    if (h) cmsCloseProfile(h);
    return bytes;
}

Kernel::Counted<DynamicBitmap> ConvertToRGBA(DynamicBitmap const& source,
                                             ConvertToRGBAOptions const& options) {
    if (options.depth != 8 && options.depth != 16) return nullptr;
    Format const outFormat = options.depth == 16 ? Format::RGBA16 : Format::RGBA8;
    auto out = DynamicBitmap::Create(source.GetWidth(), source.GetHeight(), outFormat);
    if (out->IsEmpty()) return out;
    RowConverter conv(source, *out, options);
    conv.Prepare();
    // Bands of rows: each worker writes its own rows and the transforms are shareable.
    constexpr uint32_t kBand = 32;
    uint32_t const h = source.GetHeight();
    size_t const bands = (size_t(h) + kBand - 1) / kBand;
    Kernel::Dispatch::DispatchParallelFor(bands, [&](size_t band) {
        uint32_t y0 = static_cast<uint32_t>(band * kBand);
        uint32_t y1 = std::min<uint32_t>(h, y0 + kBand);
        for (uint32_t y = y0; y < y1; ++y) conv.Row(y);
    });
    return out;
}

}  // namespace Raster
