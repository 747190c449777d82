// ICC profiles and colour transforms, backed by Little CMS.
//
// The default profile set is built into the library: sRGB for RGB, the D50 Lab space (ICC v4)
// for Lab, and a grey space with the sRGB tone curve and D50 white for grey, so a grey value is
// the neutral RGB colour of the same value. Little CMS carries no CMYK profile, so CMYK without
// a profile uses the device formula
//     R = (1 - C) * (1 - K),  G = (1 - M) * (1 - K),  B = (1 - Y) * (1 - K)
// and its inverse K = 1 - max(R, G, B), C = (1 - R - K) / (1 - K) (C = M = Y = 0 when K = 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/raster/Bitmap.h"

namespace Raster {

// Colour space signatures as stored in profile headers.
constexpr uint32_t kICCSpaceRGB = 0x52474220;   // 'RGB '
constexpr uint32_t kICCSpaceCMYK = 0x434D594B;  // 'CMYK'
constexpr uint32_t kICCSpaceGray = 0x47524159;  // 'GRAY'
constexpr uint32_t kICCSpaceLab = 0x4C616220;   // 'Lab '

// An ICC colour profile, as bytes and as opened by Little CMS.
class ICCProfile : public Kernel::Countable {
public:
    ~ICCProfile() override;
    // The profile bytes exactly as embedded.
    std::vector<uint8_t> const& GetData() const { return m_data; }
    // The profile's description text (UTF-8), empty when it has none.
    std::string const& GetDescription() const { return m_description; }
    // Colour space signature of the profile (e.g. 'RGB ', 'CMYK', 'GRAY', 'Lab ').
    uint32_t GetColourSpace() const { return m_colourSpace; }
    // The grey tone curve of a grey profile (stored value to linear light, both 0..1) sampled at
    // n evenly spaced values; false for other profiles or one without such a curve.
    bool SampleGrayToneCurve(size_t n, std::vector<float>& out) const;
    // The Little CMS handle (cmsHPROFILE); valid as long as the profile lives.
    void* GetHandle() const { return m_handle; }

private:
    friend class ICCManager;
    ICCProfile() = default;
    std::vector<uint8_t> m_data;
    std::string m_description;
    uint32_t m_colourSpace = 0;
    void* m_handle = nullptr;
};

// Colour conversions between documents' spaces and RGB, with the profiles they need.
class ICCManager {
public:
    // Profiles used for colour conversions; a null member stands for the built-in default of
    // that space (see the top of this file).
    struct ICCProfileSet {
        Kernel::Consolidated<ICCProfile> rgb;
        Kernel::Consolidated<ICCProfile> cmyk;
        Kernel::Consolidated<ICCProfile> gray;
    };

    static ICCManager& GetInstance();

    // Null when the bytes are not a profile Little CMS accepts.
    Kernel::Consolidated<ICCProfile> AddProfileFromMemory(void const* data, size_t size);

    // The set of built-in profiles (all members null).
    ICCProfileSet const& GetDefaultProfileSet() const { return m_defaultSet; }

    // Lab with alpha, 16-bit (L 0..65535 for 0..100; a, b offset by 32768) <-> RGBA float
    // (sRGB, 0..1), n pixels, 4 samples each. RGB results are limited to 0..1; alpha is carried
    // over. Thread-safe: the transforms are made once and hold no per-call state.
    void DoLABA16ToRGBAFTransform(uint16_t const* lab, float* rgba, size_t n) const;
    void DoRGBAFToLABA16Transform(float const* rgba, uint16_t* lab, size_t n) const;

    // Grey (0 black .. 1 white, default grey space) from RGBA float and from 16-bit Lab, and
    // 16-bit Lab (alpha 65535) from grey; n pixels. Alpha is dropped towards grey.
    void DoRGBAFToGrayFTransform(float const* rgba, float* gray, size_t n) const;
    void DoLABA16ToGrayFTransform(uint16_t const* lab, float* gray, size_t n) const;
    void DoGrayFToLABA16Transform(float const* gray, uint16_t* lab, size_t n) const;

    // What a colour-lookup profile makes of an n x n x n grid of RGB inputs (0..1, red fastest),
    // three floats each: a device link from RGB to RGB as it is, an abstract profile (Lab to Lab)
    // between `rgb` (null: sRGB) and itself. False for other profiles or bytes that do not open.
    bool SampleLookupProfile(void const* data, size_t size, ICCProfile const* rgb, unsigned n,
                             std::vector<float>& out) const;
    // A device-link profile (ICC 4, RGB to RGB, perceptual) whose 16-bit table holds what at()
    // gives (RGB 0..1) on an n-point grid per channel: the form a colour lookup carries its table
    // in. Empty when Little CMS cannot make it.
    std::vector<uint8_t> MakeLookupDeviceLink(unsigned n,
                                              std::function<void(float const*, float*)> const& at,
                                              std::string const& description) const;

private:
    ICCManager();
    ICCProfileSet m_defaultSet;
};

// CIE Lab (L 0..100, a and b signed) to a 16-bit Lab pixel with opaque alpha.
void CIELabToRasterLABA16(double L, double a, double b, uint16_t out[4]);
// The inverse of the above for the three colour samples: L 0..100, a and b in -128..127.996.
void RasterLABA16ToCIELab(uint16_t const in[4], double& L, double& a, double& b);

// Device CMYK (ink 0..1) to RGB 0..1 and back, by the formula at the top of this file.
void CMYKToRGBDevice(float c, float m, float y, float k, float& r, float& g, float& b);
void RGBToCMYKDevice(float r, float g, float b, float& c, float& m, float& y, float& k);

// How the samples of a CMYK bitmap encode ink. Document channel data stores 255 for no ink and
// the channel decoders copy it unchanged, so that is what a decoded bitmap holds.
enum class CMYKSamples {
    InkIsZero,  // 255 = no ink, 0 = full ink (as documents store it)
    InkIsMax,   // 0 = no ink, 255 = full ink
};

// How a bitmap in another colour space becomes RGBA.
struct ConvertToRGBAOptions {
    // Profile of the source. Used for CMYK and Lab sources when its colour space matches the
    // source's; otherwise (or when null) the built-in default applies. Conversions through a
    // profile use the relative colorimetric intent with black point compensation.
    Kernel::Consolidated<ICCProfile> profile;
    unsigned depth = 8;  // 8 -> Format::RGBA8, 16 -> Format::RGBA16
    CMYKSamples cmykSamples = CMYKSamples::InkIsZero;
};

// Converts a whole bitmap to sRGB with alpha, for export. CMYK (formats 4, 11) and Lab (format 5)
// go through the colour transforms; RGB, grey and float formats convert their depth only (float
// is limited to 0..1); single-channel masks become opaque grey. Alpha is carried over. Null for
// a depth other than 8 or 16; throws Kernel::MemoryException when the result cannot be held.
Kernel::Counted<DynamicBitmap> ConvertToRGBA(DynamicBitmap const& source,
                                             ConvertToRGBAOptions const& options = {});

}  // namespace Raster
