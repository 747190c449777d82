// The document: header values, document settings, layers, paths and the composite image.
//
// Reading is lazy about pixels: Create() parses the structure and keeps the source stream;
// GetBitmap() here and on each PSDLayer decodes on first request. Pixels are read by position from
// the document's mapping (or by positional reads), never through the stream's cursor, and each
// cache is locked while it is filled, so any threads may decode any layers of one document, and
// the composite, at once; concurrent first requests for the same bitmap decode it once. Each
// thread passes its own report.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/kernel/String.h"
#include "host/kernel/Units.h"
#include "host/raster/Bitmap.h"
#include "host/raster/ICC.h"
#include "host/renderer/Colour.h"
#include "psd/io/PSDIO.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"
#include "psd/io/PSDTaggedBlock.h"
#include "psd/report/PSDReport.h"
#include "psd/text/PSDTextEngineData.h"

namespace PSD {

class PSDAdjustment;
class PSDLayer;
class PSDPath;

// An image resource block as stored: signature, identifier, name bytes and data.
struct PSDImageResource {
    uint32_t signature = 0;
    uint16_t id = 0;
    std::string name;  // the Pascal name's bytes, undecoded
    std::vector<uint8_t> data;
};
class PSDSaveProgress;
class PSDSmartObjectData;
struct SaveData;

// How a layered TIFF file is written.
struct TIFFSaveOptions {
    bool lzw = false;           // the image in LZW instead of deflate
    bool littleEndian = false;  // a little-endian file, its layer data in that order too
};

enum class JPEGMethod : int32_t {
    Baseline = 0,
    BaselineOptimised = 1,
    Progressive = 2,
};

// A whole document: header, colour data, resources, layers and composite, read lazily from its
// source stream, and saved again with everything it holds.
class PSDFile : public Kernel::Countable {
public:
    using CreateOptions = PSD::CreateOptions;

    PSDFile();
    ~PSDFile() override;

    // ---- Opening (file header and parse driver)
    static Kernel::Counted<PSDFile> Create(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                           CreateOptions const& options, PSDReport& report);
    static Kernel::Counted<PSDFile> Create(Kernel::Counted<Kernel::MemoryInStream> const& stream,
                                           CreateOptions const& options, PSDReport& report);
    static Kernel::Counted<PSDFile> Create(Kernel::Counted<Kernel::MemoryInOutStreamBase> const& stream,
                                           CreateOptions const& options, PSDReport& report);
    static Kernel::Counted<PSDFile> Create(Kernel::InStream& stream, CreateOptions const& options,
                                           PSDReport& report);
    // A document holding only image resources (no layers, no composite).
    static Kernel::Counted<PSDFile> CreateFromImageResourceData(unsigned int width, unsigned int height,
                                                                Kernel::InStream& stream, PSDReport& report);
    // The layered document inside a TIFF file's tags.
    // Null without a report when the file does not open or lacks a required tag (the layer
    // data among them); with the error when the colour mode, depth, resources or layers fail.
    static Kernel::Counted<PSDFile> CreateFromTIFF(String const& path, CreateOptions const& options,
                                                   PSDReport& report);
    // The same for a TIFF file held in a stream (from its start).
    static Kernel::Counted<PSDFile> CreateFromTIFF(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                                   CreateOptions const& options, PSDReport& report);

    static bool Sniff(Kernel::InStreamSeekable& stream);
    static bool Sniff(Kernel::InStreamSeekable& stream, ParseData& pd);

    [[nodiscard]] bool Parse(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd);
    [[nodiscard]] bool ParseColorModeSection(Kernel::InStreamSeekable& stream, ParseData& pd);

    // 0 success, 1 unsupported depth, 2 unsupported colour mode.
    int DetermineRasterFormat(Raster::Format& out) const;
    bool GetHasMasks() const;
    String GetAlphaChannelName(unsigned long index) const;

    // ---- Image resources
    [[nodiscard]] bool ParseImageResources(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd);
    [[nodiscard]] bool ParseImageResourceData(Kernel::InStream& stream, ParseData& pd);
    // Saved and working paths (resources 1025, 2000-2997); the path reader owns the format.
    [[nodiscard]] bool ParsePathResource(Kernel::InStream& stream, unsigned int length, String const& name,
                                         ParseData& pd, unsigned int index);
    // The working path (resource 1025), read from length bytes into m_workingPath.
    [[nodiscard]] bool ParseWorkingPathResource(Kernel::InStream& stream, unsigned int length, ParseData& pd);
    // The working path (1025) and the saved paths (2000 up, at most 999) from the model.
    [[nodiscard]] bool SavePathResources(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    static constexpr uint16_t kWorkingPathId = 1025;
    static constexpr uint16_t kFirstPathId = 2000;
    static constexpr uint16_t kLastPathId = 2998;
    [[nodiscard]] bool SaveImageResources(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    [[nodiscard]] bool SaveImageResourceData(Kernel::OutStreamSeekable& stream) const;
    // The resource blocks alone, in the order the writer defines.
    [[nodiscard]] bool SaveImageResourcesInternal(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // The blocks the model writes, from its fields alone, in the writer's order.
    [[nodiscard]] bool SaveModelResources(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // Layer identifiers a save writes, in layer order: each layer's own when it has a unique one,
    // else the next free number (1 up for a document of new layers).
    std::vector<uint32_t> AssignLayerIds() const;
    // Notes what the model would write for the resources and each layer's blocks, so that a save
    // tells unedited blocks (copied back as stored) from edited ones. Called once reading ends.
    void TakeSaveBaseline();
    // Whether any layer was added, removed, moved or changed since the document was read.
    bool LayersEdited() const;
    // A composite read from the file that no longer matches the edited layers: a save writes it
    // as it was with "has real merged data" off, and without its thumbnail. Callers warn.
    bool IsCompositeStale() const;

    // ---- Layer and mask section
    [[nodiscard]] bool ParseLayersAndMasks(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd);
    // consumed receives the layer info length plus the width of its length field.
    [[nodiscard]] bool ParseLayerInfo(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd,
                                      uint64_t& consumed);
    // Layer count, records and channel-data positions; shared with the "Layr"/"Lr16"/"Lr32" blocks.
    [[nodiscard]] bool ParseLayerInfoWithSize(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd,
                                              uint64_t size);
    [[nodiscard]] bool ParseGlobalLayerMaskInfo(Kernel::InStreamSeekable& stream, uint64_t& remaining,
                                                ParseData& pd);
    // The document-level tagged blocks after the global layer mask info.
    [[nodiscard]] bool ParseTaggedData(Kernel::NonCounted<Kernel::InStreamSeekable> stream, uint64_t size,
                                       ParseData& pd);
    // The document's engine data ("Txt2"): a short read fails; data that does not parse is
    // dropped and loading goes on.
    [[nodiscard]] bool ParseTextEngineData(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd,
                                           unsigned long long length);

    // ---- Composite image
    bool GetBitmap(Kernel::Counted<Raster::DynamicBitmap>& bitmap,
                   std::vector<Kernel::Counted<Raster::DynamicBitmap>>& masks, PSDReport& report) const;
    [[nodiscard]] bool GetBitmapI(PSDLoadData& ld) const;
    // The composite of a document read from a TIFF file: the TIFF's own image.
    [[nodiscard]] bool GetTIFFComposite(PSDLoadData& ld) const;
    // Whether the composite as stored holds transparency: for a TIFF, whether its image has an
    // extra sample (known once decoded), whatever the layer section says of merged transparency.
    bool CompositeHoldsTransparency() const {
        return m_tiffSource ? m_tiffCompositeAlpha : m_mergedTransparency != 0;
    }

    // ---- Saving
    // Writes the whole document; false when a write fails, a side is too large for the format,
    // or options.abort was set.
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveOptions const& options) const;
    // Writes a layered TIFF file: the composite as its image (deflate, or LZW), the image
    // resources and the layer and mask data in their tags. False with a reason in error.
    [[nodiscard]] bool SaveTIFF(String const& path, TIFFSaveOptions const& options, std::string& error) const;
    // What a layer section of that byte order cannot hold as the document holds it: stored
    // bodies of the other byte order that the model does not write. Empty when nothing is lost.
    std::vector<std::string> BlocksLostInByteOrder(bool bigEndian) const;
    [[nodiscard]] bool SaveColorModeSection(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    [[nodiscard]] bool SaveLayersAndMasks(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                                          bool const* cancel) const;
    [[nodiscard]] bool SaveLayerInfo(Kernel::OutStreamSeekable& stream, SaveData const& sd, bool lengthIncludesPadding,
                                     bool const* cancel) const;
    // Whether stored blocks, resources and the global mask info can be copied back: a source to
    // read them from, in the byte order of the layer section written (big-endian unless told).
    bool KeepsStoredBlocks(ByteOrderFixer const& out = ByteOrderFixer{true}) const;
    // A stored document block's body (the global mask info for key 0) in the byte order of the
    // layer section written: as stored, or converted. False when it cannot be read or converted.
    [[nodiscard]] bool StoredBlockInOrder(PSDTaggedBlockInfo const& b, ByteOrderFixer const& out,
                                          std::vector<uint8_t>& body) const;
    [[nodiscard]] bool SaveGlobalLayerMaskInfo(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    [[nodiscard]] bool SaveTaggedData(Kernel::OutStreamSeekable& stream, SaveData const& sd, bool const* cancel) const;
    [[nodiscard]] bool SaveImageData(Kernel::OutStreamSeekable& stream, SaveData const& sd, bool const* abort) const;
    [[nodiscard]] bool SaveImageDataAsCompressed(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                                                 bool const* abort) const;

    // ---- Building documents for writing
    static Kernel::Counted<PSDFile> CreateEmpty(unsigned int width, unsigned int height, bool psb, Raster::Format format,
                                                Kernel::Consolidated<Raster::ICCProfile> const& profile,
                                                Kernel::Counted<Kernel::UnitValueConverter const> const& units);
    bool AddLayer(Kernel::Counted<PSDLayer> const& layer);
    // Adds a layer at the top of group parent (directly below the group's own record), or at the
    // top of the document when parent is null. False as AddLayer, or when parent is not the
    // record of a group in this document.
    bool AddLayer(Kernel::Counted<PSDLayer> const& layer, PSDLayer const* parent);
    // A new open group at the top of parent (or of the document): its end marker, then its record
    // above it. Returns the group's record; null when refused as AddLayer refuses.
    Kernel::Counted<PSDLayer> AddGroup(String const& name, PSDLayer const* parent);
    // Adds an adjustment or fill layer (PSD::NewAdjustment makes one with the editor's settings)
    // where AddLayer(layer, parent) puts a layer: no pixels of its own, covering the canvas, with
    // the editor's empty white user mask (revealing all, ready to be painted).
    // Returns its record; null when refused as AddLayer refuses, or for a pattern fill that
    // names no pattern.
    Kernel::Counted<PSDLayer> AddAdjustmentLayer(String const& name,
                                                 Kernel::Counted<PSDAdjustment> const& adjustment,
                                                 PSDLayer const* parent);
    // Moves a layer as PSDLayer::MoveBy does; a group takes every layer inside it along. False,
    // with nothing moved, when one would leave the 32-bit range or the layer is not in this
    // document.
    bool MoveLayer(PSDLayer const* layer, int64_t dx, int64_t dy);
    // Removes a layer, or a group with everything in it and its end marker. False when the layer
    // is not in the document's tree. Layers clipped to it are released.
    bool RemoveLayer(PSDLayer const* layer);
    // Moves a layer (a group with everything in it) into group parent (null: the top level),
    // index layers from its top (past the last: at its bottom). False, with nothing moved, when
    // either is not in the tree, parent is not a group with its end marker, parent lies inside
    // the group moved, or the move would lift a background layer or put a layer below it. The
    // layer joins a clipping group it lands inside; layers whose clipping base moves away are
    // released.
    bool RestackLayer(PSDLayer const* layer, PSDLayer const* parent, size_t index);
    bool RemoveLastSectionDividerLayer();
    void ValidateLayerCount();
    bool CanFlattenFirstLayer(bool forbidHidden) const;
    int PromoteFirstLayerToBackground(bool forbidHidden);
    void InsertBackgroundLayer(Kernel::Counted<PSDLayer> const& layer);
    void InsertBackgroundMatteLayer(Kernel::Consolidated<Renderer::Colour> const& colour);
    bool SetFlattenedBitmap(Kernel::Counted<Raster::DynamicBitmap> const& bitmap);
    Kernel::Counted<Raster::DynamicBitmap> GetFlattenedBitmap() const { return m_flattenedBitmap; }
    void SetMasks(std::vector<Kernel::Counted<Raster::DynamicBitmap>> const& masks, std::vector<String> const& names);
    void SetThumbnail(Kernel::Counted<Raster::DynamicBitmap> const& thumbnail);
    void SetBackgroundColour(Kernel::Consolidated<Renderer::Colour> const& colour);
    void SetWorkingPath(Kernel::Counted<PSDPath> const& path);
    void SetPaths(std::vector<Kernel::Counted<PSDPath>> const& paths);
    void SetHorzGuides(std::vector<double> const& guides);
    void SetVertGuides(std::vector<double> const& guides);
    // Positions given in a source space (origin, scale) are converted to document pixels.
    void SetHorzGuides(std::vector<double> const& guides, double origin, double scale);
    void SetVertGuides(std::vector<double> const& guides, double origin, double scale);
    void SetJPEG(int quality, JPEGMethod method, int scans);

    // ---- Header values
    uint32_t GetWidth() const { return m_width; }
    uint32_t GetHeight() const { return m_height; }
    uint32_t GetColourMode() const { return m_colourMode; }
    uint16_t GetChannelCount() const { return m_channelCount; }
    uint16_t GetDepth() const { return m_depth; }
    bool IsPSB() const { return m_isPSB; }
    Kernel::Counted<PSDWarnings> const& GetWarnings() const { return m_warnings; }
    std::vector<Kernel::Counted<PSDLayer>> const& GetLayers() const { return m_layers; }
    // The linked-data record of a placed layer's identifier; null when no record carries it.
    Kernel::Counted<PSDSmartObjectData> GetLinkedLayerData(String const& identifier) const;
    // Adds a linked-data record read from the file; a later record of an identifier wins.
    void AddLinkedRecord(Kernel::Counted<PSDSmartObjectData> const& record);
    // Every linked-data record in file order.
    std::vector<Kernel::Counted<PSDSmartObjectData>> const& GetLinkedRecords() const {
        return m_linkedRecords;
    }

    // The stream the document was read from (null for built documents).
    Kernel::Counted<Kernel::InStreamSeekable> const& GetSourceStream() const { return m_sourceStream; }
    // For parsing sections by hand: the stream they are parsed from, which layers then decode from.
    void AttachSourceStream(Kernel::Counted<Kernel::InStreamSeekable> const& stream) {
        m_sourceStream = stream;
    }
    // Where the composite image data begins, and the PackBits rows its last decode zeroed.
    uint64_t GetImageDataPosition() const { return m_imageDataPosition; }
    uint64_t GetCompositeDamagedRows() const { return m_compositeDamagedRows; }
    // Building hit the 8000-layer limit.
    bool HasTooManyLayers() const { return m_tooManyLayers; }
    // Facts kept beside the fields for callers that want to see the sections as stored.
    struct SectionInfo {
        uint64_t colourModeDataLength = 0;
        uint64_t imageResourcesLength = 0;
        uint64_t layerAndMaskLength = 0;
    };
    SectionInfo const& GetSections() const { return m_sections; }
    // Identifiers of the image resource blocks in file order, unknown ones included.
    std::vector<uint16_t> const& GetResourceIds() const { return m_resourceIds; }

    // How the source stored what a save writes back unchanged: the global layer mask info, the
    // byte order, the composite's compression.
    struct GlobalMaskInfo {
        bool present = false;
        uint64_t position = 0;
        uint64_t length = 0;
    };
    GlobalMaskInfo const& GetGlobalMaskInfo() const { return m_globalMaskInfo; }
    bool GetSourceSwap() const { return m_sourceSwap; }  // the source's byte-order flag
    // The composite's compression code as last decoded (-1: never decoded, or built). A save
    // writes a raw composite raw again and any other as RLE (32-bit ones always raw).
    int32_t GetCompositeCompression() const { return m_compositeCompression; }

    // Fields, in order. The host reads them directly.
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_colourMode = 0;
    uint16_t m_channelCount = 0;
    uint16_t m_depth = 0;
    Kernel::Consolidated<Renderer::Colour> m_backgroundColour;
    Kernel::Counted<Kernel::UnitValueConverter const> m_unitConverter;
    Kernel::Counted<PSDPath> m_workingPath;
    std::vector<Kernel::Counted<PSDPath>> m_paths;
    String m_clippingPathName;
    std::vector<String> m_alphaChannelNames;
    String m_caption;
    mutable Kernel::Counted<Raster::DynamicBitmap> m_flattenedBitmap;
    mutable std::vector<Kernel::Counted<Raster::DynamicBitmap>> m_masks;
    Kernel::Counted<Raster::DynamicBitmap> m_thumbnail;
    std::vector<Kernel::Counted<PSDLayer>> m_layers;
    Kernel::Consolidated<Raster::ICCProfile> m_iccProfile;
    std::vector<double> m_horizontalGuides;
    std::vector<double> m_verticalGuides;
    int32_t m_globalLightAngle = 120;
    int32_t m_globalLightAltitude = 30;
    uint32_t m_mergedTransparency = 0;
    // The text frame sets of the document's engine data; null without (or with unreadable) data.
    Kernel::Counted<PSDTextEngineData> m_textEngineData;
    bool m_isPSB = false;
    bool m_hasRealMergedData = true;
    Kernel::Counted<PSDWarnings> m_warnings;
    struct JPEGSettings {
        int32_t quality = 0;
        JPEGMethod method = JPEGMethod::Baseline;
        uint8_t scans = 0;
        bool present = false;
    } m_jpeg;

    std::vector<uint8_t> m_colourModeData;
    // Document-level tagged blocks in file order, with where their bodies lie in the source.
    std::vector<PSDTaggedBlockInfo> m_documentBlocks;
    // Every image resource block in file order, as stored; a save writes back those the model does
    // not own, and those it owns but nobody changed.
    std::vector<PSDImageResource> m_resources;

private:
    // The readers' and writers' own state: set while reading, used by decodes and saves.
    mutable uint64_t m_compositeDamagedRows = 0;  // PackBits rows zeroed by the last composite decode
    Kernel::Counted<Kernel::InStreamSeekable> m_sourceStream;
    uint64_t m_imageDataPosition = 0;
    bool m_tooManyLayers = false;  // building hit the 8000-layer limit
    SectionInfo m_sections;
    // Identifiers of the image resource blocks in file order, unknown ones included.
    std::vector<uint16_t> m_resourceIds;
    int32_t m_setting = 5;  // opaque host setting, kept as given
    // The composite's compression code as last decoded (-1: never decoded, or built). A save
    // writes a raw composite raw again and any other as RLE (32-bit ones always raw).
    mutable int32_t m_compositeCompression = -1;
    // Held while GetBitmap fills the composite cache.
    mutable std::mutex m_compositeLock;
    // The TIFF file a document was read from (its source stream then holds the layer data).
    Kernel::Counted<Kernel::InStreamSeekable> m_tiffSource;
    mutable bool m_tiffCompositeAlpha = false;  // the TIFF image has an alpha sample
    bool m_sourceSwap = true;  // the source's byte-order flag
    bool m_loadSetting = true;
    Kernel::Counted<Kernel::Countable> m_layerState;  // opaque, owned by the layer readers
    // The files behind placed layers by identifier (a later record of an identifier wins), and
    // every record in file order.
    std::unordered_map<String, Kernel::Counted<PSDSmartObjectData>> m_linkedLayerData;
    std::vector<Kernel::Counted<PSDSmartObjectData>> m_linkedRecords;
    // Building: the weighted layer count against the 8000-layer limit.
    uint64_t m_layerCountForLimit = 0;
    GlobalMaskInfo m_globalMaskInfo;
    // What the model wrote for each resource when the document was read, and the layer list then.
    std::vector<PSDBlockBaseline> m_resourceBaseline;
    std::vector<PSDLayer const*> m_baselineLayers;
    // The host replaced the composite (SetFlattenedBitmap): the thumbnail is made anew from it.
    bool m_compositeReplaced = false;

    static Kernel::Counted<PSDFile> CreateI(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                           bool inMemory, CreateOptions const& options, PSDReport& report);
};

}  // namespace PSD
