// A plane of samples held for a whole render (effects' maps, layer masks) kept as square tiles,
// those of one value throughout sharing a single tile: such planes are flat but near edges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace PSD {

class PackedPlane {
public:
    static constexpr unsigned kShift = 5;
    static constexpr size_t kSide = size_t(1) << kShift;
    static constexpr size_t kMask = kSide - 1;

    // Packs w x h samples of `bytes` bytes each, row r starting at row(r). False, holding
    // nothing, when that would not save an eighth of their size. Samples read back bit for bit.
    bool Pack(size_t w, size_t h, unsigned bytes, std::function<uint8_t const*(size_t)> const& row);
    bool Empty() const { return m_tiles.empty(); }
    // Sample (x, y); the rest of its tile's row follows it, to the next multiple of kSide in x.
    uint8_t const* At(size_t x, size_t y) const {
        size_t t = (y >> kShift) * m_across + (x >> kShift);
        size_t at = (size_t(m_tiles[t]) << (2 * kShift)) + ((y & kMask) << kShift) + (x & kMask);
        return m_store.data() + at * m_bytes;
    }
    size_t StoredBytes() const { return m_store.size(); }

private:
    unsigned m_bytes = 0;
    size_t m_across = 0;            // tiles in a row of them
    std::vector<uint32_t> m_tiles;  // by tile: its place in the store
    std::vector<uint8_t> m_store;   // the tiles, row by row, padded at the plane's edges
};

}  // namespace PSD
