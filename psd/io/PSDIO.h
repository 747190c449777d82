// Contexts of reading and writing, and the big-endian number readers and writers every section
// uses. A short read stores ErrorTruncated in the context's report and returns false.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/report/PSDReport.h"

namespace PSD {

// Byte-order flag: set when multi-byte values must be swapped between stream and memory (always,
// on little-endian hosts, for big-endian documents).
struct ByteOrderFixer {
    bool m_swap = true;
    // Whether the stream it writes is big-endian.
    bool BigEndian() const noexcept { return m_swap == (std::endian::native == std::endian::little); }
    template <class T>
    T Fix(T v) const noexcept {
        if (!m_swap) return v;
        if constexpr (sizeof(T) == 2) {
            uint16_t u;
            std::memcpy(&u, &v, 2);
            u = __builtin_bswap16(u);
            std::memcpy(&v, &u, 2);
        } else if constexpr (sizeof(T) == 4) {
            uint32_t u;
            std::memcpy(&u, &v, 4);
            u = __builtin_bswap32(u);
            std::memcpy(&v, &u, 4);
        } else if constexpr (sizeof(T) == 8) {
            uint64_t u;
            std::memcpy(&u, &v, 8);
            u = __builtin_bswap64(u);
            std::memcpy(&v, &u, 8);
        }
        return v;
    }
};

// The context of any read: a report and the byte-order flag.
struct PSDLoadData {
    PSDLoadData() = default;
    explicit PSDLoadData(bool swap) : m_swap(swap) {}
    PSDReport m_report;
    bool m_swap = true;
    // The document's load setting, passed along to bitmap readers.
    bool m_loadSetting = true;

    ByteOrderFixer Fixer() const { return ByteOrderFixer{m_swap}; }
};

// Reads one number in document byte order.
template <class T>
[[nodiscard]] bool ReadValue(Kernel::InStream& s, T& out, PSDLoadData& ld) {
    static_assert(std::is_arithmetic_v<T>);
    T v;
    if (!s.ReadExact(&v, sizeof(T))) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    out = ByteOrderFixer{ld.m_swap}.Fix(v);
    return true;
}

// Reads n bytes exactly.
[[nodiscard]] inline bool ReadBytes(Kernel::InStream& s, void* out, size_t n, PSDLoadData& ld) {
    if (!s.ReadExact(out, n)) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    return true;
}

// Skips n bytes; passing the end is truncation.
// True when n more bytes may be read: false (with ErrorTruncated) when the stream knows it holds
// fewer. Guards reservations sized from counts in the file.
[[nodiscard]] inline bool CheckAvailable(Kernel::InStreamSeekable& s, uint64_t n, PSDLoadData& ld) {
    uint64_t rem = s.GetRemaining();
    if (rem != Kernel::kUnknownSize && n > rem) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    return true;
}

[[nodiscard]] inline bool SkipBytes(Kernel::InStreamSeekable& s, uint64_t n, PSDLoadData& ld) {
    if (!s.Skip(n)) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    return true;
}

// A four-character key: a 32-bit number, so little-endian data (layered TIFF files) stores its
// bytes reversed ("MIB8", "ryaL").
[[nodiscard]] inline bool ReadKey(Kernel::InStream& s, uint32_t& out, PSDLoadData& ld) {
    uint8_t b[4];
    if (!ReadBytes(s, b, 4, ld)) return false;
    out = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    if (!ld.m_swap) out = __builtin_bswap32(out);
    return true;
}

// Writers return false on a short write and store nothing.
template <class T>
[[nodiscard]] bool WriteValue(Kernel::OutStream& s, T v, ByteOrderFixer const& f) {
    static_assert(std::is_arithmetic_v<T>);
    T w = f.Fix(v);
    return s.Write(&w, sizeof(T));
}

// A four-character code as the 32-bit number it is: in reading order in a big-endian stream,
// reversed in a little-endian one.
[[nodiscard]] inline bool WriteKey(Kernel::OutStream& s, uint32_t key, ByteOrderFixer const& f) {
    return WriteValue(s, key, f);
}

[[nodiscard]] inline bool WriteZeros(Kernel::OutStream& s, size_t n) {
    static uint8_t const zeros[64] = {};
    while (n > 0) {
        size_t k = n < sizeof zeros ? n : sizeof zeros;
        if (!s.Write(zeros, k)) return false;
        n -= k;
    }
    return true;
}

}  // namespace PSD
