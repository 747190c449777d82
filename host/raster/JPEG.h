// JPEG coding of bitmaps (document thumbnails, embedded images), backed by libjpeg-turbo.
// Damaged data never ends the process: every failure comes back as a null result with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/raster/Bitmap.h"

namespace Raster {

// Settings of a JPEG written from a bitmap.
struct ExportOptions {
    int quality = 90;  // 1..100; values outside are limited
    bool progressive = false;
};

// A JPEG stream in memory with the facts of its header.
class DynamicJPEG : public Kernel::Countable {
public:
    // Encodes an RGBA8 bitmap (alpha dropped) or an IA8 bitmap (as a greyscale JPEG). Null for
    // other formats, an empty bitmap, or a libjpeg failure (reason in error).
    static Kernel::Counted<DynamicJPEG> Encode(DynamicBitmap const& bitmap,
                                               ExportOptions const& options,
                                               std::string* error = nullptr);
    // Copies the bytes and reads the header; null when it is not a readable JPEG header.
    static Kernel::Counted<DynamicJPEG> CreateFromMemory(void const* data, size_t size,
                                                         std::string* error = nullptr);

    std::vector<uint8_t> const& GetData() const { return m_data; }
    uint32_t GetWidth() const { return m_width; }
    uint32_t GetHeight() const { return m_height; }
    // Colour components of the stream: 1 grey, 3 YCbCr/RGB, 4 CMYK/YCCK.
    unsigned GetComponents() const { return m_components; }

    // Decodes to an RGBA8 bitmap with opaque alpha. CMYK streams are converted with the device
    // formula (Adobe streams store inverted ink). Null on damaged data: by default any corrupt
    // data that libjpeg would paper over fails too; tolerateDamage keeps such partial images.
    // A size beyond the allocation limit fails with "Out of memory".
    Kernel::Counted<DynamicBitmap> Decode(std::string* error = nullptr,
                                          bool tolerateDamage = false) const;

    // Shorthand for CreateFromMemory + Decode.
    static Kernel::Counted<DynamicBitmap> DecodeMemory(void const* data, size_t size,
                                                       std::string* error = nullptr,
                                                       bool tolerateDamage = false);

private:
    DynamicJPEG() = default;
    std::vector<uint8_t> m_data;
    uint32_t m_width = 0, m_height = 0;
    unsigned m_components = 0;
};

}  // namespace Raster
