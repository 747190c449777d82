// A layer's pixels decoded a band of rows at a time, for readers (the renderer) that walk a
// document top to bottom and never need a whole layer in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "host/raster/Bitmap.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"

namespace PSD {

// The located channels of one layer, decodable by rows.
class PSDLayerRows {
public:
    // False when the layer cannot be read by rows: no stored channels, a ZIP channel (its stream
    // must be inflated whole), or channels that do not locate; the caller then decodes the whole
    // bitmap, which reports why.
    bool Init(PSDLayer const& layer);
    // Rows [first, first + out's height) of the layer into out, a bitmap of the layer's width
    // in its bitmap format. False with the error in the report.
    bool Decode(uint32_t first, Raster::DynamicBitmap& out, PSDReport& report) const;
    Raster::Format GetFormat() const { return m_format; }

private:
    PSDLayer const* m_layer = nullptr;
    Raster::Format m_format = Raster::Format::RGBA8;
    Raster::FormatInfo m_info{};
    std::vector<ChannelJob> m_jobs;
    std::vector<int> m_jobOfTarget;
    std::vector<ChannelBytes> m_bytes;
    // Per RLE job, where each row's packed bytes start: a band then finds its first row at once.
    std::vector<std::vector<uint64_t>> m_rowStarts;
};

}  // namespace PSD
