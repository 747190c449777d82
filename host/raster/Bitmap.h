// Bitmaps of the host's pixel formats, stored interleaved, rows contiguous.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/Memory.h"

namespace Raster {

// The numbers cross the library's interface and are fixed.
enum class Format : int {
    RGBA8 = 0,   // Red8, Green8, Blue8, Alpha8
    RGBA16 = 1,  // Red16, Green16, Blue16, Alpha16
    IA8 = 2,     // Intensity8, Alpha8
    IA16 = 3,    // Intensity16, Alpha16
    CMYKA8 = 4,  // Cyan8, Magenta8, Yellow8, Black8, Alpha8; ink as documents store it, 255 = none
    LABA16 = 5,  // Lightness16, AOpponent16, BOpponent16, Alpha16; L 65535 = 100, a/b 32768 = 0
    A8 = 6,      // Alpha8
    A16 = 7,     // Alpha16
    RGBAF = 9,   // RedUF, GreenUF, BlueUF, AlphaF (32-bit float)
    AF = 10,     // AlphaF
    CMYKA16 = 11,  // Cyan16, Magenta16, Yellow16, Black16, Alpha16; ink as stored, 65535 = none
    IAF = 12,      // IntensityF, AlphaF (32-bit float)
};

// What a pixel format is made of: channel count, bytes per sample, and which channel is alpha.
struct FormatInfo {
    unsigned channels;        // samples per pixel, alpha included
    unsigned bytesPerSample;  // 1, 2 or 4 (float)
    int alphaChannel;         // index of the alpha sample
    bool isFloat;
};

// False for numbers that are not formats.
bool GetFormatInfo(Format f, FormatInfo& out) noexcept;
bool IsValidFormat(int f) noexcept;
char const* FormatName(Format f) noexcept;

// What a new bitmap holds: zeros, or whatever the memory held (for writers that set every sample,
// which may then be given memory a freed bitmap left behind instead of fresh pages).
enum class Contents { Zeroed, Unspecified };

// Pixels of any supported format, interleaved, in one buffer; shared by reference count.
class DynamicBitmap : public Kernel::Countable {
public:
    // A size the machine cannot hold (or above the allocation limit) throws
    // Kernel::MemoryException instead of allocating. Width or height 0 gives an empty bitmap.
    static Kernel::Counted<DynamicBitmap> Create(uint32_t width, uint32_t height, Format format,
                                                 Contents contents = Contents::Zeroed);

    // Large blocks of freed bitmaps are kept a while (at most kKeptBytes in all) for the next
    // bitmap of unspecified contents; this returns them to the system now.
    static constexpr size_t kKeptBytes = Kernel::LargeBuffer::kKeptBytes;
    static void ReleaseKeptMemory() noexcept;

    uint32_t GetWidth() const noexcept { return m_width; }
    uint32_t GetHeight() const noexcept { return m_height; }
    Format GetFormat() const noexcept { return m_format; }
    FormatInfo const& GetFormatInfo() const noexcept { return m_info; }
    unsigned GetChannelCount() const noexcept { return m_info.channels; }
    unsigned GetBytesPerSample() const noexcept { return m_info.bytesPerSample; }
    size_t GetBytesPerPixel() const noexcept {
        return size_t(m_info.channels) * m_info.bytesPerSample;
    }
    size_t GetRowBytes() const noexcept { return m_rowBytes; }
    bool IsEmpty() const noexcept { return m_width == 0 || m_height == 0; }

    uint8_t* GetRow(uint32_t y) noexcept { return m_data.get() + size_t(y) * m_rowBytes; }
    uint8_t const* GetRow(uint32_t y) const noexcept {
        return m_data.get() + size_t(y) * m_rowBytes;
    }
    uint8_t* GetData() noexcept { return m_data.get(); }
    uint8_t const* GetData() const noexcept { return m_data.get(); }
    size_t GetDataSize() const noexcept { return m_data.size(); }

    // Whole rows: host-order samples, all channels interleaved.
    void ReadRow(uint32_t y, void* out) const noexcept;
    void WriteRow(uint32_t y, void const* in) noexcept;
    // count whole pixels from x; nothing happens when the span leaves the row.
    void ReadSpan(uint32_t y, uint32_t x, uint32_t count, void* out) const noexcept;
    void WriteSpan(uint32_t y, uint32_t x, uint32_t count, void const* in) noexcept;
    // One channel of a row as packed host-order samples (width samples).
    void ReadChannelRow(uint32_t y, unsigned channel, void* out) const noexcept;
    void WriteChannelRow(uint32_t y, unsigned channel, void const* in) noexcept;
    // The same for count pixels from x; nothing happens when the span leaves the row.
    void ReadChannelSpan(uint32_t y, uint32_t x, uint32_t count, unsigned channel,
                         void* out) const noexcept;
    void WriteChannelSpan(uint32_t y, uint32_t x, uint32_t count, unsigned channel,
                          void const* in) noexcept;
    // One channel of the whole bitmap set to a value (integer formats: the value is clamped to
    // the sample range, NaN counting as 0; float formats take it as given).
    void FillChannel(unsigned channel, double value) noexcept;
    void Fill(double value) noexcept;

    // Bounds of the pixels whose alpha is not at its maximum; empty when all are opaque.
    Kernel::RectT<int32_t> GetInverseAlphaBoundingBox() const noexcept;

    // Hooks of the host's caches; nothing to do for plain memory bitmaps.
    void InvalidateMipmaps() noexcept {}
    void Scrub() noexcept {}

private:
    DynamicBitmap() = default;
    uint32_t m_width = 0, m_height = 0;
    Format m_format = Format::RGBA8;
    FormatInfo m_info{};
    size_t m_rowBytes = 0;
    Kernel::LargeBuffer m_data;
};

}  // namespace Raster
