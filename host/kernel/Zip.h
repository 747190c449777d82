// zlib-format deflate: whole buffers through libdeflate (sizes are known in documents), and
// stream adaptors over zlib for the rare callers that cannot hold a whole channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/kernel/Stream.h"

namespace Kernel {

// Per-row delta prediction on big-endian samples of 1 or 2 bytes.
struct ZipPredictor {
    bool enabled = false;
    size_t rowBytes = 0;
    unsigned sampleBytes = 1;
    static ZipPredictor None() { return {}; }
    static ZipPredictor Delta(size_t rowBytes, unsigned sampleBytes) {
        return {true, rowBytes, sampleBytes};
    }
};

enum class InflateStatus {
    Ok,       // exactly dstLen bytes came out
    Short,    // the stream ended early; *produced says how much is valid
    Damaged,  // not valid zlib data
    TooLong,  // the stream holds more than dstLen bytes
};

// Inflates a zlib stream into exactly dstLen bytes. Thread-safe (one decompressor per thread).
InflateStatus ZlibInflate(uint8_t const* src, size_t srcLen, uint8_t* dst, size_t dstLen,
                          size_t* produced = nullptr);
// The most bytes a zlib stream of n bytes can inflate to: deflate cannot beat 1032:1, so a larger
// claim is damaged or truncated data and needs no buffer to find out.
constexpr uint64_t ZlibMaxInflatedSize(uint64_t n) {
    return n > UINT64_MAX / 1032 ? UINT64_MAX : n * 1032 + 1032;
}
// A zlib stream held in memory, inflated a piece at a time without copying its input: for readers
// that never hold the whole output (a channel decoded a band of rows at a time).
class MemoryInflater {
public:
    MemoryInflater(uint8_t const* src, size_t srcLen);
    ~MemoryInflater();
    MemoryInflater(MemoryInflater const&) = delete;
    MemoryInflater& operator=(MemoryInflater const&) = delete;
    // The next n bytes into dst: Ok, or Short / Damaged (what came out is then unspecified). A
    // stream that holds more than is asked for is read only as far as asked.
    InflateStatus Next(uint8_t* dst, size_t n);

private:
    struct State;
    State* m_state = nullptr;
    bool m_failed = false;
};

// Worst-case compressed size for n input bytes.
size_t ZlibCompressBound(size_t n);
// Compresses [src, src+n) as zlib at the level (1-12) into out (resized). Thread-safe.
bool ZlibDeflate(uint8_t const* src, size_t n, std::vector<uint8_t>& out, int level = 3);

// Undo / apply a per-row delta on big-endian samples (1, 2 bytes) in place.
void UnpredictRows(uint8_t* data, size_t rows, size_t rowBytes, unsigned sampleBytes);
void PredictRows(uint8_t* data, size_t rows, size_t rowBytes, unsigned sampleBytes);

// A stream that decompresses what it reads from another stream.
class CompressionInStream : public InStream {
public:
    // Exactly n bytes or false.
    virtual bool ReadBlock(void* buf, size_t n) = 0;
};

// A stream that compresses what is written to it into another stream.
class CompressionOutStream : public OutStream {
public:
    virtual bool WriteBlock(void const* buf, size_t n) = 0;
    // Ends the compressed stream; no writes after it.
    virtual bool Finalise() = 0;
};

// Streaming inflate of a zlib stream read from source (which must outlive it). The source is
// read in blocks, so when other data follows the compressed bytes, hand it a LimitedInStream.
class ZipInStream : public CompressionInStream {
public:
    static Counted<ZipInStream> Create(NonCounted<InStream> source, ZipPredictor predictor = {});
    ~ZipInStream() override;
    size_t Read(void* buf, size_t n) override;
    bool ReadBlock(void* buf, size_t n) override { return Read(buf, n) == n; }
    // True once the source held data that is not valid zlib.
    bool IsDamaged() const { return m_damaged; }

private:
    ZipInStream() = default;
    size_t Inflate(uint8_t* out, size_t n);
    struct State;
    InStream* m_source = nullptr;
    State* m_state = nullptr;
    ZipPredictor m_pred;
    std::vector<uint8_t> m_row;
    size_t m_rowUsed = 0;
    size_t m_rowFill = 0;
    bool m_damaged = false;
    bool m_end = false;
};

// Deflate to a destination; the whole input is gathered and compressed once at Finalise, which
// is the fast path for channel-sized data.
class ZipOutStream : public CompressionOutStream {
public:
    static Counted<ZipOutStream> Create(NonCounted<OutStream> dest, ZipPredictor predictor = {},
                                        int level = 3);
    bool Write(void const* buf, size_t n) override { return WriteBlock(buf, n); }
    bool WriteBlock(void const* buf, size_t n) override;
    bool Finalise() override;
    uint64_t GetCompressedSize() const { return m_written; }

private:
    ZipOutStream() = default;
    OutStream* m_dest = nullptr;
    ZipPredictor m_pred;
    int m_level = 3;
    std::vector<uint8_t> m_in;
    uint64_t m_written = 0;
    bool m_done = false;
};

}  // namespace Kernel
