#include "psd/layer/PSDLayerRows.h"

#include <algorithm>
#include <cstring>

#include "psd/io/PSDParseData.h"

namespace PSD {

bool PSDLayerRows::Init(PSDLayer const& layer, uint32_t zipWindow) {
    m_layer = &layer;
    if (layer.m_bitmap || !layer.m_stream || layer.m_dataPosition == 0 || layer.GetWidth() <= 0 ||
        layer.GetHeight() <= 0 || !LayerBitmapFormat(layer.m_colourMode, layer.m_bitDepth, m_format))
        return false;
    Raster::GetFormatInfo(m_format, m_info);
    PSDLoadData ld(layer.GetSourceSwap());
    if (!layer.LocateBitmapChannels(m_info, m_jobs, m_jobOfTarget, m_bytes, ld)) return false;
    m_zip.clear();
    m_zip.resize(m_jobs.size());
    for (size_t k = 0; k < m_jobs.size(); ++k) {
        unsigned c = m_jobs[k].compression;
        if (c == kCompressionZip || c == kCompressionZipPrediction) {
            if (zipWindow == 0) return false;
            m_zip[k] = std::make_unique<ZipCursor>();
        } else if (c != kCompressionRaw && c != kCompressionRLE) {
            return false;
        }
    }
    m_zipWindow = zipWindow;
    m_fillFirst = false;
    IndexRows();
    return true;
}

bool PSDLayerRows::InitMask(PSDLayer const& layer, bool real, uint32_t zipWindow) {
    m_layer = &layer;
    PSDLayerMask const& mask = real ? layer.m_realMask : layer.m_userMask;
    size_t index;
    uint64_t pos;
    if (!layer.m_stream || layer.m_dataPosition == 0 || !mask.m_present || mask.GetWidth() <= 0 ||
        mask.GetHeight() <= 0 ||
        !layer.FindChannel(real ? PSDChannelInfo::kRealUserMask : PSDChannelInfo::kUserMask, index,
                           pos) ||
        !LayerMaskFormat(layer.m_colourMode, layer.m_bitDepth, m_format))
        return false;
    Raster::GetFormatInfo(m_format, m_info);
    PSDLoadData ld(layer.GetSourceSwap());
    m_jobs.assign(1, ChannelJob());
    m_bytes.clear();
    m_bytes.resize(1);
    if (!layer.LocateMaskChannel(real, m_jobs[0], m_bytes[0], ld)) return false;
    unsigned c = m_jobs[0].compression;
    m_zip.clear();
    m_zip.resize(1);
    if (c == kCompressionZip || c == kCompressionZipPrediction) {
        if (zipWindow == 0) return false;
        m_zip[0] = std::make_unique<ZipCursor>();
    } else if (c != kCompressionRaw && c != kCompressionRLE) {
        return false;
    }
    m_jobOfTarget.assign(1, 0);
    m_zipWindow = zipWindow;
    m_fillFirst = mask.m_defaultColour != 0;
    IndexRows();
    return true;
}

void PSDLayerRows::IndexRows() {
    m_rowStarts.assign(m_jobs.size(), {});
    for (size_t k = 0; k < m_jobs.size(); ++k) {
        ChannelJob const& j = m_jobs[k];
        if (j.compression != kCompressionRLE) continue;
        auto& starts = m_rowStarts[k];
        starts.resize(size_t(j.height) + 1);
        uint64_t at = 0;
        for (uint32_t r = 0; r < j.height; ++r) {
            starts[r] = at;
            at += RowCount(j, r);
        }
        starts[j.height] = at;
    }
}

bool PSDLayerRows::Decode(uint32_t first, Raster::DynamicBitmap& out, PSDReport& report) const {
    uint32_t rows = out.GetHeight();
    PSDLoadData ld(m_layer->GetSourceSwap());
    std::vector<ChannelJob> jobs = m_jobs;
    for (size_t k = 0; k < jobs.size(); ++k) {
        ChannelJob& j = jobs[k];
        if (uint64_t(first) + rows > j.height) {
            report.ErrorParsing();
            return false;
        }
        // ZIP channels are read from their own streams, below.
        j.target.bitmap = m_zip[k] ? nullptr : &out;
        if (m_zip[k]) continue;
        uint64_t skip = 0;
        if (j.compression == kCompressionRLE) {
            skip = m_rowStarts[k][first];  // the rows before the band, by their stored lengths
            j.rowCounts += size_t(first) * j.countBytes;
        } else {
            skip = uint64_t(first) * j.width * j.sampleBytes;
        }
        if (skip > j.size) {
            report.ErrorTruncated();
            return false;
        }
        j.data += skip;
        j.size -= skip;
        j.height = rows;
    }
    if (m_fillFirst) FillChannel(out, 0);  // as a whole mask is, for rows the data leaves unset
    if (m_jobOfTarget[unsigned(m_info.alphaChannel)] < 0)
        FillChannel(out, unsigned(m_info.alphaChannel));
    for (unsigned c = 0; c < m_info.channels; ++c)
        if (m_jobOfTarget[c] < 0 && int(c) != m_info.alphaChannel) out.FillChannel(c, 0.0);
    if (!DecodeChannels(jobs, ld)) {
        report.SetError(ld.m_report.m_error);
        return false;
    }
    for (size_t k = 0; k < m_jobs.size(); ++k) {
        if (!m_zip[k]) continue;
        try {
            if (!DecodeZip(k, first, rows, out)) {
                report.ErrorParsing();
                return false;
            }
        } catch (std::bad_alloc const&) {
            report.ErrorAlloc();
            return false;
        }
    }
    return true;
}

bool PSDLayerRows::DecodeZip(size_t k, uint32_t first, uint32_t rows,
                             Raster::DynamicBitmap& out) const {
    ZipCursor& c = *m_zip[k];
    ChannelJob const& whole = m_jobs[k];
    ChannelJob job = whole;
    job.target.bitmap = &out;
    job.height = rows;
    size_t rowBytes = size_t(whole.width) * whole.sampleBytes;
    std::lock_guard<std::mutex> hold(c.lock);
    uint32_t held = c.ring.empty() ? 0 : std::min(c.next, c.window);
    if (c.ring.empty() || first < c.next - held || rows > c.window) {
        // From the start: the first band, a band older than the rows kept, or a second pass.
        c.stream = std::make_unique<ZipChannelRows>(whole);
        c.next = 0;
        c.served = 0;
        c.window = std::max(std::min(m_zipWindow, whole.height), rows);
        c.ring.assign(size_t(c.window) * rowBytes, 0);
    }
    uint32_t window = c.window;
    while (c.next < first + rows) {
        uint8_t* slot = c.ring.data() + size_t(c.next % window) * rowBytes;
        if (c.next >= c.damagedFrom || !c.stream->Next(slot)) {
            c.damagedFrom = std::min(c.damagedFrom, c.next);
            std::memset(slot, 0, rowBytes);
        }
        ++c.next;
    }
    if (c.next == whole.height) c.stream.reset();  // every row is out: the inflater's state goes
    for (uint32_t r = 0; r < rows; ++r)
        if (!ZipChannelRows::Store(job, c.ring.data() + size_t((first + r) % window) * rowBytes, r))
            return false;
    // Each band asks once a pass: after the last, the rows kept are not needed again.
    c.served += rows;
    if (c.served >= whole.height && c.next == whole.height) std::vector<uint8_t>().swap(c.ring);
    return true;
}

std::string PSDLayerRows::Damage() const {
    for (auto const& c : m_zip) {
        if (!c) continue;
        std::lock_guard<std::mutex> hold(c->lock);
        if (c->damagedFrom == UINT32_MAX) continue;
        PSDReport report;
        report.ErrorTruncated();
        return std::string(report.m_error->Report()) + " (ZIP data, from row " +
               std::to_string(c->damagedFrom) + ")";
    }
    return {};
}

}  // namespace PSD
