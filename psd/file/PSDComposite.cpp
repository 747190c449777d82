// The composite (merged) image: the image data section decoded into the flattened bitmap and one
// mask bitmap per extra channel, on first request, cached in the document.
#include <cstring>
#include <memory>

#include "host/kernel/Memory.h"
#include "host/kernel/Zip.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDChannelCodec.h"

namespace PSD {

namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

// The flattened bitmap's format and how samples are stored, per colour mode and depth.
struct CompositeLayout {
    Raster::Format format = Raster::Format::RGBA8;
    unsigned sampleBytes = 1;  // in the document; 0 for packed 1-bit rows
    bool monochrome = false;
};

// Picks the decoder for the document's mode and depth; false with the refusal in the report.
bool ChooseLayout(uint32_t mode, uint16_t depth, uint16_t channels, CompositeLayout& out,
                  PSDLoadData& ld) {
    auto parsing = [&] {
        ld.m_report.ErrorParsing();
        return false;
    };
    switch (mode) {
        case 0:
            if (depth != 1 || channels != 1) {
                ld.m_report.SetError(PSDError::kUnsupportedColourMode, "Bitmap");
                return false;
            }
            out = {Raster::Format::IA8, 0, true};
            return true;
        case 2:
            // Palette indices, kept as they are.
            if (depth != 8) return parsing();
            out = {Raster::Format::IA8, 1, false};
            return true;
        case 7:
            // The first ink is the intensity; the others are extra channels.
            if (channels == 0) {
                ld.m_report.SetError(PSDError::kUnsupportedColourMode, "Multichannel");
                return false;
            }
            [[fallthrough]];
        case 1:
        case 8:
            if (depth == 8)
                out = {Raster::Format::IA8, 1, false};
            else if (depth == 16)
                out = {Raster::Format::IA16, 2, false};
            else if (depth == 32)
                out = {Raster::Format::IAF, 4, false};
            else
                return parsing();
            return true;
        case 3:
            if (depth == 8)
                out = {Raster::Format::RGBA8, 1, false};
            else if (depth == 16)
                out = {Raster::Format::RGBA16, 2, false};
            else if (depth == 32)
                out = {Raster::Format::RGBAF, 4, false};
            else
                return parsing();
            return true;
        case 4:
            if (depth == 8)
                out = {Raster::Format::CMYKA8, 1, false};
            else if (depth == 16)
                out = {Raster::Format::CMYKA16, 2, false};
            else
                return parsing();
            return true;
        case 9:
            if (depth != 8 && depth != 16) return parsing();
            out = {Raster::Format::LABA16, unsigned(depth / 8), false};
            return true;
        default:
            ld.m_report.SetError(PSDError::kUnsupportedColourMode);
            return false;
    }
}

uint64_t Count(uint8_t const* p, unsigned bytes) {
    return bytes == 4 ? (uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3])
                      : (uint64_t(p[0]) << 8 | p[1]);
}

// Bitmap mode: packed rows, most significant bit first, a set bit is black.
void ExpandBits(uint8_t const* bits, Raster::DynamicBitmap& bm, uint32_t y) {
    uint8_t* d = bm.GetRow(y);
    size_t stride = bm.GetBytesPerPixel();
    for (uint32_t x = 0; x < bm.GetWidth(); ++x, d += stride)
        d[0] = (bits[x >> 3] >> (7 - (x & 7)) & 1) ? 0 : 255;
}

}  // namespace

bool PSDFile::GetBitmap(Kernel::Counted<Raster::DynamicBitmap>& bitmap,
                        std::vector<Kernel::Counted<Raster::DynamicBitmap>>& masks,
                        PSDReport& report) const {
    std::lock_guard<std::mutex> guard(m_compositeLock);
    if (!m_flattenedBitmap) {
        PSDLoadData ld;
        ld.m_report.m_warnings = report.m_warnings;
        ld.m_loadSetting = m_loadSetting;
        if (!GetBitmapI(ld)) {
            report.SetError(ld.m_report.m_error);
            return false;
        }
    }
    bitmap = m_flattenedBitmap;
    masks = m_masks;
    return true;
}

bool PSDFile::GetBitmapI(PSDLoadData& ld) const {
    if (m_tiffSource) return GetTIFFComposite(ld);
    if (!m_sourceStream || m_imageDataPosition == 0) {
        ld.m_report.ErrorParsing();
        return false;
    }
    ChannelBytes bytes;
    if (!bytes.ReadToEnd(*m_sourceStream, m_imageDataPosition, ld)) return false;

    unsigned colourPlusAlpha =
        m_colourMode > 9 ? m_mergedTransparency
                         : ColourChannelCount(m_colourMode, m_mergedTransparency != 0, true);
    unsigned maskCount = m_channelCount > colourPlusAlpha ? m_channelCount - colourPlusAlpha : 0;
    Raster::Format maskFormat = Raster::Format::A8;
    if (maskCount > 0) {
        if (m_depth == 8)
            maskFormat = Raster::Format::A8;
        else if (m_depth == 16)
            maskFormat = Raster::Format::A16;
        else if (m_depth == 32)
            maskFormat = Raster::Format::AF;
        else {
            ld.m_report.ErrorParsing();
            return false;
        }
    }
    CompositeLayout layout;
    if (!ChooseLayout(m_colourMode, m_depth, m_channelCount, layout, ld)) return false;

    uint8_t const* data = bytes.Data();
    uint64_t size = bytes.Size();
    if (size < 2) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    unsigned compression = unsigned(data[0]) << 8 | data[1];
    data += 2;
    size -= 2;
    bool knownCompression = layout.monochrome ? compression <= kCompressionRLE
                                              : compression <= kCompressionZipPrediction;
    if (!knownCompression) {
        ld.m_report.SetError(PSDError::kUnknownCompression, Kernel::ToString(compression));
        return false;
    }

    uint32_t width = m_width, height = m_height;
    unsigned channels = m_channelCount;
    unsigned readIntoBitmap = std::min<unsigned>(channels, colourPlusAlpha);
    unsigned colourChannels = colourPlusAlpha - (m_mergedTransparency ? 1 : 0);
    uint64_t rowBytes, channelBytes, allBytes;
    bool sizeOk = layout.monochrome ? (rowBytes = (uint64_t(width) + 7) / 8, true)
                                    : Kernel::CheckedMul(width, layout.sampleBytes, rowBytes);
    if (!sizeOk || !Kernel::CheckedMul(rowBytes, height, channelBytes) ||
        !Kernel::CheckedMul(channelBytes, channels, allBytes)) {
        ld.m_report.ErrorAlloc();
        return false;
    }

    // Where each channel's stored bytes are, checked against what the section holds before any
    // bitmap is allocated.
    unsigned countBytes = m_isPSB ? 4 : 2;
    std::vector<uint8_t const*> channelData(channels);
    uint8_t const* countTable = nullptr;
    std::unique_ptr<uint8_t[]> inflated;
    if (compression == kCompressionRaw) {
        if (allBytes > size) {
            ld.m_report.ErrorTruncated();
            return false;
        }
        for (unsigned c = 0; c < channels; ++c) channelData[c] = data + c * channelBytes;
    } else if (compression == kCompressionRLE) {
        uint64_t table = uint64_t(height) * channels * countBytes;
        if (table > size) {
            ld.m_report.ErrorTruncated();
            return false;
        }
        countTable = data;
        uint64_t offset = table;
        for (unsigned c = 0; c < channels; ++c) {
            channelData[c] = data + offset;
            for (uint32_t y = 0; y < height; ++y)
                offset += Count(countTable + (uint64_t(c) * height + y) * countBytes, countBytes);
            if (offset > size) {
                ld.m_report.ErrorTruncated();
                return false;
            }
        }
    } else {
        // One deflate stream holds every channel; inflate it whole into a buffer sized from the
        // header.
        if (allBytes > Kernel::ZlibMaxInflatedSize(size)) {
            ld.m_report.ErrorTruncated();
            return false;
        }
        if (allBytes > Kernel::GetAllocationLimit() ||
            !(inflated.reset(new (std::nothrow) uint8_t[size_t(allBytes)]), inflated)) {
            ld.m_report.ErrorAlloc();
            return false;
        }
        Kernel::InflateStatus st =
            Kernel::ZlibInflate(data, size_t(size), inflated.get(), size_t(allBytes));
        if (st != Kernel::InflateStatus::Ok && st != Kernel::InflateStatus::TooLong) {
            ld.m_report.ErrorTruncated();
            return false;
        }
        if (compression == kCompressionZipPrediction) {
            uint64_t rows = uint64_t(height) * channels;
            if (layout.sampleBytes == 4) {
                std::vector<uint8_t> joined(static_cast<size_t>(rowBytes));
                for (uint64_t r = 0; r < rows; ++r) {
                    uint8_t* row = inflated.get() + r * rowBytes;
                    UnpredictFloatRow(row, width, joined.data());
                    std::memcpy(row, joined.data(), size_t(rowBytes));
                }
            } else {
                Kernel::UnpredictRows(inflated.get(), size_t(rows), size_t(rowBytes),
                                      layout.sampleBytes);
            }
        }
        for (unsigned c = 0; c < channels; ++c) channelData[c] = inflated.get() + c * channelBytes;
    }

    BitmapRef flattened;
    std::vector<BitmapRef> masks;
    try {
        // Decoding sets every sample below (channels no block fills are zeroed explicitly), so
        // only the monochrome expansion asks for zeroed memory.
        auto contents =
            layout.monochrome ? Raster::Contents::Zeroed : Raster::Contents::Unspecified;
        flattened = Raster::DynamicBitmap::Create(width, height, layout.format, contents);
        for (unsigned i = 0; i < maskCount; ++i)
            masks.push_back(Raster::DynamicBitmap::Create(width, height, maskFormat, contents));
    } catch (std::bad_alloc const&) {
        ld.m_report.ErrorAlloc();
        return false;
    }

    uint64_t damaged = 0;
    if (layout.monochrome) {
        if (!flattened->IsEmpty()) {
            std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
            for (uint32_t y = 0; y < height; ++y) {
                uint8_t const* bits = channelData[0] + y * rowBytes;
                if (compression == kCompressionRLE) {
                    uint64_t n = Count(countTable + uint64_t(y) * countBytes, countBytes);
                    if (!UnpackBits(channelData[0], size_t(n), row.data(), row.size(), 1)) {
                        std::memset(row.data(), 0, row.size());
                        ++damaged;
                    }
                    channelData[0] += n;
                    bits = row.data();
                }
                ExpandBits(bits, *flattened, y);
            }
        }
        FillChannel(*flattened, unsigned(flattened->GetFormatInfo().alphaChannel));
    } else {
        std::vector<ChannelJob> jobs;
        bool alphaRead = false;
        for (unsigned c = 0; c < channels; ++c) {
            ChannelJob job;
            if (c < readIntoBitmap) {
                bool isAlpha = c >= colourChannels;
                unsigned target = isAlpha ? unsigned(flattened->GetFormatInfo().alphaChannel) : c;
                alphaRead |= isAlpha;
                job.target = {flattened.Get(), target, false};
            } else if (c >= colourPlusAlpha) {
                job.target = {masks[c - colourPlusAlpha].Get(), 0, false};
            } else {
                continue;
            }
            job.width = width;
            job.height = height;
            job.sampleBytes = layout.sampleBytes;
            job.bigEndian = ld.m_swap;
            job.compression = compression == kCompressionRLE ? kCompressionRLE : kCompressionRaw;
            job.data = channelData[c];
            if (inflated) {
                job.size = allBytes - c * channelBytes;
            } else {
                job.size = size - uint64_t(channelData[c] - data);
            }
            if (compression == kCompressionRLE) {
                job.rowCounts = countTable + uint64_t(c) * height * countBytes;
                job.countBytes = countBytes;
            }
            jobs.push_back(job);
        }
        Raster::FormatInfo const& info = flattened->GetFormatInfo();
        if (!alphaRead) FillChannel(*flattened, unsigned(info.alphaChannel));
        for (unsigned c = 0; c < info.channels; ++c) {
            bool read = int(c) == info.alphaChannel;
            for (auto const& j : jobs)
                read |= j.target.bitmap == flattened.Get() && j.target.channel == c;
            if (!read) flattened->FillChannel(c, 0.0);
        }
        if (!DecodeChannels(jobs, ld)) return false;
        for (auto const& j : jobs) damaged += j.damagedRows;
    }

    flattened->InvalidateMipmaps();
    flattened->Scrub();
    for (auto& m : masks) {
        m->InvalidateMipmaps();
        m->Scrub();
    }
    m_flattenedBitmap = std::move(flattened);
    m_masks = std::move(masks);
    m_compositeDamagedRows = damaged;
    m_compositeCompression = int32_t(compression);
    return true;
}

}  // namespace PSD
