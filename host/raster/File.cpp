#include "host/raster/File.h"

#include <cstring>

#include "host/kernel/Memory.h"
#include "host/raster/JPEG.h"
#include "host/raster/PNG.h"

namespace Raster {

namespace {

constexpr uint8_t kPNGSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint8_t kJPEGSignature[3] = {0xFF, 0xD8, 0xFF};

void SetError(std::string* error, char const* text) {
    if (error) *error = text;
}

}  // namespace

Kernel::Counted<DynamicFile> DynamicFile::CreateFromStream(
    Kernel::NonCounted<Kernel::InStreamSeekable> stream, std::string* error) {
    if (stream->GetSize() == Kernel::kUnknownSize) {
        // A source that cannot tell its length is read in pieces up to the allocation limit.
        std::vector<uint8_t> bytes;
        constexpr size_t kPiece = 1 << 16;
        try {
            for (;;) {
                size_t have = bytes.size();
                if (have + kPiece > Kernel::GetAllocationLimit()) throw Kernel::MemoryException();
                bytes.resize(have + kPiece);
                size_t got = stream->Read(bytes.data() + have, kPiece);
                bytes.resize(have + got);
                if (got < kPiece) break;
            }
        } catch (std::bad_alloc const&) {
            SetError(error, "Out of memory");
            return nullptr;
        }
        return CreateFromMemory(bytes.data(), bytes.size(), error);
    }
    uint64_t const remaining = stream->GetRemaining();
    if (remaining > Kernel::GetAllocationLimit() || remaining > SIZE_MAX) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    if (uint8_t const* map = stream->GetMapping()) {
        uint64_t pos = stream->GetPosition();
        if (pos > stream->GetSize()) {
            SetError(error, "Read failed");
            return nullptr;
        }
        auto f = CreateFromMemory(map + pos, static_cast<size_t>(remaining), error);
        // Consumed like the read path below, so callers see one behaviour.
        if (f) stream->Seek(pos + remaining);
        return f;
    }
    std::vector<uint8_t> bytes;
    try {
        Kernel::ResizeOrThrow(bytes, remaining);
    } catch (Kernel::MemoryException const&) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    if (!stream->ReadExact(bytes.data(), bytes.size())) {
        SetError(error, "Read failed");
        return nullptr;
    }
    return CreateFromMemory(bytes.data(), bytes.size(), error);
}

Kernel::Counted<DynamicFile> DynamicFile::CreateFromMemory(void const* data, size_t size,
                                                           std::string* error) {
    auto const* p = static_cast<uint8_t const*>(data);
    Kernel::Counted<DynamicFile> f(new DynamicFile);
    if (p && size >= sizeof kPNGSignature &&
        std::memcmp(p, kPNGSignature, sizeof kPNGSignature) == 0) {
        PNGImageInfo info;
        if (!ReadPNGInfo(p, size, info, error)) return nullptr;
        f->m_type = Type::PNG;
        f->m_width = info.width;
        f->m_height = info.height;
        f->m_format = info.bitDepth == 16 ? Format::RGBA16 : Format::RGBA8;
    } else if (p && size >= sizeof kJPEGSignature &&
               std::memcmp(p, kJPEGSignature, sizeof kJPEGSignature) == 0) {
        auto j = DynamicJPEG::CreateFromMemory(p, size, error);
        if (!j) return nullptr;
        f->m_type = Type::JPEG;
        f->m_width = j->GetWidth();
        f->m_height = j->GetHeight();
        f->m_format = Format::RGBA8;
    } else {
        SetError(error, "Unknown image file type");
        return nullptr;
    }
    try {
        f->m_data.assign(p, p + size);
    } catch (std::bad_alloc const&) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    return f;
}

bool DynamicFile::CopyToBitmap(Kernel::Counted<DynamicBitmap>& out, std::string* error) const {
    Kernel::Counted<DynamicBitmap> bm;
    if (m_type == Type::PNG)
        bm = ReadPNG(m_data.data(), m_data.size(), error);
    else
        bm = DynamicJPEG::DecodeMemory(m_data.data(), m_data.size(), error);
    if (!bm) return false;
    if (bm->GetWidth() != m_width || bm->GetHeight() != m_height || bm->GetFormat() != m_format) {
        SetError(error, "Image does not match its header");
        return false;
    }
    out = std::move(bm);
    return true;
}

}  // namespace Raster
