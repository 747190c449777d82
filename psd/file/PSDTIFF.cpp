// Layered documents inside TIFF files: the basic tags give the header, the Photoshop tags the
// resources and the layers, and the TIFF's own image is the composite.
#include <tiffio.h>

#include <algorithm>
#include <cstring>

#include "host/kernel/Memory.h"
#include "host/raster/TIFF.h"
#include "psd/file/PSDFile.h"

namespace PSD {

namespace {

constexpr ttag_t kLayerDataTag = 37724;
constexpr ttag_t kResourcesTag = 34377;

bool GetBytesTag(TIFF* t, ttag_t tag, uint8_t const*& data, uint32_t& count) {
    void* p = nullptr;
    count = 0;
    if (!TIFFGetField(t, tag, &count, &p) || !p) return false;
    data = static_cast<uint8_t const*>(p);
    return true;
}

uint32_t ColourModeOf(uint16_t photometric, bool& ok) {
    ok = true;
    switch (photometric) {
        case PHOTOMETRIC_MINISBLACK: return uint32_t(ColourMode::Grayscale);
        case PHOTOMETRIC_RGB: return uint32_t(ColourMode::RGB);
        // JPEG-compressed RGB images store YCbCr; libtiff hands them back as RGB.
        case PHOTOMETRIC_YCBCR: return uint32_t(ColourMode::RGB);
        case PHOTOMETRIC_SEPARATED: return uint32_t(ColourMode::CMYK);
        case PHOTOMETRIC_CIELAB: return uint32_t(ColourMode::Lab);
        default: ok = false; return 0;
    }
}

}  // namespace

Kernel::Counted<PSDFile> PSDFile::CreateFromTIFF(String const& path, CreateOptions const& options,
                                                 PSDReport& report) {
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(path));
    if (!in) return nullptr;
    return CreateFromTIFF(in, options, report);
}

Kernel::Counted<PSDFile> PSDFile::CreateFromTIFF(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                                 CreateOptions const& options, PSDReport& report) {
    Raster::TIFFPtr tiff = Raster::OpenTIFF(stream);
    if (!tiff) return nullptr;
    TIFF* t = tiff.get();
    uint8_t const* layerData = nullptr;
    uint32_t layerCount = 0, width = 0, height = 0;
    uint16_t photometric = 0, bits = 0, samples = 0;
    if (!GetBytesTag(t, kLayerDataTag, layerData, layerCount) ||
        !TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height) ||
        !TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric) ||
        !TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits) ||
        !TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &samples))
        return nullptr;

    Kernel::Counted<PSDFile> doc(new PSDFile);
    doc->m_warnings = Kernel::MakeCounted<PSDWarnings>();
    doc->m_width = width;
    doc->m_height = height;
    doc->m_depth = bits;
    doc->m_channelCount = samples;
    doc->m_mergedTransparency = 1;
    doc->m_isPSB = false;
    doc->m_imageDataPosition = 0;
    bool known;
    doc->m_colourMode = ColourModeOf(photometric, known);
    if (!known) {
        report.SetError(PSDError::kUnsupportedColourMode);
        return nullptr;
    }
    if (bits != 1 && bits != 8 && bits != 16 && bits != 32) {
        report.SetError(PSDError::kUnsupportedDepth,
                        Kernel::FormatString("%1, %2", {ColourModeName(doc->m_colourMode),
                                                        Kernel::ToString(unsigned(bits))}));
        return nullptr;
    }
    float xres = 0;
    double resolution = TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres) && xres > 0 ? double(xres) : 96.0;
    doc->m_unitConverter = Kernel::Counted<Kernel::UnitValueConverter const>(
        new Kernel::UnitValueConverter(resolution, -1.0));
    uint8_t const* icc = nullptr;
    uint32_t iccCount = 0;
    if (GetBytesTag(t, TIFFTAG_ICCPROFILE, icc, iccCount))
        doc->m_iccProfile = Raster::ICCManager::GetInstance().AddProfileFromMemory(icc, iccCount);

    ParseData pd(true, true, options, doc->m_warnings);
    pd.m_resolutionScale = resolution / 72.0;
    pd.m_resolution = resolution;
    pd.m_width = width;
    pd.m_height = height;
    pd.m_colourMode = doc->m_colourMode;
    pd.m_colourChannels = uint16_t(ColourChannelCount(doc->m_colourMode, false, true));
    // Whatever the readers below say reaches the caller: a TIFF whose layers fail still says why.
    auto fail = [&]() -> Kernel::Counted<PSDFile> {
        report.m_warnings = doc->m_warnings;
        report.m_error = pd.m_report.m_error;
        if (!report.m_error) report.ErrorParsing();
        return nullptr;
    };
    try {
        uint8_t const* resources = nullptr;
        uint32_t resourceCount = 0;
        if (GetBytesTag(t, kResourcesTag, resources, resourceCount)) {
            auto in = Kernel::MemoryInStream::Create(resources, resourceCount);
            if (!doc->ParseImageResourceData(*in, pd)) return fail();
        }
        // The layer data follows the file's byte order; the resources above are big-endian always.
        bool bigEndian = TIFFIsBigEndian(t) != 0;
        pd.m_swap = bigEndian;
        doc->m_sourceSwap = bigEndian;
        uint8_t const* zero = static_cast<uint8_t const*>(std::memchr(layerData, 0, layerCount));
        size_t skip = zero ? size_t(zero - layerData) + 1 : layerCount;
        auto layers = Kernel::MemoryInStream::Create(layerData + skip, layerCount - skip);
        doc->m_sourceStream = Kernel::Counted<Kernel::InStreamSeekable>(layers);
        if (!doc->ParseTaggedData(Kernel::NonCounted<Kernel::InStreamSeekable>(layers.Get()),
                                  layers->GetSize(), pd))
            return fail();
    } catch (std::bad_alloc const&) {
        pd.m_report.ErrorAlloc();
        return fail();
    }
    doc->m_tiffSource = stream;
    doc->TakeSaveBaseline();
    report.m_warnings = doc->m_warnings;
    report.m_error = pd.m_report.m_error;
    return doc;
}

bool PSDFile::GetTIFFComposite(PSDLoadData& ld) const {
    Raster::Format format;
    if (DetermineRasterFormat(format) != 0) {
        ld.m_report.SetError(PSDError::kUnsupportedDepth,
                             Kernel::FormatString("%1, %2", {ColourModeName(m_colourMode),
                                                             Kernel::ToString(unsigned(m_depth))}));
        return false;
    }
    Raster::TIFFPtr tiff = Raster::OpenTIFF(m_tiffSource);
    Raster::TIFFSamples s;
    std::string why;
    if (!tiff || !Raster::ReadTIFFSamples(tiff.get(), s, &why)) {
        ld.m_report.SetError(PSDError::kParsing, String("TIFF image: " + why));
        return false;
    }
    Kernel::Counted<Raster::DynamicBitmap> bm;
    try {
        bm = Raster::DynamicBitmap::Create(s.width, s.height, format);
    } catch (Kernel::MemoryException const&) {
        ld.m_report.ErrorAlloc();
        return false;
    }
    Raster::FormatInfo const& info = bm->GetFormatInfo();
    unsigned colours = info.channels - 1;
    size_t inBytes = s.bitsPerSample == 1 ? 1 : s.bitsPerSample / 8;
    bool lab = m_colourMode == uint32_t(ColourMode::Lab);
    bool cmyk = m_colourMode == uint32_t(ColourMode::CMYK);
    if ((inBytes != info.bytesPerSample && !(lab && inBytes == 1)) || s.samplesPerPixel < colours) {
        ld.m_report.SetError(PSDError::kUnsupportedPixelFormat);
        return false;
    }
    for (uint32_t y = 0; y < s.height; ++y) {
        uint8_t const* in = s.data.data() + size_t(y) * s.width * s.samplesPerPixel * inBytes;
        uint8_t* out = bm->GetRow(y);
        for (uint32_t x = 0; x < s.width; ++x, in += s.samplesPerPixel * inBytes) {
            for (unsigned c = 0; c < info.channels; ++c) {
                unsigned from = c < colours ? c : colours;
                bool alpha = c == colours;
                uint8_t* o = out + (size_t(x) * info.channels + c) * info.bytesPerSample;
                if (alpha && from >= s.samplesPerPixel) {
                    // No extra sample: opaque.
                    if (info.isFloat) {
                        float one = 1.0f;
                        std::memcpy(o, &one, 4);
                    } else {
                        std::memset(o, 0xFF, info.bytesPerSample);
                    }
                    continue;
                }
                uint8_t const* i = in + from * inBytes;
                if (lab && !alpha) {
                    // L unsigned, a and b signed in the TIFF; offset binary in the bitmap.
                    uint16_t v;
                    if (inBytes == 1)
                        v = c == 0 ? uint16_t(i[0] * 257) : uint16_t((int8_t(i[0]) + 128) * 257);
                    else {
                        std::memcpy(&v, i, 2);
                        if (c != 0) v = uint16_t(int16_t(v) + 32768);
                    }
                    std::memcpy(o, &v, 2);
                } else if (lab && inBytes == 1) {
                    uint16_t v = uint16_t(i[0] * 257);
                    std::memcpy(o, &v, 2);
                } else if (cmyk && !alpha) {
                    // TIFF ink counts up; the document's counts down (255 = none).
                    for (unsigned b = 0; b < inBytes; ++b) o[b] = uint8_t(~i[b]);
                } else {
                    std::memcpy(o, i, inBytes);
                }
            }
        }
    }
    m_flattenedBitmap = bm;
    m_masks.clear();
    m_tiffCompositeAlpha = s.samplesPerPixel > colours;
    return true;
}

}  // namespace PSD
