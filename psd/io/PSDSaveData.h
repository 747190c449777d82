// The per-save context, save progress, and the writers of section lengths and block headers.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Progress.h"
#include "host/raster/Bitmap.h"
#include "psd/io/PSDIO.h"

namespace PSD {

// Progress of a save: total steps (2 per layer + 1) and completed steps, guarded by a lock so a
// host thread may poll while a worker saves.
class PSDSaveProgress;

// How a document is saved. decodeStored: layers whose bitmaps and masks were never decoded are
// written from their stored channels, each decoded just before it is encoded and dropped again,
// so only one layer's pixels are held at a time; without it such layers are written without
// pixels. Bitmaps in memory are written as they are either way.
struct SaveOptions {
    bool psb = false;           // large-document format (version 2)
    bool compress = false;      // ZIP with prediction instead of RLE
    bool decodeStored = true;
    // Layer blocks the library models are written from the model even when unedited (stored
    // bodies it does not model are still copied): a check of the writers, or a normalised file.
    bool fromModel = false;
    // For the layer data of a layered TIFF file: the layer section in little-endian order, as a
    // little-endian TIFF holds it, and no composite after it. Neither result is a document file.
    bool layersLittleEndian = false;
    bool composite = true;
    Kernel::Counted<PSDSaveProgress> progress{};  // told of each layer written; may be null
    bool const* abort = nullptr;                // set to cancel the save; may be null
};

// The progress of a save, counted in layers written; read from any thread.
class PSDSaveProgress : public Kernel::ProgressReporter {
public:
    void Init(uint64_t total);
    void LayerComplete();
    // Completed and total steps, read under the lock.
    void GetProgress(uint64_t& done, uint64_t& total) const;
    // Fraction 0..1.
    double GetProgress() const;
    void OnUpdate(uint64_t, uint64_t) override {}

private:
    mutable std::mutex m_lock;
    uint64_t m_total = 0;
    uint64_t m_done = 0;
};

// The composite's channels, encoded beside the layers before the composite is written.
struct EncodedComposite;

// What every writer of one save shares: format, byte order, options and reused buffers.
struct SaveData {
    ByteOrderFixer m_fixer{true};
    bool m_isPSB = false;
    bool m_compress = false;      // ZIP with prediction for 16- and 32-bit layer channels
    bool m_decodeStored = false;  // third flag of Save: decode undecoded layer pixels for the save
    bool m_fromModel = false;     // modelled layer blocks written from the model, edited or not
    uint32_t m_colourMode = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint16_t m_colourChannelsPlusOne = 0;
    uint16_t m_headerChannels = 0;
    uint16_t m_depth = 0;
    Kernel::Counted<PSDSaveProgress> m_progress;
    // Layer identifiers written in "lyid", in layer order (PSDFile::AssignLayerIds); a layer
    // written beyond the list takes its position, counted from 1.
    std::vector<uint32_t> m_layerIds;
    mutable size_t m_layersWritten = 0;
    // The composite was read, and the layers have changed since while it has not.
    bool m_compositeStale = false;
    uint32_t NextLayerId() const {
        size_t i = m_layersWritten++;
        return i < m_layerIds.size() ? m_layerIds[i] : uint32_t(i + 1);
    }
    // Channel buffers reused from layer to layer (touched only on the saving thread).
    mutable std::vector<std::vector<uint8_t>> m_channelBuffers;
    // Predicted rows of the channels being deflated, kept from layer to layer.
    mutable std::vector<std::vector<uint8_t>> m_predicted;
    // Buffers for the stored rows of a layer (StoredPixels), kept from layer to layer; locked, as
    // StoredPixels may be made on any thread.
    mutable std::mutex m_rowSetsLock;
    mutable std::vector<std::vector<std::vector<uint8_t>>> m_rowSets;
    // The composite encoded ahead, when the driver started it early; else it is encoded when
    // written.
    EncodedComposite* m_compositeAhead = nullptr;
    // Advances the progress by one step, when there is a progress object.
    void Step() const {
        if (m_progress) m_progress->LayerComplete();
    }
};

class PSDFile;
// The save context of a document as it stands: its header's fields and the layer identifiers it
// would write.
void FillSaveData(PSDFile const& doc, bool psb, SaveData& sd);

// A section length written as a zero placeholder and filled in once the section is written.
class SectionSizer {
public:
    // Writes the placeholder (8 bytes when wide, else 4) at the current position.
    [[nodiscard]] bool Begin(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer,
                             bool wide);
    // Pads with zeros to a multiple of alignment (0: none), counted from the byte after the
    // placeholder; writes the length (with or without that padding) and returns to the end. A
    // 4-byte length above 0xFFFFFFFF fails.
    [[nodiscard]] bool End(unsigned alignment = 0, bool includePadding = true);
    uint64_t GetStart() const { return m_start; }

private:
    Kernel::OutStreamSeekable* m_stream = nullptr;
    ByteOrderFixer m_fixer;
    bool m_wide = false;
    uint64_t m_start = 0;  // first byte after the placeholder
};

// "8BIM", the key and a length of 4 bytes, or 8 in a PSB (used with length 0).
[[nodiscard]] bool WriteTagHeaderExt(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                     uint32_t key, bool isPSB, uint64_t length);

}  // namespace PSD
