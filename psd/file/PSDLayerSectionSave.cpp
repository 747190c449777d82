// Writing the layer and mask information section: layer info, global layer mask info and the
// document-level tagged blocks, with lengths patched once their content is written.
#include <cstdint>
#include <future>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "psd/file/PSDFile.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDBlockByteOrder.h"
#include "psd/layer/PSDChannelEncoder.h"
#include "psd/layer/PSDLayer.h"

namespace PSD {

namespace {

// At most this many layer records fit a save.
constexpr size_t kMaxSavedLayers = 7999;
// Encoded layers at least this large are written on a thread beside the next layer's encoding.
constexpr uint64_t kThreadedWriteBytes = uint64_t(4) << 20;
// Layers whose stored channels are at least this large are decoded ahead, beside the previous
// layer's encoding, when the save decodes stored pixels.
constexpr uint64_t kDecodeAheadBytes = uint64_t(1) << 20;

bool DecodesAhead(PSDLayer const& layer, SaveData const& sd) {
    // Stored rows are inflated in line: with every core deflating, one more thread inflating
    // beside them only costs time.
    if (!sd.m_decodeStored || !layer.m_stream || StoredPixels::TakesRows(layer, sd)) return false;
    uint64_t stored = 0;
    for (auto const& c : layer.m_channels) stored += c.m_length;
    return stored >= kDecodeAheadBytes;
}

// The global mask overlay: colour space 0, components FFFF 0 0 0, opacity 50.
bool WriteMaskOverlay(Kernel::OutStream& stream, ByteOrderFixer const& f) {
    static uint8_t const colour[8] = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    return WriteValue<uint16_t>(stream, 0, f) && stream.Write(colour, 8) &&
           WriteValue<uint16_t>(stream, 50, f);
}

}  // namespace

// ---- The section

bool PSDFile::KeepsStoredBlocks(ByteOrderFixer const& out) const {
    // Bodies of a source of one byte order cannot be copied into a file of the other: they are
    // converted where their layout is known (StoredBlockInOrder), else left out.
    return m_sourceStream && m_sourceSwap == out.m_swap;
}

bool PSDFile::StoredBlockInOrder(PSDTaggedBlockInfo const& b, ByteOrderFixer const& out,
                                 std::vector<uint8_t>& body) const {
    body.clear();
    return m_sourceStream && StoredBodyInOrder(*m_sourceStream, m_sourceSwap, b, out, body, b.key == 0);
}

bool PSDFile::SaveLayersAndMasks(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                                 bool const* cancel) const {
    SectionSizer section;
    if (!section.Begin(stream, sd.m_fixer, sd.m_isPSB)) return false;
    bool stored = m_sourceStream && (m_globalMaskInfo.present || !m_documentBlocks.empty());
    if (!m_layers.empty() || stored) {
        if (sd.m_depth == 8 && !m_layers.empty()) {
            if (!SaveLayerInfo(stream, sd, true, cancel)) return false;
        } else {
            // Deeper documents keep their layers in the "Lr16"/"Lr32" block.
            bool ok = sd.m_isPSB ? WriteValue<uint64_t>(stream, 0, sd.m_fixer)
                                 : WriteValue<uint32_t>(stream, 0, sd.m_fixer);
            if (!ok) return false;
        }
        if (!SaveGlobalLayerMaskInfo(stream, sd)) return false;
        if (!SaveTaggedData(stream, sd, cancel)) return false;
    }
    return section.End();
}

bool PSDFile::SaveLayerInfo(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                            bool lengthIncludesPadding, bool const* cancel) const {
    SectionSizer info;
    if (!info.Begin(stream, sd.m_fixer, sd.m_isPSB)) return false;
    if (m_layers.size() > kMaxSavedLayers) return false;
    int16_t count = int16_t(m_layers.size());
    // A negative count says the first alpha channel of the composite is its transparency.
    if (sd.m_depth == 8 && m_mergedTransparency && m_flattenedBitmap) count = int16_t(-count);
    if (!WriteValue(stream, count, sd.m_fixer)) return false;

    std::vector<uint64_t> channelLists(m_layers.size());
    for (size_t i = 0; i < m_layers.size(); ++i) {
        if (cancel && *cancel) return false;
        if (!m_layers[i] || !m_layers[i]->Save(stream, sd, channelLists[i])) return false;
        sd.Step();
    }
    if (cancel && *cancel) return false;
    // A large layer's channels are written on a thread of their own while the next layer's
    // encode on the workers; small ones are written in line. Only one layer is in flight.
    std::vector<EncodedChannel> pending;
    size_t pendingLayer = 0;
    bool pendingOk = true;
    std::jthread writer;
    auto finishPending = [&]() {
        if (!writer.joinable()) return true;
        writer.join();
        PSDLayer::RecycleImageData(sd, pending);
        if (pendingOk) sd.Step();
        return pendingOk;
    };
    // The next layer's stored pixels decode on a thread of their own while this one encodes.
    std::future<std::unique_ptr<StoredPixels>> ahead;
    auto startAhead = [&](size_t i) {
        if (i >= m_layers.size() || !DecodesAhead(*m_layers[i], sd)) return;
        try {
            ahead = std::async(std::launch::async, [&, i] {
                return std::make_unique<StoredPixels>(*m_layers[i], sd, cancel);
            });
        } catch (std::system_error const&) {
            // No thread for it: the layer is decoded when it is encoded.
        }
    };
    startAhead(0);
    for (size_t i = 0; i < m_layers.size(); ++i) {
        PSDLayer const& layer = *m_layers[i];
        std::unique_ptr<StoredPixels> decoded;
        bool decodedOk = true;
        try {
            if (ahead.valid()) decoded = ahead.get();
        } catch (std::bad_alloc const&) {
            decodedOk = false;
        }
        if (!decodedOk || (decoded && !decoded->Ok())) {
            finishPending();
            return false;
        }
        startAhead(i + 1);
        std::vector<EncodedChannel> blocks;
        bool encoded = layer.EncodeImageData(sd.m_depth, sd, cancel, blocks, decoded.get());
        decoded.reset();
        if (!finishPending() || !encoded) return false;
        uint64_t bytes = 0;
        for (auto const& b : blocks) bytes += b.data.size();
        if (bytes < kThreadedWriteBytes) {
            bool ok = layer.WriteImageData(stream, sd.m_depth, sd, channelLists[i], blocks);
            PSDLayer::RecycleImageData(sd, blocks);
            if (!ok) return false;
            sd.Step();
            continue;
        }
        pending = std::move(blocks);
        pendingLayer = i;
        writer = std::jthread([&] {
            pendingOk = m_layers[pendingLayer]->WriteImageData(stream, sd.m_depth, sd,
                                                               channelLists[pendingLayer], pending);
        });
    }
    if (!finishPending()) return false;
    return info.End(4, lengthIncludesPadding);
}

bool PSDFile::SaveGlobalLayerMaskInfo(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    // The stored one goes back as it was; a document without one gets an empty one.
    if (!m_sourceStream || !m_globalMaskInfo.present || m_globalMaskInfo.length > UINT32_MAX)
        return WriteValue<uint32_t>(stream, 0, f);
    if (KeepsStoredBlocks(f))
        return WriteValue<uint32_t>(stream, uint32_t(m_globalMaskInfo.length), f) &&
               CopyStoredBytes(*m_sourceStream, m_globalMaskInfo.position, m_globalMaskInfo.length,
                               stream);
    PSDTaggedBlockInfo info;
    info.position = m_globalMaskInfo.position;
    info.length = m_globalMaskInfo.length;
    std::vector<uint8_t> body;
    if (!StoredBlockInOrder(info, f, body)) return WriteValue<uint32_t>(stream, 0, f);
    return WriteValue<uint32_t>(stream, uint32_t(body.size()), f) &&
           (body.empty() || stream.Write(body.data(), body.size()));
}

bool PSDFile::SaveTaggedData(Kernel::OutStreamSeekable& stream, SaveData const& sd,
                             bool const* cancel) const {
    ByteOrderFixer const& f = sd.m_fixer;
    bool deep = sd.m_depth == 16 || sd.m_depth == 32;
    bool merged = m_mergedTransparency && m_flattenedBitmap;
    auto isMergedKey = [](uint32_t k) {
        return k == Key("Mt16") || k == Key("Mt32") || k == Key("MTrn") || k == Key("Mtrn");
    };
    auto writeStored = [&](PSDTaggedBlockInfo const& b) {
        bool wide = sd.m_isPSB && IsWideDocumentKey(b.key);
        if (!wide && b.length > 0xFFFFFFFFull) return false;
        uint64_t pad = (4 - b.length % 4) % 4;
        // Of the other byte order: converted (its length kept), or left out.
        bool keep = KeepsStoredBlocks(f);
        std::vector<uint8_t> body;
        if (!keep && !StoredBlockInOrder(b, f, body)) return true;
        bool header = WriteKey(stream, b.signature, f) && WriteKey(stream, b.key, f) &&
                      (wide ? WriteValue<uint64_t>(stream, b.length, f)
                            : WriteValue<uint32_t>(stream, uint32_t(b.length), f));
        if (keep)
            return header && CopyStoredBytes(*m_sourceStream, b.position, b.length, stream) &&
                   WriteZeros(stream, size_t(pad));
        return header && stream.Write(body.data(), body.size()) && WriteZeros(stream, size_t(pad));
    };
    // The layers of deeper documents come first, as other readers look for them there; only the
    // merged-transparency marker goes before them, as some readers take it into account only
    // when they meet it before the layers.
    bool mergedWritten = false;
    if (deep && merged) {
        if (m_sourceStream)
            for (auto const& b : m_documentBlocks)
                if (isMergedKey(b.key)) {
                    if (!writeStored(b)) return false;
                    mergedWritten = true;
                    break;
                }
        if (!mergedWritten &&
            !WriteTagHeaderExt(stream, f, sd.m_depth == 32 ? Key("Mt32") : Key("Mt16"), sd.m_isPSB, 0))
            return false;
        mergedWritten = true;
    }
    if (deep && !m_layers.empty()) {
        if (!WriteKey(stream, Key("8BIM"), f) ||
            !WriteKey(stream, sd.m_depth == 32 ? Key("Lr32") : Key("Lr16"), f))
            return false;
        // The block's length is the layer info's own length field.
        if (!SaveLayerInfo(stream, sd, false, cancel)) return false;
    }
    bool hasPatterns = false, hasFilterMask = false;
    if (m_sourceStream) {
        for (auto const& b : m_documentBlocks) {
            if (b.key == Key("Layr") || b.key == Key("Lr16") || b.key == Key("Lr32")) continue;
            // The merged-transparency marker follows the flag: kept while set, dropped once clear.
            if (isMergedKey(b.key)) {
                if (!merged || mergedWritten) continue;
                mergedWritten = true;
            }
            hasPatterns |= b.key == Key("Patt");
            hasFilterMask |= b.key == Key("FMsk");
            if (!writeStored(b)) return false;
        }
    }
    if (m_sourceStream) return true;
    // A document built from scratch gets the empty pattern list and the filter mask defaults.
    if (!hasPatterns && (!WriteKey(stream, Key("8BIM"), f) || !WriteKey(stream, Key("Patt"), f) ||
                         !WriteValue<uint32_t>(stream, 0, f)))
        return false;
    return hasFilterMask || (WriteTagHeaderExt(stream, f, Key("FMsk"), sd.m_isPSB, 12) &&
                             WriteMaskOverlay(stream, f));
}

}  // namespace PSD
