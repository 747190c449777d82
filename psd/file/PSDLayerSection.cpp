// The layer and mask information section: layer info (records and where each layer's channel
// data lies), the global layer mask info, and the document-level tagged blocks.
#include <array>
#include <new>
#include <vector>

#include "psd/file/PSDFile.h"
#include "psd/file/PSDLinkedData.h"
#include "psd/io/PSDKeyTable.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDLayerRead.h"
#include "psd/text/PSDTextEngineData.h"

namespace PSD {

namespace {

// A document block body: the outer stream (layer records record positions in it), the body
// length, and the stream cut to the body for readers that only need the body.
struct DocumentBlock {
    Kernel::NonCounted<Kernel::InStreamSeekable> outer;
    uint64_t length;
    Kernel::InStreamSeekable& body;
};

using DocumentHandler = bool (*)(PSDFile& doc, DocumentBlock& block, ParseData& pd);

// Bodies the model does not read: the block list keeps where they lie, and a save copies them back.
bool KeepBody(PSDFile&, DocumentBlock&, ParseData&) {
    return true;
}

bool ParseLayers(PSDFile& doc, DocumentBlock& block, ParseData& pd) {
    return doc.ParseLayerInfoWithSize(block.outer, pd, block.length);
}

bool SetMergedTransparency(PSDFile& doc, DocumentBlock&, ParseData&) {
    doc.m_mergedTransparency = 1;
    return true;
}

// Linked files (and "lnkE", the same records naming files outside) are read only with smart objects; either way the block is kept for the save.
bool ParseLinkedData(PSDFile& doc, DocumentBlock& block, ParseData& pd) {
    if (pd.m_parseSmartObjects) ParseLinkedDataBlock(doc, block.outer, block.length, pd);
    return true;
}

bool ParseTextEngineData(PSDFile& doc, DocumentBlock& block, ParseData& pd) {
    return doc.ParseTextEngineData(block.body, pd, block.length);
}

constexpr KeyHandler<uint32_t, DocumentHandler> kDocumentBlocks[] = {
    {Key("Layr"), ParseLayers},
    {Key("Lr16"), ParseLayers},
    {Key("Lr32"), ParseLayers},
    {Key("Mt16"), SetMergedTransparency},
    {Key("Mt32"), SetMergedTransparency},
    {Key("MTrn"), SetMergedTransparency},
    {Key("Mtrn"), SetMergedTransparency},
    // Linked smart-object data and the document's text engine data have their own readers.
    {Key("lnk2"), ParseLinkedData},
    {Key("lnk3"), ParseLinkedData},
    {Key("lnkD"), ParseLinkedData},
    {Key("Txt2"), ParseTextEngineData},
    // Known blocks whose content the model does not read.
    {Key("LMsk"), KeepBody},
    {Key("Anno"), KeepBody},
    {Key("FEid"), KeepBody},
    {Key("pths"), KeepBody},
    {Key("extd"), KeepBody},
    {Key("Patt"), KeepBody},
    {Key("FMsk"), KeepBody},
    {Key("FXid"), KeepBody},
    {Key("lnkE"), ParseLinkedData},
    {Key("Pat2"), KeepBody},
    {Key("Pat3"), KeepBody},
};

}  // namespace

bool PSDFile::ParseLayersAndMasks(Kernel::NonCounted<Kernel::InStreamSeekable> stream,
                                  ParseData& pd) {
    uint64_t length;
    if (!ReadLength(*stream, pd.m_isPSB, length, pd)) return false;
    m_sections.layerAndMaskLength = length;
    if (length == 0) return true;

    uint64_t start = stream->GetPosition();
    uint64_t consumed;
    if (!ParseLayerInfo(stream, pd, consumed)) return false;
    if ((m_colourMode == uint32_t(ColourMode::Bitmap) ||
         m_colourMode == uint32_t(ColourMode::Multichannel)) &&
        !m_layers.empty()) {
        pd.m_report.ErrorParsing();
        return false;
    }

    // Layer info longer than the section leaves nothing for the rest; the final seek then fails.
    uint64_t remaining = consumed < length ? length - consumed : 0;
    if (remaining >= 4 && !ParseGlobalLayerMaskInfo(*stream, remaining, pd)) return false;
    if (!ParseTaggedData(stream, remaining, pd)) return false;
    return SeekForwardTo(*stream, SaturatingAdd(start, length), pd);
}

bool PSDFile::ParseLayerInfo(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd,
                             uint64_t& consumed) {
    uint64_t length;
    if (!ReadLength(*stream, pd.m_isPSB, length, pd)) return false;
    consumed = SaturatingAdd(length, pd.m_isPSB ? 8 : 4);
    uint64_t start = stream->GetPosition();
    if (!ParseLayerInfoWithSize(stream, pd, length)) return false;
    return SeekForwardTo(*stream, SaturatingAdd(start, length), pd);
}

bool PSDFile::ParseLayerInfoWithSize(Kernel::NonCounted<Kernel::InStreamSeekable> stream,
                                     ParseData& pd, uint64_t size) {
    if (size == 0) return true;
    int16_t stored;
    if (!ReadValue(*stream, stored, pd)) return false;
    int32_t count = stored;
    if (count < 0) {
        count = -count;
        m_mergedTransparency = 1;
    }

    size_t first = m_layers.size();
    for (int32_t i = 0; i < count; ++i) {
        Kernel::Counted<PSDLayer> layer;
        try {
            layer = Kernel::MakeCounted<PSDLayer>(pd.m_swap);
        } catch (std::bad_alloc const&) {
            pd.m_report.ErrorAlloc();
            return false;
        }
        if (!layer->Parse(*stream, i == 0, pd)) return false;
        if (size_t(i) < pd.m_layerGroupIds.size()) layer->m_groupId = pd.m_layerGroupIds[size_t(i)];
        m_layers.push_back(layer);
    }

    // Channel data follows the records, layer after layer, channel after channel. A stream that
    // nobody counts (a caller's stack object) cannot be kept; its layers then decode nothing.
    Kernel::Counted<Kernel::InStreamSeekable> keep;
    if (m_sourceStream.Get() == stream.Get())
        keep = m_sourceStream;
    else if (stream->GetRefCount() > 0)
        keep = Kernel::Counted<Kernel::InStreamSeekable>(stream.Get());
    uint64_t position = stream->GetPosition();
    for (size_t i = first; i < m_layers.size(); ++i) {
        PSDLayer& layer = *m_layers[i];
        layer.SetImageDataPosition(keep, position, m_depth, pd, m_colourMode);
        for (auto const& c : layer.m_channels) position = SaturatingAdd(position, c.m_length);
    }
    return true;
}

bool PSDFile::ParseGlobalLayerMaskInfo(Kernel::InStreamSeekable& stream, uint64_t& remaining,
                                       ParseData& pd) {
    uint32_t length;
    if (!ReadValue(stream, length, pd)) return false;
    uint64_t used = uint64_t(length) + 4;
    remaining = used < remaining ? remaining - used : 0;
    m_globalMaskInfo = {true, stream.GetPosition(), length};
    if (length > 0) return SeekForwardTo(stream, stream.GetPosition() + length, pd);
    return true;
}

bool PSDFile::ParseTextEngineData(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd,
                                  unsigned long long length) {
    if (length == 0) return true;
    std::vector<uint8_t> buffer;
    if (!CheckAvailable(*stream, length, pd)) return false;
    try {
        buffer.resize(size_t(length));
    } catch (std::bad_alloc const&) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    if (!ReadBytes(*stream, buffer.data(), buffer.size(), pd)) return false;
    auto data = Kernel::MakeCounted<PSDTextEngineData>();
    if (data->Parse(buffer.data(), buffer.size())) m_textEngineData = data;
    return true;
}

bool PSDFile::ParseTaggedData(Kernel::NonCounted<Kernel::InStreamSeekable> stream, uint64_t size,
                              ParseData& pd) {
    uint64_t remaining = size;
    while (remaining >= 8) {
        uint32_t signature, key;
        if (!ReadKey(*stream, signature, pd) || !ReadKey(*stream, key, pd)) return false;
        if (signature != Key("8BIM") && signature != Key("8B64")) {
            pd.m_report.SetError(PSDError::kUnknownSignature, KeyToString(signature), 5);
            return false;
        }
        bool wide = pd.m_isPSB && IsWideDocumentKey(key);
        uint64_t header = wide ? 16 : 12;
        uint64_t length;
        if (!ReadLength(*stream, wide, length, pd)) return false;
        if (!CheckAvailable(*stream, length, pd)) return false;
        uint64_t dataStart = stream->GetPosition();
        uint64_t rounded = SaturatingAdd(length, 3) & ~uint64_t(3);
        m_documentBlocks.push_back({key, signature, dataStart, length});

        DocumentHandler handler = FindKeyHandler(kDocumentBlocks, key);
        if (!handler) {
            PrintUnknownKey(key);
            handler = KeepBody;
        }
        auto body = Kernel::LimitedInStream::Create(stream, length);
        DocumentBlock block{stream, length, *body};
        if (!handler(*this, block, pd)) return false;
        if (!SeekForwardTo(*stream, SaturatingAdd(dataStart, rounded), pd)) return false;
        uint64_t used = SaturatingAdd(header, rounded);
        remaining = used < remaining ? remaining - used : 0;
    }
    return true;
}

}  // namespace PSD
