// An output stream that refuses every byte past a limit: a full disk for the short-write tests.
#pragma once

#include <algorithm>
#include <cstdint>

#include "host/kernel/Stream.h"

namespace testsupport {

class CappedOutStream : public Kernel::OutStreamSeekable {
public:
    explicit CappedOutStream(uint64_t cap) : m_cap(cap) {}
    bool Write(void const*, size_t n) override {
        if (n > m_cap - std::min(m_cap, m_pos)) return false;
        m_pos += n;
        m_end = std::max(m_end, m_pos);
        return true;
    }
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override {
        if (pos > m_cap) return false;
        m_pos = pos;
        return true;
    }

    uint64_t m_cap, m_pos = 0, m_end = 0;  // m_end: the furthest byte written
};

}  // namespace testsupport
