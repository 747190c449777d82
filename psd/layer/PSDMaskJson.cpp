#include "psd/layer/PSDMaskJson.h"

namespace PSD {

nlohmann::ordered_json MaskJson(PSDLayerMask const& m) {
    if (!m.m_present) return nullptr;
    return {{"top", m.m_top},
            {"left", m.m_left},
            {"bottom", m.m_bottom},
            {"right", m.m_right},
            {"default_colour", m.m_defaultColour},
            {"relative", m.m_relative},
            {"disabled", m.m_disabled},
            {"invert", m.m_invert}};
}

nlohmann::ordered_json MaskParametersJson(PSDLayer const& l) {
    uint8_t const given = l.m_maskParameters;
    if (!(given & 0x0F)) return nullptr;
    auto value = [&](uint8_t bit, auto v) {
        return (given & bit) ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
    };
    // The record's user mask values are the pixel mask's (read first), the vector mask's follow.
    return {{"user_mask_density", value(0x01, l.m_pixelMaskDensity)},
            {"user_mask_feather", value(0x02, l.m_pixelMaskFeather)},
            {"vector_mask_density", value(0x04, l.m_maskDensity)},
            {"vector_mask_feather", value(0x08, l.m_maskFeather)}};
}

}  // namespace PSD
