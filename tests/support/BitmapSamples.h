// Bitmap samples as numbers, whatever their size: one byte, two bytes in host order, or a float.
#pragma once

#include <cstring>
#include <vector>

#include "host/raster/Bitmap.h"

namespace testsupport {

inline void StoreSample(uint8_t* p, unsigned bytes, double v) {
    if (bytes == 4) {
        float f = static_cast<float>(v);
        std::memcpy(p, &f, 4);
    } else if (bytes == 2) {
        auto s = static_cast<uint16_t>(v);
        std::memcpy(p, &s, 2);
    } else {
        *p = static_cast<uint8_t>(v);
    }
}

inline double LoadSample(uint8_t const* p, unsigned bytes) {
    if (bytes == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    if (bytes == 2) {
        uint16_t s;
        std::memcpy(&s, p, 2);
        return s;
    }
    return *p;
}

// Every sample of the bitmap, row after row.
inline std::vector<double> AllSamples(Raster::DynamicBitmap const& b) {
    std::vector<double> out;
    unsigned const bytes = b.GetBytesPerSample();
    for (uint32_t y = 0; y < b.GetHeight(); ++y)
        for (size_t i = 0; i + bytes <= b.GetRowBytes(); i += bytes)
            out.push_back(LoadSample(b.GetRow(y) + i, bytes));
    return out;
}

// Fills the bitmap from the given samples, row after row.
inline void SetAllSamples(Raster::DynamicBitmap& b, std::vector<double> const& samples) {
    unsigned const bytes = b.GetBytesPerSample();
    size_t k = 0;
    for (uint32_t y = 0; y < b.GetHeight(); ++y)
        for (size_t i = 0; i + bytes <= b.GetRowBytes() && k < samples.size(); i += bytes)
            StoreSample(b.GetRow(y) + i, bytes, samples[k++]);
}

}  // namespace testsupport
