// Layer records: bounds, channel list, blend settings, masks, blending ranges and the name.
#include <cstdint>
#include "psd/layer/PSDLayer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/io/PSDParseData.h"
#include "psd/layer/PSDLayerRead.h"
#include "psd/layer/PSDSmartObject.h"
#include "psd/vector/PSDPath.h"
#include "psd/vector/PSDVectorOrigination.h"
#include "psd/vector/PSDVectorStroke.h"

namespace PSD {

namespace {

// Bytes of the fixed part of a user mask: bounds, default colour, flags.
constexpr uint32_t kUserMaskBytes = 18;
// With the real mask after it: real flags, real background, real bounds.
constexpr uint32_t kRealMaskBytes = 36;

[[nodiscard]] bool ReadBounds(Kernel::InStream& s, int32_t& left, int32_t& top, int32_t& right,
                              int32_t& bottom, PSDLoadData& ld) {
    // Stored top, left, bottom, right.
    return ReadValue(s, top, ld) && ReadValue(s, left, ld) && ReadValue(s, bottom, ld) &&
           ReadValue(s, right, ld);
}

// A length byte, the bytes, then zeros so that the whole string fills a multiple of 4 bytes.
[[nodiscard]] bool ReadPascalString(Kernel::InStreamSeekable& s, std::string& out,
                                    PSDLoadData& ld) {
    uint8_t n;
    if (!ReadValue(s, n, ld)) return false;
    out.resize(n);
    if (n > 0 && !ReadBytes(s, out.data(), n, ld)) return false;
    uint32_t used = 1u + n;
    uint32_t pad = (4 - used % 4) % 4;
    return SkipBytes(s, pad, ld);
}

}  // namespace

// ---- PSDChannelInfo, PSDBlendRangeSet

bool PSDChannelInfo::Parse(Kernel::InStream& stream, bool isPSB, PSDLoadData& ld) {
    return ReadValue(stream, m_id, ld) && ReadLength(stream, isPSB, m_length, ld);
}

PSDBlendRangeSet::PSDBlendRangeSet() {
    std::memcpy(m_bytes, kDefault, sizeof m_bytes);
}

namespace {

// Each half reversed, as some little-endian writers store them (as if a 32-bit word).
void ReverseHalves(uint8_t (&bytes)[8]) {
    std::reverse(bytes, bytes + 4);
    std::reverse(bytes + 4, bytes + 8);
}

// A half whose ranges can be as stored: each pair low to high, black not above white.
bool PlausibleHalf(uint8_t const* b) { return b[0] <= b[1] && b[2] <= b[3] && b[0] <= b[3]; }

}  // namespace

bool PSDBlendRangeSet::Parse(Kernel::InStream& stream, PSDReport& report, bool bigEndian) {
    if (!stream.ReadExact(m_bytes, sizeof m_bytes)) {
        report.ErrorTruncated();
        return false;
    }
    // The editor's little-endian files keep the bytes in order; others reverse each half,
    // which shows as ranges running backwards.
    m_storedReversed = false;
    if (!bigEndian && !(PlausibleHalf(m_bytes) && PlausibleHalf(m_bytes + 4))) {
        uint8_t reversed[8];
        std::memcpy(reversed, m_bytes, sizeof reversed);
        ReverseHalves(reversed);
        if (PlausibleHalf(reversed) && PlausibleHalf(reversed + 4)) {
            std::memcpy(m_bytes, reversed, sizeof m_bytes);
            m_storedReversed = true;
        }
    }
    return true;
}

bool PSDBlendRangeSet::Save(Kernel::OutStream& stream, bool bigEndian) const {
    uint8_t bytes[8];
    std::memcpy(bytes, m_bytes, sizeof bytes);
    // Written back as the source stored them; the editor's order otherwise.
    if (!bigEndian && m_storedReversed) ReverseHalves(bytes);
    return stream.Write(bytes, sizeof bytes);
}

bool PSDBlendRangeSet::SaveDefault(Kernel::OutStream& stream, bool bigEndian) {
    return PSDBlendRangeSet().Save(stream, bigEndian);
}

// ---- PSDLayer

PSDLayer::PSDLayer(bool byteOrder) : m_swap(byteOrder) {}

PSDLayer::PSDLayer(LayerType type, String const& name) : m_name(name), m_sectionType(type) {
    // Groups blend their contents as they are unless told otherwise.
    if (type != kNormal) m_blendMode = BlendMode::PassThrough;
}

PSDLayer::~PSDLayer() = default;

void PSDLayer::ReleaseFromBackground() {
    m_background = false;
    m_lockTransparency = m_lockComposite = m_lockPosition = false;
}

bool PSDLayer::HoldsLayerOnlyContent() const {
    return m_userMask.m_present || m_realMask.m_present || m_vectorMask || m_adjustment ||
           (m_effects && !m_effects->m_effects.empty()) || m_fillOpacity < 255 || m_knockout ||
           !m_transparencyShapes || !m_blendClipped || m_blendInterior || m_opacity < 255 ||
           m_blendMode != BlendMode::Normal ||
           std::any_of(m_blendRanges.begin(), m_blendRanges.end(), [](PSDBlendRangeSet const& r) {
               return std::memcmp(r.m_bytes, PSDBlendRangeSet::kDefault, 8) != 0;
           });
}

bool PSDLayer::CanMoveBy(int64_t dx, int64_t dy) const {
    auto fits = [](int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
    auto rectFits = [&](int32_t l, int32_t t, int32_t r, int32_t b) {
        return fits(l + dx) && fits(r + dx) && fits(t + dy) && fits(b + dy);
    };
    return rectFits(m_left, m_top, m_right, m_bottom) &&
           rectFits(m_userMask.m_left, m_userMask.m_top, m_userMask.m_right, m_userMask.m_bottom) &&
           rectFits(m_realMask.m_left, m_realMask.m_top, m_realMask.m_right, m_realMask.m_bottom);
}

bool PSDLayer::MoveBy(int64_t dx, int64_t dy) {
    if (!CanMoveBy(dx, dy)) return false;
    auto move = [&](int32_t& l, int32_t& t, int32_t& r, int32_t& b) {
        l = int32_t(l + dx), r = int32_t(r + dx), t = int32_t(t + dy), b = int32_t(b + dy);
    };
    move(m_left, m_top, m_right, m_bottom);
    // A linked vector mask goes with the layer, and with it the shapes it was drawn from; an
    // unlinked one stays, and so does a user mask the editor drew from it.
    bool outlineMoves = m_vectorMask && !m_vectorMaskFlag1;
    if (outlineMoves) {
        m_vectorMask = m_vectorMask->Translated(double(dx), double(dy));
        for (auto& shape : m_vectorOrigination)
            if (shape) shape = shape->Translated(double(dx), double(dy));
    }
    if (!(m_userMask.m_fromRendering && m_vectorMask && !outlineMoves))
        move(m_userMask.m_left, m_userMask.m_top, m_userMask.m_right, m_userMask.m_bottom);
    move(m_realMask.m_left, m_realMask.m_top, m_realMask.m_right, m_realMask.m_bottom);
    if (m_smartObject) m_smartObject->MoveBy(double(dx), double(dy));
    // The text is placed by its transform's offset.
    if (auto tool = m_adjustment.DynamicCast<PSDAdjustmentTypeTool>()) {
        tool->m_transform[4] += double(dx), tool->m_transform[5] += double(dy);
        if (auto const& text = tool->GetText())
            text->m_transform[4] += double(dx), text->m_transform[5] += double(dy);
    }
    return true;
}

Kernel::Counted<PSDAdjustment> PSDLayer::GetAdjustment() const {
    return m_adjustment;
}

Kernel::Counted<PSDText> PSDLayer::GetText() const {
    auto tool = m_adjustment.DynamicCast<PSDAdjustmentTypeTool>();
    return tool ? tool->GetText() : nullptr;
}

Kernel::Counted<PSDLayerEffects> PSDLayer::GetEffects() const {
    return m_effects;
}

Kernel::Counted<PSDSmartObject> PSDLayer::GetSmartObject() const {
    return m_smartObject;
}

bool PSDLayer::FindChannel(int16_t id, size_t& index, uint64_t& position) const {
    if (!m_stream || m_dataPosition == 0) return false;
    uint64_t pos = m_dataPosition;
    for (size_t i = 0; i < m_channels.size(); ++i) {
        if (m_channels[i].m_id == id) {
            index = i;
            position = pos;
            return true;
        }
        pos = SaturatingAdd(pos, m_channels[i].m_length);
    }
    return false;
}

bool PSDLayer::GetChannelCompression(size_t index, uint16_t& code) const {
    if (!m_stream || m_dataPosition == 0 || index >= m_channels.size() ||
        m_channels[index].m_length < 2)
        return false;
    uint64_t pos = m_dataPosition;
    for (size_t i = 0; i < index; ++i) pos = SaturatingAdd(pos, m_channels[i].m_length);
    uint8_t b[2];
    if (m_stream->ReadAt(pos, b, 2) != 2) return false;
    code = m_swap ? uint16_t(b[0] << 8 | b[1]) : uint16_t(b[1] << 8 | b[0]);  // the source's byte order
    return true;
}

char const* PSDLayer::GetChannelCompressionName(size_t index) const {
    static char const* const kNames[] = {"raw", "rle", "zip", "zip_prediction"};
    uint16_t code;
    if (!GetChannelCompression(index, code) || code >= std::size(kNames)) return nullptr;
    return kNames[code];
}

PSDTaggedBlockInfo const* PSDLayer::FindBlock(uint32_t key) const {
    for (auto const& b : m_blocks)
        if (b.key == key) return &b;
    return nullptr;
}

void PSDLayer::SetImageDataPosition(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                    uint64_t position, uint16_t bitDepth, ParseData const& pd,
                                    uint32_t colourMode) {
    m_stream = stream;
    m_dataPosition = position;
    m_bitDepth = bitDepth;
    m_colourMode = colourMode;
    m_isPSB = pd.m_isPSB;
}

bool PSDLayer::Parse(Kernel::InStreamSeekable& stream, bool isFirst, ParseData& pd) {
    m_recordPosition = stream.GetPosition();
    uint16_t channelCount;
    if (!ReadBounds(stream, m_left, m_top, m_right, m_bottom, pd) ||
        !ReadValue(stream, channelCount, pd))
        return false;

    uint64_t entryBytes = pd.m_isPSB ? 10 : 6;
    if (!CheckAvailable(stream, entryBytes * channelCount, pd)) return false;
    m_channels.resize(channelCount);
    for (auto& c : m_channels)
        if (!c.Parse(stream, pd.m_isPSB, pd)) return false;

    // A first layer without a transparency channel is the flat background.
    m_background = isFirst && channelCount <= pd.m_colourChannels;

    uint32_t signature, blendKey;
    uint8_t filler;
    uint32_t extraLength;
    if (!ReadKey(stream, signature, pd) || !ReadKey(stream, blendKey, pd) ||
        !ReadValue(stream, m_opacity, pd))
        return false;
    uint8_t clipping;
    if (!ReadValue(stream, clipping, pd) || !ReadValue(stream, m_flags, pd) ||
        !ReadValue(stream, filler, pd) || !ReadValue(stream, extraLength, pd))
        return false;
    if (signature != Key("8BIM")) {
        pd.m_report.SetError(PSDError::kUnknownSignature, KeyToString(signature), 2);
        return false;
    }
    m_recordBlendKey = blendKey;
    if (!DecodeBlendMode(blendKey, m_blendMode, pd.m_report)) return false;
    m_clipping = clipping != 0;
    m_transparencyProtected = (m_flags & 0x01) != 0;
    m_visible = (m_flags & 0x02) == 0;

    if (extraLength == 0) return true;

    uint64_t start = stream.GetPosition();
    uint64_t end = start + extraLength;
    if (!ParseMaskInfo(stream, pd) || !ParseLayerBlendingRanges(stream, pd)) return false;
    if (!ReadPascalString(stream, m_pascalName, pd)) return false;
    auto encoding = Kernel::StringEncoding::Make(10029);
    m_name = encoding ? String(encoding->ToUnicode(m_pascalName.data(), m_pascalName.size()))
                      : String(m_pascalName);

    uint64_t pos = stream.GetPosition();
    if (pos > end) {
        pd.m_report.ErrorMisaligned();
        return false;
    }
    if (!ParseTaggedData(stream, end - pos, pd)) return false;
    // Other writers leave out the bottom layer's transparency yet give it masks or effects: a
    // layer, then, not the editor's background.
    if (m_background && HoldsLayerOnlyContent()) m_background = false;
    return SeekForwardTo(stream, end, pd);
}

bool PSDLayer::ParseMaskInfo(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t size;
    if (!ReadValue(stream, size, pd)) return false;
    m_maskDataSize = size;
    m_maskDataPosition = stream.GetPosition();
    return ParseMaskInfo(stream, size, pd);
}

bool PSDLayer::ParseMaskInfo(Kernel::InStreamSeekable& stream, uint32_t size, ParseData& pd) {
    if (size == 0) return true;
    if (size < kUserMaskBytes) {
        pd.m_report.ErrorParsing();
        return false;
    }
    uint64_t start = stream.GetPosition();
    uint8_t flags;
    if (!ReadBounds(stream, m_userMask.m_left, m_userMask.m_top, m_userMask.m_right,
                    m_userMask.m_bottom, pd) ||
        !ReadValue(stream, m_userMask.m_defaultColour, pd) || !ReadValue(stream, flags, pd))
        return false;
    m_userMask.m_present = true;
    m_userMaskFlags = flags;
    m_userMask.m_relative = (flags & 0x01) != 0;
    m_userMask.m_disabled = (flags & 0x02) != 0;
    m_userMask.m_invert = (flags & 0x04) != 0;
    m_userMask.m_fromRendering = (flags & 0x08) != 0;

    if (size >= kRealMaskBytes) {
        uint8_t realFlags;
        if (!ReadValue(stream, realFlags, pd) ||
            !ReadValue(stream, m_realMask.m_defaultColour, pd) ||
            !ReadBounds(stream, m_realMask.m_left, m_realMask.m_top, m_realMask.m_right,
                        m_realMask.m_bottom, pd))
            return false;
        m_realMask.m_present = true;
        m_realMaskFlags = realFlags;
        m_realMask.m_relative = (realFlags & 0x01) != 0;
        m_realMask.m_disabled = (realFlags & 0x02) != 0;
        m_realMask.m_invert = (realFlags & 0x04) != 0;
    }

    if (flags & 0x10) {
        if (!ReadValue(stream, m_maskParameters, pd)) return false;
        // User and vector values share one density and one feather; the later one stays.
        if (m_maskParameters & 0x01 && !ReadValue(stream, m_maskDensity, pd)) return false;
        if (m_maskParameters & 0x02 && !ReadValue(stream, m_maskFeather, pd)) return false;
        m_pixelMaskDensity = m_maskDensity, m_pixelMaskFeather = m_maskFeather;
        if (m_maskParameters & 0x04 && !ReadValue(stream, m_maskDensity, pd)) return false;
        if (m_maskParameters & 0x08 && !ReadValue(stream, m_maskFeather, pd)) return false;
    }
    return SeekForwardTo(stream, start + size, pd);
}

bool PSDLayer::ParseLayerBlendingRanges(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t length;
    if (!ReadValue(stream, length, pd)) return false;
    m_blendRangesLength = length;
    uint32_t count = length / 8;
    if (!CheckAvailable(stream, uint64_t(count) * 8, pd)) return false;
    m_blendRanges.resize(count);
    for (auto& r : m_blendRanges)
        if (!r.Parse(stream, pd.m_report, pd.Fixer().BigEndian())) return false;
    // A remainder below 8 bytes is left where it is; the name follows the whole sets.
    return true;
}

}  // namespace PSD
