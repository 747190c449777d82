// Layer blend modes: their numbers, which the descriptor codecs and the layer records share, and
// their four-character keys.
#pragma once

#include <cstdint>

#include "psd/report/PSDReport.h"

namespace PSD {

// Blend modes with fixed numbers; the descriptor codecs refer to these values.
enum class BlendMode : uint32_t {
    Normal = 0,
    Darken = 1,
    Lighten = 2,
    Hue = 3,
    Saturation = 4,
    Colour = 5,
    Luminosity = 6,
    Multiply = 7,
    Screen = 8,
    Dissolve = 9,
    Overlay = 10,
    HardLight = 11,
    SoftLight = 12,
    Difference = 13,
    Exclusion = 14,
    ColourDodge = 15,
    ColourBurn = 16,
    LinearBurn = 17,
    LinearDodge = 18,
    VividLight = 19,
    LinearLight = 20,
    PinLight = 21,
    HardMix = 22,
    PassThrough = 23,
    DarkerColour = 24,
    LighterColour = 25,
    Subtract = 26,
    Divide = 27,
};
constexpr uint32_t kBlendModeCount = 28;

// Key to mode; an unknown key stores "Unknown blend mode" (detail number 1) and fails.
[[nodiscard]] bool DecodeBlendMode(uint32_t key, BlendMode& out, PSDReport& report);
// Mode to key; false for values outside the table.
[[nodiscard]] bool EncodeBlendMode(BlendMode mode, uint32_t& key);

}  // namespace PSD
