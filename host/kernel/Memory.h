// Allocation failure of large buffers, reported as out of memory rather than a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Kernel {

// Memory for pixels and other large buffers. Large blocks come straight from the kernel, which
// hands out zeroed pages (so zeroing costs no extra pass) and may back them with huge pages (fewer
// faults); a block whose contents do not matter may be one a freed buffer left, already faulted in.
class LargeBuffer {
public:
    enum class Contents { Zeroed, Unspecified };
    // Freed blocks are kept a while (at most this many bytes in all) for the next buffer of
    // unspecified contents.
    static constexpr size_t kKeptBytes = size_t(256) << 20;
    // Returns the kept blocks to the system now.
    static void ReleaseKept() noexcept;

    LargeBuffer() = default;
    LargeBuffer(LargeBuffer const&) = delete;
    LargeBuffer& operator=(LargeBuffer const&) = delete;
    LargeBuffer(LargeBuffer&& other) noexcept { Swap(other); }
    LargeBuffer& operator=(LargeBuffer&& other) noexcept {
        LargeBuffer gone(std::move(*this));
        Swap(other);
        return *this;
    }
    ~LargeBuffer();
    // Replaces the buffer by one of size bytes; false (and empty) when the memory is not there.
    bool Allocate(size_t size, Contents contents) noexcept;
    uint8_t* get() const noexcept { return m_ptr; }
    size_t size() const noexcept { return m_size; }

private:
    void Swap(LargeBuffer& other) noexcept;
    uint8_t* m_ptr = nullptr;
    size_t m_size = 0;
    size_t m_mappedSize = 0;  // 0 for heap blocks
};

// Thrown when an allocation the library makes fails; a std::bad_alloc, so callers may catch either.
class MemoryException : public std::bad_alloc {
public:
    char const* what() const noexcept override { return "Out of memory"; }
};

// a * b, or false when the product does not fit.
inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t& out) noexcept {
    return !__builtin_mul_overflow(a, b, &out);
}
inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t& out) noexcept {
    return !__builtin_add_overflow(a, b, &out);
}

// Largest single buffer the library will ask for; larger requests fail as out of memory before
// reaching the allocator. Lowered under fuzzing.
uint64_t GetAllocationLimit() noexcept;
void SetAllocationLimit(uint64_t bytes) noexcept;

// Makes room for n bytes in v (its size is unchanged). A large block is advised to use huge pages,
// so that filling it faults 2 MB at a time rather than 4 KB.
void ReserveLarge(std::vector<uint8_t>& v, size_t n);

// Resizes v to n elements or throws MemoryException (limit exceeded or allocation failed).
template <class T>
void ResizeOrThrow(std::vector<T>& v, uint64_t n) {
    uint64_t bytes;
    if (!CheckedMul(n, sizeof(T), bytes) || bytes > GetAllocationLimit()) throw MemoryException();
    try {
        v.resize(static_cast<size_t>(n));
    } catch (std::bad_alloc const&) {
        throw MemoryException();
    } catch (std::length_error const&) {
        throw MemoryException();  // above max_size() when the limit was raised that far
    }
}

}  // namespace Kernel
