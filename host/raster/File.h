// Image files held in memory (the embedded files of smart objects): PNG and JPEG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/raster/Bitmap.h"

namespace Raster {

// An image file held in memory, decoded to a bitmap on request.
class DynamicFile : public Kernel::Countable {
public:
    enum class Type { PNG, JPEG };

    // Reads the stream from its position to its end, recognises the file by its signature and
    // reads its header. Null (reason in error) for other files, damaged headers, or more bytes
    // than the allocation limit.
    static Kernel::Counted<DynamicFile> CreateFromStream(
        Kernel::NonCounted<Kernel::InStreamSeekable> stream, std::string* error = nullptr);
    static Kernel::Counted<DynamicFile> CreateFromMemory(void const* data, size_t size,
                                                         std::string* error = nullptr);

    Type GetType() const { return m_type; }
    uint32_t GetWidth() const { return m_width; }
    uint32_t GetHeight() const { return m_height; }
    // The format CopyToBitmap delivers: RGBA16 for 16-bit PNG, RGBA8 otherwise.
    Format GetFormat() const { return m_format; }
    std::vector<uint8_t> const& GetData() const { return m_data; }

    // Decodes into a new bitmap of GetFormat(); false with a reason on damaged data.
    [[nodiscard]] bool CopyToBitmap(Kernel::Counted<DynamicBitmap>& out,
                                    std::string* error = nullptr) const;

private:
    DynamicFile() = default;
    std::vector<uint8_t> m_data;
    Type m_type = Type::PNG;
    uint32_t m_width = 0, m_height = 0;
    Format m_format = Format::RGBA8;
};

}  // namespace Raster
