#include "host/kernel/Stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace Kernel {

bool InStreamSeekable::Skip(uint64_t n) {
    uint64_t pos = GetPosition();
    if (n > UINT64_MAX - pos) return false;
    return Seek(pos + n);
}

uint64_t InStreamSeekable::GetRemaining() const {
    uint64_t size = GetSize();
    if (size == kUnknownSize) return kUnknownSize;
    uint64_t pos = GetPosition();
    return pos >= size ? 0 : size - pos;
}

size_t InStreamSeekable::ReadAt(uint64_t pos, void* buf, size_t n) {
    std::lock_guard<std::mutex> g(m_readAtLock);
    uint64_t saved = GetPosition();
    size_t got = 0;
    if (Seek(pos)) got = Read(buf, n);
    (void)Seek(saved);
    return got;
}

namespace {
// Copies what [pos, pos+n) overlaps of a block of size bytes.
size_t CopyFrom(uint8_t const* data, uint64_t size, uint64_t pos, void* buf, size_t n) {
    if (pos >= size || n == 0) return 0;
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, size - pos));
    std::memcpy(buf, data + pos, take);
    return take;
}
}  // namespace

// ---- MemoryInStream

Counted<MemoryInStream> MemoryInStream::Create(std::vector<uint8_t> bytes) {
    Counted<MemoryInStream> s(new MemoryInStream);
    s->m_own = std::move(bytes);
    s->m_data = s->m_own.data();
    s->m_size = s->m_own.size();
    return s;
}

Counted<MemoryInStream> MemoryInStream::Create(void const* data, size_t size) {
    auto const* p = static_cast<uint8_t const*>(data);
    return Create(std::vector<uint8_t>(p, p + size));
}

Counted<MemoryInStream> MemoryInStream::CreateView(void const* data, size_t size,
                                                   Counted<Countable const> owner) {
    Counted<MemoryInStream> s(new MemoryInStream);
    s->m_owner = std::move(owner);
    s->m_data = static_cast<uint8_t const*>(data);
    s->m_size = size;
    return s;
}

size_t MemoryInStream::Read(void* buf, size_t n) {
    size_t got = CopyFrom(m_data, m_size, m_pos, buf, n);
    m_pos += got;
    return got;
}

bool MemoryInStream::Seek(uint64_t pos) {
    if (pos > m_size) return false;
    m_pos = pos;
    return true;
}

size_t MemoryInStream::ReadAt(uint64_t pos, void* buf, size_t n) {
    return CopyFrom(m_data, m_size, pos, buf, n);
}

// ---- MemoryInOutStreamBase

Counted<MemoryInOutStreamBase> MemoryInOutStreamBase::Create() {
    return Counted<MemoryInOutStreamBase>(new MemoryInOutStreamBase);
}

void MemoryInOutStreamBase::Materialise() const {
    if (m_pendingEnd > m_data.size()) m_data.resize(static_cast<size_t>(m_pendingEnd), 0);
    m_pendingEnd = 0;
}

std::vector<uint8_t> const& MemoryInOutStreamBase::GetData() const {
    Materialise();
    return m_data;
}

std::vector<uint8_t> MemoryInOutStreamBase::TakeData() {
    Materialise();
    m_pos = 0;
    return std::move(m_data);
}

size_t MemoryInOutStreamBase::Read(void* buf, size_t n) {
    size_t got = CopyFrom(m_data.data(), m_data.size(), m_pos, buf, n);
    m_pos += got;
    return got;
}

bool MemoryInOutStreamBase::Seek(uint64_t pos) {
    // Past the end only the position moves; the gap becomes zeros once written (see header).
    if (pos > m_data.max_size()) return false;
    if (pos > m_data.size()) m_pendingEnd = std::max(m_pendingEnd, pos);
    m_pos = pos;
    return true;
}

size_t MemoryInOutStreamBase::ReadAt(uint64_t pos, void* buf, size_t n) {
    return CopyFrom(m_data.data(), m_data.size(), pos, buf, n);
}

bool MemoryInOutStreamBase::Write(void const* buf, size_t n) {
    if (n == 0) return true;
    if (m_pos > m_data.max_size() || n > m_data.max_size() - m_pos) return false;
    size_t pos = static_cast<size_t>(m_pos);
    if (pos + n > m_data.size()) {
        if (m_data.capacity() < pos + n) m_data.reserve(std::max(pos + n, m_data.capacity() * 2));
        m_data.resize(pos + n);  // zero-fills any gap left by a seek past the end
    }
    if (m_pendingEnd <= m_data.size()) m_pendingEnd = 0;
    std::memcpy(m_data.data() + pos, buf, n);
    m_pos += n;
    return true;
}

// ---- FileInStream

Counted<FileInStream> FileInStream::Open(std::string const& path, std::string* errorOut) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errorOut) *errorOut = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // errno only means something when fstat itself failed.
        if (errorOut) {
            int saved = errno;
            *errorOut = S_ISDIR(st.st_mode) ? "Is a directory"
                        : st.st_mode != 0   ? "Not a regular file"
                                            : std::strerror(saved);
        }
        ::close(fd);
        return nullptr;
    }
    Counted<FileInStream> s(new FileInStream);
    s->m_fd = fd;
    s->m_size = static_cast<uint64_t>(st.st_size);
    if (s->m_size > 0) {
        void* m = ::mmap(nullptr, static_cast<size_t>(s->m_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (m != MAP_FAILED) {
            s->m_map = static_cast<uint8_t const*>(m);
            (void)::madvise(m, static_cast<size_t>(s->m_size), MADV_WILLNEED);
        }
    }
    return s;
}

FileInStream::~FileInStream() {
    if (m_map) ::munmap(const_cast<uint8_t*>(m_map), static_cast<size_t>(m_size));
    if (m_fd >= 0) ::close(m_fd);
}

size_t FileInStream::Read(void* buf, size_t n) {
    size_t got = ReadAt(m_pos, buf, n);
    m_pos += got;
    return got;
}

bool FileInStream::Seek(uint64_t pos) {
    if (pos > m_size) return false;
    m_pos = pos;
    return true;
}

size_t FileInStream::ReadAt(uint64_t pos, void* buf, size_t n) {
    if (m_map) return CopyFrom(m_map, m_size, pos, buf, n);
    if (pos >= m_size) return 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(n, m_size - pos));
    size_t got = 0;
    auto* out = static_cast<uint8_t*>(buf);
    while (got < want) {
        ssize_t r = ::pread(m_fd, out + got, want - got, static_cast<off_t>(pos + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

// ---- FileOutStream

namespace {
constexpr size_t kOutBuffer = 1 << 20;  // large sequential writes; seeks back are rare
}

Counted<FileOutStream> FileOutStream::Create(std::string const& path, std::string* errorOut) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errorOut) *errorOut = std::strerror(errno);
        return nullptr;
    }
    Counted<FileOutStream> s(new FileOutStream);
    s->m_fd = fd;
    s->m_buf.reserve(kOutBuffer);
    return s;
}

FileOutStream::~FileOutStream() {
    (void)Close();
}

bool FileOutStream::FlushBuffer() {
    size_t done = 0;
    while (done < m_buf.size()) {
        ssize_t r = ::pwrite(m_fd, m_buf.data() + done, m_buf.size() - done,
                             static_cast<off_t>(m_bufStart + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            m_failed = true;
            return false;
        }
        done += static_cast<size_t>(r);
    }
    m_bufStart += m_buf.size();
    m_extent = std::max(m_extent, m_bufStart);
    m_buf.clear();
    return true;
}

bool FileOutStream::Write(void const* buf, size_t n) {
    if (m_fd < 0 || m_failed) return false;
    auto const* p = static_cast<uint8_t const*>(buf);
    if (n >= kOutBuffer) {
        // Large blocks go to the file from the caller's memory, without a copy into the buffer.
        if (!m_buf.empty() && !FlushBuffer()) return false;
        for (size_t done = 0; done < n;) {
            ssize_t r = ::pwrite(m_fd, p + done, n - done, static_cast<off_t>(m_pos + done));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                m_failed = true;
                return false;
            }
            done += static_cast<size_t>(r);
        }
        m_pos += n;
        m_extent = std::max(m_extent, m_pos);
        return true;
    }
    while (n > 0) {
        if (m_buf.empty()) m_bufStart = m_pos;
        size_t room = kOutBuffer - m_buf.size();
        if (room == 0) {
            if (!FlushBuffer()) return false;
            continue;
        }
        size_t take = std::min(room, n);
        m_buf.insert(m_buf.end(), p, p + take);
        p += take;
        n -= take;
        m_pos += take;
    }
    return true;
}

bool FileOutStream::Seek(uint64_t pos) {
    if (m_fd < 0 || m_failed) return false;
    if (pos > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
    if (!m_buf.empty() && !FlushBuffer()) return false;
    // Seeking past the end extends the file with zeros even if nothing is written after it.
    if (pos > m_extent) {
        if (::ftruncate(m_fd, static_cast<off_t>(pos)) != 0) {
            m_failed = true;
            return false;
        }
        m_extent = pos;
    }
    m_pos = pos;
    m_bufStart = pos;
    return true;
}

bool FileOutStream::Flush() {
    if (m_fd < 0 || m_failed) return false;
    return m_buf.empty() || FlushBuffer();
}

bool FileOutStream::Close() {
    if (m_fd < 0) return !m_failed;
    bool ok = m_buf.empty() || FlushBuffer();
    if (::close(m_fd) != 0) ok = false;
    m_fd = -1;
    return ok && !m_failed;
}

// ---- LimitedInStream

Counted<LimitedInStream> LimitedInStream::Create(NonCounted<InStreamSeekable> inner, uint64_t n) {
    Counted<LimitedInStream> s(new LimitedInStream);
    s->m_inner = inner.Get();
    s->m_start = inner->GetPosition();
    uint64_t rem = inner->GetRemaining();
    s->m_limit = rem == kUnknownSize ? n : std::min(n, rem);
    return s;
}

Counted<LimitedInStream> LimitedInStream::Create(Counted<InStreamSeekable> const& inner,
                                                 uint64_t n) {
    Counted<LimitedInStream> s = Create(NonCounted<InStreamSeekable>(inner.Get()), n);
    s->m_keep = inner;
    return s;
}

size_t LimitedInStream::Read(void* buf, size_t n) {
    if (m_pos >= m_limit) return 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(n, m_limit - m_pos));
    if (m_inner->GetPosition() != m_start + m_pos && !m_inner->Seek(m_start + m_pos)) return 0;
    size_t got = m_inner->Read(buf, want);
    m_pos += got;
    return got;
}

bool LimitedInStream::Seek(uint64_t pos) {
    if (pos > m_limit) return false;
    if (!m_inner->Seek(m_start + pos)) return false;
    m_pos = pos;
    return true;
}

size_t LimitedInStream::ReadAt(uint64_t pos, void* buf, size_t n) {
    if (pos >= m_limit) return 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(n, m_limit - pos));
    return m_inner->ReadAt(m_start + pos, buf, want);
}

uint8_t const* LimitedInStream::GetMapping() const {
    uint8_t const* m = m_inner->GetMapping();
    return m ? m + m_start : nullptr;
}

// ---- LimitedOutStream

Counted<LimitedOutStream> LimitedOutStream::Create(NonCounted<OutStream> inner, uint64_t n) {
    Counted<LimitedOutStream> s(new LimitedOutStream);
    s->m_inner = inner.Get();
    s->m_limit = n;
    return s;
}

bool LimitedOutStream::Write(void const* buf, size_t n) {
    if (m_exceeded) return false;
    if (n > m_limit - m_written) {
        m_exceeded = true;
        return false;
    }
    if (!m_inner->Write(buf, n)) return false;
    m_written += n;
    return true;
}

// ---- BufferedInStream

Counted<BufferedInStream> BufferedInStream::Create(NonCounted<InStreamSeekable> inner,
                                                   size_t bufferSize) {
    Counted<BufferedInStream> s(new BufferedInStream);
    s->m_inner = inner.Get();
    s->m_buf.resize(std::max<size_t>(bufferSize, 16));
    s->m_pos = inner->GetPosition();
    s->m_bufPos = s->m_pos;
    return s;
}

void BufferedInStream::SetLimit(uint64_t n) {
    m_end = n > UINT64_MAX - m_pos ? UINT64_MAX - 1 : m_pos + n;
}

uint64_t BufferedInStream::GetSize() const {
    uint64_t inner = m_inner->GetSize();
    return m_end == kUnknownSize ? inner : std::min(inner, m_end);
}

bool BufferedInStream::Fill() {
    // Never read ahead past the limit: the bytes beyond may belong to someone else.
    size_t want = m_buf.size();
    if (m_end != kUnknownSize) want = static_cast<size_t>(std::min<uint64_t>(want, m_end - m_pos));
    m_bufPos = m_pos;
    m_bufLen = m_inner->ReadAt(m_pos, m_buf.data(), want);
    return m_bufLen > 0;
}

size_t BufferedInStream::Read(void* buf, size_t n) {
    if (m_end != kUnknownSize) {
        if (m_pos >= m_end) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, m_end - m_pos));
    }
    auto* out = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        if (m_pos < m_bufPos || m_pos >= m_bufPos + m_bufLen) {
            // Large reads bypass the buffer.
            if (n - done >= m_buf.size()) {
                size_t got = m_inner->ReadAt(m_pos, out + done, n - done);
                done += got;
                m_pos += got;
                break;
            }
            if (!Fill()) break;
        }
        size_t off = static_cast<size_t>(m_pos - m_bufPos);
        size_t take = std::min(n - done, m_bufLen - off);
        std::memcpy(out + done, m_buf.data() + off, take);
        done += take;
        m_pos += take;
    }
    (void)m_inner->Seek(std::min(m_pos, m_inner->GetSize()));
    return done;
}

bool BufferedInStream::Seek(uint64_t pos) {
    if (pos > GetSize()) return false;
    if (!m_inner->Seek(pos)) return false;
    m_pos = pos;
    return true;
}

size_t BufferedInStream::ReadAt(uint64_t pos, void* buf, size_t n) {
    if (m_end != kUnknownSize) {
        if (pos >= m_end) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, m_end - pos));
    }
    return m_inner->ReadAt(pos, buf, n);
}

// ---- ForwardBiasedSeekableInStream

Counted<ForwardBiasedSeekableInStream> ForwardBiasedSeekableInStream::Create(
    NonCounted<InStream> inner) {
    Counted<ForwardBiasedSeekableInStream> s(new ForwardBiasedSeekableInStream);
    s->m_inner = inner.Get();
    return s;
}

bool ForwardBiasedSeekableInStream::FillTo(uint64_t end) {
    constexpr size_t kChunk = 1 << 16;
    if (m_eof || m_data.size() >= end) return m_data.size() >= end;
    // Read through a scratch block: a source that trickles bytes must not cost a chunk each.
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    while (!m_eof && m_data.size() < end) {
        size_t got = m_inner->Read(chunk.get(), kChunk);
        if (got == 0) {
            m_eof = true;
            break;
        }
        m_data.insert(m_data.end(), chunk.get(), chunk.get() + got);
    }
    return m_data.size() >= end;
}

size_t ForwardBiasedSeekableInStream::Read(void* buf, size_t n) {
    size_t got = ReadAt(m_pos, buf, n);
    m_pos += got;
    return got;
}

bool ForwardBiasedSeekableInStream::Seek(uint64_t pos) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!FillTo(pos)) return false;
    m_pos = pos;
    return true;
}

size_t ForwardBiasedSeekableInStream::ReadAt(uint64_t pos, void* buf, size_t n) {
    std::lock_guard<std::mutex> g(m_lock);
    uint64_t end = n > UINT64_MAX - pos ? UINT64_MAX : pos + n;
    FillTo(end);
    return CopyFrom(m_data.data(), m_data.size(), pos, buf, n);
}

}  // namespace Kernel
