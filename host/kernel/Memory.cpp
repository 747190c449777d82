#include "host/kernel/Memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace Kernel {

namespace {
// 64 GiB: above any bitmap a PSB can legitimately describe on the machines we run on.
std::atomic<uint64_t> g_limit{uint64_t(64) << 30};
}  // namespace

uint64_t GetAllocationLimit() noexcept {
    return g_limit.load(std::memory_order_relaxed);
}
void SetAllocationLimit(uint64_t bytes) noexcept {
    g_limit.store(bytes, std::memory_order_relaxed);
}

namespace {
// Below this, the allocator's zeroing is cheap and its free lists are worth keeping.
constexpr size_t kMapThreshold = size_t(4) << 20;
constexpr size_t kHugePage = size_t(2) << 20;

// Freed mappings waiting for the next buffer of about their size: decoding layer after layer then
// reuses pages already faulted in instead of having the kernel clear fresh ones.
class KeptBlocks {
public:
    // A kept block of at least size bytes and not much more, or null.
    void* Take(size_t size, size_t& mappedSize) noexcept {
        std::lock_guard<std::mutex> g(m_lock);
        for (size_t i = m_blocks.size(); i-- > 0;) {
            Block b = m_blocks[i];
            if (b.size < size || b.size - size > size / 8) continue;
            m_blocks.erase(m_blocks.begin() + long(i));
            m_bytes -= b.size;
            mappedSize = b.size;
            return b.ptr;
        }
        return nullptr;
    }

    // Keeps the block, dropping the oldest ones beyond the limit; false when it is not kept.
    bool Give(void* ptr, size_t size) noexcept {
        if (size > LargeBuffer::kKeptBytes) return false;
        std::vector<Block> drop;
        {
            std::lock_guard<std::mutex> g(m_lock);
            try {
                m_blocks.push_back({ptr, size});
            } catch (...) {
                return false;
            }
            m_bytes += size;
            size_t n = 0;
            while (m_bytes > LargeBuffer::kKeptBytes) m_bytes -= m_blocks[n++].size;
            drop.assign(m_blocks.begin(), m_blocks.begin() + long(n));
            m_blocks.erase(m_blocks.begin(), m_blocks.begin() + long(n));
        }
        for (Block const& b : drop) munmap(b.ptr, b.size);
        return true;
    }

    void Release() noexcept {
        std::vector<Block> drop;
        {
            std::lock_guard<std::mutex> g(m_lock);
            drop.swap(m_blocks);
            m_bytes = 0;
        }
        for (Block const& b : drop) munmap(b.ptr, b.size);
    }

private:
    struct Block {
        void* ptr;
        size_t size;
    };
    std::mutex m_lock;
    std::vector<Block> m_blocks;
    size_t m_bytes = 0;
};

// Never destroyed: buffers may outlive every other static.
KeptBlocks& Kept() {
    static KeptBlocks* k = new KeptBlocks;
    return *k;
}

}  // namespace

LargeBuffer::~LargeBuffer() {
    if (m_mappedSize) {
        if (!Kept().Give(m_ptr, m_mappedSize)) munmap(m_ptr, m_mappedSize);
    } else {
        std::free(m_ptr);
    }
}

void LargeBuffer::Swap(LargeBuffer& other) noexcept {
    std::swap(m_ptr, other.m_ptr);
    std::swap(m_size, other.m_size);
    std::swap(m_mappedSize, other.m_mappedSize);
}

bool LargeBuffer::Allocate(size_t size, Contents contents) noexcept {
    LargeBuffer gone(std::move(*this));
    if (size >= kMapThreshold) {
        size_t mapped = 0;
        void* p = contents == Contents::Unspecified ? Kept().Take(size, mapped) : nullptr;
        if (!p) {
            p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) return false;
            mapped = size;
#ifdef MADV_HUGEPAGE
            // Advice only: a kernel without transparent huge pages ignores it.
            if (size >= 4 * kHugePage) madvise(p, size, MADV_HUGEPAGE);
#endif
        }
        m_ptr = static_cast<uint8_t*>(p);
        m_mappedSize = mapped;
    } else {
        // One byte at least, so that an empty buffer still has an address.
        size_t bytes = size ? size : 1;
        m_ptr = static_cast<uint8_t*>(contents == Contents::Zeroed ? std::calloc(bytes, 1)
                                                                   : std::malloc(bytes));
        if (!m_ptr) return false;
    }
    m_size = size;
    return true;
}

void ReserveLarge(std::vector<uint8_t>& v, size_t n) {
    if (v.capacity() >= n) return;
    v.reserve(n);
#ifdef MADV_HUGEPAGE
    if (n < kMapThreshold) return;
    // Only the whole huge pages inside the block; advice only, as for bitmaps.
    auto start = reinterpret_cast<uintptr_t>(v.data());
    uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t last = (start + v.capacity()) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

void LargeBuffer::ReleaseKept() noexcept {
    Kept().Release();
}

}  // namespace Kernel
