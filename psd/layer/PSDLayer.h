// One layer of a document: bounds, channels, blend settings, masks, blending ranges, name, and the
// objects its tagged blocks attach. Pixels are decoded on first request from the recorded source.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/raster/Bitmap.h"
#include "host/renderer/Colour.h"
#include "psd/io/PSDBlendMode.h"
#include "psd/io/PSDIO.h"
#include "psd/io/PSDTaggedBlock.h"
#include "psd/report/PSDReport.h"

namespace PSD {

struct ParseData;
struct SaveData;
struct EncodedChannel;
struct ChannelJob;
class ChannelBytes;
class StoredPixels;
class PSDPath;
class PSDAdjustment;
class PSDText;
class PSDLayerEffects;
class PSDVectorStroke;
class PSDSmartObject;
class PSDVectorOriginationData;

// One entry of a layer's channel list.
class PSDChannelInfo {
public:
    // Identifiers below zero.
    static constexpr int16_t kTransparency = -1;
    static constexpr int16_t kUserMask = -2;
    static constexpr int16_t kRealUserMask = -3;

    PSDChannelInfo() = default;
    PSDChannelInfo(int16_t id, uint64_t length) : m_id(id), m_length(length) {}
    virtual ~PSDChannelInfo() = default;

    // Identifier (2 bytes) and data length (4 bytes, 8 in PSB).
    [[nodiscard]] bool Parse(Kernel::InStream& stream, bool isPSB, PSDLoadData& ld);

    int16_t m_id = 0;
    uint64_t m_length = 0;  // bytes of the channel's data block, compression field included
    bool m_restricted = false;
};

// A blending range set kept as its 8 bytes in document order: source black low/high, source
// white low/high, then the same for the destination. Some writers of little-endian streams store
// each half as a 32-bit word, its four bytes reversed: read so, it is kept in order and written
// back as it was.
class PSDBlendRangeSet {
public:
    static constexpr uint8_t kDefault[8] = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF};

    PSDBlendRangeSet();
    [[nodiscard]] bool Parse(Kernel::InStream& stream, PSDReport& report, bool bigEndian = true);
    [[nodiscard]] bool Save(Kernel::OutStream& stream, bool bigEndian = true) const;
    [[nodiscard]] static bool SaveDefault(Kernel::OutStream& stream, bool bigEndian = true);

    uint8_t m_bytes[8];
    bool m_storedReversed = false;  // read from a little-endian stream with each half reversed
};

// A layer mask as recorded: the user mask uses every field, the real mask all but fromRendering.
struct PSDLayerMask {
    bool m_present = false;
    bool m_relative = false;  // position relative to the layer
    bool m_disabled = false;
    bool m_invert = false;
    bool m_fromRendering = false;  // user mask only
    uint8_t m_defaultColour = 0;   // the real mask's background colour
    int32_t m_left = 0;
    int32_t m_top = 0;
    int32_t m_right = 0;
    int32_t m_bottom = 0;

    int64_t GetWidth() const { return int64_t(m_right) - m_left; }
    int64_t GetHeight() const { return int64_t(m_bottom) - m_top; }
};

// One layer record: its rectangle, channels, masks, blending and blocks, with pixels decoded on
// first request and cached.
class PSDLayer : public Kernel::Countable {
public:
    // The section type: a normal layer, a group (open or closed), or the marker that ends a group.
    enum LayerType : uint32_t {
        kNormal = 0,
        kOpenGroup = 1,
        kClosedGroup = 2,
        kGroupEnd = 3,
    };

    // An empty normal layer, ready to be parsed with the given byte-order flag.
    explicit PSDLayer(bool byteOrder);
    // A layer built by the host.
    PSDLayer(LayerType type, String const& name);
    ~PSDLayer() override;
    PSDLayer(PSDLayer const&) = delete;
    PSDLayer& operator=(PSDLayer const&) = delete;

    // ---- Reading the record
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, bool isFirst, ParseData& pd);
    [[nodiscard]] bool ParseMaskInfo(Kernel::InStreamSeekable& stream, ParseData& pd);
    [[nodiscard]] bool ParseMaskInfo(Kernel::InStreamSeekable& stream, uint32_t size,
                                     ParseData& pd);
    [[nodiscard]] bool ParseLayerBlendingRanges(Kernel::InStreamSeekable& stream, ParseData& pd);
    [[nodiscard]] bool ParseTaggedData(Kernel::InStreamSeekable& stream, uint64_t size,
                                       ParseData& pd);
    [[nodiscard]] bool ParseVectorMask(Kernel::InStreamSeekable& stream, uint64_t length,
                                       ParseData& pd);
    // Reads nothing; metadata blocks are passed over.
    [[nodiscard]] bool ParseMetaData(Kernel::InStreamSeekable& stream, ParseData& pd);
    // Records where this layer's channel data begins, for decoding on demand.
    void SetImageDataPosition(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                              uint64_t position, uint16_t bitDepth, ParseData const& pd,
                              uint32_t colourMode);

    // ---- Pixels, decoded on first request and cached
    // Channel data is read by position from the document's mapping, never through the stream's
    // cursor, and each cache is locked while it is filled: any threads may request any layers'
    // bitmaps at once (the same one too: it is decoded once and shared). Each thread passes its own
    // report. Setting the cache fields directly is not synchronised with these calls.
    bool GetBitmap(Kernel::Counted<Raster::DynamicBitmap>& out, PSDReport& report) const;
    bool GetBitmapUserMask(Kernel::Counted<Raster::DynamicBitmap>& out, PSDReport& report) const;
    bool GetBitmapRealMask(Kernel::Counted<Raster::DynamicBitmap>& out, PSDReport& report) const;
    // Drops the cached colour bitmap when it is the decoded one (an edit stays), so that callers
    // who are done with a layer's pixels give back their memory; the next request decodes again.
    void ReleaseDecodedBitmap() const;
    // The same for the user mask or the real mask, and whether that one is in its cache.
    void ReleaseDecodedMask(bool real) const;
    bool HasCachedMask(bool real) const;
    [[nodiscard]] bool LoadBitmap(PSDLoadData& ld) const;
    // Whether decoding gives a colour bitmap, a user mask or a real mask: the layer was read from
    // a document and holds such channels (the data may still turn out damaged).
    bool HasStoredBitmap() const;
    bool HasStoredUserMask() const;
    bool HasStoredRealMask() const;
    [[nodiscard]] bool LoadBitmapUserMask(PSDLoadData& ld) const;
    [[nodiscard]] bool LoadBitmapRealMask(PSDLoadData& ld) const;
    // The stored blocks that fill the colour bitmap (of format info; bounds not empty), located
    // and checked as decoding does: jobOfTarget[c] indexes the job for bitmap channel c, -1 when
    // no block fills it. Job targets name the channel but no bitmap; bytes keeps copies of blocks
    // when the stream is not mapped.
    [[nodiscard]] bool LocateBitmapChannels(Raster::FormatInfo const& info,
                                            std::vector<ChannelJob>& jobs,
                                            std::vector<int>& jobOfTarget,
                                            std::vector<ChannelBytes>& bytes,
                                            PSDLoadData& ld) const;
    // The stored block of the user mask (real: the real mask), located and checked as decoding
    // does, into job (its target naming no bitmap). The caller has found the mask present, its
    // channel stored and its bounds not empty.
    [[nodiscard]] bool LocateMaskChannel(bool real, ChannelJob& job, ChannelBytes& bytes,
                                         PSDLoadData& ld) const;

    // ---- Writing (the channel list is written as placeholders by Save and filled in by
    // SaveImageData at the position Save hands back)
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd, uint64_t& channelListPosition) const;
    [[nodiscard]] bool SaveLayerBlendingRanges(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // The model's blocks, then the stored blocks merged in (see MergeModelBlocks).
    [[nodiscard]] bool SaveTaggedData(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // The blocks written from the layer's fields alone, split by key.
    [[nodiscard]] bool SaveModelBlocks(SaveData const& sd, uint32_t layerId,
                                       std::vector<PSDModelBlock>& out) const;
    // The vector mask block, between the vector fill and stroke blocks when the layer has a stroke.
    [[nodiscard]] bool SaveVectorMaskBlocks(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // A digest of both masks' fields and the mask parameters.
    uint64_t MaskDigest() const;
    // A digest of the record's fields (bounds, masks, blending, flags, name, blending ranges).
    uint64_t RecordDigest() const;
    // Whether the layer differs from what was read: its record, the blocks the model writes, or
    // pixels the host put in place of the decoded ones. A layer the host built counts as edited.
    bool IsEdited(SaveData const& sd) const;
    // Whether the stored blocks can be copied back: a source to read them from, in the byte
    // order of the file written (big-endian unless told).
    bool KeepsStoredBlocks(ByteOrderFixer const& out = ByteOrderFixer{true}) const;
    // Whether the stored blocks are of the other byte order than the file written: each is then
    // converted (StoredBlockInOrder) or left out.
    bool ConvertsStoredBlocks(ByteOrderFixer const& out) const;
    // A stored block's body in the byte order of the file written: as stored, or converted when
    // the orders differ. False when it cannot be read or converted.
    [[nodiscard]] bool StoredBlockInOrder(PSDTaggedBlockInfo const& b, ByteOrderFixer const& out,
                                          std::vector<uint8_t>& body) const;
    // Whether stored effect blocks can be copied back (the model's effects then need not be written).
    bool HasStoredEffects(ByteOrderFixer const& out = ByteOrderFixer{true}) const;
    [[nodiscard]] bool SaveImageData(Kernel::OutStreamSeekable& stream, uint16_t bitDepth, SaveData const& sd,
                                     uint64_t channelListPosition, bool const* cancel) const;
    // SaveImageData in two steps, so that one layer's channels can be encoded while another's are
    // written: the encoded blocks in channel-list order (buffers taken from the save's pool),
    // then their writing and the filled-in channel list. RecycleImageData hands the buffers back.
    // stored: the layer's stored pixels when decoded ahead; else they are decoded here.
    [[nodiscard]] bool EncodeImageData(uint16_t bitDepth, SaveData const& sd, bool const* cancel,
                                       std::vector<EncodedChannel>& blocks,
                                       StoredPixels const* stored = nullptr) const;
    [[nodiscard]] bool WriteImageData(Kernel::OutStreamSeekable& stream, uint16_t bitDepth,
                                      SaveData const& sd, uint64_t channelListPosition,
                                      std::vector<EncodedChannel> const& blocks) const;
    static void RecycleImageData(SaveData const& sd, std::vector<EncodedChannel>& blocks);

    // Moves the layer's bounds, both raster masks, a linked vector mask with its live shapes, and
    // a type layer's text by (dx, dy) document pixels. False, with nothing moved, when a bound
    // would leave the 32-bit range. An unlinked vector mask stays, and so does a user mask that
    // is the editor's drawing of it; a placed layer's transform stays as stored.
    bool MoveBy(int64_t dx, int64_t dy);
    // Whether MoveBy(dx, dy) would keep every bound in range.
    bool CanMoveBy(int64_t dx, int64_t dy) const;
    // The editor's "Layer from Background": a normal layer from now on, unlocked, written with a
    // transparency channel (opaque where it had none) and with any masks, effects and fill
    // opacity it is given.
    void ReleaseFromBackground();
    // Whether the layer holds what a background cannot (masks, effects, a vector mask, an
    // adjustment, opacity or fill opacity, a blend mode other than normal, knockout or the
    // blending options and ranges). Such a layer is written as a normal one, so that nothing it
    // holds is dropped or left for a reader to ignore.
    bool HoldsLayerOnlyContent() const;
    bool WrittenAsBackground() const { return m_background && !HoldsLayerOnlyContent(); }

    // ---- Queries
    int64_t GetWidth() const { return int64_t(m_right) - m_left; }
    int64_t GetHeight() const { return int64_t(m_bottom) - m_top; }
    bool IsGroupStart() const {
        return m_sectionType == kOpenGroup || m_sectionType == kClosedGroup;
    }
    bool IsGroupEnd() const { return m_sectionType == kGroupEnd; }
    // Index in the channel list of the first channel with this identifier and the stream
    // position of its data block; false when there is none or no source was recorded.
    bool FindChannel(int16_t id, size_t& index, uint64_t& position) const;
    // The stored compression code of the channel at this index of the list; false when it has
    // no stored data (no source, or a block shorter than its code).
    bool GetChannelCompression(size_t index, uint16_t& code) const;
    // The same as a name: "raw", "rle", "zip" or "zip_prediction"; null without stored data or
    // for other codes.
    char const* GetChannelCompressionName(size_t index) const;
    // The recorded tagged blocks of one key, first match; null when absent.
    PSDTaggedBlockInfo const* FindBlock(uint32_t key) const;
    Kernel::Counted<PSDSmartObject> GetSmartObject() const;
    // The layer's effects, null when it has no effect blocks.
    Kernel::Counted<PSDLayerEffects> GetEffects() const;
    // The layer's adjustment or fill settings, null when it has no such block (type layers
    // included, whose block the text model owns).
    Kernel::Counted<PSDAdjustment> GetAdjustment() const;
    // The converted text of a type layer; null for other layers and unconverted text.
    Kernel::Counted<PSDText> GetText() const;
    // The byte-order flag of the source.
    bool GetSourceSwap() const { return m_swap; }
    // Whether the last decode of each bitmap zeroed damaged rows.
    bool IsBitmapDamaged() const { return m_damagedBitmap; }
    bool IsUserMaskDamaged() const { return m_damagedUserMask; }
    bool IsRealMaskDamaged() const { return m_damagedRealMask; }
    // Whether bm is the colour bitmap that decoding put in the cache (not one the host gave).
    bool IsDecodedBitmap(Raster::DynamicBitmap const* bm) const { return bm && bm == m_decoded[0]; }
    // Whether the bounds are still those the layer was read with.
    bool HasBoundsAsRead() const {
        return m_left == m_readBounds[0] && m_top == m_readBounds[1] &&
               m_right == m_readBounds[2] && m_bottom == m_readBounds[3];
    }

    // Fields, in order. The host reads them directly.
    String m_name;
    uint16_t m_groupId = 0;
    int32_t m_left = 0;
    int32_t m_top = 0;
    int32_t m_right = 0;
    int32_t m_bottom = 0;
    PSDLayerMask m_userMask;
    PSDLayerMask m_realMask;
    Kernel::Counted<PSDPath> m_vectorMask;
    bool m_vectorMaskFlag0 = false;    // flags bit 0
    bool m_vectorMaskFlag1 = false;    // flags bit 1
    bool m_vectorMaskFlagAny = false;  // either bit
    uint32_t m_vectorMaskFlagsStored = 0;  // the flags word as read (bit 2 disables the mask)
    LayerType m_sectionType = kNormal;
    bool m_sceneGroup = false;
    BlendMode m_blendMode = BlendMode::Normal;
    uint8_t m_opacity = 255;
    uint8_t m_fillOpacity = 255;
    bool m_visible = true;
    bool m_clipping = false;
    bool m_transparencyProtected = false;
    // The document's background: written opaque, without a transparency channel or the blocks
    // of masks, effects and blending, as the editor keeps it. Cleared, or given any of those (see
    // HoldsLayerOnlyContent), the layer is written as a normal one, opaque where it had no
    // transparency.
    bool m_background = false;
    bool m_transparencyShapes = true;
    bool m_blendClipped = true;
    bool m_blendInterior = false;
    bool m_layerMaskHidesEffects = false;
    bool m_vectorMaskHidesEffects = false;
    bool m_alignedRendering = false;
    uint8_t m_knockout = 0;  // 0 none, 1 shallow, 2 deep
    std::vector<PSDChannelInfo> m_channels;
    std::vector<PSDBlendRangeSet> m_blendRanges;
    uint8_t m_maskDensity = 255;
    double m_maskFeather = 0.0;
    // The pixel mask's own density and feather as read (the two above end with the vector
    // mask's when the record gives both). A save writes those that m_maskParameters names.
    uint8_t m_pixelMaskDensity = 255;
    double m_pixelMaskFeather = 0.0;
    Kernel::Counted<PSDAdjustment> m_adjustment;
    Kernel::Counted<PSDLayerEffects> m_effects;
    Kernel::Counted<PSDVectorStroke> m_vectorStroke;
    Kernel::Counted<PSDSmartObject> m_smartObject;
    std::vector<Kernel::Counted<PSDVectorOriginationData const>> m_vectorOrigination;
    bool m_lockTransparency = false;
    bool m_lockComposite = false;
    bool m_lockPosition = false;
    uint16_t m_sheetColour = 0;
    // Channel-data source, recorded when the document is read.
    Kernel::Counted<Kernel::InStreamSeekable> m_stream;
    uint64_t m_dataPosition = 0;  // first byte of the first channel's data block
    uint16_t m_bitDepth = 0;
    uint32_t m_colourMode = 0;
    bool m_isPSB = false;
    // Decoded or host-given bitmaps (cached by the const Get* calls).
    mutable Kernel::Counted<Raster::DynamicBitmap> m_bitmap;
    mutable Kernel::Counted<Raster::DynamicBitmap> m_bitmapUserMask;
    mutable Kernel::Counted<Raster::DynamicBitmap> m_bitmapRealMask;
    Kernel::Consolidated<Renderer::Colour> m_matteColour;

    // Beside the fields: the record as stored, and every tagged block in file order.
    std::string m_pascalName;      // the name bytes before decoding
    uint8_t m_flags = 0;           // the record's flag byte
    uint32_t m_recordBlendKey = 0;  // the record's key; a section divider may override the mode
    uint8_t m_userMaskFlags = 0;    // mask flag bytes as stored
    uint8_t m_realMaskFlags = 0;
    uint8_t m_maskParameters = 0;  // which mask parameters were present (bits 0..3)
    uint32_t m_maskDataSize = 0;
    uint32_t m_blendRangesLength = 0;
    uint32_t m_lockFlags = 0;  // the "lspf" value as stored
    uint64_t m_recordPosition = 0;
    std::vector<PSDTaggedBlockInfo> m_blocks;
    uint32_t m_layerId = 0;             // "lyid" as stored; 0 when the layer has none
    uint32_t m_sectionKey = Key("lsct");  // the divider's key as stored ("lsdk" nests)

private:
    // The readers' and writers' own state: the source's byte-order flag, damaged-row flags of the
    // last decode of each bitmap, the save's baselines (taken by the document after reading) and
    // the caches' bookkeeping.
    friend class PSDFile;
    bool m_swap = true;
    mutable bool m_damagedBitmap = false;
    mutable bool m_damagedUserMask = false;
    mutable bool m_damagedRealMask = false;
    // What the model wrote for this layer's blocks when the document was read, and a digest of
    // its record's fields then.
    std::vector<PSDBlockBaseline> m_blockBaseline;
    uint64_t m_recordBaseline = 0;
    // The mask data and the name as read, written back as stored while the masks and the name
    // stay as they were (the stored forms hold what the model does not: the vector mask's own
    // density and feather, the name's bytes in their own code page).
    uint64_t m_maskDataPosition = 0;
    uint64_t m_maskBaseline = 0;
    String m_readName;
    // The bounds as read: channels the model does not decode fit them only while they stay.
    int32_t m_readBounds[4] = {0, 0, 0, 0};
    // The bitmaps decoding last put in the caches (colour, user mask, real mask): a cached bitmap
    // that is none of these was put there by the host.
    mutable Raster::DynamicBitmap const* m_decoded[3] = {nullptr, nullptr, nullptr};
    // Held while the colour, user mask and real mask caches are filled by the Get* calls.
    mutable std::mutex m_cacheLocks[3];
};

}  // namespace PSD
