// Byte streams: the only way the library touches documents.
//
// Threading contract: the cursor of a stream (Read, Seek, Skip) belongs to one thread at a time.
// ReadAt() and GetMapping() do not touch the cursor and are safe from any number of threads at
// once on the same stream. A document opened from a file is memory-mapped, so pixel decoders on
// several threads read different positions of one document concurrently without locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "host/kernel/Counted.h"

namespace Kernel {

constexpr uint64_t kUnknownSize = UINT64_MAX;

// A source of bytes read in order.
class InStream : public virtual Countable {
public:
    // Reads up to n bytes; fewer means the data ended.
    virtual size_t Read(void* buf, size_t n) = 0;
    // True when all n bytes arrived.
    bool ReadExact(void* buf, size_t n) { return Read(buf, n) == n; }
};

// A source of bytes with a size and a position that can be moved anywhere in it.
class InStreamSeekable : public InStream {
public:
    virtual uint64_t GetPosition() const = 0;
    // Absolute seek; seeking past the end fails and leaves the position unchanged.
    virtual bool Seek(uint64_t pos) = 0;
    // Total length, or kUnknownSize when the source cannot tell.
    virtual uint64_t GetSize() const = 0;
    // Relative forward move; false when it would pass the end.
    virtual bool Skip(uint64_t n);
    // Bytes from the position to the end (0 when unknown and at the end).
    uint64_t GetRemaining() const;

    // Positional read that leaves the cursor alone; thread-safe. The default serialises through
    // a lock and the cursor; memory and mapped streams override it without locking.
    virtual size_t ReadAt(uint64_t pos, void* buf, size_t n);
    // The whole stream as one contiguous block when it lives in memory (or is mapped), else null.
    // The block stays valid as long as the stream lives.
    virtual uint8_t const* GetMapping() const { return nullptr; }

private:
    std::mutex m_readAtLock;
};

// A sink of bytes written in order.
class OutStream : public virtual Countable {
public:
    // False when not every byte could be written.
    virtual bool Write(void const* buf, size_t n) = 0;
};

// A sink whose position can move back, so that lengths can be written once known.
class OutStreamSeekable : public OutStream {
public:
    virtual uint64_t GetPosition() const = 0;
    // Seeking back is how lengths are patched; seeking past the end extends with zeros.
    virtual bool Seek(uint64_t pos) = 0;
    virtual bool Flush() { return true; }
};

// A read-only view over bytes in memory, owned or borrowed with a keep-alive owner.
class MemoryInStream : public InStreamSeekable {
public:
    static Counted<MemoryInStream> Create(std::vector<uint8_t> bytes);
    static Counted<MemoryInStream> Create(void const* data, size_t size);  // copies
    // Borrows [data, data+size); owner (may be null) is kept alive as long as the stream.
    static Counted<MemoryInStream> CreateView(void const* data, size_t size,
                                              Counted<Countable const> owner);

    size_t Read(void* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    uint64_t GetSize() const override { return m_size; }
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override;
    uint8_t const* GetMapping() const override { return m_data; }

private:
    MemoryInStream() = default;
    std::vector<uint8_t> m_own;
    Counted<Countable const> m_owner;
    uint8_t const* m_data = nullptr;
    uint64_t m_size = 0;
    uint64_t m_pos = 0;
};

// A growable in-memory file: written like an output stream, read back like an input one.
// Seeking past the end does not grow the data at once: the gap is zero-filled by the next write
// (or by GetData/TakeData), so a reader's stray seek neither allocates nor alters the bytes.
class MemoryInOutStreamBase : public InStreamSeekable, public OutStreamSeekable {
public:
    static Counted<MemoryInOutStreamBase> Create();

    void Reserve(size_t n) { m_data.reserve(n); }
    std::vector<uint8_t> const& GetData() const;
    std::vector<uint8_t> TakeData();

    size_t Read(void* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    uint64_t GetSize() const override { return m_data.size(); }
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override;
    uint8_t const* GetMapping() const override { return m_data.data(); }
    bool Write(void const* buf, size_t n) override;

private:
    MemoryInOutStreamBase() = default;
    // Zero-fills up to the furthest position sought beyond the data.
    void Materialise() const;
    mutable std::vector<uint8_t> m_data;
    uint64_t m_pos = 0;
    mutable uint64_t m_pendingEnd = 0;
};

// A file read through a memory mapping (positional reads where mapping is impossible).
class FileInStream : public InStreamSeekable {
public:
    // Null when the file cannot be opened; errorOut (if given) receives the system's reason.
    static Counted<FileInStream> Open(std::string const& path, std::string* errorOut = nullptr);
    ~FileInStream() override;

    size_t Read(void* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    uint64_t GetSize() const override { return m_size; }
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override;
    uint8_t const* GetMapping() const override { return m_map; }

private:
    FileInStream() = default;
    int m_fd = -1;
    uint8_t const* m_map = nullptr;
    uint64_t m_size = 0;
    uint64_t m_pos = 0;
};

// A file written sequentially with seeks back for patching.
class FileOutStream : public OutStreamSeekable {
public:
    static Counted<FileOutStream> Create(std::string const& path, std::string* errorOut = nullptr);
    ~FileOutStream() override;

    bool Write(void const* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    bool Flush() override;
    // Flushes and closes; false when any write failed.
    bool Close();

private:
    FileOutStream() = default;
    bool FlushBuffer();
    int m_fd = -1;
    uint64_t m_pos = 0;       // logical position
    uint64_t m_bufStart = 0;  // file offset of m_buf[0]
    uint64_t m_extent = 0;    // length of the file as flushed or extended so far
    std::vector<uint8_t> m_buf;
    bool m_failed = false;
};

// Ends after n bytes from the inner stream's position at creation. Seeks are relative to that
// start and confined to the window.
class LimitedInStream : public InStreamSeekable {
public:
    static Counted<LimitedInStream> Create(NonCounted<InStreamSeekable> inner, uint64_t n);
    // Keeps the inner stream alive.
    static Counted<LimitedInStream> Create(Counted<InStreamSeekable> const& inner, uint64_t n);
    // A counted stream of a derived class is kept alive too (picks this over the two above).
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, InStreamSeekable*>>>
    static Counted<LimitedInStream> Create(Counted<U> const& inner, uint64_t n) {
        return Create(Counted<InStreamSeekable>(inner), n);
    }
    // A raw pointer only borrows.
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, InStreamSeekable*>>>
    static Counted<LimitedInStream> Create(U* inner, uint64_t n) {
        return Create(NonCounted<InStreamSeekable>(inner), n);
    }

    size_t Read(void* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    uint64_t GetSize() const override { return m_limit; }
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override;
    uint8_t const* GetMapping() const override;

    // Where the window starts in the inner stream.
    uint64_t GetStart() const { return m_start; }

private:
    LimitedInStream() = default;
    InStreamSeekable* m_inner = nullptr;
    Counted<InStreamSeekable> m_keep;
    uint64_t m_start = 0;
    uint64_t m_limit = 0;
    uint64_t m_pos = 0;
};

// Accepts at most n bytes; more marks the stream exceeded and fails the write.
class LimitedOutStream : public OutStream {
public:
    static Counted<LimitedOutStream> Create(NonCounted<OutStream> inner, uint64_t n);
    bool Write(void const* buf, size_t n) override;
    bool WasExceeded() const { return m_exceeded; }
    uint64_t GetWritten() const { return m_written; }

private:
    LimitedOutStream() = default;
    OutStream* m_inner = nullptr;
    uint64_t m_limit = 0;
    uint64_t m_written = 0;
    bool m_exceeded = false;
};

// Reads the inner stream through a buffer of a fixed size. SetLimit(n) makes it end n bytes past
// the current position, so a section can be read with small reads and no overrun.
class BufferedInStream : public InStreamSeekable {
public:
    static Counted<BufferedInStream> Create(NonCounted<InStreamSeekable> inner, size_t bufferSize);

    void SetLimit(uint64_t n);
    void ClearLimit() { m_end = kUnknownSize; }

    size_t Read(void* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    uint64_t GetSize() const override;
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override;
    uint8_t const* GetMapping() const override { return m_inner->GetMapping(); }

private:
    BufferedInStream() = default;
    bool Fill();
    InStreamSeekable* m_inner = nullptr;
    std::vector<uint8_t> m_buf;
    uint64_t m_bufPos = 0;  // inner position of m_buf[0]
    size_t m_bufLen = 0;
    uint64_t m_pos = 0;  // logical (inner) position
    uint64_t m_end = kUnknownSize;
};

// Seekable view of a forward-only stream: what has been read is kept, so seeking back is served
// from memory and seeking forward reads on.
class ForwardBiasedSeekableInStream : public InStreamSeekable {
public:
    static Counted<ForwardBiasedSeekableInStream> Create(NonCounted<InStream> inner);

    size_t Read(void* buf, size_t n) override;
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override;
    uint64_t GetSize() const override { return m_eof ? m_data.size() : kUnknownSize; }
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override;

private:
    ForwardBiasedSeekableInStream() = default;
    bool FillTo(uint64_t end);
    InStream* m_inner = nullptr;
    std::mutex m_lock;
    std::vector<uint8_t> m_data;
    uint64_t m_pos = 0;
    bool m_eof = false;
};

}  // namespace Kernel
