// Builds descriptor bytes by hand for tests, runs parse/save over memory, and fails writes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "psd/descriptor/Descriptor.h"

namespace desctest {

struct DescBytes : std::vector<uint8_t> {
    DescBytes& U8(uint8_t v) {
        push_back(v);
        return *this;
    }
    DescBytes& U16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
    DescBytes& U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
    DescBytes& U64(uint64_t v) { return U32(uint32_t(v >> 32)).U32(uint32_t(v)); }
    DescBytes& Zeros(size_t n) {
        insert(end(), n, 0);
        return *this;
    }
    DescBytes& Str(std::string const& s) {
        insert(end(), s.begin(), s.end());
        return *this;
    }
    DescBytes& Code(char const (&c)[5]) {
        Str(std::string(c, 4));
        return *this;
    }
    DescBytes& CodeKey(char const (&c)[5]) {
        U32(0);
        return Code(c);
    }
    DescBytes& NameKey(std::string const& s) {
        U32(uint32_t(s.size()));
        Str(s);
        return *this;
    }
    DescBytes& Unicode(std::u16string const& s) {
        U32(uint32_t(s.size()));
        for (char16_t u : s) U16(u);
        return *this;
    }
    DescBytes& Double(double d) {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        U64(u);
        return *this;
    }
    // Descriptor body header: empty name, class ID code, item count.
    DescBytes& Body(char const (&classID)[5], uint32_t items) {
        Unicode(u"");
        CodeKey(classID);
        U32(items);
        return *this;
    }
    DescBytes& Then(std::vector<uint8_t> const& b) {
        insert(end(), b.begin(), b.end());
        return *this;
    }
};

inline Kernel::Counted<Kernel::MemoryInStream> Stream(std::vector<uint8_t> const& b) {
    return Kernel::MemoryInStream::Create(b);
}

// Parses a body (no version) from bytes.
inline bool ParseBody(std::vector<uint8_t> const& b, PSD::Descriptor& d, PSD::ParseData& pd) {
    auto s = Stream(b);
    return d.ParseDesc(*s, pd);
}

inline bool SaveBody(PSD::Descriptor const& d, std::vector<uint8_t>& out, bool swap = true) {
    auto s = Kernel::MemoryInOutStreamBase::Create();
    bool ok = d.SaveDesc(*s, PSD::ByteOrderFixer{swap});
    out = s->GetData();
    return ok;
}

// Fails every write once a byte budget is used up.
class FailingOutStream : public Kernel::OutStreamSeekable {
public:
    explicit FailingOutStream(size_t budget) : m_budget(budget) {}
    bool Write(void const*, size_t n) override {
        if (n > m_budget) return m_budget = 0, false;
        m_budget -= n;
        m_pos += n;
        return true;
    }
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override { return m_pos = pos, true; }

private:
    size_t m_budget;
    uint64_t m_pos = 0;
};

}  // namespace desctest
