// Layer pixels: the colour bitmap and the two masks, decoded from the recorded channel data on
// first request and cached in the layer.
#include <mutex>
#include <new>

#include "host/kernel/Memory.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"

namespace PSD {

namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

// Colour channels of the modes that have layer bitmaps; 0 for the others.
unsigned LayerColourChannels(uint32_t mode) {
    switch (mode) {
        case 1:
        case 2:
        case 7:
        case 8:
            return 1;
        case 3:
        case 9:
            return 3;
        case 4:
            return 4;
        default:
            return 0;
    }
}

}  // namespace

bool LayerBitmapFormat(uint32_t mode, uint16_t depth, Raster::Format& out) {
    switch (mode) {
        case 2:
            // Palette indices, one byte each, kept as they are.
            out = Raster::Format::IA8;
            return depth == 8;
        case 1:
        case 7:
        case 8:
            // Duotone and multichannel layers hold one intensity channel like greyscale ones.
            if (depth == 8)
                out = Raster::Format::IA8;
            else if (depth == 16)
                out = Raster::Format::IA16;
            else if (depth == 32)
                out = Raster::Format::IAF;
            else
                return false;
            return true;
        case 3:
            if (depth == 8)
                out = Raster::Format::RGBA8;
            else if (depth == 16)
                out = Raster::Format::RGBA16;
            else if (depth == 32)
                out = Raster::Format::RGBAF;
            else
                return false;
            return true;
        case 4:
            out = depth == 16 ? Raster::Format::CMYKA16 : Raster::Format::CMYKA8;
            return depth == 8 || depth == 16;
        case 9:
            out = Raster::Format::LABA16;
            return depth == 8 || depth == 16;
        default:
            return false;
    }
}

bool LayerMaskFormat(uint32_t mode, uint16_t depth, Raster::Format& out) {
    if (depth == 32)
        out = Raster::Format::AF;
    else if (depth == 16)
        out = Raster::Format::A16;
    else if (depth == 8)
        out = mode == 9 ? Raster::Format::A16 : Raster::Format::A8;
    else
        return false;
    return true;
}

namespace {

// Locates and checks the data block at pos for job (target and shape set); bytes keeps the copy
// when the stream is not mapped.
bool PrepareLayerChannel(Kernel::InStreamSeekable& stream, uint64_t pos, uint64_t length,
                         bool isPSB, ChannelBytes& bytes, ChannelJob& job, PSDLoadData& ld) {
    if (!bytes.Read(stream, pos, length, ld)) return false;
    return PrepareChannelBlock(bytes.Data(), length, isPSB, job, ld);
}

// Decoding sets every sample (channels no block fills are filled or zeroed explicitly), so the
// memory need not be zeroed first.
BitmapRef CreateBitmap(uint32_t width, uint32_t height, Raster::Format format, PSDLoadData& ld) {
    try {
        return Raster::DynamicBitmap::Create(width, height, format, Raster::Contents::Unspecified);
    } catch (std::bad_alloc const&) {
        ld.m_report.ErrorAlloc();
        return nullptr;
    }
}

}  // namespace

bool PSDLayer::HasStoredBitmap() const {
    if (!m_stream || m_dataPosition == 0) return false;
    for (auto const& c : m_channels)
        if (c.m_id >= PSDChannelInfo::kTransparency) return true;
    return false;
}

bool PSDLayer::HasStoredUserMask() const {
    size_t index;
    uint64_t pos;
    return m_userMask.m_present && FindChannel(PSDChannelInfo::kUserMask, index, pos);
}

bool PSDLayer::HasStoredRealMask() const {
    size_t index;
    uint64_t pos;
    return m_realMask.m_present && FindChannel(PSDChannelInfo::kRealUserMask, index, pos);
}

bool PSDLayer::LocateBitmapChannels(Raster::FormatInfo const& info, std::vector<ChannelJob>& jobs,
                                    std::vector<int>& jobOfTarget, std::vector<ChannelBytes>& bytes,
                                    PSDLoadData& ld) const {
    unsigned colourChannels = LayerColourChannels(m_colourMode);
    jobs.clear();
    bytes.assign(m_channels.size(), ChannelBytes());
    jobOfTarget.assign(info.channels, -1);
    // A repeated identifier is decoded once, from its last block, as a sequential reader would
    // leave it.
    uint64_t pos = m_dataPosition;
    for (size_t i = 0; i < m_channels.size(); ++i) {
        PSDChannelInfo const& c = m_channels[i];
        int target = -1;
        if (c.m_id >= 0 && unsigned(c.m_id) < colourChannels)
            target = c.m_id;
        else if (c.m_id == PSDChannelInfo::kTransparency)
            target = info.alphaChannel;
        if (target >= 0) {
            ChannelJob job;
            job.target = {nullptr, unsigned(target), false};
            job.width = uint32_t(GetWidth());
            job.height = uint32_t(GetHeight());
            job.sampleBytes = m_bitDepth / 8;
            job.countsBigEndian = ld.m_swap;
            if (!PrepareLayerChannel(*m_stream, pos, c.m_length, m_isPSB, bytes[i], job, ld))
                return false;
            if (jobOfTarget[target] >= 0)
                jobs[jobOfTarget[target]] = job;
            else {
                jobOfTarget[target] = int(jobs.size());
                jobs.push_back(job);
            }
        }
        if (!Kernel::CheckedAdd(pos, c.m_length, pos)) {
            ld.m_report.ErrorTruncated();
            return false;
        }
    }
    return true;
}

bool PSDLayer::LoadBitmap(PSDLoadData& ld) const {
    if (!m_stream || m_dataPosition == 0) {
        ld.m_report.ErrorParsing();
        return false;
    }
    bool hasPixels = false;
    for (auto const& c : m_channels) hasPixels |= c.m_id >= PSDChannelInfo::kTransparency;
    if (!hasPixels) return true;

    Raster::Format format;
    if (!LayerBitmapFormat(m_colourMode, m_bitDepth, format)) {
        ld.m_report.ErrorParsing();
        return false;
    }
    // Bounds that enclose nothing (inverted ones included) give an empty bitmap without reading.
    int64_t width = GetWidth(), height = GetHeight();
    if (width <= 0 || height <= 0) {
        m_bitmap = CreateBitmap(0, 0, format, ld);
        return bool(m_bitmap);
    }

    Raster::FormatInfo info;
    Raster::GetFormatInfo(format, info);

    // Every channel the bitmap takes is located and checked before the bitmap is allocated.
    std::vector<ChannelJob> jobs;
    std::vector<ChannelBytes> bytes;
    std::vector<int> jobOfTarget;
    if (!LocateBitmapChannels(info, jobs, jobOfTarget, bytes, ld)) return false;
    bool alphaRead = jobOfTarget[unsigned(info.alphaChannel)] >= 0;

    m_bitmap = CreateBitmap(uint32_t(width), uint32_t(height), format, ld);
    if (!m_bitmap) return false;
    for (auto& j : jobs) j.target.bitmap = m_bitmap.Get();
    if (!alphaRead) FillChannel(*m_bitmap, unsigned(info.alphaChannel));
    for (unsigned c = 0; c < info.channels; ++c)
        if (jobOfTarget[c] < 0 && int(c) != info.alphaChannel) m_bitmap->FillChannel(c, 0.0);
    bool ok = DecodeChannels(jobs, ld);
    for (auto const& j : jobs) m_damagedBitmap |= j.damagedRows > 0;
    if (!ok) return false;
    m_bitmap->InvalidateMipmaps();
    m_bitmap->Scrub();
    return true;
}

namespace {

// The user mask and the real mask differ only in which record, channel and cache they use.
bool LoadMask(PSDLayer const& layer, PSDLayerMask const& mask, int16_t id, BitmapRef& cache,
              bool& damaged, PSDLoadData& ld) {
    if (!layer.m_stream || layer.m_dataPosition == 0) {
        ld.m_report.ErrorParsing();
        return false;
    }
    size_t index;
    uint64_t pos;
    if (!mask.m_present || !layer.FindChannel(id, index, pos)) return true;
    Raster::Format format;
    if (!LayerMaskFormat(layer.m_colourMode, layer.m_bitDepth, format)) {
        ld.m_report.ErrorParsing();
        return false;
    }
    int64_t width = mask.GetWidth(), height = mask.GetHeight();
    if (width <= 0 || height <= 0) {
        cache = CreateBitmap(0, 0, format, ld);
        return bool(cache);
    }
    std::vector<ChannelJob> jobs(1);
    ChannelJob& job = jobs[0];
    ChannelBytes bytes;
    if (!layer.LocateMaskChannel(id == PSDChannelInfo::kRealUserMask, job, bytes, ld)) return false;
    cache = CreateBitmap(uint32_t(width), uint32_t(height), format, ld);
    if (!cache) return false;
    job.target.bitmap = cache.Get();
    if (mask.m_defaultColour != 0) FillChannel(*cache, 0);  // the decoded channel overwrites it
    bool ok = DecodeChannels(jobs, ld);
    damaged = job.damagedRows > 0;
    if (!ok) return false;
    cache->InvalidateMipmaps();
    cache->Scrub();
    return true;
}

}  // namespace

bool PSDLayer::LocateMaskChannel(bool real, ChannelJob& job, ChannelBytes& bytes,
                                 PSDLoadData& ld) const {
    PSDLayerMask const& mask = real ? m_realMask : m_userMask;
    size_t index;
    uint64_t pos;
    if (!m_stream || !FindChannel(real ? PSDChannelInfo::kRealUserMask : PSDChannelInfo::kUserMask,
                                  index, pos)) {
        ld.m_report.ErrorParsing();
        return false;
    }
    job = ChannelJob();
    job.target = {nullptr, 0, mask.m_invert};
    job.width = uint32_t(mask.GetWidth());
    job.height = uint32_t(mask.GetHeight());
    job.sampleBytes = m_bitDepth / 8;
    job.countsBigEndian = ld.m_swap;
    return PrepareLayerChannel(*m_stream, pos, m_channels[index].m_length, m_isPSB, bytes, job, ld);
}

bool PSDLayer::LoadBitmapUserMask(PSDLoadData& ld) const {
    return LoadMask(*this, m_userMask, PSDChannelInfo::kUserMask, m_bitmapUserMask,
                    m_damagedUserMask, ld);
}

bool PSDLayer::LoadBitmapRealMask(PSDLoadData& ld) const {
    return LoadMask(*this, m_realMask, PSDChannelInfo::kRealUserMask, m_bitmapRealMask,
                    m_damagedRealMask, ld);
}

namespace {

// The lock makes concurrent first requests decode once: the others wait and take the cached bitmap.
template <class Loader>
bool GetCached(PSDLayer const& layer, std::mutex& lock, BitmapRef const& cache, bool& damaged,
               Raster::DynamicBitmap const*& decoded, Loader load, BitmapRef& out,
               PSDReport& report) {
    std::lock_guard<std::mutex> guard(lock);
    if (!cache) {
        PSDLoadData ld(layer.GetSourceSwap());
        ld.m_report.m_warnings = report.m_warnings;
        damaged = false;
        if (!load(ld)) {
            report.SetError(ld.m_report.m_error);
            return false;
        }
        // Remembered so that a bitmap the host puts in its place is known as an edit.
        decoded = cache.Get();
    }
    out = cache;
    return true;
}

}  // namespace

bool PSDLayer::GetBitmap(Kernel::Counted<Raster::DynamicBitmap>& out, PSDReport& report) const {
    return GetCached(
        *this, m_cacheLocks[0], m_bitmap, m_damagedBitmap, m_decoded[0], [this](PSDLoadData& ld) { return LoadBitmap(ld); }, out,
        report);
}

namespace {

// Drops a cache when it holds the decoded bitmap (an edit stays).
void ReleaseIfDecoded(std::mutex& lock, BitmapRef& cache, Raster::DynamicBitmap const*& decoded) {
    std::lock_guard<std::mutex> guard(lock);
    if (cache && cache.Get() == decoded) {
        cache = nullptr;
        decoded = nullptr;
    }
}

}  // namespace

void PSDLayer::ReleaseDecodedBitmap() const {
    ReleaseIfDecoded(m_cacheLocks[0], m_bitmap, m_decoded[0]);
}

void PSDLayer::ReleaseDecodedMask(bool real) const {
    if (real)
        ReleaseIfDecoded(m_cacheLocks[2], m_bitmapRealMask, m_decoded[2]);
    else
        ReleaseIfDecoded(m_cacheLocks[1], m_bitmapUserMask, m_decoded[1]);
}

bool PSDLayer::HasCachedMask(bool real) const {
    std::lock_guard<std::mutex> guard(m_cacheLocks[real ? 2 : 1]);
    return bool(real ? m_bitmapRealMask : m_bitmapUserMask);
}

bool PSDLayer::GetBitmapUserMask(Kernel::Counted<Raster::DynamicBitmap>& out,
                                 PSDReport& report) const {
    return GetCached(
        *this, m_cacheLocks[1], m_bitmapUserMask, m_damagedUserMask, m_decoded[1],
        [this](PSDLoadData& ld) { return LoadBitmapUserMask(ld); }, out, report);
}

bool PSDLayer::GetBitmapRealMask(Kernel::Counted<Raster::DynamicBitmap>& out,
                                 PSDReport& report) const {
    return GetCached(
        *this, m_cacheLocks[2], m_bitmapRealMask, m_damagedRealMask, m_decoded[2],
        [this](PSDLoadData& ld) { return LoadBitmapRealMask(ld); }, out, report);
}

}  // namespace PSD
