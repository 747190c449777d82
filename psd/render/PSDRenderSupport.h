// What the renderer's stages share to write pixels: one sample in its bitmap's depth.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "host/raster/Bitmap.h"

namespace PSD {

// Sample `at` of a row as 0..1, clamped (NaN as 0) and rounded at 8 and 16 bits; floats as given.
inline void StoreSample(uint8_t* row, Raster::FormatInfo const& info, size_t at, float v) {
    float c = std::isnan(v) ? 0.0f : v < 0 ? 0.0f : v > 1 ? 1.0f : v;
    if (info.bytesPerSample == 1) {
        row[at] = uint8_t(c * 255 + 0.5f);
    } else if (info.bytesPerSample == 2) {
        uint16_t s = uint16_t(c * 65535 + 0.5f);
        std::memcpy(row + 2 * at, &s, 2);
    } else {
        std::memcpy(row + 4 * at, &v, 4);
    }
}

}  // namespace PSD
