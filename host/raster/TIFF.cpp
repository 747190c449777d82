#include "host/raster/TIFF.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>

#include "host/kernel/Memory.h"

namespace Raster {

namespace {

// The stream behind an open file and the file's cursor.
struct Source {
    Kernel::Counted<Kernel::InStreamSeekable> stream;
    uint64_t position = 0;
};

tmsize_t ReadProc(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<Source*>(h);
    if (n <= 0) return 0;
    size_t got = s->stream->ReadAt(s->position, buf, size_t(n));
    s->position += got;
    return tmsize_t(got);
}
tmsize_t WriteProc(thandle_t, void*, tmsize_t) {
    return -1;
}
toff_t SeekProc(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<Source*>(h);
    uint64_t base = whence == SEEK_CUR ? s->position : whence == SEEK_END ? s->stream->GetSize() : 0;
    s->position = base + off;
    return s->position;
}
int CloseProc(thandle_t h) {
    delete static_cast<Source*>(h);
    return 0;
}
toff_t SizeProc(thandle_t h) {
    return static_cast<Source*>(h)->stream->GetSize();
}
int MapProc(thandle_t, void**, toff_t*) {
    return 0;
}
void UnmapProc(thandle_t, void*, toff_t) {}

void Silence(char const*, char const*, va_list) {}

bool Fail(std::string* error, char const* why) {
    if (error) *error = why;
    return false;
}

// Spreads the bits of a 1-bit row over one byte each.
void UnpackBits(uint8_t const* in, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = (in[i / 8] >> (7 - i % 8)) & 1;
}

}  // namespace

void TIFFCloser::operator()(TIFF* t) const noexcept {
    if (t) TIFFClose(t);
}

TIFFPtr OpenTIFF(Kernel::Counted<Kernel::InStreamSeekable> const& stream) {
    if (!stream) return nullptr;
    TIFFSetErrorHandler(Silence);
    TIFFSetWarningHandler(Silence);
    auto* source = new Source{stream, 0};
    // "m": no mapping (reads go through the stream). A file that does not open leaves the source
    // to us; an open one hands it to CloseProc.
    TIFF* t = TIFFClientOpen("stream", "rm", source, ReadProc, WriteProc, SeekProc, CloseProc,
                             SizeProc, MapProc, UnmapProc);
    if (!t) delete source;
    return TIFFPtr(t);
}

bool ReadTIFFSamples(TIFF* tiff, TIFFSamples& out, std::string* error) {
    uint32_t w = 0, h = 0;
    uint16_t spp = 1, bps = 1, format = 1, planar = 1, photometric = 0, compression = 1;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h))
        return Fail(error, "no image size");
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    if (spp == 0 || (bps != 1 && bps != 8 && bps != 16 && bps != 32))
        return Fail(error, "unsupported samples");
    out.width = w;
    out.height = h;
    out.bitsPerSample = bps;
    out.sampleFormat = format;
    out.samplesPerPixel = spp;
    out.photometric = photometric;
    if (photometric == PHOTOMETRIC_YCBCR) {
        if (compression != COMPRESSION_JPEG || bps != 8) {
            // Other subsampled YCbCr: libtiff's RGBA reader converts it.
            uint64_t pixels;
            if (!Kernel::CheckedMul(w, h, pixels) || pixels * 4 > Kernel::GetAllocationLimit())
                return Fail(error, "image too large");
            std::vector<uint32_t> rgba(static_cast<size_t>(pixels));
            if (!TIFFReadRGBAImageOriented(tiff, w, h, rgba.data(), ORIENTATION_TOPLEFT, 0))
                return Fail(error, "damaged image data");
            out.data.resize(size_t(pixels) * 4);
            for (size_t i = 0; i < rgba.size(); ++i) {
                out.data[i * 4] = uint8_t(TIFFGetR(rgba[i]));
                out.data[i * 4 + 1] = uint8_t(TIFFGetG(rgba[i]));
                out.data[i * 4 + 2] = uint8_t(TIFFGetB(rgba[i]));
                out.data[i * 4 + 3] = uint8_t(TIFFGetA(rgba[i]));
            }
            out.samplesPerPixel = 4;
            out.bitsPerSample = 8;
            out.photometric = PHOTOMETRIC_RGB;
            return true;
        }
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        out.photometric = PHOTOMETRIC_RGB;
    }
    size_t sampleBytes = bps == 1 ? 1 : bps / 8;
    uint64_t rowSamples, total;
    if (!Kernel::CheckedMul(w, spp, rowSamples) || !Kernel::CheckedMul(rowSamples * sampleBytes, h, total) ||
        total > Kernel::GetAllocationLimit())
        return Fail(error, "image too large");
    out.data.assign(size_t(total), 0);
    size_t rowBytes = size_t(rowSamples * sampleBytes);
    unsigned planes = planar == PLANARCONFIG_SEPARATE ? spp : 1;
    unsigned perPlane = planar == PLANARCONFIG_SEPARATE ? 1 : spp;
    // Puts one decoded run of a plane (n pixels from x of row y) into the interleaved image.
    auto place = [&](uint8_t const* in, uint32_t y, uint32_t x, uint32_t n, unsigned plane) {
        std::vector<uint8_t> bits;
        if (bps == 1) {
            bits.resize(size_t(n) * perPlane);
            UnpackBits(in, bits.data(), bits.size());
            in = bits.data();
        }
        uint8_t* row = out.data.data() + size_t(y) * rowBytes;
        if (planes == 1) {
            std::memcpy(row + size_t(x) * spp * sampleBytes, in, size_t(n) * spp * sampleBytes);
            return;
        }
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(row + (size_t(x + i) * spp + plane) * sampleBytes, in + i * sampleBytes, sampleBytes);
    };
    if (TIFFIsTiled(tiff)) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &th);
        tmsize_t tileSize = TIFFTileSize(tiff);
        if (tw == 0 || th == 0 || tileSize <= 0) return Fail(error, "damaged tiles");
        std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
        tmsize_t tileRow = TIFFTileRowSize(tiff);
        for (unsigned p = 0; p < planes; ++p)
            for (uint32_t ty = 0; ty < h; ty += th)
                for (uint32_t tx = 0; tx < w; tx += tw) {
                    if (TIFFReadTile(tiff, tile.data(), tx, ty, 0, uint16_t(p)) < 0)
                        return Fail(error, "damaged image data");
                    uint32_t n = std::min(tw, w - tx);
                    for (uint32_t r = 0; r < th && ty + r < h; ++r)
                        place(tile.data() + size_t(r) * size_t(tileRow), ty + r, tx, n, p);
                }
        return true;
    }
    tmsize_t scan = TIFFScanlineSize(tiff);
    if (scan <= 0) return Fail(error, "damaged strips");
    std::vector<uint8_t> line(static_cast<size_t>(scan));
    for (unsigned p = 0; p < planes; ++p)
        for (uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(tiff, line.data(), y, uint16_t(p)) < 0)
                return Fail(error, "damaged image data");
            place(line.data(), y, 0, w, p);
        }
    return true;
}

}  // namespace Raster
