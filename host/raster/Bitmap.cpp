#include "host/raster/Bitmap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/kernel/Memory.h"

namespace Raster {

bool GetFormatInfo(Format f, FormatInfo& out) noexcept {
    switch (f) {
        case Format::RGBA8:
            out = {4, 1, 3, false};
            return true;
        case Format::RGBA16:
            out = {4, 2, 3, false};
            return true;
        case Format::IA8:
            out = {2, 1, 1, false};
            return true;
        case Format::IA16:
            out = {2, 2, 1, false};
            return true;
        case Format::CMYKA8:
            out = {5, 1, 4, false};
            return true;
        case Format::LABA16:
            out = {4, 2, 3, false};
            return true;
        case Format::A8:
            out = {1, 1, 0, false};
            return true;
        case Format::A16:
            out = {1, 2, 0, false};
            return true;
        case Format::RGBAF:
            out = {4, 4, 3, true};
            return true;
        case Format::AF:
            out = {1, 4, 0, true};
            return true;
        case Format::CMYKA16:
            out = {5, 2, 4, false};
            return true;
        case Format::IAF:
            out = {2, 4, 1, true};
            return true;
    }
    return false;
}

bool IsValidFormat(int f) noexcept {
    FormatInfo i;
    return Raster::GetFormatInfo(static_cast<Format>(f), i);
}

char const* FormatName(Format f) noexcept {
    switch (f) {
        case Format::RGBA8:
            return "RGBA8";
        case Format::RGBA16:
            return "RGBA16";
        case Format::IA8:
            return "IA8";
        case Format::IA16:
            return "IA16";
        case Format::CMYKA8:
            return "CMYKA8";
        case Format::LABA16:
            return "LABA16";
        case Format::A8:
            return "A8";
        case Format::A16:
            return "A16";
        case Format::RGBAF:
            return "RGBAF";
        case Format::AF:
            return "AF";
        case Format::CMYKA16:
            return "CMYKA16";
        case Format::IAF:
            return "IAF";
    }
    return "?";
}

void DynamicBitmap::ReleaseKeptMemory() noexcept {
    Kernel::LargeBuffer::ReleaseKept();
}

Kernel::Counted<DynamicBitmap> DynamicBitmap::Create(uint32_t width, uint32_t height, Format format,
                                                     Contents contents) {
    FormatInfo info;
    if (!Raster::GetFormatInfo(format, info)) throw Kernel::MemoryException();
    Kernel::Counted<DynamicBitmap> b(new DynamicBitmap);
    b->m_format = format;
    b->m_info = info;
    if (width == 0 || height == 0) return b;
    uint64_t row, total;
    if (!Kernel::CheckedMul(width, uint64_t(info.channels) * info.bytesPerSample, row) ||
        !Kernel::CheckedMul(row, height, total) || total > Kernel::GetAllocationLimit() ||
        total > SIZE_MAX)
        throw Kernel::MemoryException();
    auto how = contents == Contents::Zeroed ? Kernel::LargeBuffer::Contents::Zeroed
                                            : Kernel::LargeBuffer::Contents::Unspecified;
    if (!b->m_data.Allocate(static_cast<size_t>(total), how)) throw Kernel::MemoryException();
    b->m_width = width;
    b->m_height = height;
    b->m_rowBytes = static_cast<size_t>(row);
    return b;
}

void DynamicBitmap::ReadRow(uint32_t y, void* out) const noexcept {
    if (y < m_height) std::memcpy(out, GetRow(y), m_rowBytes);
}

void DynamicBitmap::WriteRow(uint32_t y, void const* in) noexcept {
    if (y < m_height) std::memcpy(GetRow(y), in, m_rowBytes);
}

void DynamicBitmap::ReadSpan(uint32_t y, uint32_t x, uint32_t count, void* out) const noexcept {
    if (y >= m_height || x > m_width || count > m_width - x) return;
    size_t const bpp = GetBytesPerPixel();
    std::memcpy(out, GetRow(y) + size_t(x) * bpp, size_t(count) * bpp);
}

void DynamicBitmap::WriteSpan(uint32_t y, uint32_t x, uint32_t count, void const* in) noexcept {
    if (y >= m_height || x > m_width || count > m_width - x) return;
    size_t const bpp = GetBytesPerPixel();
    std::memcpy(GetRow(y) + size_t(x) * bpp, in, size_t(count) * bpp);
}

void DynamicBitmap::ReadChannelRow(uint32_t y, unsigned channel, void* out) const noexcept {
    if (y >= m_height || channel >= m_info.channels) return;
    size_t bps = m_info.bytesPerSample, bpp = GetBytesPerPixel();
    uint8_t const* src = GetRow(y) + channel * bps;
    auto* dst = static_cast<uint8_t*>(out);
    for (uint32_t x = 0; x < m_width; ++x, src += bpp, dst += bps) std::memcpy(dst, src, bps);
}

void DynamicBitmap::WriteChannelRow(uint32_t y, unsigned channel, void const* in) noexcept {
    if (y >= m_height || channel >= m_info.channels) return;
    size_t bps = m_info.bytesPerSample, bpp = GetBytesPerPixel();
    uint8_t* dst = GetRow(y) + channel * bps;
    auto const* src = static_cast<uint8_t const*>(in);
    for (uint32_t x = 0; x < m_width; ++x, dst += bpp, src += bps) std::memcpy(dst, src, bps);
}

void DynamicBitmap::ReadChannelSpan(uint32_t y, uint32_t x, uint32_t count, unsigned channel,
                                    void* out) const noexcept {
    if (y >= m_height || channel >= m_info.channels || x > m_width || count > m_width - x) return;
    size_t bps = m_info.bytesPerSample, bpp = GetBytesPerPixel();
    uint8_t const* src = GetRow(y) + size_t(x) * bpp + channel * bps;
    auto* dst = static_cast<uint8_t*>(out);
    for (uint32_t i = 0; i < count; ++i, src += bpp, dst += bps) std::memcpy(dst, src, bps);
}

void DynamicBitmap::WriteChannelSpan(uint32_t y, uint32_t x, uint32_t count, unsigned channel,
                                     void const* in) noexcept {
    if (y >= m_height || channel >= m_info.channels || x > m_width || count > m_width - x) return;
    size_t bps = m_info.bytesPerSample, bpp = GetBytesPerPixel();
    uint8_t* dst = GetRow(y) + size_t(x) * bpp + channel * bps;
    auto const* src = static_cast<uint8_t const*>(in);
    for (uint32_t i = 0; i < count; ++i, dst += bpp, src += bps) std::memcpy(dst, src, bps);
}

void DynamicBitmap::FillChannel(unsigned channel, double value) noexcept {
    if (channel >= m_info.channels || IsEmpty()) return;
    size_t bpp = GetBytesPerPixel(), bps = m_info.bytesPerSample;
    uint8_t sample[4];
    if (m_info.isFloat) {
        float f = static_cast<float>(value);
        std::memcpy(sample, &f, 4);
    } else {
        // Clamp before rounding: lround of a huge value or NaN has no defined result.
        double const top = bps == 2 ? 65535.0 : 255.0;
        double const v = value > 0.0 ? std::min(value, top) : 0.0;
        auto const n = static_cast<uint16_t>(std::lround(v));
        if (bps == 2)
            std::memcpy(sample, &n, 2);
        else
            sample[0] = static_cast<uint8_t>(n);
    }
    for (uint32_t y = 0; y < m_height; ++y) {
        uint8_t* p = GetRow(y) + channel * bps;
        if (bps == 1) {
            for (uint32_t x = 0; x < m_width; ++x, p += bpp) *p = sample[0];
        } else {
            for (uint32_t x = 0; x < m_width; ++x, p += bpp) std::memcpy(p, sample, bps);
        }
    }
}

void DynamicBitmap::Fill(double value) noexcept {
    for (unsigned c = 0; c < m_info.channels; ++c) FillChannel(c, value);
}

Kernel::RectT<int32_t> DynamicBitmap::GetInverseAlphaBoundingBox() const noexcept {
    Kernel::RectT<int32_t> r{};
    if (IsEmpty()) return r;
    int32_t minX = INT32_MAX, minY = INT32_MAX, maxX = -1, maxY = -1;
    size_t bpp = GetBytesPerPixel(), bps = m_info.bytesPerSample;
    for (uint32_t y = 0; y < m_height; ++y) {
        uint8_t const* p = GetRow(y) + size_t(m_info.alphaChannel) * bps;
        for (uint32_t x = 0; x < m_width; ++x, p += bpp) {
            bool opaque;
            if (m_info.isFloat) {
                float f;
                std::memcpy(&f, p, 4);
                opaque = f >= 1.0f;
            } else if (bps == 2) {
                uint16_t v;
                std::memcpy(&v, p, 2);
                opaque = v == 0xFFFF;
            } else {
                opaque = *p == 0xFF;
            }
            if (!opaque) {
                minX = std::min<int32_t>(minX, int32_t(x));
                maxX = std::max<int32_t>(maxX, int32_t(x));
                minY = std::min<int32_t>(minY, int32_t(y));
                maxY = int32_t(y);
            }
        }
    }
    if (maxX < 0) return r;
    return {minX, minY, maxX + 1, maxY + 1};
}

}  // namespace Raster
