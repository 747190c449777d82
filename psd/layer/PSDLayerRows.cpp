#include "psd/layer/PSDLayerRows.h"

#include "psd/io/PSDParseData.h"

namespace PSD {

bool PSDLayerRows::Init(PSDLayer const& layer) {
    m_layer = &layer;
    if (layer.m_bitmap || !layer.m_stream || layer.m_dataPosition == 0 || layer.GetWidth() <= 0 ||
        layer.GetHeight() <= 0 || !LayerBitmapFormat(layer.m_colourMode, layer.m_bitDepth, m_format))
        return false;
    Raster::GetFormatInfo(m_format, m_info);
    PSDLoadData ld(layer.GetSourceSwap());
    if (!layer.LocateBitmapChannels(m_info, m_jobs, m_jobOfTarget, m_bytes, ld)) return false;
    for (auto const& j : m_jobs)
        if (j.compression != kCompressionRaw && j.compression != kCompressionRLE) return false;
    m_rowStarts.resize(m_jobs.size());
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
    return true;
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
        j.target.bitmap = &out;
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
    if (m_jobOfTarget[unsigned(m_info.alphaChannel)] < 0)
        FillChannel(out, unsigned(m_info.alphaChannel));
    for (unsigned c = 0; c < m_info.channels; ++c)
        if (m_jobOfTarget[c] < 0 && int(c) != m_info.alphaChannel) out.FillChannel(c, 0.0);
    if (!DecodeChannels(jobs, ld)) {
        report.SetError(ld.m_report.m_error);
        return false;
    }
    return true;
}

}  // namespace PSD
