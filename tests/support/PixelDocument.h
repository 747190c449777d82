// Builds documents with layer channels and composite data for the pixel tests: channel blocks in
// every compression, layer records with masks, and the layer and mask section around them.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/kernel/Zip.h"
#include "host/raster/Bitmap.h"
#include "tests/support/MinimalDocument.h"

namespace testsupport {

// The packet rules spelled out byte by byte: the packer's word-at-a-time scans must match it, and
// the documents built here pack their rows with it.
inline std::vector<uint8_t> ReferencePack(std::vector<uint8_t> const& in) {
    std::vector<uint8_t> out;
    size_t i = 0, n = in.size();
    auto triple = [&](size_t k) { return in[k] == in[k + 1] && in[k + 1] == in[k + 2]; };
    while (i < n) {
        size_t left = n - i;
        if (left == 1) {
            out.insert(out.end(), {0x00, in[i]});
            i += 1;
        } else if (left == 2) {
            if (in[i] == in[i + 1])
                out.insert(out.end(), {0xFF, in[i]});
            else
                out.insert(out.end(), {0x01, in[i], in[i + 1]});
            i += 2;
        } else if (triple(i)) {
            size_t len = 3;
            while (len < 128 && i + len < n && in[i + len] == in[i]) ++len;
            out.insert(out.end(), {uint8_t(1 - int(len)), in[i]});
            i += len;
        } else if (left >= 4 && in[i] == in[i + 1] && in[i + 2] != in[i + 1] &&
                   in[i + 2] == in[i + 3]) {
            out.insert(out.end(), {0xFF, in[i]});
            i += 2;
        } else {
            size_t window = std::min<size_t>(left, 130), len = 1;
            while (len + 3 <= window && !triple(i + len)) ++len;
            if (len + 3 > window) len = window;
            len = std::min<size_t>(len, 128);
            out.push_back(uint8_t(len - 1));
            out.insert(out.end(), in.begin() + long(i), in.begin() + long(i + len));
            i += len;
        }
    }
    return out;
}

inline std::vector<uint8_t> PackRow(uint8_t const* p, size_t n) {
    return ReferencePack(std::vector<uint8_t>(p, p + n));
}

// Samples as stored: big-endian, rows contiguous. These produce whole channel blocks with the
// 2-byte compression field first.
inline Bytes RawBlock(std::vector<uint8_t> const& samples) {
    Bytes b;
    b.U16(0).Append(samples);
    return b;
}

inline Bytes RLEBlock(std::vector<uint8_t> const& samples, size_t rowBytes, bool psb = false) {
    size_t rows = rowBytes ? samples.size() / rowBytes : 0;
    Bytes counts, data;
    for (size_t y = 0; y < rows; ++y) {
        auto packed = PackRow(samples.data() + y * rowBytes, rowBytes);
        if (psb)
            counts.U32(uint32_t(packed.size()));
        else
            counts.U16(uint16_t(packed.size()));
        data.Append(packed);
    }
    Bytes b;
    b.U16(1).Append(counts).Append(data);
    return b;
}

// sampleBytes 1, 2 or 4; with predict the rows carry deltas (byte planes at 4 bytes).
inline std::vector<uint8_t> PredictSamples(std::vector<uint8_t> s, size_t rowBytes,
                                           unsigned sampleBytes) {
    size_t rows = rowBytes ? s.size() / rowBytes : 0;
    if (sampleBytes == 4) {
        size_t w = rowBytes / 4;
        for (size_t y = 0; y < rows; ++y) {
            uint8_t* row = s.data() + y * rowBytes;
            std::vector<uint8_t> planes(rowBytes);
            for (size_t x = 0; x < w; ++x)
                for (size_t k = 0; k < 4; ++k) planes[k * w + x] = row[4 * x + k];
            for (size_t i = rowBytes; i-- > 1;) planes[i] = uint8_t(planes[i] - planes[i - 1]);
            std::memcpy(row, planes.data(), rowBytes);
        }
    } else {
        Kernel::PredictRows(s.data(), rows, rowBytes, sampleBytes);
    }
    return s;
}

inline Bytes ZipBlock(std::vector<uint8_t> const& samples, size_t rowBytes, unsigned sampleBytes,
                      bool predict) {
    std::vector<uint8_t> src = predict ? PredictSamples(samples, rowBytes, sampleBytes) : samples;
    std::vector<uint8_t> z;
    Kernel::ZlibDeflate(src.data(), src.size(), z, 6);
    Bytes b;
    b.U16(predict ? 3 : 2).Append(z);
    return b;
}

struct ChannelSpec {
    int16_t id;
    std::vector<uint8_t> block;  // compression field included
};

struct MaskSpec {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    uint8_t defaultColour = 0;
    uint8_t flags = 0;  // bit 2: invert
    bool real = false;
    uint8_t realFlags = 0;
    uint8_t realBackground = 0;
    int32_t realTop = 0, realLeft = 0, realBottom = 0, realRight = 0;
};

struct LayerSpec {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<ChannelSpec> channels;
    bool hasMask = false;
    MaskSpec mask;
};

// The layer and mask section body (without its own length field).
inline Bytes LayerSectionBody(std::vector<LayerSpec> const& layers, bool psb,
                              bool mergedTransparency = false) {
    Bytes info;
    int16_t count = int16_t(layers.size());
    info.U16(uint16_t(mergedTransparency ? -count : count));
    for (auto const& l : layers) {
        info.U32(uint32_t(l.top))
            .U32(uint32_t(l.left))
            .U32(uint32_t(l.bottom))
            .U32(uint32_t(l.right));
        info.U16(uint16_t(l.channels.size()));
        for (auto const& c : l.channels) {
            info.U16(uint16_t(c.id));
            if (psb)
                info.U64(c.block.size());
            else
                info.U32(uint32_t(c.block.size()));
        }
        info.Str("8BIMnorm").U8(255).U8(0).U8(0).U8(0);
        Bytes extra;
        if (l.hasMask) {
            MaskSpec const& m = l.mask;
            Bytes md;
            md.U32(uint32_t(m.top))
                .U32(uint32_t(m.left))
                .U32(uint32_t(m.bottom))
                .U32(uint32_t(m.right));
            md.U8(m.defaultColour).U8(m.flags);
            if (m.real) {
                md.U8(m.realFlags).U8(m.realBackground);
                md.U32(uint32_t(m.realTop))
                    .U32(uint32_t(m.realLeft))
                    .U32(uint32_t(m.realBottom))
                    .U32(uint32_t(m.realRight));
            } else {
                md.U16(0);
            }
            extra.U32(uint32_t(md.size())).Append(md);
        } else {
            extra.U32(0);
        }
        extra.U32(0);          // blending ranges
        extra.U8(0).Zeros(3);  // empty Pascal name padded to 4
        info.U32(uint32_t(extra.size())).Append(extra);
    }
    for (auto const& l : layers)
        for (auto const& c : l.channels) info.Append(c.block);
    if (info.size() % 2) info.U8(0);
    Bytes body;
    if (psb)
        body.U64(info.size());
    else
        body.U32(uint32_t(info.size()));
    body.Append(info);
    body.U32(0);  // global layer mask info
    return body;
}

// Image data for the composite: RLE with all count tables first, or raw.
inline Bytes CompositeRaw(std::vector<std::vector<uint8_t>> const& channels) {
    Bytes b;
    b.U16(0);
    for (auto const& c : channels) b.Append(c);
    return b;
}

inline Bytes CompositeRLE(std::vector<std::vector<uint8_t>> const& channels, size_t rowBytes,
                          bool psb) {
    Bytes counts, data;
    for (auto const& c : channels) {
        size_t rows = c.size() / rowBytes;
        for (size_t y = 0; y < rows; ++y) {
            auto packed = PackRow(c.data() + y * rowBytes, rowBytes);
            if (psb)
                counts.U32(uint32_t(packed.size()));
            else
                counts.U16(uint16_t(packed.size()));
            data.Append(packed);
        }
    }
    Bytes b;
    b.U16(1).Append(counts).Append(data);
    return b;
}

inline Bytes CompositeZip(std::vector<std::vector<uint8_t>> const& channels, size_t rowBytes,
                          unsigned sampleBytes, bool predict) {
    std::vector<uint8_t> all;
    for (auto const& c : channels) {
        auto s = predict ? PredictSamples(c, rowBytes, sampleBytes) : c;
        all.insert(all.end(), s.begin(), s.end());
    }
    std::vector<uint8_t> z;
    Kernel::ZlibDeflate(all.data(), all.size(), z, 6);
    Bytes b;
    b.U16(predict ? 3 : 2).Append(z);
    return b;
}

// Deterministic test samples: a gradient with noise, n bytes.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t s = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1103515245u + 12345u;
        v[i] = uint8_t((i / 3) + ((s >> 16) & 3) * ((i / 7) % 5 == 0));
    }
    return v;
}

// Sample c of pixel (x, y) in host order, whatever the sample size.
inline uint32_t Sample(Raster::DynamicBitmap const& bm, unsigned c, uint32_t x, uint32_t y) {
    uint8_t const* p = bm.GetRow(y) + x * bm.GetBytesPerPixel() + c * bm.GetBytesPerSample();
    uint32_t v = 0;
    if (bm.GetBytesPerSample() == 1) return *p;
    if (bm.GetBytesPerSample() == 2) {
        uint16_t s;
        std::memcpy(&s, p, 2);
        return s;
    }
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace testsupport
