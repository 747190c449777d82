// Writing a document as a layered TIFF file: the composite is the TIFF image, the image resources
// go to their tag and the layer and mask data, as document blocks, to the layer data tag. The
// layer data follows the file's byte order; the image resources are big-endian in either.
#include <tiffio.h>

#include <bit>
#include <cstdio>
#include <cstring>

#include "psd/file/PSDFile.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

namespace {

constexpr char kSignature[] = "Adobe Photoshop Document Data Block";

uint32_t Load32(uint8_t const* p, bool big) {
    return big ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
               : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

void Put32(std::vector<uint8_t>& out, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (big ? 24 - 8 * i : 8 * i)));
}

void PutBlock(std::vector<uint8_t>& out, uint32_t key, uint8_t const* body, uint32_t length,
              bool big) {
    Put32(out, Key("8BIM"), big);
    Put32(out, key, big);
    Put32(out, length, big);
    out.insert(out.end(), body, body + length);
    out.resize((out.size() + 3) & ~size_t(3), 0);
}

// The sections of a saved version-1 document: the resource blocks (big-endian), and the layer
// data, in the byte order it was saved in, as the TIFF tag holds it.
bool SplitSaved(std::vector<uint8_t> const& psd, bool big, std::vector<uint8_t>& resources,
                std::vector<uint8_t>& layers) {
    size_t p = 26;
    auto need = [&](size_t n) { return p <= psd.size() && psd.size() - p >= n; };
    if (!need(4)) return false;
    p += 4 + size_t(Load32(&psd[p], true));
    if (!need(4)) return false;
    size_t rl = Load32(&psd[p], true);
    p += 4;
    if (!need(rl)) return false;
    resources.assign(psd.begin() + long(p), psd.begin() + long(p + rl));
    p += rl;
    if (!need(4)) return false;
    size_t end = p + 4 + Load32(&psd[p], big);
    p += 4;
    if (end > psd.size()) return false;
    layers.assign(kSignature, kSignature + sizeof kSignature);
    if (p + 4 > end) return true;
    uint32_t li = Load32(&psd[p], big);
    p += 4;
    if (li > end - p) return false;
    if (li) PutBlock(layers, Key("Layr"), &psd[p], li, big);
    p += li;
    if (p + 4 <= end) {
        uint32_t gm = Load32(&psd[p], big);
        p += 4;
        if (gm > end - p) return false;
        if (gm) PutBlock(layers, Key("LMsk"), &psd[p], gm, big);
        p += gm;
    }
    layers.insert(layers.end(), psd.begin() + long(p), psd.begin() + long(end));
    return true;
}

}  // namespace

bool PSDFile::SaveTIFF(String const& path, TIFFSaveOptions const& options, std::string& error) const {
    Raster::Format format;
    if (m_isPSB && (m_width > kMaxSidePSD || m_height > kMaxSidePSD))
        return error = "too large for a layered TIFF file", false;
    if (DetermineRasterFormat(format) != 0 || m_colourMode == uint32_t(ColourMode::Bitmap) ||
        m_colourMode == uint32_t(ColourMode::Indexed) || m_colourMode == uint32_t(ColourMode::Duotone) ||
        m_colourMode == uint32_t(ColourMode::Multichannel))
        return error = std::string("no TIFF form for ") + ColourModeName(m_colourMode) + " documents", false;
    Kernel::Counted<Raster::DynamicBitmap> flat;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    PSDReport report;
    if (!GetBitmap(flat, masks, report) || !flat)
        return error = "composite: " + (report.m_error ? std::string(report.m_error->Report()) : "failed"), false;
    auto saved = Kernel::MemoryInOutStreamBase::Create();
    std::vector<uint8_t> resources, layers;
    bool big = !options.littleEndian;
    if (!Save(*saved, {.psb = false, .compress = true, .layersLittleEndian = !big, .composite = false}) ||
        !SplitSaved(saved->GetData(), big, resources, layers))
        return error = "saving the layers failed", false;

    std::string partial = std::string(path) + ".partial";
    TIFF* t = TIFFOpen(partial.c_str(), big ? "wb" : "wl");
    if (!t) return error = "cannot write " + std::string(path), false;
    Raster::FormatInfo const& info = flat->GetFormatInfo();
    unsigned colours = info.channels - 1;
    bool alpha = m_mergedTransparency != 0;
    uint16_t samples = uint16_t(colours + (alpha ? 1 : 0));
    uint16_t photometric = m_colourMode == uint32_t(ColourMode::RGB)    ? PHOTOMETRIC_RGB
                           : m_colourMode == uint32_t(ColourMode::CMYK) ? PHOTOMETRIC_SEPARATED
                           : m_colourMode == uint32_t(ColourMode::Lab)  ? PHOTOMETRIC_CIELAB
                                                                        : PHOTOMETRIC_MINISBLACK;
    unsigned outBytes = m_colourMode == uint32_t(ColourMode::Lab) ? m_depth / 8 : info.bytesPerSample;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, flat->GetWidth());
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, flat->GetHeight());
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(outBytes * 8));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, uint16_t(info.isFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, options.lzw ? COMPRESSION_LZW : COMPRESSION_ADOBE_DEFLATE);
    // Floating-point samples go without a predictor: with it they read back byte-swapped here.
    TIFFSetField(t, TIFFTAG_PREDICTOR, uint16_t(info.isFloat ? PREDICTOR_NONE : PREDICTOR_HORIZONTAL));
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    if (alpha) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &extra);
    }
    double resolution = m_unitConverter ? m_unitConverter->GetResolution() : 72.0;
    TIFFSetField(t, TIFFTAG_XRESOLUTION, float(resolution));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, float(resolution));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (m_iccProfile && !m_iccProfile->GetData().empty())
        TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(m_iccProfile->GetData().size()), m_iccProfile->GetData().data());
    if (!resources.empty()) TIFFSetField(t, TIFFTAG_PHOTOSHOP, uint32_t(resources.size()), resources.data());
    TIFFSetField(t, TIFFTAG_IMAGESOURCEDATA, uint32_t(layers.size()), layers.data());

    std::vector<uint8_t> row(size_t(flat->GetWidth()) * samples * outBytes);
    bool ok = true;
    for (uint32_t y = 0; ok && y < flat->GetHeight(); ++y) {
        uint8_t const* in = flat->GetRow(y);
        uint8_t* o = row.data();
        for (uint32_t x = 0; x < flat->GetWidth(); ++x, in += info.channels * info.bytesPerSample)
            for (unsigned c = 0; c < samples; ++c, o += outBytes) {
                unsigned from = c < colours ? c : unsigned(info.alphaChannel);
                uint8_t const* s = in + from * info.bytesPerSample;
                if (m_colourMode == uint32_t(ColourMode::Lab) && c < colours) {
                    // Offset binary in the bitmap; a and b are signed in the TIFF.
                    uint16_t v;
                    std::memcpy(&v, s, 2);
                    if (outBytes == 1)
                        o[0] = c == 0 ? uint8_t((v + 128) / 257) : uint8_t(int8_t(int((v + 128) / 257) - 128));
                    else {
                        uint16_t w = c == 0 ? v : uint16_t(int16_t(int(v) - 32768));
                        std::memcpy(o, &w, 2);
                    }
                } else if (m_colourMode == uint32_t(ColourMode::Lab) && outBytes == 1) {
                    uint16_t v;
                    std::memcpy(&v, s, 2);
                    o[0] = uint8_t((v + 128) / 257);
                } else if (m_colourMode == uint32_t(ColourMode::CMYK) && c < colours) {
                    for (unsigned b = 0; b < outBytes; ++b) o[b] = uint8_t(~s[b]);
                } else {
                    std::memcpy(o, s, outBytes);
                }
            }
        ok = TIFFWriteScanline(t, row.data(), y, 0) >= 0;
    }
    TIFFClose(t);
    if (!ok || std::rename(partial.c_str(), std::string(path).c_str()) != 0) {
        std::remove(partial.c_str());
        return error = "writing " + std::string(path) + " failed", false;
    }
    return true;
}

}  // namespace PSD
