// Builds small documents byte by byte for tests: a header and the four sections after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct Bytes : std::vector<uint8_t> {
    Bytes& U8(uint8_t v) { push_back(v); return *this; }
    Bytes& U16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
    Bytes& U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
    Bytes& U64(uint64_t v) { return U32(uint32_t(v >> 32)).U32(uint32_t(v)); }
    // Byte by byte: GCC 12 takes a range insert into a small vector for an overflow.
    Bytes& Str(std::string const& s) { for (char c : s) push_back(uint8_t(c)); return *this; }
    Bytes& Append(std::vector<uint8_t> const& b) { for (uint8_t c : b) push_back(c); return *this; }
    Bytes& Zeros(size_t n) { insert(end(), n, 0); return *this; }
};

struct Header {
    uint16_t version = 1;
    uint16_t channels = 3;
    uint32_t height = 4;
    uint32_t width = 5;
    uint16_t depth = 8;
    uint16_t mode = 3;
};

inline Bytes HeaderBytes(Header const& h, std::string const& signature = "8BPS") {
    Bytes b;
    b.Str(signature).U16(h.version).Zeros(6).U16(h.channels).U32(h.height).U32(h.width).U16(h.depth).U16(h.mode);
    return b;
}

// A whole document with the given section bodies; the layer section length is 8 bytes in PSB.
inline Bytes Document(Header const& h, std::vector<uint8_t> const& colourModeData = {},
                      std::vector<uint8_t> const& resources = {}, std::vector<uint8_t> const& layers = {},
                      std::vector<uint8_t> const& imageData = {}) {
    Bytes b = HeaderBytes(h);
    b.U32(uint32_t(colourModeData.size())).Append(colourModeData);
    b.U32(uint32_t(resources.size())).Append(resources);
    if (h.version == 2)
        b.U64(layers.size());
    else
        b.U32(uint32_t(layers.size()));
    b.Append(layers);
    b.Append(imageData);
    return b;
}

}  // namespace testsupport
