// Channel image data encoding: the PackBits packer, the RLE and ZIP-with-prediction forms of a
// channel, and the writers the layer and composite savers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "host/kernel/Stream.h"
#include "host/raster/Bitmap.h"
#include "psd/io/PSDIO.h"
#include "psd/layer/PSDChannelCodec.h"

namespace PSD {

class PSDLayer;
struct SaveData;

// The stored pixels of a layer that a save decodes (when asked to) just before the layer is
// encoded: the bitmap and masks whose caches were empty are decoded here and dropped again when
// this ends, so the layer's caches end as they began and a save holds few layers' pixels at once.
// A 16-bit colour bitmap that the save would only deflate again is not decoded: its channels'
// predicted rows are taken from the stored blocks instead (a ZIP-with-prediction block inflates
// to exactly those rows), into buffers lent by the save.
class StoredPixels {
public:
    StoredPixels(PSDLayer const& layer, SaveData const& sd, bool const* cancel);
    ~StoredPixels();
    StoredPixels(StoredPixels const&) = delete;
    StoredPixels& operator=(StoredPixels const&) = delete;
    // False when a stored bitmap failed to decode, or the save was cancelled meanwhile.
    bool Ok() const { return m_ok; }
    // The predicted rows of the layer's colour channels, in the order of its channel list, each
    // RowsSize() bytes long; none when the bitmap was decoded (or was there already).
    bool HasRows() const { return m_fromRows; }
    std::vector<std::vector<uint8_t>> const& Rows() const { return m_rows; }
    size_t RowsSize() const { return m_rowsSize; }
    // Whether the save takes this layer's colour channels as stored rows (blocks permitting).
    static bool TakesRows(PSDLayer const& layer, SaveData const& sd);

private:
    PSDLayer const& m_layer;
    SaveData const& m_sd;
    bool m_colour = false, m_user = false, m_real = false;
    bool m_ok = true;
    bool m_fromRows = false;
    std::vector<std::vector<uint8_t>> m_rows;
    size_t m_rowsSize = 0;
};

// PackBits encoder of one row. The row is either copied into the packer's own storage
// (PrepareLine) or borrowed (SetLine) until FinaliseLine packs it.
class RLEPacker {
public:
    // Storage for a row of n bytes, to be filled by the caller.
    uint8_t* PrepareLine(size_t n);
    // Borrows n bytes; they must stay valid until FinaliseLine.
    void SetLine(uint8_t const* bytes, size_t n) noexcept;
    // Packs the row into out; false (nothing usable written) when capacity is too small. Bytes past
    // the packed size (within capacity) may be overwritten.
    [[nodiscard]] bool FinaliseLine(uint8_t* out, size_t capacity, size_t& written) noexcept;
    // Packs the row onto a stream; false on a short write.
    [[nodiscard]] bool FinaliseLine(Kernel::OutStream& out, size_t& written);

    // Packs n bytes into out. Returns the packed size, or SIZE_MAX when a packet does not fit.
    // Bytes of out past the packed size (within capacity) may be overwritten.
    static size_t Pack(uint8_t const* in, size_t n, uint8_t* out, size_t capacity) noexcept;
    // Largest packed size of n bytes (all literals of 128 and one header each).
    static constexpr size_t WorstCase(size_t n) noexcept { return n + (n + 127) / 128; }

private:
    std::vector<uint8_t> m_line;
    std::vector<uint8_t> m_packed;
    uint8_t const* m_src = nullptr;
    size_t m_size = 0;
};

// Where one channel's samples come from and how deep they are stored. The bitmap's samples are
// converted to the document depth: 8-bit samples widen by x257, 16-bit ones narrow with
// rounding, integers become floats over 0..1 and floats are written as they are.
struct ChannelSource {
    Raster::DynamicBitmap const* bitmap = nullptr;
    unsigned channel = 0;  // sample index inside a pixel
    unsigned depth = 8;    // document bits per sample: 8, 16 or 32
    // Inverted masks are stored as the complement of what readers hand out.
    bool invert = false;
};

// One channel data block ready to write: its compression code and the bytes after it.
struct EncodedChannel {
    uint16_t compression = kCompressionRaw;
    std::vector<uint8_t> data;
    // When not empty, the block's bytes are these [offset, offset + size) stretches of data, in
    // order (rows packed band by band in place), instead of all of data.
    std::vector<std::pair<size_t, size_t>> pieces;
    uint64_t GetLength() const noexcept {
        if (pieces.empty()) return 2 + uint64_t(data.size());
        uint64_t n = 2;
        for (auto const& p : pieces) n += p.second;
        return n;
    }
};

// Fills one row of a channel as document samples, big-endian (width x depth/8 bytes).
void ExtractChannelRow(ChannelSource const& src, uint32_t y, uint8_t* out) noexcept;

// Several channels of an 8-bit bitmap in the RLE form EncodeChannel gives them, byte for byte,
// made by bands of rows on the worker threads: each row's samples are split from the pixels while
// they are in cache. outs[i] receives channels[i] as pieces; done[i] is 0 where that channel is
// left to EncodeChannel (a band's packed rows did not fit in the room of its raw rows, or the
// bitmap has no rows). False when cancelled or short of memory.
[[nodiscard]] bool EncodeChannelsRLE(Raster::DynamicBitmap const& bm,
                                     std::vector<unsigned> const& channels, bool isPSB,
                                     bool const* cancel, std::vector<EncodedChannel*> const& outs,
                                     std::vector<char>& done);

// Several channels of a bitmap in the ZIP-with-prediction form EncodeChannel gives them at depth
// 16 with compression, byte for byte: the predicted rows of all channels are made by bands in one
// pass over the pixels, then each channel is deflated on a worker thread (depth 8 is taken too,
// though the writer does not deflate such channels). scratch holds the predicted rows and may be
// passed again for the next bitmap. False when cancelled or short of memory.
[[nodiscard]] bool EncodeChannelsZip(Raster::DynamicBitmap const& bm,
                                     std::vector<unsigned> const& channels, unsigned depth,
                                     bool const* cancel, std::vector<EncodedChannel*> const& outs,
                                     std::vector<std::vector<uint8_t>>& scratch);

// Makes rows hold at least count buffers of at least size bytes each, kept for the next use
// (throws std::bad_alloc).
void GrowScratchRows(std::vector<std::vector<uint8_t>>& rows, size_t count, size_t size);

// Deflates the first size bytes of rows[i] (predicted rows) into outs[i] as ZIP with prediction,
// one channel per worker thread; with size 0 every channel is the empty raw block. False when
// cancelled or short of memory.
[[nodiscard]] bool DeflatePredicted(std::vector<std::vector<uint8_t>> const& rows, size_t size,
                                    bool const* cancel, std::vector<EncodedChannel*> const& outs);

// Builds the block of a layer channel with the compression choice of the writer: 8-bit samples
// take RLE, or raw when RLE cannot shrink them, whatever compress says; deeper samples take ZIP
// with prediction when compress is set, else raw. A channel without rows (a side of 0) is the
// compression code alone, raw. False when cancelled or out of memory.
[[nodiscard]] bool EncodeChannel(ChannelSource const& src, bool isPSB, bool compress,
                                 bool const* cancel, EncodedChannel& out);
// A channel of one constant sample value (8/16-bit integer or 32-bit float bits): RLE at 8 bits
// (row counts of 4 bytes in a PSB), ZIP with prediction deeper. Width or height 0 fails.
[[nodiscard]] bool EncodeMatteChannel(uint32_t width, uint32_t height, unsigned depth,
                                      uint32_t sampleBits, EncodedChannel& out, bool isPSB = false);
// A block holding only the compression code (raw, no rows): channels of layers without pixels.
EncodedChannel EmptyChannel();
// Packs every row of a channel: row byte counts (as 32-bit values) and the packed rows, with
// no capacity limit. False when cancelled.
[[nodiscard]] bool EncodeRLERows(ChannelSource const& src, bool const* cancel,
                                 std::vector<uint32_t>& counts, std::vector<uint8_t>& packed);
// Writes compression and data.
[[nodiscard]] bool WriteEncodedChannel(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                       EncodedChannel const& block);

// Writes the block of one channel of a bitmap in the given pixel format and reports its length.
// One instance per pixel format and channel; T is the bitmap's sample type.
template <Raster::Format F, unsigned C, class T>
[[nodiscard]] bool SaveChannelData(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                   bool isPSB, bool compress, Raster::DynamicBitmap const& bitmap,
                                   unsigned depth, EncodedChannel& buffer, uint64_t& length,
                                   bool const* cancel) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2,
                  "integer samples; floats go through SaveChannelDataFloat");
    if (bitmap.GetFormat() != F || bitmap.GetBytesPerSample() != sizeof(T)) return false;
    if (!EncodeChannel({&bitmap, C, depth}, isPSB, compress, cancel, buffer)) return false;
    length = buffer.GetLength();
    return WriteEncodedChannel(stream, fixer, buffer);
}

template <Raster::Format F, unsigned C>
[[nodiscard]] bool SaveChannelDataFloat(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                        bool isPSB, bool compress,
                                        Raster::DynamicBitmap const& bitmap, EncodedChannel& buffer,
                                        uint64_t& length, bool const* cancel) {
    if (bitmap.GetFormat() != F || bitmap.GetBytesPerSample() != 4) return false;
    if (!EncodeChannel({&bitmap, C, 32}, isPSB, compress, cancel, buffer)) return false;
    length = buffer.GetLength();
    return WriteEncodedChannel(stream, fixer, buffer);
}

// A constant channel: T is the stored sample type (8 or 16 bits).
template <class T>
[[nodiscard]] bool SaveMatteChannelData(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                        uint32_t width, uint32_t height, T value, uint64_t& length,
                                        bool const* cancel, bool isPSB = false) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2);
    if (cancel && *cancel) return false;
    EncodedChannel block;
    if (!EncodeMatteChannel(width, height, sizeof(T) * 8, value, block, isPSB)) return false;
    length = block.GetLength();
    return WriteEncodedChannel(stream, fixer, block);
}
[[nodiscard]] bool SaveMatteChannelDataFloat(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                             uint32_t width, uint32_t height, float value,
                                             uint64_t& length, bool const* cancel);

// Packs the channels of an 8-bit bitmap (colour channels, then alpha when withAlpha) row by row
// onto out, appending each row's packed size to rowCounts (T: 16-bit counts in PSD, 32-bit in
// PSB); size receives the bytes written. A packed row too long for T fails.
template <class T>
[[nodiscard]] bool WriteRLEData(Raster::DynamicBitmap const& bitmap, bool withAlpha,
                                Kernel::OutStream& out, SaveData const& sd, uint64_t& size,
                                std::vector<T>& rowCounts, RLEPacker& packer, bool const* cancel);
// The same for one channel of the bitmap.
template <class T>
[[nodiscard]] bool WriteRLEChannelData(Raster::DynamicBitmap const& bitmap, unsigned channel,
                                       Kernel::OutStream& out, uint64_t& size,
                                       std::vector<T>& rowCounts, RLEPacker& packer,
                                       bool const* cancel);

}  // namespace PSD
