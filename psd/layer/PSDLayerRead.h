// Reading helpers shared by the layer section, layer record and tagged-block readers.
#pragma once

#include <cstdint>

#include "host/kernel/Stream.h"
#include "psd/io/PSDIO.h"

namespace PSD {

// Moves forward to target: a target behind the position means the lengths disagree
// (ErrorMisaligned); a target past the end is truncation.
[[nodiscard]] inline bool SeekForwardTo(Kernel::InStreamSeekable& s, uint64_t target,
                                        PSDLoadData& ld) {
    if (target < s.GetPosition()) {
        ld.m_report.ErrorMisaligned();
        return false;
    }
    if (target == s.GetPosition()) return true;
    uint64_t size = s.GetSize();
    if ((size != Kernel::kUnknownSize && target > size) || !s.Seek(target)) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    return true;
}

// A length of 4 bytes, or 8 when wide.
[[nodiscard]] inline bool ReadLength(Kernel::InStream& s, bool wide, uint64_t& out,
                                     PSDLoadData& ld) {
    if (wide) return ReadValue(s, out, ld);
    uint32_t v;
    if (!ReadValue(s, v, ld)) return false;
    out = v;
    return true;
}

// a + b, or UINT64_MAX when that overflows (positions past any stream's end).
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

}  // namespace PSD
