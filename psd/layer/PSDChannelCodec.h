// Channel pixel decoding: raw, PackBits, ZIP and ZIP with prediction, at 8, 16 and 32 bits, into
// one channel of a host bitmap, with the 8->16 (Lab) sample conversion.
//
// Decoding reads by position (the document's mapping, or ReadAt into a buffer), never through a
// stream cursor, so decoders for different bitmaps of one document may run on different threads.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Stream.h"
#include "host/kernel/Zip.h"
#include "host/raster/Bitmap.h"
#include "psd/io/PSDIO.h"

namespace PSD {

// Compression codes of a channel data block.
enum ChannelCompression : uint16_t {
    kCompressionRaw = 0,
    kCompressionRLE = 1,
    kCompressionZip = 2,
    kCompressionZipPrediction = 3,
};

// The format of a layer's decoded colour bitmap for a colour mode and depth (false when the mode
// and depth have none), and of its masks: samples keep the document depth, except that 8-bit Lab
// (colour and masks) is widened to 16 bits. Indexed layers hold palette indices.
bool LayerBitmapFormat(uint32_t mode, uint16_t depth, Raster::Format& out);
bool LayerMaskFormat(uint32_t mode, uint16_t depth, Raster::Format& out);

// Where decoded samples go: one channel of a bitmap. The bitmap's sample width decides the
// conversion (1 from 2 bytes keeps the high byte; 2 from 1 byte multiplies by 257).
struct ChannelTarget {
    Raster::DynamicBitmap* bitmap = nullptr;
    unsigned channel = 0;
    bool invert = false;  // masks only: store max - v
};

// One channel's stored data, located and checked, ready to decode without further reads.
struct ChannelJob {
    ChannelTarget target;
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned sampleBytes = 1;  // in the document: 1, 2, or 4 (float)
    bool bigEndian = true;     // samples big-endian (in layered TIFF files of either order too)
    bool countsBigEndian = true;  // the compression code and row counts: the data's byte order
    unsigned compression = kCompressionRaw;
    uint8_t const* data = nullptr;       // raw rows, packed rows or the deflate stream
    uint64_t size = 0;                   // bytes available at data
    uint8_t const* rowCounts = nullptr;  // RLE: one count per row
    unsigned countBytes = 2;             // 2 in PSD, 4 in PSB
    uint64_t damagedRows = 0;            // out: PackBits rows that were zeroed
};

// The bytes of a region of a stream: the mapping itself when the stream has one, otherwise a copy
// read by position. The pointer stays valid as long as this object and the stream live.
class ChannelBytes {
public:
    // Exactly n bytes at pos, or ErrorTruncated.
    [[nodiscard]] bool Read(Kernel::InStreamSeekable& s, uint64_t pos, uint64_t n, PSDLoadData& ld);
    // Everything from pos to the end of the stream; pos past the end is ErrorTruncated.
    [[nodiscard]] bool ReadToEnd(Kernel::InStreamSeekable& s, uint64_t pos, PSDLoadData& ld);
    uint8_t const* Data() const { return m_data; }
    uint64_t Size() const { return m_size; }

private:
    std::vector<uint8_t> m_copy;
    uint8_t const* m_data = nullptr;
    uint64_t m_size = 0;
};

// Reads the compression field of a layer channel block [block, block+length) and points job at its
// data, checking that the stored bytes can produce every row. job's target and shape must be set.
// Errors: ErrorTruncated, ErrorParsing (RLE at 32 bits), 12 for an unknown compression.
[[nodiscard]] bool PrepareChannelBlock(uint8_t const* block, uint64_t length, bool isPSB,
                                       ChannelJob& job, PSDLoadData& ld);

// The packed length of an RLE job's row y, from its row-count table in the table's byte order.
uint64_t RowCount(ChannelJob const& job, uint32_t y);

// Rows per band when rows are shared among the worker threads: about eight bands a thread, at
// least 64 rows each, so that a thread held up by other work leaves little behind at the end.
uint64_t RowsPerBand(uint64_t rows) noexcept;

// Decodes every job, spreading channels (and row ranges of raw and RLE channels) over the worker
// threads. The first failing job in order gives the error; the others still run to the end.
[[nodiscard]] bool DecodeChannels(std::vector<ChannelJob>& jobs, PSDLoadData& ld);

// Decodes one channel block at the stream's position (the compression field) into one channel of
// bitmap; on return the stream stands after the block. sampleBytes is the document's (1 or 2).
// damaged is set when a PackBits row was zeroed.
[[nodiscard]] bool ParseChannelData(Kernel::InStreamSeekable& stream, uint64_t length, bool isPSB,
                                    bool invert, Raster::DynamicBitmap& bitmap, unsigned channel,
                                    unsigned sampleBytes, bool& damaged, PSDLoadData& ld);
// The same for 32-bit float samples.
[[nodiscard]] bool ParseChannelDataFloat(Kernel::InStreamSeekable& stream, uint64_t length,
                                         bool isPSB, bool invert, Raster::DynamicBitmap& bitmap,
                                         unsigned channel, bool& damaged, PSDLoadData& ld);

// A ZIP job's rows one at a time, for readers that decode a band of rows at a time and never hold
// the whole channel: Next inflates the next row and undoes its prediction; Store writes such a row
// as row y of a job's target.
class ZipChannelRows {
public:
    explicit ZipChannelRows(ChannelJob const& job);
    size_t RowBytes() const { return size_t(m_job.width) * m_job.sampleBytes; }
    // False once the stream ends early or is damaged.
    [[nodiscard]] bool Next(uint8_t* row);
    // False when the job's samples cannot fill its target's.
    static bool Store(ChannelJob const& job, uint8_t const* row, uint32_t y);

private:
    ChannelJob m_job;
    Kernel::MemoryInflater m_inflater;
    std::vector<uint8_t> m_planes;  // a 32-bit row's byte planes, before they are joined
};

// Sets one channel of the whole bitmap to its maximum (0xFF, 0xFFFF or 1.0).
void FillChannel(Raster::DynamicBitmap& bitmap, unsigned channel);

// PackBits: unpacks src into n bytes written stride bytes apart. True when exactly n bytes came out
// (a packet running past n, a literal cut short or too few packets all give false).
bool UnpackBits(uint8_t const* src, size_t srcLen, uint8_t* dst, size_t n, size_t stride);

// The same into contiguous memory, for the decoders' hot loops: dst must have n + kUnpackSlack
// writable bytes, and the bytes up to srcLimit (the channel's end, not before src + srcLen) may be
// read past the packets. What lands in the slack is unspecified.
constexpr size_t kUnpackSlack = 64;
bool UnpackBitsPadded(uint8_t const* src, size_t srcLen, uint8_t const* srcLimit, uint8_t* dst,
                      size_t n);

// Depth-32 prediction: sums the bytes of the row, then joins the four byte planes (most
// significant first) into big-endian samples in out (4 * width bytes).
void UnpredictFloatRow(uint8_t* row, uint32_t width, uint8_t* out);

}  // namespace PSD
