// PNG writing and reading, backed by libspng.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/raster/Bitmap.h"

namespace Raster {

enum class PNGColour {
    Grey,       // 1 sample
    GreyAlpha,  // 2 samples
    RGB,        // 3 samples
    RGBA,       // 4 samples
};

unsigned PNGChannelCount(PNGColour c) noexcept;

// What a PNG file holds: size, channels and depth.
struct PNGImageInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    PNGColour colour = PNGColour::RGBA;
    unsigned bitDepth = 8;    // 8 or 16
    bool interlaced = false;  // reading only: the file is Adam7-interlaced
};

// Settings of a PNG written from a bitmap.
struct PNGWriteOptions {
    int compressionLevel = 6;  // zlib level 0..9
    std::vector<uint8_t> iccProfile;  // embedded as the image's colour space when not empty
};

// Fills row y (width x channels samples, host byte order, tightly packed). Rows are asked for
// top to bottom, once each. False stops the write, which then fails with "Row source failed".
using PNGRowSource = std::function<bool(uint32_t y, uint8_t* row)>;

// Bytes of one row of samples of the image.
size_t PNGRowBytes(PNGImageInfo const& info) noexcept;

// Writes a PNG; false with a reason in error on failure (bad size or depth, row source failure,
// libspng failure, short write).
[[nodiscard]] bool WritePNG(Kernel::OutStream& out, PNGImageInfo const& info,
                            PNGRowSource const& rows, PNGWriteOptions const& options = {},
                            std::string* error = nullptr);
[[nodiscard]] bool WritePNGFile(std::string const& path, PNGImageInfo const& info,
                                PNGRowSource const& rows, PNGWriteOptions const& options = {},
                                std::string* error = nullptr);
[[nodiscard]] bool WritePNGMemory(std::vector<uint8_t>& out, PNGImageInfo const& info,
                                  PNGRowSource const& rows, PNGWriteOptions const& options = {},
                                  std::string* error = nullptr);

// Writes a bitmap of format RGBA8, RGBA16, IA8, IA16, A8 or A16 (masks as grey) as it stands.
// Other formats (CMYK, Lab, float) go through ConvertToRGBA first.
[[nodiscard]] bool WritePNGBitmap(Kernel::OutStream& out, DynamicBitmap const& bitmap,
                                  PNGWriteOptions const& options = {},
                                  std::string* error = nullptr);

// Header facts without decoding; false when the bytes are not a PNG with a valid header.
[[nodiscard]] bool ReadPNGInfo(void const* data, size_t size, PNGImageInfo& info,
                               std::string* error = nullptr);

// Decodes a PNG (any colour type; palette and transparency applied) to RGBA16 when the file has
// 16-bit samples and RGBA8 otherwise. Null with a reason on damaged data; a size beyond the
// allocation limit fails with "Out of memory".
[[nodiscard]] Kernel::Counted<DynamicBitmap> ReadPNG(void const* data, size_t size,
                                                     std::string* error = nullptr);
[[nodiscard]] Kernel::Counted<DynamicBitmap> ReadPNGFile(std::string const& path,
                                                         std::string* error = nullptr);

}  // namespace Raster
