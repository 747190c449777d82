#include "host/raster/JPEG.h"

#include <jpeglib.h>

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/kernel/Memory.h"

// libjpeg reports fatal errors through error_exit, which must not return: we jump back to the
// entry point. The functions that arm the jump hold only plain C data, so nothing with a
// destructor is skipped by the jump.

namespace Raster {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool strict;   // corrupt-data warnings are fatal
    bool damaged;  // a corrupt-data warning was seen
};

[[noreturn]] void OnError(j_common_ptr c) {
    auto* e = reinterpret_cast<ErrorManager*>(c->err);
    (*c->err->format_message)(c, e->message);
    std::longjmp(e->jump, 1);
}

void OnMessage(j_common_ptr c, int level) {
    if (level >= 0) return;  // trace messages
    auto* e = reinterpret_cast<ErrorManager*>(c->err);
    c->err->num_warnings++;
    if (!e->damaged) (*c->err->format_message)(c, e->message);
    e->damaged = true;
    if (e->strict) std::longjmp(e->jump, 1);
}

void OnOutput(j_common_ptr) {}

void InitErrors(ErrorManager& e, bool strict) {
    jpeg_std_error(&e.pub);
    e.pub.error_exit = OnError;
    e.pub.emit_message = OnMessage;
    e.pub.output_message = OnOutput;
    e.message[0] = 0;
    e.strict = strict;
    e.damaged = false;
}

struct EncodeJob {
    DynamicBitmap const* bitmap;
    int quality;
    bool progressive;
    bool grey;
    unsigned char* out;
    unsigned long outSize;
    jpeg_compress_struct cinfo;
    ErrorManager err;
};

bool RunEncode(EncodeJob& job) {
    jpeg_compress_struct& cinfo = job.cinfo;
    cinfo.err = &job.err.pub;
    if (setjmp(job.err.jump)) {
        jpeg_destroy_compress(&cinfo);  // safe on a half-made compressor: it checks its pool
        return false;
    }
    jpeg_create_compress(&cinfo);
    DynamicBitmap const& bm = *job.bitmap;
    jpeg_mem_dest(&cinfo, &job.out, &job.outSize);
    cinfo.image_width = bm.GetWidth();
    cinfo.image_height = bm.GetHeight();
    if (job.grey) {
        cinfo.input_components = 1;
        cinfo.in_color_space = JCS_GRAYSCALE;
    } else {
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_EXT_RGBA;  // the fourth sample is skipped
    }
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job.quality, TRUE);
    if (job.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPLE* grey = nullptr;
    if (job.grey)
        grey = static_cast<JSAMPLE*>((*cinfo.mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, bm.GetWidth()));
    while (cinfo.next_scanline < cinfo.image_height) {
        uint8_t const* src = bm.GetRow(cinfo.next_scanline);
        JSAMPROW row;
        if (job.grey) {
            for (uint32_t x = 0; x < bm.GetWidth(); ++x) grey[x] = src[2 * x];
            row = grey;
        } else {
            row = const_cast<JSAMPLE*>(src);  // libjpeg reads it only
        }
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

struct DecodeJob {
    uint8_t const* data;
    size_t size;
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    bool created;
    bool cmyk;
    DynamicBitmap* bitmap;
};

// Reads the header; on success the decompressor stays open for RunDecode.
bool RunHeader(DecodeJob& job) {
    job.cinfo.err = &job.err.pub;
    job.created = true;  // destroying a half-made decompressor is safe
    if (setjmp(job.err.jump)) return false;
    jpeg_create_decompress(&job.cinfo);
    jpeg_mem_src(&job.cinfo, job.data, static_cast<unsigned long>(job.size));
    jpeg_read_header(&job.cinfo, TRUE);
    return true;
}

bool RunDecode(DecodeJob& job) {
    if (setjmp(job.err.jump)) return false;
    jpeg_decompress_struct& cinfo = job.cinfo;
    J_COLOR_SPACE cs = cinfo.jpeg_color_space;
    job.cmyk = cs == JCS_CMYK || cs == JCS_YCCK;
    cinfo.out_color_space = job.cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    cinfo.mem->max_memory_to_use = static_cast<long>(
        Kernel::GetAllocationLimit() > uint64_t(LONG_MAX) ? LONG_MAX
                                                          : long(Kernel::GetAllocationLimit()));
    jpeg_start_decompress(&cinfo);
    DynamicBitmap& bm = *job.bitmap;
    if (cinfo.output_width != bm.GetWidth() || cinfo.output_height != bm.GetHeight()) {
        std::snprintf(job.err.message, sizeof job.err.message, "Unexpected output size");
        return false;
    }
    JSAMPLE* cmykRow = nullptr;
    if (job.cmyk)
        cmykRow = static_cast<JSAMPLE*>((*cinfo.mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, size_t(bm.GetWidth()) * 4));
    // Adobe writes CMYK with inverted ink; streams without its marker hold plain ink.
    bool const inverted = cinfo.saw_Adobe_marker;
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* dst = bm.GetRow(cinfo.output_scanline);
        JSAMPROW row = job.cmyk ? cmykRow : dst;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) {
            std::snprintf(job.err.message, sizeof job.err.message, "Decoding stopped early");
            return false;
        }
        if (!job.cmyk) continue;
        for (uint32_t x = 0; x < bm.GetWidth(); ++x) {
            unsigned v[4];
            for (unsigned c = 0; c < 4; ++c) {
                unsigned s = cmykRow[4 * x + c];
                v[c] = inverted ? s : 255 - s;  // v = 255 * (1 - ink)
            }
            for (unsigned c = 0; c < 3; ++c)
                dst[4 * x + c] = static_cast<uint8_t>((v[c] * v[3] + 127) / 255);
            dst[4 * x + 3] = 255;
        }
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

class DecodeGuard {
public:
    explicit DecodeGuard(DecodeJob& job) : m_job(job) {}
    ~DecodeGuard() {
        if (m_job.created) jpeg_destroy_decompress(&m_job.cinfo);
    }
    DecodeGuard(DecodeGuard const&) = delete;
    DecodeGuard& operator=(DecodeGuard const&) = delete;

private:
    DecodeJob& m_job;
};

void SetError(std::string* error, char const* text) {
    if (error) *error = text;
}

}  // namespace

Kernel::Counted<DynamicJPEG> DynamicJPEG::Encode(DynamicBitmap const& bitmap,
                                                 ExportOptions const& options, std::string* error) {
    bool const grey = bitmap.GetFormat() == Format::IA8;
    if (bitmap.GetFormat() != Format::RGBA8 && !grey) {
        SetError(error, "Unsupported pixel format for JPEG");
        return nullptr;
    }
    // JPEG sides are 16-bit.
    if (bitmap.IsEmpty() || bitmap.GetWidth() > 65500 || bitmap.GetHeight() > 65500) {
        SetError(error, "Unsupported image size for JPEG");
        return nullptr;
    }
    EncodeJob job{};
    job.bitmap = &bitmap;
    job.quality = options.quality < 1 ? 1 : options.quality > 100 ? 100 : options.quality;
    job.progressive = options.progressive;
    job.grey = grey;
    InitErrors(job.err, true);
    bool ok = RunEncode(job);
    Kernel::Counted<DynamicJPEG> result;
    if (ok) {
        try {
            result = Kernel::Counted<DynamicJPEG>(new DynamicJPEG);
            result->m_data.assign(job.out, job.out + job.outSize);
            result->m_width = bitmap.GetWidth();
            result->m_height = bitmap.GetHeight();
            result->m_components = grey ? 1 : 3;
        } catch (std::bad_alloc const&) {
            result = nullptr;
            SetError(error, "Out of memory");
        }
    } else {
        SetError(error, job.err.message);
    }
    std::free(job.out);  // allocated by libjpeg's memory destination
    return result;
}

Kernel::Counted<DynamicJPEG> DynamicJPEG::CreateFromMemory(void const* data, size_t size,
                                                           std::string* error) {
    if (!data || size < 4 || size > ULONG_MAX) {
        SetError(error, "Not a JPEG stream");
        return nullptr;
    }
    DecodeJob job{};
    job.data = static_cast<uint8_t const*>(data);
    job.size = size;
    InitErrors(job.err, false);
    DecodeGuard guard(job);
    if (!RunHeader(job)) {
        SetError(error, job.err.message);
        return nullptr;
    }
    Kernel::Counted<DynamicJPEG> j(new DynamicJPEG);
    j->m_data.assign(job.data, job.data + size);
    j->m_width = job.cinfo.image_width;
    j->m_height = job.cinfo.image_height;
    j->m_components = static_cast<unsigned>(job.cinfo.num_components);
    return j;
}

Kernel::Counted<DynamicBitmap> DynamicJPEG::Decode(std::string* error, bool tolerateDamage) const {
    DecodeJob job{};
    job.data = m_data.data();
    job.size = m_data.size();
    InitErrors(job.err, !tolerateDamage);
    DecodeGuard guard(job);
    if (!RunHeader(job)) {
        SetError(error, job.err.message);
        return nullptr;
    }
    Kernel::Counted<DynamicBitmap> bm;
    try {
        bm = DynamicBitmap::Create(job.cinfo.image_width, job.cinfo.image_height, Format::RGBA8);
    } catch (Kernel::MemoryException const&) {
        SetError(error, "Out of memory");
        return nullptr;
    }
    job.bitmap = bm.Get();
    if (!RunDecode(job)) {
        SetError(error, job.err.message);
        return nullptr;
    }
    return bm;
}

Kernel::Counted<DynamicBitmap> DynamicJPEG::DecodeMemory(void const* data, size_t size,
                                                         std::string* error, bool tolerateDamage) {
    auto j = CreateFromMemory(data, size, error);
    return j ? j->Decode(error, tolerateDamage) : nullptr;
}

}  // namespace Raster
