// A layer's pixels decoded a band of rows at a time, for readers (the renderer) that walk a
// document top to bottom and never need a whole layer in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/raster/Bitmap.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"

namespace PSD {

// The located channels of one layer, decodable by rows. Decode may be called from several
// threads at once.
class PSDLayerRows {
public:
    // False when the layer cannot be read by rows: no stored channels, or channels that do not
    // locate; the caller then decodes the whole bitmap, which reports why. ZIP channels are read
    // by rows only when zipWindow > 0: their streams inflate in order, and the last zipWindow rows
    // are kept for bands asked for a little out of order (an older band inflates again from the
    // start).
    bool Init(PSDLayer const& layer, uint32_t zipWindow = 0);
    // The same for the user mask (real: the real mask) into bitmaps of the mask's width: false
    // unless its bounds are not empty and it is stored raw, RLE, or ZIP with zipWindow > 0.
    bool InitMask(PSDLayer const& layer, bool real, uint32_t zipWindow = 0);
    // Rows [first, first + out's height) of the layer into out, a bitmap of the layer's width
    // in its bitmap format. False with the error in the report. A ZIP stream that ends early or
    // is damaged leaves its channel zero from there on, and Damage() says so.
    bool Decode(uint32_t first, Raster::DynamicBitmap& out, PSDReport& report) const;
    Raster::Format GetFormat() const { return m_format; }
    // Empty, or what went wrong in a ZIP channel.
    std::string Damage() const;

private:
    // One ZIP channel's stream and the rows it inflated last.
    struct ZipCursor {
        std::mutex lock;
        std::unique_ptr<ZipChannelRows> stream;
        uint32_t next = 0;    // the row the stream gives next
        uint32_t window = 0;  // rows the ring holds
        uint64_t served = 0;  // rows handed out since the stream started, to free it after the last
        std::vector<uint8_t> ring;          // rows [next - window, next), row r at r % window
        uint32_t damagedFrom = UINT32_MAX;  // the first row the stream could not give
    };
    bool DecodeZip(size_t job, uint32_t first, uint32_t rows, Raster::DynamicBitmap& out) const;
    void IndexRows();

    PSDLayer const* m_layer = nullptr;
    Raster::Format m_format = Raster::Format::RGBA8;
    Raster::FormatInfo m_info{};
    std::vector<ChannelJob> m_jobs;
    std::vector<int> m_jobOfTarget;
    std::vector<ChannelBytes> m_bytes;
    // Per RLE job, where each row's packed bytes start: a band then finds its first row at once.
    std::vector<std::vector<uint64_t>> m_rowStarts;
    uint32_t m_zipWindow = 0;
    bool m_fillFirst = false;  // a mask whose default colour is not zero: full before decoding
    std::vector<std::unique_ptr<ZipCursor>> m_zip;  // per job, null for the others
};

}  // namespace PSD
