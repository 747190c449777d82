// Allocation failure of large buffers, reported as out of memory rather than a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

namespace Kernel {

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
