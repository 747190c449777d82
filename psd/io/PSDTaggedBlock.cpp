// Stored tagged blocks: their length widths, copying their bodies back, and splitting what the
// model writes into blocks that can be matched against them.
#include "psd/io/PSDTaggedBlock.h"

#include <algorithm>
#include <array>

#include "psd/io/PSDIO.h"

namespace PSD {

namespace {

// Keys whose length field is 8 bytes in a large document, at document level.
constexpr std::array kWideDocumentKeys = {
    Key("LMsk"), Key("Lr16"), Key("Lr32"), Key("Layr"), Key("Mt16"), Key("Mt32"),
    Key("Mtrn"), Key("Alph"), Key("FMsk"), Key("lnk2"), Key("FEid"), Key("FXid"),
    Key("FELS"), Key("PxSD"), Key("MTrn"), Key("lnk3"), Key("lnkE"), Key("extd"),
    Key("extn"), Key("cinf"), Key("artd"), Key("pths"),
};

// At layer level the list is shorter.
constexpr std::array kWideLayerKeys = {
    Key("LMsk"), Key("Lr16"), Key("Lr32"), Key("Layr"), Key("Mt16"),
    Key("Mt32"), Key("Mtrn"), Key("Alph"), Key("FMsk"), Key("lnk2"),
    Key("FEid"), Key("FXid"), Key("PxSD"), Key("MTrn"), Key("lnkE"),
};

// Bodies without a mapping are copied through a buffer of this size.
constexpr size_t kCopyChunk = size_t(1) << 20;

}  // namespace

bool IsWideDocumentKey(uint32_t key) {
    return std::find(kWideDocumentKeys.begin(), kWideDocumentKeys.end(), key) !=
           kWideDocumentKeys.end();
}

bool IsWideLayerKey(uint32_t key) {
    return std::find(kWideLayerKeys.begin(), kWideLayerKeys.end(), key) != kWideLayerKeys.end();
}

bool CopyStoredBytes(Kernel::InStreamSeekable& source, uint64_t position, uint64_t length,
                     Kernel::OutStream& out) {
    uint64_t size = source.GetSize();
    if (size != Kernel::kUnknownSize && (position > size || length > size - position)) return false;
    if (length == 0) return true;
    if (uint8_t const* map = source.GetMapping()) return out.Write(map + position, size_t(length));
    std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(length, kCopyChunk)));
    while (length > 0) {
        size_t n = size_t(std::min<uint64_t>(length, buffer.size()));
        if (source.ReadAt(position, buffer.data(), n) != n || !out.Write(buffer.data(), n))
            return false;
        position += n;
        length -= n;
    }
    return true;
}

uint64_t HashBytes(uint8_t const* data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

bool SplitModelBlocks(std::vector<uint8_t> const& run, std::vector<PSDModelBlock>& out,
                      bool bigEndian) {
    constexpr size_t headerBytes = 12;
    out.clear();
    size_t at = 0;
    while (at < run.size()) {
        if (run.size() - at < headerBytes) return false;
        uint8_t const* h = run.data() + at;
        auto load = [&](uint8_t const* p) {
            return bigEndian ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                             : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        };
        uint32_t key = load(h + 4);
        uint64_t length = load(h + 8);
        uint64_t total = headerBytes + length;
        if (total > run.size() - at) return false;
        PSDModelBlock b;
        b.key = key;
        b.bytes.assign(run.begin() + ptrdiff_t(at), run.begin() + ptrdiff_t(at + total));
        b.hash = HashBytes(b.bytes.data(), b.bytes.size());
        out.push_back(std::move(b));
        at += size_t(total);
    }
    return true;
}

std::vector<PSDBlockBaseline> BaselineOf(std::vector<PSDModelBlock> const& blocks) {
    std::vector<PSDBlockBaseline> out;
    out.reserve(blocks.size());
    for (auto const& b : blocks) out.push_back({b.key, b.hash});
    return out;
}

}  // namespace PSD
