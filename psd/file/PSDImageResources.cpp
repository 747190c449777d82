// Image resources: the tagged blocks of document settings (resolution, channel names, guides,
// background colour, colour profile, paths, JPEG settings, version information), read into the
// document and written back.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "host/kernel/Memory.h"
#include "host/raster/JPEG.h"
#include "psd/file/PSDFile.h"
#include "psd/io/PSDColourRecord.h"
#include "psd/io/PSDKeyTable.h"
#include "psd/io/PSDResourceIO.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDLayer.h"
#include "psd/vector/PSDPath.h"

namespace PSD {

namespace {

// One buffer serves the many small reads of the block loop.
constexpr size_t kResourceBufferSize = 0x20004;
// ICC profiles and other block data are read in pieces of this size, so a size field that the
// data cannot back never turns into one large allocation.
constexpr size_t kReadChunk = 1 << 16;

constexpr uint32_t kAcceptedSignatures[] = {Key("8BIM"), Key("MeSa"), Key("PHUT"),
                                            Key("AgHg"), Key("DCSR"), Key("psdM")};

// Resource identifiers the reader and writer know.
enum ResourceId : uint16_t {
    kResolutionInfo = 1005,
    kAlphaNames = 1006,
    kCaption = 1008,
    kBackgroundColour = 1010,
    kLayerState = 1024,
    kWorkingPath = 1025,
    kLayerGroups = 1026,
    kJPEGQuality = 1030,
    kGridAndGuides = 1032,
    kOldThumbnail = 1033,
    kThumbnail = 1036,
    kGlobalAngle = 1037,
    kICCProfile = 1039,
    kLayerIds = 1044,
    kGlobalAltitude = 1049,
    kAlphaIdentifiers = 1053,
    kVersionInfo = 1057,
    kPixelAspectRatio = 1064,
    kLayerGroupsEnabled = 1072,
    kFirstSavedPath = 2000,
    kLastSavedPath = 2997,
    kClippingPathName = 2999,
};

// Counts what passes through it, so the block loop knows where it stands on any input stream.
class ResourceInStream final : public Kernel::InStream {
public:
    explicit ResourceInStream(Kernel::InStream& inner)
        : m_inner(inner), m_seekable(dynamic_cast<Kernel::InStreamSeekable*>(&inner)) {}

    // Asks again after a short read, so sources that hand out data in small pieces read whole.
    size_t Read(void* buf, size_t n) override {
        auto* out = static_cast<uint8_t*>(buf);
        size_t done = 0;
        while (done < n) {
            size_t got = m_inner.Read(out + done, n - done);
            if (got == 0) break;
            done += got;
        }
        m_pos += done;
        if (m_capture) m_capture->insert(m_capture->end(), out, out + done);
        return done;
    }
    // Everything read from here on is also appended to capture (null: stop).
    void Capture(std::vector<uint8_t>* capture) { m_capture = capture; }
    uint64_t GetPosition() const { return m_pos; }
    // Bytes left when the stream can tell, else kUnknownSize.
    uint64_t GetRemaining() const {
        return m_seekable ? m_seekable->GetRemaining() : Kernel::kUnknownSize;
    }
    // False when the data ends first.
    bool Skip(uint64_t n) {
        if (m_seekable && !m_capture) {
            if (!m_seekable->Skip(n)) return false;
            m_pos += n;
            return true;
        }
        uint8_t scratch[4096];
        while (n > 0) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
            if (Read(scratch, want) != want) return false;
            n -= want;
        }
        return true;
    }

private:
    Kernel::InStream& m_inner;
    Kernel::InStreamSeekable* m_seekable;
    uint64_t m_pos = 0;
    std::vector<uint8_t>* m_capture = nullptr;
};

// ---- Readers of the value forms

[[nodiscard]] bool ReadPascalString(Kernel::InStream& stream, String& out, unsigned padding,
                                    PSDLoadData& ld) {
    uint8_t length;
    if (!ReadValue(stream, length, ld)) return false;
    uint8_t text[256];
    if (length > 0 && !ReadBytes(stream, text, length, ld)) return false;
    if (padding >= 2) {
        size_t used = 1 + size_t(length);
        size_t rest = used % padding;
        uint8_t pad[256];
        if (rest != 0 && !ReadBytes(stream, pad, padding - rest, ld)) return false;
    }
    auto encoding = Kernel::StringEncoding::Make(kResourceCodePage);
    out = encoding ? encoding->ToUnicode(text, length)
                   : String(reinterpret_cast<char const*>(text), length);
    return true;
}


// Reads size bytes into out without trusting size for the allocation: the buffer grows with the
// data that actually arrives.
[[nodiscard]] bool ReadBlockData(ResourceInStream& stream, uint64_t size, std::vector<uint8_t>& out,
                                 PSDLoadData& ld) {
    uint64_t remaining = stream.GetRemaining();
    if (remaining != Kernel::kUnknownSize && size > remaining) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    out.clear();
    try {
        while (out.size() < size) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(size - out.size(), kReadChunk));
            size_t at = out.size();
            Kernel::ResizeOrThrow(out, uint64_t(at) + piece);
            if (!ReadBytes(stream, out.data() + at, piece, ld)) return false;
        }
    } catch (std::bad_alloc const&) {
        ld.m_report.ErrorAlloc();
        return false;
    }
    return true;
}

// ---- The block handlers

struct Block {
    ResourceInStream& stream;
    uint16_t id;
    String const& name;
    uint32_t size;
};

using Handler = bool (*)(PSDFile& doc, Block& b, ParseData& pd);

bool ParseResolution(PSDFile& doc, Block& b, ParseData& pd) {
    uint16_t whole, fraction;
    if (!ReadValue(b.stream, whole, pd) || !ReadValue(b.stream, fraction, pd)) return false;
    // Units and the vertical resolution follow; the horizontal value is the document's.
    if (!b.stream.Skip(12)) {
        pd.m_report.ErrorTruncated();
        return false;
    }
    double resolution = whole + fraction / 65536.0;
    doc.m_unitConverter = Kernel::MakeCounted<Kernel::UnitValueConverter>(resolution, -1.0);
    pd.m_resolution = resolution;
    pd.m_resolutionScale = resolution / 72.0;
    return true;
}

bool ParseAlphaNames(PSDFile& doc, Block& b, ParseData& pd) {
    // One name per channel beyond the colour channels of the mode; every ink of a multichannel
    // document has a name.
    bool everyChannel =
        doc.m_colourMode > 9 || doc.m_colourMode == uint32_t(ColourMode::Multichannel);
    int64_t count = everyChannel ? int64_t(doc.m_channelCount)
                                 : int64_t(doc.m_channelCount) -
                                       int64_t(ColourChannelCount(doc.m_colourMode, false, true));
    for (int64_t i = 0; i < count; ++i) {
        String name;
        if (!ReadPascalString(b.stream, name, 0, pd)) return false;
        doc.m_alphaChannelNames.push_back(std::move(name));
    }
    return true;
}

bool ParseCaption(PSDFile& doc, Block& b, ParseData& pd) {
    return ReadPascalString(b.stream, doc.m_caption, 0, pd);
}

bool ParseBackgroundColour(PSDFile& doc, Block& b, ParseData& pd) {
    return ReadColor(b.stream, doc.m_backgroundColour, pd);
}

bool ParseWorkingPath(PSDFile& doc, Block& b, ParseData& pd) {
    if (doc.m_workingPath) {
        pd.m_report.AddWarning(PSDLoadWarning::kMultipleWorkingPaths, {});
        return true;
    }
    return doc.ParseWorkingPathResource(b.stream, b.size, pd);
}

bool ParseLayerGroups(PSDFile&, Block& b, ParseData& pd) {
    for (uint32_t i = 0; i < b.size / 2; ++i) {
        uint16_t id;
        if (!ReadValue(b.stream, id, pd)) return false;
        pd.m_layerGroupIds.push_back(id);
    }
    return true;
}

bool ParseJPEGQuality(PSDFile& doc, Block& b, ParseData& pd) {
    if (b.size != 7) {
        pd.m_report.ErrorParsing();
        return false;
    }
    uint8_t d[7];
    if (!ReadBytes(b.stream, d, 7, pd)) return false;
    ByteOrderFixer fix = pd.Fixer();
    int16_t quality;
    uint16_t format;
    std::memcpy(&quality, d, 2);
    std::memcpy(&format, d + 2, 2);
    quality = fix.Fix(quality);
    format = fix.Fix(format);
    doc.m_jpeg.quality = quality;
    doc.m_jpeg.method = format == 0x0101   ? JPEGMethod::Progressive
                        : format == 0x0001 ? JPEGMethod::BaselineOptimised
                                           : JPEGMethod::Baseline;
    doc.m_jpeg.scans = d[5];
    doc.m_jpeg.present = true;
    return true;
}

bool ParseGuides(PSDFile& doc, Block& b, ParseData& pd) {
    uint32_t version, gridH, gridV, count;
    if (!ReadValue(b.stream, version, pd) || !ReadValue(b.stream, gridH, pd) ||
        !ReadValue(b.stream, gridV, pd) || !ReadValue(b.stream, count, pd))
        return false;
    // Each guide takes 5 bytes; reserve no more than the data can hold.
    uint64_t room = b.stream.GetRemaining();
    uint64_t reserve = std::min<uint64_t>(count, std::min<uint64_t>(b.size, room) / 5);
    doc.m_horizontalGuides.reserve(doc.m_horizontalGuides.size() + reserve);
    doc.m_verticalGuides.reserve(doc.m_verticalGuides.size() + reserve);
    for (uint32_t i = 0; i < count; ++i) {
        int32_t location;
        uint8_t direction;
        if (!ReadValue(b.stream, location, pd) || !ReadValue(b.stream, direction, pd)) return false;
        double position = location * 0.03125;
        (direction ? doc.m_horizontalGuides : doc.m_verticalGuides).push_back(position);
    }
    return true;
}

bool ParseGlobalAngle(PSDFile& doc, Block& b, ParseData& pd) {
    return ReadValue(b.stream, doc.m_globalLightAngle, pd);
}

bool ParseGlobalAltitude(PSDFile& doc, Block& b, ParseData& pd) {
    return ReadValue(b.stream, doc.m_globalLightAltitude, pd);
}

bool ParseICCProfile(PSDFile& doc, Block& b, ParseData& pd) {
    std::vector<uint8_t> bytes;
    if (!ReadBlockData(b.stream, b.size, bytes, pd)) return false;
    doc.m_iccProfile =
        Raster::ICCManager::GetInstance().AddProfileFromMemory(bytes.data(), bytes.size());
    return true;
}

bool ParseVersionInfo(PSDFile& doc, Block& b, ParseData& pd) {
    // Writer and reader names and the file version follow; only the flag is kept.
    uint32_t version;
    uint8_t hasRealMergedData;
    if (!ReadValue(b.stream, version, pd) || !ReadValue(b.stream, hasRealMergedData, pd))
        return false;
    doc.m_hasRealMergedData = hasRealMergedData != 0;
    return true;
}

bool ParseClippingPathName(PSDFile& doc, Block& b, ParseData& pd) {
    return ReadPascalString(b.stream, doc.m_clippingPathName, 0, pd);
}

// Known but not needed: the end-of-block step passes over them.
bool SkipResource(PSDFile&, Block&, ParseData&) {
    return true;
}

constexpr KeyHandler<uint16_t, Handler> kHandlers[] = {
    {kResolutionInfo, ParseResolution},
    {kAlphaNames, ParseAlphaNames},
    {kCaption, ParseCaption},
    {kBackgroundColour, ParseBackgroundColour},
    {kWorkingPath, ParseWorkingPath},
    {kLayerGroups, ParseLayerGroups},
    {kJPEGQuality, ParseJPEGQuality},
    {kGridAndGuides, ParseGuides},
    {kThumbnail, SkipResource},
    {kGlobalAngle, ParseGlobalAngle},
    {kICCProfile, ParseICCProfile},
    {kGlobalAltitude, ParseGlobalAltitude},
    {1050, SkipResource},
    {kPixelAspectRatio, SkipResource},
    {1069, SkipResource},
    {kLayerGroupsEnabled, SkipResource},
    {kVersionInfo, ParseVersionInfo},
    {kClippingPathName, ParseClippingPathName},
};

}  // namespace

// ---- Reading

bool PSDFile::ParseImageResources(Kernel::NonCounted<Kernel::InStreamSeekable> stream,
                                  ParseData& pd) {
    uint32_t length;
    if (!ReadValue(*stream, length, pd)) return false;
    m_sections.imageResourcesLength = length;
    if (length == 0) return true;
    uint64_t start = stream->GetPosition();
    Kernel::Counted<Kernel::BufferedInStream> buffered;
    try {
        buffered = Kernel::BufferedInStream::Create(stream, kResourceBufferSize);
    } catch (std::bad_alloc const&) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    buffered->SetLimit(length);
    if (!ParseImageResourceData(*buffered, pd)) return false;
    // The blocks may end early when the section claims more than the file holds.
    if (!stream->Seek(start + length)) {
        pd.m_report.ErrorTruncated();
        return false;
    }
    return true;
}

bool PSDFile::ParseImageResourceData(Kernel::InStream& input, ParseData& pd) {
    ResourceInStream stream(input);
    for (;;) {
        uint8_t sig[4];
        size_t got = stream.Read(sig, 4);
        if (got == 0) return true;  // the data ends cleanly between blocks
        if (got < 4) {
            pd.m_report.ErrorTruncated();
            return false;
        }
        uint32_t signature =
            uint32_t(sig[0]) << 24 | uint32_t(sig[1]) << 16 | uint32_t(sig[2]) << 8 | sig[3];
        if (std::find(std::begin(kAcceptedSignatures), std::end(kAcceptedSignatures), signature) ==
            std::end(kAcceptedSignatures)) {
            pd.m_report.SetError(PSDError::kUnknownSignature, KeyToString(signature), 1);
            return false;
        }
        uint16_t id = 0;
        String name;
        uint32_t size;
        PSDImageResource kept;
        kept.signature = signature;
        std::vector<uint8_t> nameBytes;
        stream.Capture(&nameBytes);
        bool header = ReadValue(stream, id, pd) && ReadPascalString(stream, name, 2, pd);
        stream.Capture(nullptr);
        if (!header || !ReadValue(stream, size, pd)) return false;
        m_resourceIds.push_back(id);
        kept.id = id;
        // The identifier's 2 bytes, the length byte, then the name (its padding left out).
        if (nameBytes.size() >= 3)
            kept.name.assign(nameBytes.begin() + 3,
                             nameBytes.begin() + 3 + std::min<size_t>(nameBytes[2], nameBytes.size() - 3));
        // The block's bytes are kept whatever its reader takes from them.
        stream.Capture(&kept.data);
        uint64_t dataStart = stream.GetPosition();
        Block block{stream, id, name, size};
        if (id >= kFirstSavedPath && id <= kLastSavedPath) {
            if (!ParsePathResource(stream, size, name, pd, id - kFirstSavedPath)) return false;
        } else if (Handler h = FindKeyHandler(kHandlers, id)) {
            if (!h(*this, block, pd)) return false;
        }
        uint64_t end = dataStart + size + (size & 1);
        uint64_t pos = stream.GetPosition();
        if (pos > end) {
            pd.m_report.ErrorMisaligned();
            return false;
        }
        if (pos < end && !stream.Skip(end - pos)) {
            pd.m_report.ErrorTruncated();
            return false;
        }
        stream.Capture(nullptr);
        kept.data.resize(size);  // the pad byte goes
        m_resources.push_back(std::move(kept));
    }
}

Kernel::Counted<PSDFile> PSDFile::CreateFromImageResourceData(unsigned int width,
                                                              unsigned int height,
                                                              Kernel::InStream& stream,
                                                              PSDReport& report) {
    Kernel::Counted<PSDFile> doc(new PSDFile);
    doc->m_width = width;
    doc->m_height = height;
    // Given a warnings collection, so that what the blocks raise reaches the caller.
    doc->m_warnings = Kernel::MakeCounted<PSDWarnings>();
    ParseData pd(true, true, CreateOptions{}, doc->m_warnings);
    pd.m_colourMode = uint32_t(ColourMode::RGB);
    pd.m_width = width;
    pd.m_height = height;
    // Resource data without a document assumes 96 pixels per inch.
    pd.m_resolutionScale = 96.0 / 72.0;
    pd.m_resolution = 96.0;
    bool ok;
    try {
        ok = doc->ParseImageResourceData(stream, pd);
    } catch (std::bad_alloc const&) {
        pd.m_report.ErrorAlloc();
        ok = false;
    }
    if (ok) doc->TakeSaveBaseline();
    report.m_error = ok ? nullptr : pd.m_report.m_error;
    report.m_warnings = doc->m_warnings;
    return ok ? doc : nullptr;
}

// ---- Writing

namespace {

// The writer's block framing: header with a size placeholder, the body, the patched size.
template <class Body>
[[nodiscard]] bool WriteBlock(Kernel::OutStreamSeekable& s, ByteOrderFixer const& f, uint16_t id,
                              Body&& body) {
    if (!WriteImageResourceHeader(s, f, id, String())) return false;
    uint64_t dataStart = s.GetPosition();
    return body() && EndImageResource(s, f, dataStart);
}

// Fixed-size blocks write their size up front.
template <class Body>
[[nodiscard]] bool WriteSizedBlock(Kernel::OutStream& s, ByteOrderFixer const& f, uint16_t id,
                                   uint32_t size, Body&& body) {
    return WriteImageResourceHeader(s, f, id, String(), size) && body() &&
           PadImageResource(s, size);
}

constexpr uint32_t kGridSize = 576;  // grid spacing as stored, in 1/32 pixel
// Reader name of the version information block.
constexpr char const kReaderName[] = "Adobe Photoshop CS6";
constexpr char const kWriterName[] = "Adobe Photoshop";

// Thumbnail block: format 1 (JPEG of RGB), the image's size, the size of its 24-bit rows padded to
// 4 bytes and of all of them, the JPEG size, 24 bits per pixel, one plane, then the JPEG stream.
[[nodiscard]] bool WriteThumbnail(Kernel::OutStreamSeekable& s, ByteOrderFixer const& f,
                                  Raster::DynamicBitmap const& thumbnail) {
    Kernel::Counted<Raster::DynamicBitmap> rgba;
    if (thumbnail.GetFormat() != Raster::Format::RGBA8) {
        Raster::ConvertToRGBAOptions options;
        options.depth = 8;
        rgba = Raster::ConvertToRGBA(thumbnail, options);
        if (!rgba) return false;
    }
    auto jpeg = Raster::DynamicJPEG::Encode(rgba ? *rgba : thumbnail, Raster::ExportOptions{});
    if (!jpeg) return false;
    uint64_t width = thumbnail.GetWidth(), height = thumbnail.GetHeight();
    uint64_t rowBytes = (width * 24 + 31) / 32 * 4;
    uint64_t total = rowBytes * height;
    auto const& data = jpeg->GetData();
    if (total > UINT32_MAX || data.size() > UINT32_MAX) return false;
    return WriteBlock(s, f, kThumbnail, [&] {
        return WriteValue(s, uint32_t(1), f) && WriteValue(s, uint32_t(width), f) &&
               WriteValue(s, uint32_t(height), f) && WriteValue(s, uint32_t(rowBytes), f) &&
               WriteValue(s, uint32_t(total), f) && WriteValue(s, uint32_t(data.size()), f) &&
               WriteValue(s, uint16_t(24), f) && WriteValue(s, uint16_t(1), f) &&
               s.Write(data.data(), data.size());
    });
}

// The longest side of a thumbnail made from the composite.
constexpr uint32_t kThumbnailSide = 160;

// The composite sampled down to a thumbnail (nearest pixel), still in its own format.
Kernel::Counted<Raster::DynamicBitmap> SampleThumbnail(Raster::DynamicBitmap const& composite) {
    uint32_t w = composite.GetWidth(), h = composite.GetHeight();
    if (w == 0 || h == 0) return nullptr;
    double scale = std::min(1.0, double(kThumbnailSide) / double(std::max(w, h)));
    uint32_t tw = std::max(1u, uint32_t(w * scale)), th = std::max(1u, uint32_t(h * scale));
    auto out = Raster::DynamicBitmap::Create(tw, th, composite.GetFormat());
    size_t pixel = composite.GetBytesPerPixel();
    for (uint32_t y = 0; y < th; ++y) {
        uint8_t const* src = composite.GetRow(uint32_t(uint64_t(y) * h / th));
        uint8_t* dst = out->GetRow(y);
        for (uint32_t x = 0; x < tw; ++x)
            std::memcpy(dst + size_t(x) * pixel, src + size_t(uint64_t(x) * w / tw) * pixel, pixel);
    }
    return out;
}

}  // namespace

bool PSDFile::SaveImageResources(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (!WriteValue(stream, uint32_t(0), f)) return false;
    uint64_t start = stream.GetPosition();
    if (!SaveImageResourcesInternal(stream, sd)) return false;
    uint64_t end = stream.GetPosition();
    if (end < start || end - start > UINT32_MAX) return false;
    return stream.Seek(start - 4) && WriteValue(stream, uint32_t(end - start), f) &&
           stream.Seek(end);
}

bool PSDFile::SaveImageResourceData(Kernel::OutStreamSeekable& stream) const {
    SaveData sd;
    sd.m_fixer = ByteOrderFixer{true};
    sd.m_colourMode = m_colourMode;
    sd.m_width = m_width;
    sd.m_height = m_height;
    sd.m_depth = m_depth;
    return SaveImageResourcesInternal(stream, sd);
}

bool SplitModelResources(std::vector<uint8_t> const& run,
                                       std::vector<PSDModelBlock>& out) {
    out.clear();
    size_t at = 0;
    while (at < run.size()) {
        size_t left = run.size() - at;
        uint8_t const* h = run.data() + at;
        if (left < 7) return false;
        size_t name = (size_t(h[6]) + 2) & ~size_t(1);
        if (left < 6 + name + 4) return false;
        uint8_t const* l = h + 6 + name;
        uint64_t size = uint64_t(l[0]) << 24 | uint64_t(l[1]) << 16 | uint64_t(l[2]) << 8 | l[3];
        uint64_t total = 6 + name + 4 + size + (size & 1);
        if (total > left) return false;
        PSDModelBlock b;
        b.key = uint32_t(h[4]) << 8 | h[5];
        b.bytes.assign(h, h + total);
        b.hash = HashBytes(b.bytes.data(), b.bytes.size());
        out.push_back(std::move(b));
        at += size_t(total);
    }
    return true;
}

namespace {

// A stored block goes back with its own signature, name and data.
[[nodiscard]] bool WriteStoredResource(Kernel::OutStream& s, ByteOrderFixer const& f,
                                       PSDImageResource const& r) {
    uint8_t length = uint8_t(std::min<size_t>(r.name.size(), 255));
    if (!WriteKey(s, r.signature, f) || !WriteValue(s, r.id, f) || !s.Write(&length, 1) ||
        (length > 0 && !s.Write(r.name.data(), length)) || ((length & 1) == 0 && !WriteZeros(s, 1)))
        return false;
    if (r.data.size() > UINT32_MAX || !WriteValue(s, uint32_t(r.data.size()), f)) return false;
    return (r.data.empty() || s.Write(r.data.data(), r.data.size())) &&
           PadImageResource(s, r.data.size());
}

}  // namespace

bool PSDFile::SaveImageResourcesInternal(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    if (m_resources.empty()) return SaveModelResources(s, sd);
    auto memory = Kernel::MemoryInOutStreamBase::Create();
    std::vector<PSDModelBlock> model;
    if (!SaveModelResources(*memory, sd) || !SplitModelResources(memory->GetData(), model))
        return false;
    // Stored thumbnails (1036, and 1033 of older writers) show the composite as it was read.
    bool dropThumbnails = sd.m_compositeStale || m_compositeReplaced;
    std::vector<uint32_t> ids;
    std::vector<PSDImageResource const*> stored;
    for (auto const& r : m_resources) {
        if (dropThumbnails && (r.id == kThumbnail || r.id == kOldThumbnail)) continue;
        ids.push_back(r.id);
        stored.push_back(&r);
    }
    return MergeModelBlocks(s, ids, model, m_resourceBaseline, [&](size_t i) {
        return WriteStoredResource(s, sd.m_fixer, *stored[i]);
    });
}

bool PSDFile::SaveModelResources(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;

    // 1005: omitted when the document has no resolution.
    if (m_unitConverter) {
        double resolution = m_unitConverter->GetResolution();
        bool ok = WriteSizedBlock(s, f, kResolutionInfo, 16, [&] {
            // Pixels per inch, sizes shown in inches; the same for both directions.
            return WriteFixedValue(s, f, resolution) && WriteValue(s, uint16_t(1), f) &&
                   WriteValue(s, uint16_t(2), f) && WriteFixedValue(s, f, resolution) &&
                   WriteValue(s, uint16_t(1), f) && WriteValue(s, uint16_t(2), f);
        });
        if (!ok) return false;
    }

    // 1010: omitted without a background colour (or one the record cannot hold).
    ColourRecord background;
    if (m_backgroundColour && EncodeColourRecord(*m_backgroundColour, background)) {
        bool ok = WriteSizedBlock(s, f, kBackgroundColour, 10, [&] {
            if (!WriteValue(s, background.space, f)) return false;
            for (uint16_t c : background.c)
                if (!WriteValue(s, c, f)) return false;
            return true;
        });
        if (!ok) return false;
    }

    // 1006: the merged transparency's name comes first. A document read from a file already holds
    // a name for it (the list then outnumbers the masks); one built by the host names masks only.
    std::vector<String> names;
    if (m_mergedTransparency && m_alphaChannelNames.size() <= m_masks.size())
        names.emplace_back("Transparency");
    names.insert(names.end(), m_alphaChannelNames.begin(), m_alphaChannelNames.end());
    // Readers take exactly one name per channel beyond the colour channels: unnamed ones get an
    // empty name rather than leaving the reader to run into the next block.
    uint16_t channels = sd.m_headerChannels ? sd.m_headerChannels : m_channelCount;
    uint32_t mode = sd.m_headerChannels ? sd.m_colourMode : m_colourMode;
    bool everyChannel = mode > 9 || mode == uint32_t(ColourMode::Multichannel);
    unsigned colours = everyChannel ? 0 : ColourChannelCount(mode, false, true);
    if (channels > colours && names.size() < size_t(channels - colours)) names.resize(channels - colours);
    if (!names.empty()) {
        bool ok = WriteBlock(s, f, kAlphaNames, [&] {
            for (auto const& n : names)
                if (!WritePascalString(s, n, 0)) return false;
            return true;
        });
        if (!ok) return false;
    }

    // 1037 and 1049 always: the defaults are settings too.
    if (!WriteSizedBlock(s, f, kGlobalAngle, 4,
                         [&] { return WriteValue(s, m_globalLightAngle, f); }))
        return false;

    // 1053: one identifier per named channel, omitted with the names.
    if (!names.empty()) {
        bool ok = WriteSizedBlock(s, f, kAlphaIdentifiers, uint32_t(names.size() * 4), [&] {
            for (uint32_t i = 0; i < names.size(); ++i)
                if (!WriteValue(s, uint32_t(i + 1), f)) return false;
            return true;
        });
        if (!ok) return false;
    }

    if (!WriteSizedBlock(s, f, kGlobalAltitude, 4,
                         [&] { return WriteValue(s, m_globalLightAltitude, f); }))
        return false;

    // 1032: omitted without guides.
    if (!m_horizontalGuides.empty() || !m_verticalGuides.empty()) {
        struct Guide {
            int32_t location;
            uint8_t direction;
        };
        auto toLocation = [](double v) {
            double scaled = std::trunc(v * 32.0);
            if (!(scaled > double(INT32_MIN))) return INT32_MIN;
            if (scaled >= double(INT32_MAX)) return INT32_MAX;
            return int32_t(scaled);
        };
        std::vector<Guide> guides;
        guides.reserve(m_horizontalGuides.size() + m_verticalGuides.size());
        for (double v : m_verticalGuides) guides.push_back({toLocation(v), 0});
        for (double h : m_horizontalGuides) guides.push_back({toLocation(h), 1});
        // Ascending location, vertical first at equal locations; each list keeps its order.
        std::stable_sort(guides.begin(), guides.end(), [](Guide const& a, Guide const& b) {
            return a.location != b.location ? a.location < b.location : a.direction < b.direction;
        });
        if (guides.size() > UINT32_MAX) return false;
        bool ok = WriteBlock(s, f, kGridAndGuides, [&] {
            if (!WriteValue(s, uint32_t(1), f) || !WriteValue(s, kGridSize, f) ||
                !WriteValue(s, kGridSize, f) || !WriteValue(s, uint32_t(guides.size()), f))
                return false;
            for (auto const& g : guides)
                if (!WriteValue(s, g.location, f) || !WriteValue(s, g.direction, f)) return false;
            return true;
        });
        if (!ok) return false;
    }

    // 1064: square pixels.
    if (!WriteSizedBlock(s, f, kPixelAspectRatio, 12,
                         [&] { return WriteValue(s, uint32_t(2), f) && WriteValue(s, 1.0, f); }))
        return false;

    // 1039: omitted without a profile.
    if (m_iccProfile) {
        auto const& bytes = m_iccProfile->GetData();
        if (bytes.size() > UINT32_MAX) return false;
        bool ok = WriteSizedBlock(s, f, kICCProfile, uint32_t(bytes.size()), [&] {
            return bytes.empty() || s.Write(bytes.data(), bytes.size());
        });
        if (!ok) return false;
    }

    // 1024, 1026, 1072 and 1044 describe layers: omitted for a document without layers.
    if (!m_layers.empty()) {
        if (!WriteSizedBlock(s, f, kLayerState, 2, [&] { return WriteValue(s, uint16_t(0), f); }))
            return false;
        bool ok = WriteBlock(s, f, kLayerGroups, [&] {
            for (auto const& layer : m_layers)
                if (!WriteValue(s, layer ? layer->m_groupId : uint16_t(0), f)) return false;
            return true;
        });
        ok = ok && WriteBlock(s, f, kLayerGroupsEnabled, [&] {
                 for (auto const& layer : m_layers) {
                     uint8_t flags = layer ? layer->m_flags : 0;
                     if (!s.Write(&flags, 1)) return false;
                 }
                 return (m_layers.size() & 1) == 0 || WriteZeros(s, 1);
             });
        ok = ok && WriteBlock(s, f, kLayerIds, [&] {
                 uint64_t count = uint64_t(m_layers.size()) + 1;
                 if (count > UINT32_MAX || !WriteValue(s, uint32_t(count), f)) return false;
                 // 0, then the identifiers the layer writer gives its layers, in order.
                 if (!WriteValue(s, uint32_t(0), f)) return false;
                 for (uint32_t id : sd.m_layerIds.empty() ? AssignLayerIds() : sd.m_layerIds)
                     if (!WriteValue(s, id, f)) return false;
                 return true;
             });
        if (!ok) return false;
    }

    // 1036: omitted without a thumbnail; a composite the host replaced in a document that was
    // read gets one made from it, in place of the one stored.
    Kernel::Counted<Raster::DynamicBitmap> thumbnail = m_thumbnail;
    if (!thumbnail && m_compositeReplaced && m_sourceStream && m_flattenedBitmap) {
        try {
            thumbnail = SampleThumbnail(*m_flattenedBitmap);
        } catch (Kernel::MemoryException const&) {
            // Left without a thumbnail rather than failing the save.
        }
    }
    if (thumbnail && !thumbnail->IsEmpty()) {
        if (!WriteThumbnail(s, f, *thumbnail)) return false;
    }

    // 1057: always, as it carries the has-real-merged-data flag.
    uint8_t real = m_hasRealMergedData && !sd.m_compositeStale ? 1 : 0;
    // A stored block keeps its writer and reader names: only the flag comes from the model.
    PSDImageResource const* storedVersion = nullptr;
    for (auto const& r : m_resources)
        if (r.id == kVersionInfo && r.data.size() >= 5 && !storedVersion) storedVersion = &r;
    bool ok;
    if (storedVersion) {
        std::vector<uint8_t> data = storedVersion->data;
        data[4] = real;
        ok = WriteSizedBlock(s, f, kVersionInfo, uint32_t(data.size()),
                             [&] { return s.Write(data.data(), data.size()); });
    } else {
        ok = WriteBlock(s, f, kVersionInfo, [&] {
            return WriteValue(s, uint32_t(1), f) && s.Write(&real, 1) &&
                   WriteUnicodeString(s, f, String(kWriterName)) &&
                   WriteUnicodeString(s, f, String(kReaderName)) && WriteValue(s, uint32_t(1), f);
        });
    }
    if (!ok) return false;

    // 1025 and the saved paths (2000 up), then the clipping path's name (2999).
    if (!SavePathResources(s, sd)) return false;
    if (!m_clippingPathName.IsEmpty()) {
        ok = WriteBlock(s, f, kClippingPathName, [&] { return WritePascalString(s, m_clippingPathName, 0); });
        if (!ok) return false;
    }

    // 1030: only when JPEG settings were read or set.
    if (m_jpeg.present) {
        ok = WriteSizedBlock(s, f, kJPEGQuality, 7, [&] {
            uint16_t format = m_jpeg.method == JPEGMethod::Progressive         ? 0x0101
                              : m_jpeg.method == JPEGMethod::BaselineOptimised ? 0x0001
                                                                               : 0x0000;
            uint8_t tail[3] = {0, m_jpeg.scans, 0};
            return WriteValue(s, int16_t(std::clamp(m_jpeg.quality, -32768, 32767)), f) &&
                   WriteValue(s, format, f) && s.Write(tail, 3);
        });
        if (!ok) return false;
    }
    return true;
}

}  // namespace PSD
