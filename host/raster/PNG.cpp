#include "host/raster/PNG.h"

#include <spng.h>

#include <cstring>
#include <memory>

#include "host/kernel/Memory.h"

namespace Raster {

namespace {

// PNG allows sides up to 2^31 - 1; the allocation limit does the real capping.
constexpr uint32_t kMaxSide = 0x7FFFFFFF;

struct CtxDeleter {
    void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};
using CtxPtr = std::unique_ptr<spng_ctx, CtxDeleter>;

void SetError(std::string* error, std::string_view text) {
    if (error) error->assign(text);
}

bool Fail(std::string* error, int code) {
    SetError(error, spng_strerror(code));
    return false;
}

uint8_t ColourType(PNGColour c) {
    switch (c) {
        case PNGColour::Grey:
            return SPNG_COLOR_TYPE_GRAYSCALE;
        case PNGColour::GreyAlpha:
            return SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
        case PNGColour::RGB:
            return SPNG_COLOR_TYPE_TRUECOLOR;
        case PNGColour::RGBA:
            return SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    }
    return SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
}

struct WriteTarget {
    Kernel::OutStream* out;
    bool failed;
};

// libspng is C: nothing may unwind through it.
int WriteToStream(spng_ctx*, void* user, void* src, size_t length) {
    auto* t = static_cast<WriteTarget*>(user);
    try {
        if (t->out->Write(src, length)) return 0;
    } catch (...) {
    }
    t->failed = true;
    return SPNG_IO_ERROR;
}

// Opens a decoder over the bytes with the header read; limits applied.
CtxPtr OpenDecoder(void const* data, size_t size, spng_ihdr& ihdr, std::string* error) {
    if (!data || size < 8) {
        SetError(error, "Not a PNG file");
        return nullptr;
    }
    CtxPtr ctx(spng_ctx_new(0));
    if (!ctx) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    int rc = spng_set_png_buffer(ctx.get(), data, size);
    if (rc == 0) rc = spng_set_image_limits(ctx.get(), kMaxSide, kMaxSide);
    // Ancillary chunks are not used: keep their memory small on hostile input.
    if (rc == 0) rc = spng_set_chunk_limits(ctx.get(), 1u << 24, 1u << 26);
    if (rc == 0) rc = spng_get_ihdr(ctx.get(), &ihdr);
    if (rc != 0) {
        Fail(error, rc);
        return nullptr;
    }
    return ctx;
}

}  // namespace

unsigned PNGChannelCount(PNGColour c) noexcept {
    switch (c) {
        case PNGColour::Grey:
            return 1;
        case PNGColour::GreyAlpha:
            return 2;
        case PNGColour::RGB:
            return 3;
        case PNGColour::RGBA:
            return 4;
    }
    return 4;
}

size_t PNGRowBytes(PNGImageInfo const& info) noexcept {
    return size_t(info.width) * PNGChannelCount(info.colour) * (info.bitDepth == 16 ? 2 : 1);
}

bool WritePNG(Kernel::OutStream& out, PNGImageInfo const& info, PNGRowSource const& rows,
              PNGWriteOptions const& options, std::string* error) {
    if (info.bitDepth != 8 && info.bitDepth != 16) {
        SetError(error, "Unsupported PNG bit depth");
        return false;
    }
    if (info.width == 0 || info.height == 0 || info.width > kMaxSide || info.height > kMaxSide) {
        SetError(error, "Unsupported PNG image size");
        return false;
    }
    uint64_t rowBytes;
    if (!Kernel::CheckedMul(
            info.width, uint64_t(PNGChannelCount(info.colour)) * (info.bitDepth / 8), rowBytes) ||
        rowBytes > Kernel::GetAllocationLimit() || rowBytes >= UINT32_MAX) {
        SetError(error, "Out of memory");
        return false;
    }
    CtxPtr ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) {
        SetError(error, "Out of memory");
        return false;
    }
    WriteTarget target{&out, false};
    spng_ihdr ihdr{};
    ihdr.width = info.width;
    ihdr.height = info.height;
    ihdr.bit_depth = static_cast<uint8_t>(info.bitDepth);
    ihdr.color_type = ColourType(info.colour);
    int level = options.compressionLevel < 0   ? 0
                : options.compressionLevel > 9 ? 9
                                               : options.compressionLevel;
    int rc = spng_set_png_stream(ctx.get(), WriteToStream, &target);
    if (rc == 0) rc = spng_set_ihdr(ctx.get(), &ihdr);
    if (rc == 0) rc = spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, level);
    spng_iccp iccp{};
    if (rc == 0 && !options.iccProfile.empty()) {
        std::memcpy(iccp.profile_name, "ICC profile", 12);
        iccp.profile_len = options.iccProfile.size();
        iccp.profile = reinterpret_cast<char*>(const_cast<uint8_t*>(options.iccProfile.data()));
        rc = spng_set_iccp(ctx.get(), &iccp);
    }
    // SPNG_FMT_PNG: samples as the header describes them, 16-bit ones in host order.
    if (rc == 0)
        rc = spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG,
                               SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    if (rc != 0) return target.failed ? (SetError(error, "Write failed"), false) : Fail(error, rc);

    std::vector<uint8_t> row;
    try {
        Kernel::ResizeOrThrow(row, rowBytes);
    } catch (Kernel::MemoryException const&) {
        SetError(error, "Out of memory");
        return false;
    }
    for (uint32_t y = 0; y < info.height; ++y) {
        if (!rows(y, row.data())) {
            SetError(error, "Row source failed");
            return false;
        }
        rc = spng_encode_row(ctx.get(), row.data(), row.size());
        if (rc == SPNG_EOI && y + 1 == info.height) break;
        if (rc != 0)
            return target.failed ? (SetError(error, "Write failed"), false) : Fail(error, rc);
    }
    if (rc != SPNG_EOI) return Fail(error, rc == 0 ? SPNG_ENOTFINAL : rc);
    return true;
}

bool WritePNGFile(std::string const& path, PNGImageInfo const& info, PNGRowSource const& rows,
                  PNGWriteOptions const& options, std::string* error) {
    std::string why;
    auto file = Kernel::FileOutStream::Create(path, &why);
    if (!file) {
        SetError(error, why.empty() ? std::string("Cannot create ") + path : why);
        return false;
    }
    bool ok = WritePNG(*file, info, rows, options, error);
    if (!file->Close() && ok) {
        SetError(error, "Write failed");
        ok = false;
    }
    return ok;
}

bool WritePNGMemory(std::vector<uint8_t>& out, PNGImageInfo const& info, PNGRowSource const& rows,
                    PNGWriteOptions const& options, std::string* error) {
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    if (!WritePNG(*mem, info, rows, options, error)) return false;
    out = mem->TakeData();
    return true;
}

bool WritePNGBitmap(Kernel::OutStream& out, DynamicBitmap const& bitmap,
                    PNGWriteOptions const& options, std::string* error) {
    PNGImageInfo info;
    info.width = bitmap.GetWidth();
    info.height = bitmap.GetHeight();
    switch (bitmap.GetFormat()) {
        case Format::RGBA8:
            info.colour = PNGColour::RGBA;
            info.bitDepth = 8;
            break;
        case Format::RGBA16:
            info.colour = PNGColour::RGBA;
            info.bitDepth = 16;
            break;
        case Format::IA8:
            info.colour = PNGColour::GreyAlpha;
            info.bitDepth = 8;
            break;
        case Format::IA16:
            info.colour = PNGColour::GreyAlpha;
            info.bitDepth = 16;
            break;
        case Format::A8:
            info.colour = PNGColour::Grey;
            info.bitDepth = 8;
            break;
        case Format::A16:
            info.colour = PNGColour::Grey;
            info.bitDepth = 16;
            break;
        default:
            SetError(error, "Unsupported pixel format for PNG");
            return false;
    }
    return WritePNG(
        out, info,
        [&](uint32_t y, uint8_t* row) {
            bitmap.ReadRow(y, row);
            return true;
        },
        options, error);
}

bool ReadPNGInfo(void const* data, size_t size, PNGImageInfo& info, std::string* error) {
    spng_ihdr ihdr{};
    CtxPtr ctx = OpenDecoder(data, size, ihdr, error);
    if (!ctx) return false;
    info.width = ihdr.width;
    info.height = ihdr.height;
    info.bitDepth = ihdr.bit_depth;
    info.interlaced = ihdr.interlace_method != 0;
    switch (ihdr.color_type) {
        case SPNG_COLOR_TYPE_GRAYSCALE:
            info.colour = PNGColour::Grey;
            break;
        case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
            info.colour = PNGColour::GreyAlpha;
            break;
        case SPNG_COLOR_TYPE_TRUECOLOR:
        case SPNG_COLOR_TYPE_INDEXED:
            info.colour = PNGColour::RGB;
            break;
        default:
            info.colour = PNGColour::RGBA;
            break;
    }
    return true;
}

Kernel::Counted<DynamicBitmap> ReadPNG(void const* data, size_t size, std::string* error) {
    spng_ihdr ihdr{};
    CtxPtr ctx = OpenDecoder(data, size, ihdr, error);
    if (!ctx) return nullptr;
    bool const deep = ihdr.bit_depth == 16;
    int const fmt = deep ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    Kernel::Counted<DynamicBitmap> bm;
    try {
        bm = DynamicBitmap::Create(ihdr.width, ihdr.height, deep ? Format::RGBA16 : Format::RGBA8);
    } catch (Kernel::MemoryException const&) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    size_t need = 0;
    int rc = spng_decoded_image_size(ctx.get(), fmt, &need);
    if (rc != 0) {
        Fail(error, rc);
        return nullptr;
    }
    // Rows are contiguous and unpadded, so the decoder can fill the bitmap in place.
    if (need != bm->GetDataSize()) {
        SetError(error, "Unexpected decoded size");
        return nullptr;
    }
    rc = spng_decode_image(ctx.get(), bm->GetData(), need, fmt, SPNG_DECODE_TRNS);
    if (rc != 0) {
        Fail(error, rc);
        return nullptr;
    }
    return bm;
}

Kernel::Counted<DynamicBitmap> ReadPNGFile(std::string const& path, std::string* error) {
    std::string why;
    auto file = Kernel::FileInStream::Open(path, &why);
    if (!file) {
        SetError(error, why.empty() ? std::string("Cannot open ") + path : why);
        return nullptr;
    }
    if (uint8_t const* map = file->GetMapping())
        return ReadPNG(map, static_cast<size_t>(file->GetSize()), error);
    std::vector<uint8_t> bytes;
    try {
        Kernel::ResizeOrThrow(bytes, file->GetSize());
    } catch (Kernel::MemoryException const&) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    if (!file->ReadExact(bytes.data(), bytes.size())) {
        SetError(error, "Read failed");
        return nullptr;
    }
    return ReadPNG(bytes.data(), bytes.size(), error);
}

}  // namespace Raster
