// ICC profiles and colour transforms, backed by Little CMS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"

namespace Raster {

class ICCProfile : public Kernel::Countable {
public:
    ~ICCProfile() override;
    // The profile bytes exactly as embedded.
    std::vector<uint8_t> const& GetData() const { return m_data; }
    // The profile's description text (UTF-8), empty when it has none.
    std::string const& GetDescription() const { return m_description; }
    // Colour space signature of the profile (e.g. 'RGB ', 'CMYK', 'GRAY', 'Lab ').
    uint32_t GetColourSpace() const { return m_colourSpace; }
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

class ICCManager {
public:
    static ICCManager& GetInstance();

    // Null when the bytes are not a profile Little CMS accepts.
    Kernel::Consolidated<ICCProfile> AddProfileFromMemory(void const* data, size_t size);

    // Lab with alpha, 16-bit (L 0..65535 for 0..100; a, b offset by 32768) <-> RGBA float
    // (sRGB, 0..1), n pixels, 4 samples each.
    void DoLABA16ToRGBAFTransform(uint16_t const* lab, float* rgba, size_t n) const;
    void DoRGBAFToLABA16Transform(float const* rgba, uint16_t* lab, size_t n) const;

private:
    ICCManager();
};

// CIE Lab (L 0..100, a and b signed) to a 16-bit Lab pixel with opaque alpha.
void CIELabToRasterLABA16(double L, double a, double b, uint16_t out[4]);

}  // namespace Raster
