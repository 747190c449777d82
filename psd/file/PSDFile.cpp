#include "psd/file/PSDFile.h"

#include "host/kernel/Memory.h"

#include "psd/layer/PSDLayer.h"
#include "psd/file/PSDLinkedData.h"
#include "psd/layer/PSDSmartObject.h"
#include "psd/vector/PSDPath.h"

namespace PSD {

namespace {
constexpr uint32_t kSignature = Key("8BPS");
constexpr size_t kHeaderSize = 26;

uint16_t Be16(uint8_t const* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Be32(uint8_t const* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
}  // namespace

PSDFile::PSDFile() = default;
PSDFile::~PSDFile() = default;

void PSDFile::AddLinkedRecord(Kernel::Counted<PSDSmartObjectData> const& record) {
    m_linkedRecords.push_back(record);
    m_linkedLayerData[record->m_uniqueId] = record;
}

Kernel::Counted<PSDSmartObjectData> PSDFile::GetLinkedLayerData(String const& identifier) const {
    auto it = m_linkedLayerData.find(identifier);
    return it == m_linkedLayerData.end() ? nullptr : it->second;
}

Kernel::Counted<PSDFile> PSDFile::CreateI(Kernel::Counted<Kernel::InStreamSeekable> const& stream, bool inMemory,
                                          CreateOptions const& options, PSDReport& report) {
    if (!stream) return nullptr;
    Kernel::Counted<PSDFile> doc(new PSDFile);
    doc->m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
    // The main entry hands the warnings over at once; the in-memory forms only on failure.
    if (!inMemory) report.m_warnings = doc->m_warnings;
    ParseData pd(true, inMemory, options, doc->m_warnings);
    bool ok;
    try {
        ok = doc->Parse(Kernel::NonCounted<Kernel::InStreamSeekable>(stream.Get()), pd);
    } catch (std::bad_alloc const&) {
        pd.m_report.ErrorAlloc();
        ok = false;
    }
    if (!ok) {
        if (inMemory) report.m_warnings = doc->m_warnings;
        report.m_error = pd.m_report.m_error;
        if (!report.m_error) report.ErrorParsing();
        return nullptr;
    }
    doc->m_sourceStream = stream;
    doc->TakeSaveBaseline();
    return doc;
}

Kernel::Counted<PSDFile> PSDFile::Create(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                         CreateOptions const& options, PSDReport& report) {
    return CreateI(stream, false, options, report);
}

Kernel::Counted<PSDFile> PSDFile::Create(Kernel::Counted<Kernel::MemoryInStream> const& stream,
                                         CreateOptions const& options, PSDReport& report) {
    return CreateI(Kernel::Counted<Kernel::InStreamSeekable>(stream), true, options, report);
}

Kernel::Counted<PSDFile> PSDFile::Create(Kernel::Counted<Kernel::MemoryInOutStreamBase> const& stream,
                                         CreateOptions const& options, PSDReport& report) {
    return CreateI(Kernel::Counted<Kernel::InStreamSeekable>(stream), true, options, report);
}

Kernel::Counted<PSDFile> PSDFile::Create(Kernel::InStream& stream, CreateOptions const& options, PSDReport& report) {
    Kernel::Counted<Kernel::InStreamSeekable> view(Kernel::ForwardBiasedSeekableInStream::Create(stream));
    return CreateI(view, false, options, report);
}

bool PSDFile::Sniff(Kernel::InStreamSeekable& stream) {
    ParseData pd;
    return Sniff(stream, pd);
}

bool PSDFile::Sniff(Kernel::InStreamSeekable& stream, ParseData&) {
    uint8_t h[kHeaderSize];
    uint64_t start = stream.GetPosition();
    if (stream.Read(h, kHeaderSize) < kHeaderSize) return false;
    (void)stream.Seek(start);
    uint16_t version = Be16(h + 4);
    return Be32(h) == kSignature && (version == 1 || version == 2);
}

bool PSDFile::Parse(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd) {
    uint8_t h[kHeaderSize] = {};
    size_t got = stream->Read(h, kHeaderSize);
    uint32_t sig = Be32(h);
    if (got < kHeaderSize || sig != kSignature) {
        pd.m_report.SetError(PSDError::kBadSignature, KeyToString(sig));
        return false;
    }
    uint16_t version = Be16(h + 4);
    if (version != 1 && version != 2) {
        pd.m_report.SetError(PSDError::kUnsupportedVersion, Kernel::ToString(unsigned(version)));
        return false;
    }
    m_isPSB = pd.m_isPSB = version == 2;
    m_sourceSwap = pd.m_swap;
    m_channelCount = Be16(h + 12);
    m_height = pd.m_height = Be32(h + 14);
    m_width = pd.m_width = Be32(h + 18);
    m_depth = Be16(h + 22);
    m_colourMode = pd.m_colourMode = Be16(h + 24);
    // Duotone's one ink counts, so that its flat background layer is recognised.
    pd.m_colourChannels = static_cast<uint16_t>(ColourChannelCount(m_colourMode, false, true));

    auto refuse = [&pd](char const* detail) {
        pd.m_report.SetError(PSDError::kUnsupportedColourMode, String(detail));
        return false;
    };
    bool checkDepth = true, indexed = false;
    switch (m_colourMode) {
        case 0:
            if (m_depth != 1 || m_channelCount != 1) return refuse("Bitmap");
            checkDepth = false;
            break;
        case 1:
        case 3:
        case 4:
        case 9: break;
        case 7:
            // Every channel is an ink of its own: the first is read as intensity, the others as
            // extra channels.
            if (m_channelCount == 0) return refuse("Multichannel");
            break;
        case 2:
            // Palette indices are bytes: any other depth fails the depth test below.
            indexed = true;
            break;
        case 8: break;
        default:
            // Parsing goes on; a document that otherwise reads is still returned.
            pd.m_report.SetError(PSDError::kUnknownColourMode, Kernel::ToString(unsigned(m_colourMode)));
            break;
    }
    bool depthOk = indexed ? m_depth == 8
                           : m_depth == 1 || m_depth == 8 || m_depth == 16 || m_depth == 32;
    if (checkDepth && !depthOk) {
        pd.m_report.SetError(PSDError::kUnsupportedDepth,
                             Kernel::FormatString("%1, %2", {ColourModeName(m_colourMode),
                                                             Kernel::ToString(unsigned(m_depth))}));
        return false;
    }
    if (!ParseColorModeSection(*stream, pd)) return false;
    if (!ParseImageResources(stream, pd)) return false;
    if (!ParseLayersAndMasks(stream, pd)) return false;
    m_imageDataPosition = stream->GetPosition();
    return true;
}

bool PSDFile::ParseColorModeSection(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t length;
    if (!ReadValue(stream, length, pd)) return false;
    m_sections.colourModeDataLength = length;
    // Kept whole (a palette, duotone inks, HDR toning...) to be written back as it was.
    if (length > stream.GetRemaining()) return SkipBytes(stream, length, pd);
    if (length > Kernel::GetAllocationLimit()) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    m_colourModeData.resize(length);
    return length == 0 || ReadBytes(stream, m_colourModeData.data(), length, pd);
}

int PSDFile::DetermineRasterFormat(Raster::Format& out) const {
    switch (m_colourMode) {
        case 0:
            if (m_depth != 1) return 1;
            out = Raster::Format::IA8;
            return 0;
        case 1:
        case 7:
        case 8:
            if (m_depth == 8) out = Raster::Format::IA8;
            else if (m_depth == 16) out = Raster::Format::IA16;
            else if (m_depth == 32) out = Raster::Format::IAF;
            else return 1;
            return 0;
        case 2:
            if (m_depth != 8) return 1;
            out = Raster::Format::IA8;
            return 0;
        case 3:
            if (m_depth == 8) out = Raster::Format::RGBA8;
            else if (m_depth == 16) out = Raster::Format::RGBA16;
            else if (m_depth == 32) out = Raster::Format::RGBAF;
            else return 1;
            return 0;
        case 4:
            if (m_depth != 8 && m_depth != 16) return 1;
            out = m_depth == 16 ? Raster::Format::CMYKA16 : Raster::Format::CMYKA8;
            return 0;
        case 9:
            if (m_depth != 8 && m_depth != 16) return 1;
            out = Raster::Format::LABA16;
            return 0;
        default: return 2;
    }
}

bool PSDFile::GetHasMasks() const {
    if (m_colourMode > 9) return m_channelCount > m_mergedTransparency;
    unsigned base = ColourChannelCount(m_colourMode, m_mergedTransparency != 0, true);
    return m_channelCount > base;
}

String PSDFile::GetAlphaChannelName(unsigned long index) const {
    unsigned long pos = index + m_mergedTransparency;
    if (pos >= m_alphaChannelNames.size()) return String();
    return m_alphaChannelNames[pos];
}

}  // namespace PSD
