#include "psd/render/PSDPackedPlane.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>

#include "host/kernel/Dispatch.h"
#include "host/kernel/Memory.h"

namespace PSD {

bool PackedPlane::Pack(size_t w, size_t h, unsigned bytes,
                       std::function<uint8_t const*(size_t)> const& row) {
    if (w == 0 || h == 0 || bytes == 0 || bytes > 8) return false;
    size_t wide = (w + kSide - 1) / kSide, down = (h + kSide - 1) / kSide;
    // Which tiles hold one value throughout: their first sample's bytes stand for them.
    std::vector<uint8_t> flat(wide * down);
    Kernel::Dispatch::DispatchParallelFor(down, [&](size_t ty) {
        size_t y0 = ty * kSide, y1 = std::min(h, y0 + kSide);
        std::array<uint8_t, kSide * 8> line;
        for (size_t tx = 0; tx < wide; ++tx) {
            size_t x0 = tx * kSide, n = (std::min(w, x0 + kSide) - x0) * bytes;
            uint8_t const* first = row(y0) + x0 * bytes;
            for (size_t k = 0; k < n; k += bytes) std::memcpy(line.data() + k, first, bytes);
            bool one = true;
            for (size_t y = y0; y < y1 && one; ++y)
                one = std::memcmp(row(y) + x0 * bytes, line.data(), n) == 0;
            flat[ty * wide + tx] = one;
        }
    });
    std::vector<uint32_t> place(flat.size());
    std::map<std::string, uint32_t> shared;  // a flat value's tile, by its bytes
    uint32_t count = 0;
    for (size_t t = 0; t < flat.size(); ++t) {
        if (!flat[t]) {
            place[t] = count++;
            continue;
        }
        uint8_t const* first = row((t / wide) * kSide) + (t % wide) * kSide * bytes;
        auto [it, added] = shared.emplace(std::string(first, first + bytes), count);
        if (added) ++count;
        place[t] = it->second;
    }
    size_t tileBytes = kSide * kSide * bytes;
    if (count * tileBytes * 8 > w * h * bytes * 7) return false;
    std::vector<uint8_t> store;
    Kernel::ResizeOrThrow(store, count * tileBytes);
    for (auto const& [value, at] : shared)
        for (size_t k = 0; k < kSide * kSide; ++k)
            std::memcpy(&store[at * tileBytes + k * bytes], value.data(), bytes);
    Kernel::Dispatch::DispatchParallelFor(down, [&](size_t ty) {
        size_t y0 = ty * kSide, y1 = std::min(h, y0 + kSide);
        for (size_t tx = 0; tx < wide; ++tx) {
            if (flat[ty * wide + tx]) continue;
            size_t x0 = tx * kSide, n = (std::min(w, x0 + kSide) - x0) * bytes;
            uint8_t* out = &store[place[ty * wide + tx] * tileBytes];
            for (size_t y = y0; y < y1; ++y) {
                uint8_t* line = out + (y - y0) * kSide * bytes;
                std::memcpy(line, row(y) + x0 * bytes, n);
                std::memset(line + n, 0, kSide * bytes - n);
            }
            std::memset(out + (y1 - y0) * kSide * bytes, 0, (y0 + kSide - y1) * kSide * bytes);
        }
    });
    m_bytes = bytes;
    m_across = wide;
    m_tiles = std::move(place);
    m_store = std::move(store);
    return true;
}

}  // namespace PSD
