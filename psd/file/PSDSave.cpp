// The save driver: header, colour mode data, the section writers in file order, and the
// composite image.
#include "psd/io/PSDSaveData.h"

#include <bit>
#include <map>
#include <chrono>
#include <cstring>
#include <future>
#include <unordered_set>

#include "host/kernel/Dispatch.h"
#include "psd/file/PSDFile.h"
#include "psd/io/PSDResourceIO.h"
#include "psd/layer/PSDChannelEncoder.h"
#include "psd/layer/PSDLayer.h"

namespace PSD {

namespace {

// HDR toning settings that 32-bit RGB documents carry in their colour mode data.
constexpr uint8_t sColorModeData[112] = {
    0x68, 0x64, 0x72, 0x74, 0x00, 0x00, 0x00, 0x03, 0x3E, 0x6B, 0x85, 0x1F, 0x00, 0x00, 0x00, 0x02,
    0x00, 0x00, 0x00, 0x08, 0x00, 0x44, 0x00, 0x65, 0x00, 0x66, 0x00, 0x61, 0x00, 0x75, 0x00, 0x6C,
    0x00, 0x74, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x41, 0x80, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00, 0x68, 0x64, 0x72, 0x61, 0x00, 0x00,
    0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x41, 0xA0, 0x00, 0x00, 0x41, 0xF0, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

// A 16-bit row count holds at most 32767 packets of 128 bytes.
constexpr uint64_t kMaxWhiteRowBytesPSD = 4194176;

bool Aborted(bool const* abort) {
    return abort && *abort;
}

// Writes the per-row counts of every channel (2 bytes in PSD, 4 in PSB) in channel order.
bool WriteRowCounts(Kernel::OutStream& stream, ByteOrderFixer const& fixer, bool isPSB,
                    std::vector<std::vector<uint32_t>> const& counts) {
    std::vector<uint8_t> buf;
    for (auto const& c : counts) {
        buf.clear();
        buf.reserve(c.size() * 4);
        for (uint32_t n : c) {
            if (isPSB) {
                uint32_t v = fixer.Fix(n);
                uint8_t b[4];
                std::memcpy(b, &v, 4);
                buf.insert(buf.end(), b, b + 4);
            } else {
                if (n > 0xFFFF) return false;
                uint16_t v = fixer.Fix(uint16_t(n));
                uint8_t b[2];
                std::memcpy(b, &v, 2);
                buf.insert(buf.end(), b, b + 2);
            }
        }
        if (!buf.empty() && !stream.Write(buf.data(), buf.size())) return false;
    }
    return true;
}

// Bitmap-mode documents store one bit a pixel, 1 for black.
void PackMonochromeRow(Raster::DynamicBitmap const& bm, uint32_t y, uint8_t* out) {
    uint32_t w = bm.GetWidth();
    size_t step = bm.GetBytesPerPixel();
    unsigned bps = bm.GetBytesPerSample();
    uint8_t const* p = bm.GetRow(y);
    std::memset(out, 0, (size_t(w) + 7) / 8);
    for (uint32_t x = 0; x < w; ++x, p += step) {
        unsigned v;
        if (bps == 1) {
            v = *p;
        } else if (bps == 2) {
            uint16_t s;
            std::memcpy(&s, p, 2);
            v = s >> 8;
        } else {
            float f;
            std::memcpy(&f, p, 4);
            v = f >= 0.5f ? 255 : 0;
        }
        if (v < 128) out[x / 8] |= uint8_t(0x80u >> (x % 8));
    }
}

// A raw composite: compression 0, then every plane's rows in turn, each filled by fill(plane,
// y, row).
template <class Fill>
[[nodiscard]] bool WriteRawRows(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                                bool const* abort, size_t planes, size_t rowBytes, Fill&& fill) {
    if (!WriteValue<uint16_t>(stream, kCompressionRaw, sd.m_fixer)) return false;
    std::vector<uint8_t> row(rowBytes);
    for (size_t p = 0; p < planes; ++p) {
        for (uint32_t y = 0; y < sd.m_height; ++y) {
            if (y % 256 == 0 && Aborted(abort)) return false;
            fill(p, y, row.data());
            if (!row.empty() && !stream.Write(row.data(), row.size())) return false;
        }
    }
    sd.Step();
    return true;
}

}  // namespace

// ---- Composite channels, encoded apart from their writing

// The composite's channels (8 or 16 bits) encoded as RLE: band-packed 8-bit channels in bands,
// the others as row counts and packed rows.
struct EncodedComposite {
    std::vector<EncodedChannel> bands;
    std::vector<std::vector<uint32_t>> counts;
    std::vector<std::vector<uint8_t>> packed;
    bool ok = false;
};

namespace {

// A composite larger than this is encoded when it is written rather than beside the layers: its
// encoded form would be held in memory for the whole save.
constexpr uint64_t kMaxCompositeAheadBytes = uint64_t(1) << 29;

// The composite's channels in file order: colour, transparency when merged, then the extra
// channels. False when the bitmaps do not match the document.
bool CompositeSources(PSDFile const& doc, SaveData const& sd, std::vector<ChannelSource>& out) {
    out.clear();
    if (!doc.m_flattenedBitmap) return false;
    Raster::DynamicBitmap const& bm = *doc.m_flattenedBitmap;
    uint32_t w = sd.m_width, h = sd.m_height;
    unsigned colour = ColourChannelCount(sd.m_colourMode, false, true);
    if (bm.GetWidth() != w || bm.GetHeight() != h || bm.GetChannelCount() < colour + 1)
        return false;
    unsigned depth = sd.m_depth;
    for (unsigned c = 0; c < colour; ++c) out.push_back({&bm, c, depth});
    if (doc.m_mergedTransparency)
        out.push_back({&bm, unsigned(bm.GetFormatInfo().alphaChannel), depth});
    for (auto const& m : doc.m_masks) {
        if (!m || m->GetWidth() != w || m->GetHeight() != h) return false;
        out.push_back({m.Get(), unsigned(m->GetFormatInfo().alphaChannel), depth});
    }
    return out.size() == sd.m_headerChannels;
}

// Composites are written raw or RLE, as other readers expect them: one read raw stays raw (as
// do floats), any other becomes RLE. Compression of the layers does not change it.
bool WritesRawComposite(PSDFile const& doc, SaveData const& sd) {
    return sd.m_depth == 32 || doc.GetCompositeCompression() == int32_t(kCompressionRaw);
}

bool EncodesCompositeAhead(PSDFile const& doc, SaveData const& sd) {
    std::vector<ChannelSource> sources;
    if (sd.m_colourMode == uint32_t(ColourMode::Bitmap) || (sd.m_depth != 8 && sd.m_depth != 16) ||
        WritesRawComposite(doc, sd) || !CompositeSources(doc, sd, sources))
        return false;
    uint64_t bytes = uint64_t(sd.m_width) * sd.m_height * (sd.m_depth / 8) * sources.size();
    return bytes <= kMaxCompositeAheadBytes;
}

// Every channel packed at once on the worker threads.
void EncodeComposite(PSDFile const& doc, SaveData const& sd, bool const* cancel,
                     EncodedComposite& out) {
    out.ok = false;
    std::vector<ChannelSource> sources;
    if (!CompositeSources(doc, sd, sources)) return;
    Raster::DynamicBitmap const& bm = *doc.m_flattenedBitmap;
    size_t n = sources.size();
    try {
        out.counts.assign(n, {});
        out.packed.assign(n, {});
        out.bands.assign(n, {});
    } catch (std::bad_alloc const&) {
        return;
    }
    std::vector<char> ok(n, 0);
    // The composite's own 8-bit channels pack band by band straight from its pixels, with their
    // big-endian row counts in front (the byte order of a document file).
    if (sd.m_depth == 8 && bm.GetBytesPerSample() == 1 && sd.m_fixer.BigEndian()) {
        std::vector<unsigned> channels;
        std::vector<EncodedChannel*> outs;
        for (size_t i = 0; i < n && sources[i].bitmap == &bm; ++i) {
            channels.push_back(sources[i].channel);
            outs.push_back(&out.bands[i]);
        }
        std::vector<char> done;
        if (!EncodeChannelsRLE(bm, channels, sd.m_isPSB, cancel, outs, done)) return;
        for (size_t i = 0; i < done.size(); ++i) ok[i] = done[i];
    }
    try {
        Kernel::Dispatch::DispatchParallelFor(n, [&](size_t i) {
            if (!ok[i])
                ok[i] = EncodeRLERows(sources[i], cancel, out.counts[i], out.packed[i]) ? 1 : 0;
        });
    } catch (std::bad_alloc const&) {
        return;  // out of memory on a worker: the save fails, it does not throw
    }
    for (char o : ok)
        if (!o) return;
    out.ok = true;
}

// All row counts, then all rows, in channel order.
bool WriteComposite(Kernel::OutStream& stream, SaveData const& sd, EncodedComposite const& c) {
    if (!c.ok) return false;
    size_t n = c.bands.size();
    for (size_t i = 0; i < n; ++i) {
        auto const& b = c.bands[i];
        bool w = b.pieces.empty() ? WriteRowCounts(stream, sd.m_fixer, sd.m_isPSB, {c.counts[i]})
                                  : stream.Write(b.data.data(), b.pieces[0].second);
        if (!w) return false;
    }
    for (size_t i = 0; i < n; ++i) {
        auto const& b = c.bands[i];
        if (b.pieces.empty()) {
            if (!c.packed[i].empty() && !stream.Write(c.packed[i].data(), c.packed[i].size()))
                return false;
            continue;
        }
        for (size_t k = 1; k < b.pieces.size(); ++k)
            if (!stream.Write(b.data.data() + b.pieces[k].first, b.pieces[k].second)) return false;
    }
    sd.Step();
    return true;
}

}  // namespace

// ---- Driver

void FillSaveData(PSDFile const& doc, bool psb, SaveData& sd) {
    sd.m_isPSB = psb;
    sd.m_colourMode = doc.m_colourMode;
    sd.m_width = doc.m_width;
    sd.m_height = doc.m_height;
    sd.m_colourChannelsPlusOne = uint16_t(ColourChannelCount(doc.m_colourMode, true));
    sd.m_headerChannels = uint16_t(ColourChannelCount(doc.m_colourMode, false, true) +
                                   (doc.m_mergedTransparency ? 1 : 0) + doc.m_masks.size());
    sd.m_depth = doc.m_depth;
    sd.m_layerIds = doc.AssignLayerIds();
}

std::vector<uint32_t> PSDFile::AssignLayerIds() const {
    std::vector<uint32_t> ids(m_layers.size(), 0);
    std::unordered_set<uint32_t> used;
    uint32_t highest = 0;
    for (size_t i = 0; i < m_layers.size(); ++i) {
        uint32_t id = m_layers[i] ? m_layers[i]->m_layerId : 0;
        if (id != 0 && used.insert(id).second) {
            ids[i] = id;
            highest = std::max(highest, id);
        }
    }
    // Layers without an identifier of their own (new, or repeating one) number on from the highest.
    for (auto& id : ids)
        if (id == 0) id = ++highest;
    return ids;
}

bool PSDFile::LayersEdited() const {
    if (m_layers.size() != m_baselineLayers.size()) return true;
    SaveData sd;
    FillSaveData(*this, m_isPSB, sd);
    for (size_t i = 0; i < m_layers.size(); ++i)
        if (m_layers[i].Get() != m_baselineLayers[i] || !m_layers[i] || m_layers[i]->IsEdited(sd))
            return true;
    return false;
}

bool PSDFile::IsCompositeStale() const {
    return m_sourceStream && !m_compositeReplaced && LayersEdited();
}

void PSDFile::TakeSaveBaseline() {
    SaveData sd;
    FillSaveData(*this, m_isPSB, sd);
    // The composite's extra channels are not decoded yet; a save after decoding writes them all.
    sd.m_headerChannels = m_channelCount;
    try {
        auto memory = Kernel::MemoryInOutStreamBase::Create();
        std::vector<PSDModelBlock> blocks;
        // A model block that cannot be written has no baseline: it then counts as edited.
        if (SaveModelResources(*memory, sd)) {
            if (SplitModelResources(memory->GetData(), blocks)) m_resourceBaseline = BaselineOf(blocks);
        }
        m_baselineLayers.clear();
        for (size_t i = 0; i < m_layers.size(); ++i) {
            m_baselineLayers.push_back(m_layers[i].Get());
            if (!m_layers[i]) continue;
            PSDLayer& layer = *m_layers[i];
            // A layer read without an identifier keeps the one it is given now.
            layer.m_layerId = sd.m_layerIds[i];
            layer.m_recordBaseline = layer.RecordDigest();
            layer.m_maskBaseline = layer.MaskDigest();
            layer.m_readName = layer.m_name;
            int32_t const bounds[4] = {layer.m_left, layer.m_top, layer.m_right, layer.m_bottom};
            std::copy(bounds, bounds + 4, layer.m_readBounds);
            blocks.clear();
            if (layer.SaveModelBlocks(sd, layer.m_layerId, blocks))
                layer.m_blockBaseline = BaselineOf(blocks);
        }
    } catch (std::bad_alloc const&) {
        // Without a baseline every model block is written from the model: nothing is lost.
    }
}

std::vector<std::string> PSDFile::BlocksLostInByteOrder(bool bigEndian) const {
    ByteOrderFixer out{bigEndian == (std::endian::native == std::endian::little)};
    std::map<std::string, size_t> counts;  // key -> layers
    std::vector<std::string> lost;
    std::vector<uint8_t> body;
    if (m_sourceStream && !KeepsStoredBlocks(out)) {
        PSDTaggedBlockInfo mask;
        mask.position = m_globalMaskInfo.position;
        mask.length = m_globalMaskInfo.length;
        if (m_globalMaskInfo.present && !StoredBlockInOrder(mask, out, body))
            lost.push_back("global layer mask info");
        for (auto const& b : m_documentBlocks) {
            uint32_t k = b.key;
            if (k == Key("Layr") || k == Key("Lr16") || k == Key("Lr32") || k == Key("Mt16") ||
                k == Key("Mt32") || k == Key("MTrn") || k == Key("Mtrn"))
                continue;
            if (!StoredBlockInOrder(b, out, body)) lost.push_back("document block " + KeyToString(k));
        }
    }
    SaveData sd;
    FillSaveData(*this, false, sd);
    sd.m_fixer = out;
    for (auto const& layer : m_layers) {
        if (!layer || !layer->ConvertsStoredBlocks(out)) continue;
        std::vector<PSDModelBlock> model;
        if (!layer->SaveModelBlocks(sd, layer->m_layerId, model)) model.clear();
        for (auto const& b : layer->m_blocks) {
            bool written = false;
            for (auto const& m : model) written = written || m.key == b.key;
            if (!written && !layer->StoredBlockInOrder(b, out, body)) ++counts[KeyToString(b.key)];
        }
    }
    for (auto const& [key, n] : counts)
        lost.push_back("layer block " + key + " (" + std::to_string(n) + (n == 1 ? " layer)" : " layers)"));
    return lost;
}

bool PSDFile::Save(Kernel::OutStreamSeekable& stream, SaveOptions const& options) const {
    // A stored composite never asked for is decoded now, as the layers are, rather than written
    // blank; one that does not decode is written blank, as before.
    if (options.composite && options.decodeStored && !m_flattenedBitmap && m_sourceStream &&
        m_imageDataPosition) {
        Kernel::Counted<Raster::DynamicBitmap> composite;
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        PSDReport ignored;
        (void)GetBitmap(composite, masks, ignored);
    }
    bool const psb = options.psb;
    bool const* abort = options.abort;
    auto const& progress = options.progress;
    if (progress) progress->Init(2 * uint64_t(m_layers.size()) + 1);

    SaveData sd;
    FillSaveData(*this, psb, sd);
    sd.m_compress = options.compress;
    sd.m_decodeStored = options.decodeStored;
    sd.m_fromModel = options.fromModel;
    sd.m_progress = progress;
    // Edited layers leave a composite that was read behind: it is written as it was, but no longer
    // claimed as the real merged image, and its thumbnail goes with it.
    sd.m_compositeStale = IsCompositeStale();
    ByteOrderFixer const& f = sd.m_fixer;

    uint32_t limit = psb ? kMaxSidePSB : kMaxSidePSD;
    if (m_width > limit || m_height > limit) return false;

    if (!WriteKey(stream, Key("8BPS"), f) || !WriteValue<uint16_t>(stream, psb ? 2 : 1, f) ||
        !WriteZeros(stream, 6) || !WriteValue(stream, sd.m_headerChannels, f) ||
        !WriteValue(stream, m_height, f) || !WriteValue(stream, m_width, f) ||
        !WriteValue(stream, m_depth, f) || !WriteValue<uint16_t>(stream, uint16_t(m_colourMode), f))
        return false;
    if (!SaveColorModeSection(stream, sd)) return false;
    if (Aborted(abort)) return false;

    SectionSizer resources;
    if (!resources.Begin(stream, f, false) || !SaveImageResourcesInternal(stream, sd) ||
        !resources.End())
        return false;

    if (Aborted(abort)) return false;
    if (options.layersLittleEndian) sd.m_fixer = ByteOrderFixer{std::endian::native != std::endian::little};
    if (!options.composite) {
        bool ok = SaveLayersAndMasks(stream, sd, abort) && !Aborted(abort);
        if (ok) sd.Step();
        return ok;
    }
    // The composite does not depend on the layers: it is encoded beside them, filling the gaps
    // their encoding leaves on the processors, and written after them.
    EncodedComposite ahead;
    bool stopAhead = false;
    std::future<void> encoding;
    if (EncodesCompositeAhead(*this, sd)) {
        try {
            encoding = std::async(std::launch::async,
                                  [&] { EncodeComposite(*this, sd, &stopAhead, ahead); });
        } catch (std::system_error const&) {
            // No thread for it: encoded when written.
        }
    }
    bool layersOk = SaveLayersAndMasks(stream, sd, abort);
    if (encoding.valid()) {
        // The composite's encoder sees its own flag; a cancel while it runs is passed on.
        if (!layersOk) stopAhead = true;
        while (encoding.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
            if (Aborted(abort)) stopAhead = true;
        encoding.get();
        if (!ahead.ok) layersOk = false;
        sd.m_compositeAhead = &ahead;
    }
    if (!layersOk || Aborted(abort)) return false;
    return SaveImageData(stream, sd, abort);
}

bool PSDFile::SaveColorModeSection(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    // A document's own data (palette, duotone inks, toning settings) goes back as it was read.
    if (!m_colourModeData.empty()) {
        if (m_colourModeData.size() > UINT32_MAX) return false;
        return WriteValue<uint32_t>(stream, uint32_t(m_colourModeData.size()), sd.m_fixer) &&
               stream.Write(m_colourModeData.data(), m_colourModeData.size());
    }
    if (sd.m_colourMode == uint32_t(ColourMode::RGB) && sd.m_depth == 32) {
        return WriteValue<uint32_t>(stream, sizeof sColorModeData, sd.m_fixer) &&
               stream.Write(sColorModeData, sizeof sColorModeData);
    }
    return WriteValue<uint32_t>(stream, 0, sd.m_fixer);
}

// ---- Composite image

bool PSDFile::SaveImageData(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                            bool const* abort) const {
    if (Aborted(abort)) return false;
    ByteOrderFixer const& f = sd.m_fixer;
    uint32_t w = sd.m_width, h = sd.m_height;

    if (!m_flattenedBitmap && sd.m_depth == 32) {
        // No composite: every float channel white (1.0), raw, as float composites are stored.
        if (!WriteValue<uint16_t>(stream, kCompressionRaw, f)) return false;
        std::vector<uint8_t> row(size_t(w) * 4);
        for (size_t x = 0; x < w; ++x) {
            row[4 * x] = 0x3F;
            row[4 * x + 1] = 0x80;
        }
        uint64_t rows = uint64_t(h) * sd.m_headerChannels;
        for (uint64_t r = 0; r < rows; ++r) {
            if (r % 256 == 0 && Aborted(abort)) return false;
            if (!row.empty() && !stream.Write(row.data(), row.size())) return false;
        }
        sd.Step();
        return true;
    }
    if (!m_flattenedBitmap) {
        // No composite: every channel white, as runs of 0xFF.
        if (sd.m_depth != 8 && sd.m_depth != 16) return false;
        if (!WriteValue<uint16_t>(stream, kCompressionRLE, f)) return false;
        uint64_t rowBytes = sd.m_depth == 8 ? uint64_t(w) : 2 * uint64_t(w);
        if (!sd.m_isPSB && rowBytes > kMaxWhiteRowBytesPSD) return false;
        std::vector<uint8_t> row;
        row.reserve(((rowBytes + 127) / 64) & ~uint64_t(1));
        for (uint64_t left = rowBytes; left > 0;) {
            uint64_t n = left < 128 ? left : 128;
            // A single byte is a literal (header 0); longer pieces are runs.
            row.push_back(n == 1 ? 0 : uint8_t(int8_t(1 - int(n))));
            row.push_back(0xFF);
            left -= n;
        }
        uint64_t rows = uint64_t(h) * sd.m_headerChannels;
        std::vector<uint8_t> counts;
        if (sd.m_isPSB) {
            uint32_t v = f.Fix(uint32_t(row.size()));
            counts.resize(4 * h);
            for (uint32_t y = 0; y < h; ++y) std::memcpy(counts.data() + 4 * size_t(y), &v, 4);
        } else {
            uint16_t v = f.Fix(uint16_t(row.size()));
            counts.resize(2 * h);
            for (uint32_t y = 0; y < h; ++y) std::memcpy(counts.data() + 2 * size_t(y), &v, 2);
        }
        for (unsigned c = 0; c < sd.m_headerChannels; ++c)
            if (!counts.empty() && !stream.Write(counts.data(), counts.size())) return false;
        if (Aborted(abort)) return false;
        for (uint64_t r = 0; r < rows; ++r)
            if (!row.empty() && !stream.Write(row.data(), row.size())) return false;
        sd.Step();
        return true;
    }

    Raster::DynamicBitmap const& bm = *m_flattenedBitmap;
    unsigned colour = ColourChannelCount(sd.m_colourMode, false, true);
    if (bm.GetWidth() != w || bm.GetHeight() != h || bm.GetChannelCount() < colour + 1)
        return false;

    if (sd.m_colourMode == uint32_t(ColourMode::Bitmap)) {
        // One channel of packed bits, raw or RLE.
        if (sd.m_depth != 1) return false;
        size_t rowBytes = (size_t(w) + 7) / 8;
        if (WritesRawComposite(*this, sd))
            return WriteRawRows(stream, sd, abort, 1, rowBytes, [&](size_t, uint32_t y, uint8_t* out) {
                PackMonochromeRow(bm, y, out);
            });
        std::vector<uint8_t> bits(rowBytes), packed;
        if (!WriteValue<uint16_t>(stream, kCompressionRLE, f)) return false;
        std::vector<std::vector<uint32_t>> counts(1);
        RLEPacker packer;
        std::vector<uint8_t> out(RLEPacker::WorstCase(rowBytes));
        for (uint32_t y = 0; y < h; ++y) {
            PackMonochromeRow(bm, y, bits.data());
            packer.SetLine(bits.data(), rowBytes);
            size_t n;
            if (!packer.FinaliseLine(out.data(), out.size(), n)) return false;
            counts[0].push_back(uint32_t(n));
            packed.insert(packed.end(), out.begin(), out.begin() + ptrdiff_t(n));
        }
        if (!WriteRowCounts(stream, f, sd.m_isPSB, counts)) return false;
        if (!packed.empty() && !stream.Write(packed.data(), packed.size())) return false;
        sd.Step();
        return true;
    }

    std::vector<ChannelSource> sources;
    if (!CompositeSources(*this, sd, sources)) return false;
    unsigned depth = sd.m_depth;

    if (depth != 8 && depth != 16 && depth != 32) return false;
    if (WritesRawComposite(*this, sd))
        return WriteRawRows(stream, sd, abort, sources.size(), size_t(w) * (depth / 8),
                            [&](size_t plane, uint32_t y, uint8_t* out) {
                                ExtractChannelRow(sources[plane], y, out);
                            });

    if (!WriteValue<uint16_t>(stream, kCompressionRLE, f)) return false;
    if (sd.m_compositeAhead) return WriteComposite(stream, sd, *sd.m_compositeAhead);
    EncodedComposite now;
    EncodeComposite(*this, sd, abort, now);
    return now.ok && WriteComposite(stream, sd, now);
}

bool PSDFile::SaveImageDataAsCompressed(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                                        bool const* abort) const {
    if (sd.m_depth != 8 || !m_flattenedBitmap) return false;
    if (Aborted(abort)) return false;
    auto body = Kernel::MemoryInOutStreamBase::Create();
    RLEPacker packer;
    uint64_t size = 0;
    auto run = [&](auto& counts) {
        if (!WriteRLEData(*m_flattenedBitmap, m_mergedTransparency != 0, *body, sd, size, counts,
                          packer, abort))
            return false;
        for (auto const& m : m_masks) {
            if (!m || m->GetBytesPerSample() != 1) return false;
            if (!WriteRLEChannelData(*m, unsigned(m->GetFormatInfo().alphaChannel), *body, size,
                                     counts, packer, abort))
                return false;
        }
        if (!WriteValue<uint16_t>(stream, kCompressionRLE, sd.m_fixer)) return false;
        for (auto n : counts)
            if (!WriteValue(stream, n, sd.m_fixer)) return false;
        return true;
    };
    bool ok;
    if (sd.m_isPSB) {
        std::vector<uint32_t> counts;
        ok = run(counts);
    } else {
        std::vector<uint16_t> counts;
        ok = run(counts);
    }
    if (!ok) return false;
    auto const& data = body->GetData();
    return data.empty() || stream.Write(data.data(), data.size());
}

}  // namespace PSD
