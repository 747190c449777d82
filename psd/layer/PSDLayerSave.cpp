// Writing one layer: its record with masks, blending ranges, name and tagged blocks, and later its
// channel image data, which fills in the channel list the record left as placeholders.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "host/kernel/Dispatch.h"
#include "host/kernel/Memory.h"
#include "host/kernel/String.h"
#include "host/kernel/Zip.h"
#include "psd/adjustments/PSDAdjustment.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDResourceIO.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDBlockByteOrder.h"
#include "psd/layer/PSDChannelEncoder.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDLayerRead.h"
#include "psd/layer/PSDSmartObject.h"
#include "psd/vector/PSDPath.h"
#include "psd/vector/PSDVectorOrigination.h"
#include "psd/vector/PSDVectorStroke.h"

namespace PSD {

namespace {

// Layer names are stored in this code page; longer names are cut to what a length byte holds.
constexpr unsigned kNameCodePage = 10029;
constexpr size_t kMaxNameBytes = 255;
// Layer sides: PSD caps them at 30000 px, PSB at 300000.
constexpr int64_t kMaxLayerSidePSD = 30000;
constexpr int64_t kMaxLayerSidePSB = 300000;
// Stored blending range sets: grey plus up to four channels.
constexpr size_t kBlendRangeSets = 5;
// Channel buffers kept for the next layer: a layer's channels, transparency and masks included.
constexpr size_t kPooledBuffers = 7;
// The version written in "lyvr".
constexpr uint32_t kLayerVersion = 130;

enum class ChannelKind { Empty, Colour, Matte, UserMask, RealMask, Stored };

// One channel as it will be written: identifier, where its samples come from.
struct PlannedChannel {
    int16_t id;
    ChannelKind kind;
    unsigned sourceChannel = 0;  // sample index in the colour bitmap; the stored channel's index
    uint32_t matteBits = 0;      // the constant sample of a matte channel
};

uint32_t QuantiseUnit(float v, unsigned depth) {
    float c = v != v ? 0.0f : std::clamp(v, 0.0f, 1.0f);
    if (depth == 8) return uint32_t(std::lround(c * 255.0f));
    if (depth == 16) return uint32_t(std::lround(c * 65535.0f));
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return bits;
}

uint32_t Quantise16(uint16_t v, unsigned depth) {
    if (depth == 8) return (v + 128u) / 257u;
    if (depth == 16) return v;
    float f = v / 65535.0f;
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

// The matte colour in the document's colour mode, one sample per colour channel.
std::vector<uint32_t> MatteSamples(Renderer::Colour const& colour, uint32_t mode, unsigned depth) {
    switch (mode) {
        case uint32_t(ColourMode::RGB): {
            Renderer::RGBAF c = colour.ToRGBAF();
            return {QuantiseUnit(c.r, depth), QuantiseUnit(c.g, depth), QuantiseUnit(c.b, depth)};
        }
        case uint32_t(ColourMode::CMYK): {
            // Channels store 1 - ink (white is all full).
            Renderer::CMYKAF c = colour.ToCMYKAF();
            return {QuantiseUnit(1.0f - c.c, depth), QuantiseUnit(1.0f - c.m, depth),
                    QuantiseUnit(1.0f - c.y, depth), QuantiseUnit(1.0f - c.k, depth)};
        }
        case uint32_t(ColourMode::Lab): {
            Renderer::LABA16 c = colour.ToLABA16();
            return {Quantise16(c.l, depth), Quantise16(c.a, depth), Quantise16(c.b, depth)};
        }
        default:
            return {Quantise16(colour.ToGray16(), depth)};
    }
}

uint32_t FullSample(unsigned depth) {
    if (depth == 8) return 0xFF;
    if (depth == 16) return 0xFFFF;
    return 0x3F800000;  // 1.0f
}

// The size and channel layout of a bitmap a layer writes: one in memory, or, when the save
// decodes stored pixels, the one decoding will give (of the layer's bounds, in the layer format).
struct BitmapShape {
    bool present = false;
    uint32_t width = 0, height = 0;
    unsigned channels = 0;
    unsigned alphaChannel = 0;
};

BitmapShape ShapeOf(Raster::DynamicBitmap const& bm) {
    return {true, bm.GetWidth(), bm.GetHeight(), bm.GetChannelCount(),
            unsigned(bm.GetFormatInfo().alphaChannel)};
}

// False when stored channels have no layer format for the mode and depth: the save fails then,
// as decoding them would.
bool StoredShape(bool colour, uint32_t mode, uint16_t depth, int64_t width, int64_t height,
                 BitmapShape& out) {
    Raster::Format format;
    if (!(colour ? LayerBitmapFormat(mode, depth, format) : LayerMaskFormat(mode, depth, format)))
        return false;
    Raster::FormatInfo info;
    Raster::GetFormatInfo(format, info);
    bool area = width > 0 && height > 0;
    out = {true, area ? uint32_t(width) : 0, area ? uint32_t(height) : 0, info.channels,
           unsigned(info.alphaChannel)};
    return true;
}

struct LayerShapes {
    BitmapShape colour, userMask, realMask;
};

// A mask's shape: its bitmap in memory, else the stored one when stored is set.
bool MaskShapeOf(PSDLayer const& l, PSDLayerMask const& mask, Raster::DynamicBitmap const* bm,
                 bool stored, BitmapShape& out) {
    if (!mask.m_present) return true;
    if (bm) {
        out = ShapeOf(*bm);
        return true;
    }
    return !stored ||
           StoredShape(false, l.m_colourMode, l.m_bitDepth, mask.GetWidth(), mask.GetHeight(), out);
}

bool ShapesOf(PSDLayer const& l, bool decodeStored, LayerShapes& out) {
    out = {};
    if (l.m_bitmap)
        out.colour = ShapeOf(*l.m_bitmap);
    else if (decodeStored && l.HasStoredBitmap() &&
             !StoredShape(true, l.m_colourMode, l.m_bitDepth, l.GetWidth(), l.GetHeight(),
                          out.colour))
        return false;
    // The background layer has no masks.
    if (l.WrittenAsBackground()) return true;
    return MaskShapeOf(l, l.m_userMask, l.m_bitmapUserMask.Get(),
                       decodeStored && l.HasStoredUserMask(), out.userMask) &&
           MaskShapeOf(l, l.m_realMask, l.m_bitmapRealMask.Get(),
                       decodeStored && l.HasStoredRealMask(), out.realMask);
}

// A bitmap fits a rectangle of its size; rectangles without area take empty bitmaps.
bool Fits(BitmapShape const& bm, int64_t width, int64_t height) {
    if (width <= 0 || height <= 0) return bm.width == 0 || bm.height == 0;
    return bm.width == width && bm.height == height;
}

// Channels the model does not decode (past the mode's colour channels, or of unknown kinds) are
// written back as stored while the layer's pixels, bounds and depth are as read.
bool KeepsExtraChannels(PSDLayer const& l, SaveData const& sd, unsigned depth) {
    // The colour channels go where the stored ones were: decoded, or decoded for this save.
    bool asRead = l.m_bitmap ? l.IsDecodedBitmap(l.m_bitmap.Get()) : sd.m_decodeStored;
    return l.m_stream && l.m_dataPosition && asRead && depth == l.m_bitDepth &&
           sd.m_colourMode == l.m_colourMode && l.HasBoundsAsRead();
}

// A stored channel block in the form the encoders give: as it is, but with RLE row counts
// big-endian (as the source's byte order had them or not) and widened or narrowed when the file
// version changes their width. Samples are big-endian in either byte order.
bool ReadStoredChannel(PSDLayer const& l, size_t index, bool psb, EncodedChannel& out) {
    uint64_t position = l.m_dataPosition;
    for (size_t i = 0; i < index; ++i) position = SaturatingAdd(position, l.m_channels[i].m_length);
    uint64_t length = l.m_channels[index].m_length;
    if (length < 2 || length > Kernel::GetAllocationLimit()) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (l.m_stream->ReadAt(position, bytes.data(), bytes.size()) != bytes.size()) return false;
    bool big = l.GetSourceSwap() == (std::endian::native == std::endian::little);
    out.compression = big ? uint16_t(bytes[0] << 8 | bytes[1]) : uint16_t(bytes[1] << 8 | bytes[0]);
    out.pieces.clear();
    size_t from = l.m_isPSB ? 4 : 2, to = psb ? 4 : 2;
    size_t rows = l.GetHeight() > 0 ? size_t(l.GetHeight()) : 0;
    if (out.compression != kCompressionRLE || (from == to && big)) {
        out.data.assign(bytes.begin() + 2, bytes.end());
        return true;
    }
    if ((bytes.size() - 2) / from < rows) return false;
    out.data.clear();
    for (size_t r = 0; r < rows; ++r) {
        uint8_t const* c = &bytes[2 + r * from];
        uint32_t n = from == 4 ? (big ? uint32_t(c[0]) << 24 | c[1] << 16 | c[2] << 8 | c[3]
                                      : uint32_t(c[3]) << 24 | c[2] << 16 | c[1] << 8 | c[0])
                               : (big ? uint32_t(c[0] << 8 | c[1]) : uint32_t(c[1] << 8 | c[0]));
        if (to == 2 && n > 0xFFFF) return false;
        for (size_t b = to; b-- > 0;) out.data.push_back(uint8_t(n >> (8 * b)));
    }
    out.data.insert(out.data.end(), bytes.begin() + 2 + rows * from, bytes.end());
    return true;
}

// The channels of a layer in the order they are written; the record and the data writer agree
// through it. False when the bitmaps do not fit the layer.
bool PlanChannels(PSDLayer const& l, SaveData const& sd, unsigned depth,
                  std::vector<PlannedChannel>& out) {
    out.clear();
    uint32_t mode = sd.m_colourMode;
    LayerShapes shapes;
    if (!ShapesOf(l, sd.m_decodeStored, shapes)) return false;
    unsigned colour = ColourChannelCount(mode, false, true);
    bool background = l.WrittenAsBackground();
    if (shapes.colour.present) {
        BitmapShape const& bm = shapes.colour;
        if (bm.channels < colour + 1 || !Fits(bm, l.GetWidth(), l.GetHeight())) return false;
        if (!background)
            out.push_back({PSDChannelInfo::kTransparency, ChannelKind::Colour, bm.alphaChannel});
        for (unsigned c = 0; c < colour; ++c) out.push_back({int16_t(c), ChannelKind::Colour, c});
    } else if (l.m_matteColour) {
        if (l.GetWidth() <= 0 || l.GetHeight() <= 0) return false;
        std::vector<uint32_t> samples = MatteSamples(*l.m_matteColour, mode, depth);
        if (samples.size() != colour) return false;
        // A matte layer that is not the background is opaque.
        if (!background)
            out.push_back(
                {PSDChannelInfo::kTransparency, ChannelKind::Matte, 0, FullSample(depth)});
        for (unsigned c = 0; c < colour; ++c)
            out.push_back({int16_t(c), ChannelKind::Matte, 0, samples[c]});
    } else {
        if (!background) out.push_back({PSDChannelInfo::kTransparency, ChannelKind::Empty});
        for (unsigned c = 0; c < colour; ++c) out.push_back({int16_t(c), ChannelKind::Empty});
    }
    if (KeepsExtraChannels(l, sd, depth))
        for (size_t i = 0; i < l.m_channels.size(); ++i)
            if (l.m_channels[i].m_id >= int16_t(colour) ||
                l.m_channels[i].m_id < PSDChannelInfo::kRealUserMask)
                out.push_back({l.m_channels[i].m_id, ChannelKind::Stored, unsigned(i)});
    if (shapes.userMask.present) {
        if (!Fits(shapes.userMask, l.m_userMask.GetWidth(), l.m_userMask.GetHeight())) return false;
        out.push_back(
            {PSDChannelInfo::kUserMask, ChannelKind::UserMask, shapes.userMask.alphaChannel});
    }
    if (shapes.realMask.present) {
        if (!Fits(shapes.realMask, l.m_realMask.GetWidth(), l.m_realMask.GetHeight())) return false;
        out.push_back(
            {PSDChannelInfo::kRealUserMask, ChannelKind::RealMask, shapes.realMask.alphaChannel});
    }
    return true;
}

bool WriteBounds(Kernel::OutStream& s, ByteOrderFixer const& f, int32_t left, int32_t top,
                 int32_t right, int32_t bottom) {
    return WriteValue(s, top, f) && WriteValue(s, left, f) && WriteValue(s, bottom, f) &&
           WriteValue(s, right, f);
}

uint8_t MaskFlags(PSDLayerMask const& m, bool withFromRendering) {
    return uint8_t((m.m_relative ? 1 : 0) | (m.m_disabled ? 2 : 0) | (m.m_invert ? 4 : 0) |
                   (withFromRendering && m.m_fromRendering ? 8 : 0));
}

// Pascal string in the layer code page, cut to 255 bytes, zero-padded to a multiple of 4.
bool WriteLayerName(Kernel::OutStream& s, String const& name) {
    auto enc = Kernel::StringEncoding::Make(kNameCodePage);
    std::string bytes = enc ? enc->FromUnicode(name) : std::string(name);
    if (bytes.size() > kMaxNameBytes) bytes.resize(kMaxNameBytes);
    uint8_t n = uint8_t(bytes.size());
    if (!s.Write(&n, 1) || (!bytes.empty() && !s.Write(bytes.data(), bytes.size()))) return false;
    size_t used = 1 + bytes.size();
    return WriteZeros(s, (4 - used % 4) % 4);
}

bool WriteStoredName(Kernel::OutStream& s, std::string const& bytes) {
    uint8_t n = uint8_t(bytes.size());
    if (!s.Write(&n, 1) || (!bytes.empty() && !s.Write(bytes.data(), bytes.size()))) return false;
    return WriteZeros(s, (4 - (1 + bytes.size()) % 4) % 4);
}

// "8BIM", key, length 4, one value byte and three zero bytes.
bool WriteSmallBlock(Kernel::OutStream& s, ByteOrderFixer const& f, uint32_t key, uint8_t value) {
    return WriteKey(s, Key("8BIM"), f) && WriteKey(s, key, f) && WriteValue<uint32_t>(s, 4, f) &&
           s.Write(&value, 1) && WriteZeros(s, 3);
}

bool WriteBlock32(Kernel::OutStream& s, ByteOrderFixer const& f, uint32_t key, uint32_t value) {
    return WriteKey(s, Key("8BIM"), f) && WriteKey(s, key, f) && WriteValue<uint32_t>(s, 4, f) &&
           WriteValue(s, value, f);
}

}  // namespace

// ---- The record

bool PSDLayer::Save(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                    uint64_t& channelListPosition) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (m_sectionType == kNormal) {
        int64_t limit = sd.m_isPSB ? kMaxLayerSidePSB : kMaxLayerSidePSD;
        if (GetWidth() > limit || GetHeight() > limit) return false;
    }
    std::vector<PlannedChannel> plan;
    if (!PlanChannels(*this, sd, sd.m_depth, plan)) return false;

    bool placed = m_bitmap || m_matteColour || (sd.m_decodeStored && HasStoredBitmap());
    if (!WriteBounds(stream, f, placed ? m_left : 0, placed ? m_top : 0, placed ? m_right : 0,
                     placed ? m_bottom : 0))
        return false;
    if (!WriteValue(stream, uint16_t(plan.size()), f)) return false;
    channelListPosition = stream.GetPosition();
    if (!WriteZeros(stream, plan.size() * (sd.m_isPSB ? 10 : 6))) return false;

    uint32_t blendKey;
    if (!EncodeBlendMode(m_blendMode, blendKey)) return false;
    // A layer that was read keeps its other flag bits as stored (the pixels-irrelevant bit marks
    // shape and fill layers for other readers); the model sets visibility and protection.
    uint8_t kept = m_stream ? uint8_t(m_flags & ~0x03) : uint8_t(0x80);
    uint8_t flags = uint8_t(kept | (m_transparencyProtected ? 0x01 : 0) | (m_visible ? 0 : 0x02) |
                            ((m_adjustment || m_sectionType != kNormal) ? 0x10 : 0));
    uint8_t clipping = m_clipping ? 1 : 0;
    if (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, blendKey, f) ||
        !WriteValue(stream, m_opacity, f) || !WriteValue(stream, clipping, f) ||
        !WriteValue(stream, flags, f) || !WriteZeros(stream, 1))
        return false;

    // Extra data: masks, blending ranges, name, tagged blocks; its length never counts padding.
    SectionSizer extra;
    if (!extra.Begin(stream, f, false)) return false;
    bool background = WrittenAsBackground();
    bool storedMask = m_stream && !background && m_userMask.m_present && m_maskDataSize > 0 &&
                      MaskDigest() == m_maskBaseline;
    // A record of the other byte order is converted; one that does not convert is written from
    // the model.
    std::vector<uint8_t> convertedMask;
    if (storedMask && m_swap != f.m_swap) {
        std::vector<uint8_t> stored(m_maskDataSize);
        storedMask = m_stream->ReadAt(m_maskDataPosition, stored.data(), stored.size()) == stored.size() &&
                     SwapMaskDataByteOrder(stored, m_swap == (std::endian::native == std::endian::little),
                                           convertedMask);
    }
    if (storedMask && !convertedMask.empty()) {
        if (!WriteValue(stream, m_maskDataSize, f) || !stream.Write(convertedMask.data(), convertedMask.size()))
            return false;
    } else if (storedMask) {
        if (!WriteValue(stream, m_maskDataSize, f) ||
            !CopyStoredBytes(*m_stream, m_maskDataPosition, m_maskDataSize, stream))
            return false;
    } else if (background || !m_userMask.m_present) {
        if (m_realMask.m_present && !background && !m_userMask.m_present) return false;
        if (!WriteValue<uint32_t>(stream, 0, f)) return false;
    } else {
        PSDLayerMask const& u = m_userMask;
        PSDLayerMask const& r = m_realMask;
        // Densities and feathers follow the masks (flag bit 4) when any is set, so that moving
        // or editing a mask keeps them; the editor pads the whole to four bytes.
        uint8_t const params = m_maskParameters & 0x0F;
        uint32_t used = r.m_present ? 36 : 18;
        if (params)
            used += 1 + ((params & 0x01) ? 1 : 0) + ((params & 0x02) ? 8 : 0) +
                    ((params & 0x04) ? 1 : 0) + ((params & 0x08) ? 8 : 0);
        uint32_t size = std::max<uint32_t>(20, (used + 3) / 4 * 4);
        uint8_t flags = uint8_t(MaskFlags(u, true) | (params ? 0x10 : 0));
        if (!WriteValue(stream, size, f) ||
            !WriteBounds(stream, f, u.m_left, u.m_top, u.m_right, u.m_bottom) ||
            !WriteValue(stream, u.m_defaultColour, f) || !WriteValue(stream, flags, f))
            return false;
        if (r.m_present && (!WriteValue(stream, MaskFlags(r, false), f) ||
                            !WriteValue(stream, r.m_defaultColour, f) ||
                            !WriteBounds(stream, f, r.m_left, r.m_top, r.m_right, r.m_bottom)))
            return false;
        if (params) {
            // The pixel mask's values under bits 0 and 1, the vector mask's under 2 and 3.
            if (!WriteValue(stream, params, f) ||
                ((params & 0x01) && !WriteValue(stream, m_pixelMaskDensity, f)) ||
                ((params & 0x02) && !WriteValue(stream, m_pixelMaskFeather, f)) ||
                ((params & 0x04) && !WriteValue(stream, m_maskDensity, f)) ||
                ((params & 0x08) && !WriteValue(stream, m_maskFeather, f)))
                return false;
        }
        if (!WriteZeros(stream, size - used)) return false;
    }
    if (!SaveLayerBlendingRanges(stream, sd)) return false;
    // The stored name bytes stay while the name does: re-encoding loses what the code page lacks.
    bool storedName = m_stream && m_name == m_readName && m_pascalName.size() <= kMaxNameBytes;
    if (storedName ? !WriteStoredName(stream, m_pascalName) : !WriteLayerName(stream, m_name))
        return false;
    if (!SaveTaggedData(stream, sd)) return false;
    return extra.End();
}

bool PSDLayer::SaveLayerBlendingRanges(Kernel::OutStreamSeekable& stream,
                                       SaveData const& sd) const {
    if (!WriteValue<uint32_t>(stream, kBlendRangeSets * 8, sd.m_fixer)) return false;
    size_t stored = std::min(m_blendRanges.size(), kBlendRangeSets);
    for (size_t i = 0; i < stored; ++i)
        if (!m_blendRanges[i].Save(stream, sd.m_fixer.BigEndian())) return false;
    for (size_t i = stored; i < kBlendRangeSets; ++i)
        if (!PSDBlendRangeSet::SaveDefault(stream, sd.m_fixer.BigEndian())) return false;
    return true;
}

// ---- Tagged blocks

namespace {

// Field values gathered byte by byte, then hashed.
struct Digest {
    std::vector<uint8_t> bytes;
    template <class T>
    void Add(T v) {
        auto const* p = reinterpret_cast<uint8_t const*>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
    }
    uint64_t Hash() const { return HashBytes(bytes.data(), bytes.size()); }
};

}  // namespace

uint64_t PSDLayer::MaskDigest() const {
    Digest d;
    for (PSDLayerMask const* m : {&m_userMask, &m_realMask}) {
        for (auto v : {m->m_left, m->m_top, m->m_right, m->m_bottom}) d.Add(v);
        d.Add(uint8_t(m->m_present | m->m_relative << 1 | m->m_disabled << 2 | m->m_invert << 3 |
                      m->m_fromRendering << 4));
        d.Add(m->m_defaultColour);
    }
    d.Add(m_maskParameters), d.Add(m_maskDensity), d.Add(m_maskFeather);
    return d.Hash();
}

uint64_t PSDLayer::RecordDigest() const {
    Digest d;
    for (auto v : {m_left, m_top, m_right, m_bottom}) d.Add(v);
    d.Add(MaskDigest());
    d.Add(uint32_t(m_blendMode)), d.Add(m_opacity);
    d.Add(uint8_t(m_visible | m_clipping << 1 | m_transparencyProtected << 2 | m_background << 3));
    d.Add(uint32_t(m_channels.size()));
    for (auto const& r : m_blendRanges) d.bytes.insert(d.bytes.end(), r.m_bytes, r.m_bytes + 8);
    d.bytes.insert(d.bytes.end(), m_name.begin(), m_name.end());
    return d.Hash();
}

bool PSDLayer::IsEdited(SaveData const& sd) const {
    if (!m_stream) return true;
    Kernel::Counted<Raster::DynamicBitmap> const* caches[3] = {&m_bitmap, &m_bitmapUserMask,
                                                               &m_bitmapRealMask};
    for (int i = 0; i < 3; ++i)
        if (*caches[i] && caches[i]->Get() != m_decoded[i]) return true;
    if (RecordDigest() != m_recordBaseline) return true;
    std::vector<PSDModelBlock> model;
    // The identifier is not the layer's content: compared as the one it was read with.
    if (!SaveModelBlocks(sd, m_layerId, model)) return true;
    if (model.size() != m_blockBaseline.size()) return true;
    for (size_t i = 0; i < model.size(); ++i)
        if (model[i].key != m_blockBaseline[i].key || model[i].hash != m_blockBaseline[i].hash)
            return true;
    return false;
}

bool PSDLayer::KeepsStoredBlocks(ByteOrderFixer const& out) const {
    // Stored bodies hold numbers in their source's byte order: they are copied only into a file
    // of that order, and converted, where their layout is known, into one of the other.
    return m_stream && m_swap == out.m_swap && !m_blocks.empty();
}

bool PSDLayer::ConvertsStoredBlocks(ByteOrderFixer const& out) const {
    return m_stream && m_swap != out.m_swap && !m_blocks.empty();
}

bool PSDLayer::StoredBlockInOrder(PSDTaggedBlockInfo const& b, ByteOrderFixer const& out,
                                  std::vector<uint8_t>& body) const {
    body.clear();
    return m_stream && StoredBodyInOrder(*m_stream, m_swap, b, out, body);
}

bool PSDLayer::SaveModelBlocks(SaveData const& sd, uint32_t layerId,
                               std::vector<PSDModelBlock>& out) const {
    auto memory = Kernel::MemoryInOutStreamBase::Create();
    Kernel::OutStreamSeekable& stream = *memory;
    auto done = [&] { return SplitModelBlocks(memory->GetData(), out, sd.m_fixer.BigEndian()); };
    ByteOrderFixer const& f = sd.m_fixer;
    bool background = WrittenAsBackground();
    // Adjustment, effects, vector mask, vector fill and stroke come first on non-background
    // layers; those whose owners do not write them yet are stored blocks, copied back.
    if (!background && m_adjustment) {
        // An adjustment the model cannot write (a version it does not read) stays as stored.
        auto adjustment = Kernel::MemoryInOutStreamBase::Create();
        if (m_adjustment->IsRead() && m_adjustment->Save(*adjustment, sd)) {
            auto const& bytes = adjustment->GetData();
            if (!stream.Write(bytes.data(), bytes.size())) return false;
        } else if (!(KeepsStoredBlocks(f) || ConvertsStoredBlocks(f)) || !FindBlock(m_adjustment->GetKey())) {
            return false;
        }
    }
    if (!background && m_effects) {
        // Effects the model cannot write (a colour no record holds) stay as stored when they can.
        auto effects = Kernel::MemoryInOutStreamBase::Create();
        if (m_effects->Save(*effects, sd)) {
            auto const& bytes = effects->GetData();
            if (!stream.Write(bytes.data(), bytes.size())) return false;
        } else if (!HasStoredEffects(f)) {
            return false;
        }
    }
    if (!background && m_vectorMask) {
        // A mask the model cannot write (no subpath) stays as stored when it can.
        auto mask = Kernel::MemoryInOutStreamBase::Create();
        if (SaveVectorMaskBlocks(*mask, sd)) {
            auto const& bytes = mask->GetData();
            if (!stream.Write(bytes.data(), bytes.size())) return false;
        } else if (!(KeepsStoredBlocks(f) || ConvertsStoredBlocks(f)) ||
                   !(FindBlock(Key("vmsk")) || FindBlock(Key("vsms")))) {
            return false;
        }
    }

    // "luni": the name as UTF-16, padded to 4 inside the length.
    if (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, Key("luni"), f)) return false;
    SectionSizer luni;
    if (!luni.Begin(stream, f, false) || !WriteUnicodeString(stream, f, m_name) ||
        !luni.End(4, true))
        return false;

    if (!WriteBlock32(stream, f, Key("lyid"), layerId)) return false;

    if (!background) {
        if (m_fillOpacity < 255 && !WriteSmallBlock(stream, f, Key("iOpa"), m_fillOpacity))
            return false;
        if (!WriteSmallBlock(stream, f, Key("clbl"), m_blendClipped ? 1 : 0) ||
            !WriteSmallBlock(stream, f, Key("infx"), m_blendInterior ? 1 : 0) ||
            !WriteSmallBlock(stream, f, Key("knko"), m_knockout))
            return false;
        if (!m_transparencyShapes && !WriteSmallBlock(stream, f, Key("tsly"), 0)) return false;
        bool maskForEffects =
            m_realMask.m_present || (m_userMask.m_present && !m_userMask.m_fromRendering);
        if (m_layerMaskHidesEffects && maskForEffects &&
            !WriteSmallBlock(stream, f, Key("lmgm"), 1))
            return false;
        if (m_vectorMaskHidesEffects && m_vectorMask && !WriteSmallBlock(stream, f, Key("vmgm"), 1))
            return false;
    }

    uint32_t locks =
        (m_lockTransparency ? 1u : 0u) + (m_lockComposite ? 2u : 0u) + (m_lockPosition ? 4u : 0u);
    if (!WriteBlock32(stream, f, Key("lspf"), locks)) return false;
    if (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, Key("lclr"), f) ||
        !WriteValue<uint32_t>(stream, 8, f) || !WriteValue(stream, m_sheetColour, f) ||
        !WriteZeros(stream, 6))
        return false;
    if (!WriteBlock32(stream, f, Key("lyvr"), kLayerVersion)) return false;

    if (m_sectionType == kGroupEnd) {
        if (!WriteBlock32(stream, f, m_sectionKey, 3)) return false;
    } else if (m_sectionType == kOpenGroup || m_sectionType == kClosedGroup) {
        uint32_t blendKey;
        if (!EncodeBlendMode(m_blendMode, blendKey)) return false;
        if (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, m_sectionKey, f) ||
            !WriteValue<uint32_t>(stream, 16, f) ||
            !WriteValue(stream, uint32_t(m_sectionType), f) || !WriteKey(stream, Key("8BIM"), f) ||
            !WriteKey(stream, blendKey, f) || !WriteValue<uint32_t>(stream, m_sceneGroup ? 1 : 0, f))
            return false;
    }
    if (background) return done();

    // "brst": indexes of the restricted channels, in the order of the channel list.
    std::vector<uint32_t> restricted;
    for (size_t i = 0; i < m_channels.size(); ++i)
        if (m_channels[i].m_restricted) restricted.push_back(uint32_t(i));
    if (!restricted.empty()) {
        if (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, Key("brst"), f)) return false;
        SectionSizer brst;
        if (!brst.Begin(stream, f, false)) return false;
        for (uint32_t i : restricted)
            if (!WriteValue(stream, i, f)) return false;
        if (!brst.End(4, true)) return false;
    }
    if (m_alignedRendering && !WriteBlock32(stream, f, Key("sn2P"), 1)) return false;
    if (!m_vectorOrigination.empty() && !PSDVectorOriginationData::Save(stream, sd, m_vectorOrigination))
        return false;
    return done();
}

bool PSDLayer::SaveVectorMaskBlocks(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    Kernel::SizeT<int> size{int(std::min<uint32_t>(sd.m_width, INT32_MAX)),
                            int(std::min<uint32_t>(sd.m_height, INT32_MAX))};
    bool stroke = bool(m_vectorStroke);
    if (stroke && !m_vectorStroke->SaveFill(stream, sd)) return false;
    if (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, Key(stroke ? "vsms" : "vmsk"), f)) return false;
    SectionSizer block;
    // The word as read while the flags stay as they were: it keeps the bits the flags do not hold.
    uint32_t stored = m_vectorMaskFlagsStored;
    bool asRead = ((stored & 1) != 0) == m_vectorMaskFlag0 && ((stored & 2) != 0) == m_vectorMaskFlag1 &&
                  ((stored & 3) != 0) == m_vectorMaskFlagAny;
    uint32_t flags = asRead ? stored
                     : m_vectorMaskFlagAny ? 3u
                                           : (m_vectorMaskFlag0 ? 1u : 0u) + (m_vectorMaskFlag1 ? 2u : 0u);
    if (!block.Begin(stream, f, false) || !WriteValue(stream, uint32_t(3), f) || !WriteValue(stream, flags, f) ||
        !SavePaths(stream, f, *m_vectorMask, Raster::AffineTransform::Params{}, size) || !block.End(4, true))
        return false;
    return !stroke || m_vectorStroke->SaveStroke(stream, sd);
}

namespace {

constexpr uint32_t kNotStored = UINT32_MAX;

bool IsEffectsKey(uint32_t key) {
    return key == Key("lrFX") || key == Key("lfx2") || key == Key("lfxs") || key == Key("lmfx");
}

// The stored keys a save merges with the model's blocks, with the index of each in the stored
// list (kNotStored for a model block put in its place). Effects as read keep their stored blocks,
// and a block the model adds (the descriptor block beside a legacy one) goes before the first
// of them: a descriptor block after the legacy one would add its effects to the legacy ones on
// reading. Edited effects go together, descriptor block first, where the first stored one was.
void PlanStoredKeys(std::vector<PSDTaggedBlockInfo> const& blocks,
                    std::vector<PSDModelBlock> const& model,
                    std::vector<PSDBlockBaseline> const& baseline, std::vector<uint32_t>& keys,
                    std::vector<uint32_t>& index) {
    std::vector<uint32_t> modelKeys;
    bool asRead = true;
    for (auto const& m : model) {
        if (!IsEffectsKey(m.key)) continue;
        modelKeys.push_back(m.key);
        bool found = false;
        for (auto const& b : baseline) found = found || (b.key == m.key && b.hash == m.hash);
        asRead = asRead && found;
    }
    bool baselineEffects = false;
    for (auto const& b : baseline) baselineEffects = baselineEffects || IsEffectsKey(b.key);
    auto writes = [&](uint32_t key) {
        return std::find(modelKeys.begin(), modelKeys.end(), key) != modelKeys.end();
    };
    auto stored = [&](uint32_t key) {
        for (auto const& b : blocks)
            if (b.key == key) return true;
        return false;
    };
    bool placed = false;
    for (size_t i = 0; i < blocks.size(); ++i) {
        uint32_t key = blocks[i].key;
        if (!IsEffectsKey(key) || (modelKeys.empty() && !baselineEffects)) {
            keys.push_back(key);
            index.push_back(uint32_t(i));
            continue;
        }
        if (!placed) {
            placed = true;
            for (uint32_t k : modelKeys)
                if (!asRead || !stored(k)) {
                    keys.push_back(k);
                    index.push_back(kNotStored);
                }
        }
        if (asRead && writes(key)) {
            keys.push_back(key);
            index.push_back(uint32_t(i));
        }
    }
}

}  // namespace

bool PSDLayer::HasStoredEffects(ByteOrderFixer const& out) const {
    if (!KeepsStoredBlocks(out) && !ConvertsStoredBlocks(out)) return false;
    for (auto const& b : m_blocks)
        if (IsEffectsKey(b.key)) return true;
    return false;
}

bool PSDLayer::SaveTaggedData(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    std::vector<PSDModelBlock> model;
    if (!SaveModelBlocks(sd, sd.NextLayerId(), model)) return false;
    std::vector<uint32_t> keys, index;
    bool convert = ConvertsStoredBlocks(sd.m_fixer);
    bool stored = KeepsStoredBlocks(sd.m_fixer) || convert;
    if (stored) PlanStoredKeys(m_blocks, model, m_blockBaseline, keys, index);
    ByteOrderFixer const& f = sd.m_fixer;
    return MergeModelBlocks(stream, keys, model, m_blockBaseline, [&](size_t k) {
        if (index[k] == kNotStored) {
            // A model block in a stored block's place is written from the model, as read or not.
            for (auto const& m : model)
                if (m.key == keys[k]) return stream.Write(m.bytes.data(), m.bytes.size());
            return false;
        }
        // Stored bodies go back as they were; only the length's width follows the file version.
        PSDTaggedBlockInfo const& b = m_blocks[index[k]];
        bool wide = sd.m_isPSB && IsWideLayerKey(b.key);
        if (!wide && b.length > 0xFFFFFFFFull) return false;
        // Of the other byte order: converted, or left out when its layout is not known (the save
        // driver names what it leaves out). A conversion keeps the body's length.
        std::vector<uint8_t> body;
        if (convert && !StoredBlockInOrder(b, f, body)) {
            // The model's block of that key takes its place (it was unchanged, so the same).
            for (auto const& m : model)
                if (m.key == b.key) return stream.Write(m.bytes.data(), m.bytes.size());
            return true;
        }
        bool header = WriteKey(stream, b.signature, f) && WriteKey(stream, b.key, f) &&
                      (wide ? WriteValue<uint64_t>(stream, b.length, f)
                            : WriteValue<uint32_t>(stream, uint32_t(b.length), f));
        // A moved placed layer's corners go with it, in bytes otherwise as stored.
        if (m_smartObject && m_smartObject->IsMoved() && PSDSmartObject::HoldsCorners(b.key)) {
            if (!convert && !StoredBlockInOrder(b, f, body)) return false;
            m_smartObject->MoveStoredCorners(b.key, f, body);
            return header && stream.Write(body.data(), body.size());
        }
        if (!convert) return header && CopyStoredBytes(*m_stream, b.position, b.length, stream);
        return header && stream.Write(body.data(), body.size());
    }, /*addUnchanged=*/!stored, sd.m_fromModel);
}

// ---- Channel image data

bool StoredPixels::TakesRows(PSDLayer const& l, SaveData const& sd) {
    if (!sd.m_decodeStored || !sd.m_compress || sd.m_depth != 16 || l.m_bitmap || !l.GetSourceSwap() ||
        l.m_bitDepth != 16 || l.m_colourMode != sd.m_colourMode || l.GetWidth() <= 0 ||
        l.GetHeight() <= 0)
        return false;
    Raster::Format format;
    Raster::FormatInfo info;
    return LayerBitmapFormat(l.m_colourMode, 16, format) && Raster::GetFormatInfo(format, info) &&
           info.bytesPerSample == 2 && l.HasStoredBitmap();
}

namespace {

// rows[i] receives the predicted rows of bitmap channel targets[i], straight from its stored
// block, and size their length. False when a block is missing, cut short, or of a kind this does
// not take (the caller then decodes the bitmap), and when cancelled or short of memory.
bool PredictStoredRows(PSDLayer const& l, std::vector<unsigned> const& targets, bool const* cancel,
                       std::vector<std::vector<uint8_t>>& rows, size_t& size) {
    Raster::Format format;
    Raster::FormatInfo info;
    if (!LayerBitmapFormat(l.m_colourMode, l.m_bitDepth, format) ||
        !Raster::GetFormatInfo(format, info) || info.bytesPerSample != 2)
        return false;
    size_t h = size_t(l.GetHeight()), rowBytes = size_t(l.GetWidth()) * 2;
    uint64_t raw;
    if (!Kernel::CheckedMul(rowBytes, h, raw) || raw > Kernel::GetAllocationLimit()) return false;
    size = size_t(raw);
    try {
        PSDLoadData ld(l.GetSourceSwap());
        std::vector<ChannelJob> jobs;
        std::vector<ChannelBytes> bytes;
        std::vector<int> jobOfTarget;
        if (!l.LocateBitmapChannels(info, jobs, jobOfTarget, bytes, ld)) return false;
        std::vector<ChannelJob const*> picked;
        for (unsigned t : targets) {
            if (t >= jobOfTarget.size() || jobOfTarget[t] < 0) return false;
            ChannelJob const& j = jobs[size_t(jobOfTarget[t])];
            if (!j.bigEndian || j.sampleBytes != 2 ||
                (j.compression != kCompressionRaw && j.compression != kCompressionZip &&
                 j.compression != kCompressionZipPrediction))
                return false;
            picked.push_back(&j);
        }
        GrowScratchRows(rows, picked.size(), size);
        std::vector<char> ok(picked.size(), 0);
        Kernel::Dispatch::DispatchParallelFor(picked.size(), [&](size_t i) {
            if (cancel && *cancel) return;
            ChannelJob const& j = *picked[i];
            uint8_t* dst = rows[i].data();
            if (j.compression == kCompressionRaw) {
                std::memcpy(dst, j.data, size);
            } else {
                // As decoding does, a stream that goes on past the channel is read only as far
                // as the channel needs.
                Kernel::InflateStatus st = Kernel::ZlibInflate(j.data, size_t(j.size), dst, size);
                if (st != Kernel::InflateStatus::Ok && st != Kernel::InflateStatus::TooLong) return;
            }
            if (j.compression != kCompressionZipPrediction)
                Kernel::PredictRows(dst, h, rowBytes, 2);
            ok[i] = 1;
        });
        for (char o : ok)
            if (!o) return false;
        return true;
    } catch (std::bad_alloc const&) {
        return false;
    }
}

}  // namespace

StoredPixels::StoredPixels(PSDLayer const& l, SaveData const& sd, bool const* cancel)
    : m_layer(l), m_sd(sd) {
    if (!sd.m_decodeStored) return;
    PSDReport report;
    Kernel::Counted<Raster::DynamicBitmap> bm;
    // A save reports failure by its result: a decoder short of memory fails it too.
    try {
        std::vector<PlannedChannel> plan;
        if (TakesRows(l, sd) && PlanChannels(l, sd, sd.m_depth, plan)) {
            std::vector<unsigned> targets;
            for (auto const& p : plan)
                if (p.kind == ChannelKind::Colour) targets.push_back(p.sourceChannel);
            {
                std::lock_guard<std::mutex> g(sd.m_rowSetsLock);
                if (!sd.m_rowSets.empty()) {
                    m_rows = std::move(sd.m_rowSets.back());
                    sd.m_rowSets.pop_back();
                }
            }
            m_fromRows =
                !targets.empty() && PredictStoredRows(l, targets, cancel, m_rows, m_rowsSize);
            // Otherwise the blocks are damaged or of kinds the rows do not serve: the decoder
            // deals with them.
        }
        if (cancel && *cancel) {
            m_ok = false;
            return;
        }
        m_colour = !m_fromRows && !l.m_bitmap && l.HasStoredBitmap();
        if (m_colour && !l.GetBitmap(bm, report)) m_ok = false;
        if (l.WrittenAsBackground()) return;
        m_user = l.m_userMask.m_present && !l.m_bitmapUserMask && l.HasStoredUserMask();
        if (m_ok && m_user && !l.GetBitmapUserMask(bm, report)) m_ok = false;
        m_real = l.m_realMask.m_present && !l.m_bitmapRealMask && l.HasStoredRealMask();
        if (m_ok && m_real && !l.GetBitmapRealMask(bm, report)) m_ok = false;
    } catch (std::bad_alloc const&) {
        m_ok = false;
    }
}

StoredPixels::~StoredPixels() {
    if (m_colour) m_layer.m_bitmap = nullptr;
    if (m_user) m_layer.m_bitmapUserMask = nullptr;
    if (m_real) m_layer.m_bitmapRealMask = nullptr;
    if (m_rows.empty()) return;
    // Stored rows are taken in line, so one set is in use at a time; the pool holds a spare.
    std::lock_guard<std::mutex> g(m_sd.m_rowSetsLock);
    if (m_sd.m_rowSets.size() < 2) m_sd.m_rowSets.push_back(std::move(m_rows));
}

bool PSDLayer::SaveImageData(Kernel::OutStreamSeekable& stream, uint16_t bitDepth,
                             SaveData const& sd, uint64_t channelListPosition,
                             bool const* cancel) const {
    std::vector<EncodedChannel> blocks;
    bool ok = EncodeImageData(bitDepth, sd, cancel, blocks) &&
              WriteImageData(stream, bitDepth, sd, channelListPosition, blocks);
    RecycleImageData(sd, blocks);
    return ok;
}

bool PSDLayer::EncodeImageData(uint16_t bitDepth, SaveData const& sd, bool const* cancel,
                               std::vector<EncodedChannel>& blocks,
                               StoredPixels const* stored) const {
    std::vector<PlannedChannel> plan;
    if (!PlanChannels(*this, sd, bitDepth, plan)) return false;
    if (cancel && *cancel) return false;
    std::optional<StoredPixels> own;
    if (!stored) stored = &own.emplace(*this, sd, cancel);
    if (!stored->Ok()) return false;

    // Channels are independent: encode them on the worker threads.
    // Buffers come from the save's pool, so fresh pages are not faulted in for every channel.
    blocks.resize(plan.size());
    for (auto& b : blocks) {
        if (sd.m_channelBuffers.empty()) break;
        b.data = std::move(sd.m_channelBuffers.back());
        sd.m_channelBuffers.pop_back();
    }
    std::vector<char> ok(plan.size(), 0);
    std::vector<size_t> colour;
    for (size_t i = 0; i < plan.size(); ++i)
        if (plan[i].kind == ChannelKind::Colour) colour.push_back(i);
    std::vector<unsigned> channels;
    std::vector<EncodedChannel*> outs;
    for (size_t i : colour) {
        channels.push_back(plan[i].sourceChannel);
        outs.push_back(&blocks[i]);
    }
    if (stored->HasRows()) {
        // The rows are of the save's depth; a layer written at another leaves its bitmap unread.
        if (bitDepth != sd.m_depth) return false;
        if (!DeflatePredicted(stored->Rows(), stored->RowsSize(), cancel, outs)) return false;
        for (size_t i : colour) ok[i] = 1;
    } else if (bitDepth == 16 && sd.m_compress && m_bitmap && colour.size() > 1) {
        // The colour channels' predicted rows in one pass over the pixels, then deflated.
        if (!EncodeChannelsZip(*m_bitmap, channels, bitDepth, cancel, outs, sd.m_predicted))
            return false;
        for (size_t i : colour) ok[i] = 1;
    } else if (bitDepth == 8 && m_bitmap && m_bitmap->GetBytesPerSample() == 1 &&
               colour.size() > 1) {
        // RLE, with or without compression: the colour channels pack band by band straight from
        // the pixels.
        std::vector<char> done;
        if (!EncodeChannelsRLE(*m_bitmap, channels, sd.m_isPSB, cancel, outs, done)) return false;
        for (size_t j = 0; j < colour.size(); ++j) ok[colour[j]] = done[j];
    }
    Kernel::Dispatch::DispatchParallelFor(plan.size(), [&](size_t i) {
        if (ok[i]) return;  // packed above
        PlannedChannel const& p = plan[i];
        EncodedChannel& out = blocks[i];
        switch (p.kind) {
            case ChannelKind::Empty:
                out.compression = kCompressionRaw;  // the code alone, no rows
                out.data.clear();
                ok[i] = 1;
                break;
            case ChannelKind::Matte:
                ok[i] = EncodeMatteChannel(uint32_t(GetWidth()), uint32_t(GetHeight()), bitDepth,
                                           p.matteBits, out, sd.m_isPSB);
                break;
            case ChannelKind::Colour:
                ok[i] = EncodeChannel({m_bitmap.Get(), p.sourceChannel, bitDepth}, sd.m_isPSB,
                                      sd.m_compress, cancel, out);
                break;
            case ChannelKind::UserMask:
                ok[i] = EncodeChannel(
                    {m_bitmapUserMask.Get(), p.sourceChannel, bitDepth, m_userMask.m_invert},
                    sd.m_isPSB, sd.m_compress, cancel, out);
                break;
            case ChannelKind::RealMask:
                ok[i] = EncodeChannel(
                    {m_bitmapRealMask.Get(), p.sourceChannel, bitDepth, m_realMask.m_invert},
                    sd.m_isPSB, sd.m_compress, cancel, out);
                break;
            case ChannelKind::Stored:
                try {
                    ok[i] = ReadStoredChannel(*this, p.sourceChannel, sd.m_isPSB, out);
                } catch (std::bad_alloc const&) {
                    ok[i] = 0;
                }
                break;
        }
    });
    for (char o : ok)
        if (!o) return false;
    return true;
}

namespace {

// An RLE block into a little-endian file: the encoders give its row counts big-endian, and they
// are numbers in the file's byte order.
bool WriteSwappingRowCounts(Kernel::OutStream& stream, ByteOrderFixer const& f,
                            EncodedChannel const& block, int64_t rows, bool psb) {
    std::vector<uint8_t> bytes;
    if (block.pieces.empty())
        bytes = block.data;
    else
        for (auto const& [offset, size] : block.pieces)
            bytes.insert(bytes.end(), block.data.begin() + long(offset), block.data.begin() + long(offset + size));
    size_t width = psb ? 4 : 2;
    if (rows < 0 || bytes.size() / width < uint64_t(rows)) return false;
    for (size_t r = 0; r < size_t(rows); ++r)
        std::reverse(bytes.begin() + long(r * width), bytes.begin() + long((r + 1) * width));
    return WriteValue(stream, block.compression, f) &&
           (bytes.empty() || stream.Write(bytes.data(), bytes.size()));
}

}  // namespace

bool PSDLayer::WriteImageData(Kernel::OutStreamSeekable& stream, uint16_t bitDepth,
                              SaveData const& sd, uint64_t channelListPosition,
                              std::vector<EncodedChannel> const& blocks) const {
    std::vector<PlannedChannel> plan;
    if (!PlanChannels(*this, sd, bitDepth, plan) || plan.size() != blocks.size()) return false;
    std::vector<uint64_t> lengths(plan.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        lengths[i] = blocks[i].GetLength();
        if (!sd.m_isPSB && lengths[i] > 0xFFFFFFFFull) return false;
        bool swap = !sd.m_fixer.BigEndian() && blocks[i].compression == kCompressionRLE;
        int64_t rows = plan[i].kind == ChannelKind::UserMask   ? m_userMask.GetHeight()
                       : plan[i].kind == ChannelKind::RealMask ? m_realMask.GetHeight()
                                                               : GetHeight();
        if (swap ? !WriteSwappingRowCounts(stream, sd.m_fixer, blocks[i], rows, sd.m_isPSB)
                 : !WriteEncodedChannel(stream, sd.m_fixer, blocks[i]))
            return false;
    }

    uint64_t end = stream.GetPosition();
    if (!stream.Seek(channelListPosition)) return false;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (!WriteValue(stream, plan[i].id, sd.m_fixer)) return false;
        bool w = sd.m_isPSB ? WriteValue<uint64_t>(stream, lengths[i], sd.m_fixer)
                            : WriteValue<uint32_t>(stream, uint32_t(lengths[i]), sd.m_fixer);
        if (!w) return false;
    }
    return stream.Seek(end);
}

void PSDLayer::RecycleImageData(SaveData const& sd, std::vector<EncodedChannel>& blocks) {
    for (auto& b : blocks)
        if (sd.m_channelBuffers.size() < kPooledBuffers)
            sd.m_channelBuffers.push_back(std::move(b.data));
    blocks.clear();
}

}  // namespace PSD
