// Builders for hand-made layer sections: records, tagged blocks, layer info and the whole section.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/MinimalDocument.h"

namespace layertest {

using testsupport::Bytes;

inline Bytes Slice(Bytes const& b, size_t from, size_t to) {
    Bytes out;
    out.insert(out.end(), b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(to));
    return out;
}

inline Bytes Length(uint64_t n, bool wide) {
    Bytes b;
    if (wide)
        b.U64(n);
    else
        b.U32(uint32_t(n));
    return b;
}

// A tagged block: signature, key, length (8 bytes when wide), body, then pad zeros that are not
// counted in the length.
inline Bytes Block(std::string const& key, Bytes const& body, bool wide = false, size_t pad = 0,
                   std::string const& signature = "8BIM") {
    Bytes b;
    b.Str(signature).Str(key).Append(Length(body.size(), wide)).Append(body).Zeros(pad);
    return b;
}

inline Bytes PascalName(std::string const& name) {
    Bytes b;
    b.U8(uint8_t(name.size())).Str(name);
    while (b.size() % 4) b.U8(0);
    return b;
}

inline Bytes DefaultRanges(unsigned sets) {
    Bytes b;
    b.U32(sets * 8);
    for (unsigned i = 0; i < sets; ++i)
        b.U8(0).U8(0).U8(0xFF).U8(0xFF).U8(0).U8(0).U8(0xFF).U8(0xFF);
    return b;
}

struct Record {
    int32_t top = 0, left = 0, bottom = 2, right = 3;
    std::vector<std::pair<int16_t, uint64_t>> channels = {{-1, 2}, {0, 2}, {1, 2}, {2, 2}};
    std::string signature = "8BIM";
    std::string key = "norm";
    uint8_t opacity = 255, clipping = 0, flags = 0;
    bool noExtra = false;
    Bytes mask = Bytes().U32(0);
    Bytes ranges = DefaultRanges(1);
    Bytes name = PascalName("Layer");
    Bytes blocks;
    // Blocks given for the channels at the end of the list, in place of filler.
    std::vector<Bytes> lastData;

    Bytes Build(bool psb = false) const {
        Bytes b;
        b.U32(uint32_t(top)).U32(uint32_t(left)).U32(uint32_t(bottom)).U32(uint32_t(right));
        b.U16(uint16_t(channels.size()));
        for (auto const& [id, len] : channels) b.U16(uint16_t(id)).Append(Length(len, psb));
        b.Str(signature).Str(key).U8(opacity).U8(clipping).U8(flags).U8(0);
        if (noExtra) return b.U32(0);
        Bytes extra;
        extra.Append(mask).Append(ranges).Append(name).Append(blocks);
        return b.U32(uint32_t(extra.size())).Append(extra);
    }

    // Channel data matching the channel list: each block is compression 0 then filler bytes,
    // up to the blocks given in lastData.
    Bytes Data(uint8_t fill) const {
        Bytes b;
        for (size_t i = 0; i + lastData.size() < channels.size(); ++i) {
            b.U16(0);
            for (uint64_t n = 2; n < channels[i].second; ++n) b.U8(fill);
        }
        for (auto const& d : lastData) b.Append(d);
        return b;
    }
};

// Layer info content (count, records, channel data) with its length field in front.
inline Bytes LayerInfo(int16_t count, std::vector<Record> const& records, bool psb = false,
                       bool withData = true) {
    Bytes content;
    content.U16(uint16_t(count));
    for (auto const& r : records) content.Append(r.Build(psb));
    if (withData)
        for (size_t i = 0; i < records.size(); ++i)
            content.Append(records[i].Data(uint8_t(0xA0 + i)));
    while (content.size() % 4) content.U8(0);
    return Length(content.size(), psb).Append(content);
}

// Section body (what follows the section length): layer info, global mask info, blocks.
inline Bytes Section(Bytes const& layerInfo, Bytes const& documentBlocks = {},
                     bool withGlobalMask = true) {
    Bytes b = layerInfo;
    if (withGlobalMask) b.U32(16).U16(0).U8(0xFF).U8(0xFF).Zeros(6).U16(50).U8(128).Zeros(3);
    return b.Append(documentBlocks);
}

}  // namespace layertest
