// A forward-only stream that hands out at most one byte per read: the harshest reader a
// parser can meet.
#pragma once

#include <cstring>
#include <vector>

#include "host/kernel/Stream.h"

namespace testsupport {

class OneByteInStream : public Kernel::InStream {
public:
    explicit OneByteInStream(std::vector<uint8_t> data) : m_data(std::move(data)) {}
    size_t Read(void* buf, size_t n) override {
        if (n == 0 || m_pos >= m_data.size()) return 0;
        std::memcpy(buf, m_data.data() + m_pos++, 1);
        return 1;
    }

private:
    std::vector<uint8_t> m_data;
    size_t m_pos = 0;
};

}  // namespace testsupport
