#include "psd/descriptor/DescriptorBlocks.h"

#include <algorithm>

namespace PSD {

namespace {

// What precedes the descriptor in a block body.
enum class Layout {
    Plain,        // version 16 and the descriptor
    Version32,    // a 32-bit block version, then the descriptor
    Version16,    // a 16-bit block version, then the descriptor
    PlacedLayer,  // type and version; only version 4 holds a descriptor
    TypeTool,     // text and warp descriptors between fixed fields
};

struct BlockEntry {
    uint32_t key;
    Layout layout;
};

constexpr BlockEntry kBlocks[] = {
    {Key("lfx2"), Layout::Version32}, {Key("lfxs"), Layout::Version32},
    {Key("lmfx"), Layout::Version32}, {Key("TySh"), Layout::TypeTool},
    {Key("SoCo"), Layout::Plain},     {Key("GdFl"), Layout::Plain},
    {Key("PtFl"), Layout::Plain},     {Key("vstk"), Layout::Plain},
    {Key("vogk"), Layout::Version32}, {Key("PlLd"), Layout::PlacedLayer},
    {Key("vibA"), Layout::Plain},     {Key("blwh"), Layout::Plain},
    {Key("clrL"), Layout::Version16}, {Key("CgEd"), Layout::Plain},
    {Key("cinf"), Layout::Plain},     {Key("extn"), Layout::Plain},
    {Key("artd"), Layout::Plain},     {Key("CAI "), Layout::Version32},
    {Key("artb"), Layout::Plain},     {Key("abdd"), Layout::Plain},
    {Key("SoLd"), Layout::PlacedLayer}, {Key("SoLE"), Layout::PlacedLayer},
};

BlockEntry const* Find(uint32_t key) {
    auto const* e = std::find_if(std::begin(kBlocks), std::end(kBlocks),
                                 [&](BlockEntry const& b) { return b.key == key; });
    return e == std::end(kBlocks) ? nullptr : e;
}

bool ParseOne(Kernel::InStreamSeekable& body, ParseData& pd, char const* label,
              std::vector<BlockDescriptor>& out) {
    out.push_back(BlockDescriptor{label, Descriptor()});
    return out.back().descriptor.Parse(body, pd);
}

// A type layer: version 1, transform, text version 50, text descriptor, warp version 1, warp
// descriptor, bounds.
BlockDescriptorResult ReadTypeTool(Kernel::InStreamSeekable& body, ParseData& pd,
                                   std::vector<BlockDescriptor>& out) {
    uint16_t version;
    if (!ReadValue(body, version, pd)) return BlockDescriptorResult::Failed;
    if (version != 1) {
        pd.m_report.SetError(PSDError::kUnknownTypeToolVersion,
                             Kernel::ToString(unsigned(version)));
        return BlockDescriptorResult::Failed;
    }
    if (!SkipBytes(body, 48, pd)) return BlockDescriptorResult::Failed;
    uint16_t textVersion;
    if (!ReadValue(body, textVersion, pd)) return BlockDescriptorResult::Failed;
    bool const swapped = !pd.m_swap && textVersion == 12800;  // 50 with its bytes the other way
    if (textVersion != 50 && !swapped) {
        pd.m_report.SetError(PSDError::kUnknownTextVersion,
                             Kernel::ToString(unsigned(textVersion)));
        return BlockDescriptorResult::Failed;
    }
    bool const wasSwapping = pd.m_swap;
    if (swapped) pd.m_swap = true;
    bool ok = ParseOne(body, pd, "text", out);
    pd.m_swap = wasSwapping;
    if (!ok) return BlockDescriptorResult::Failed;
    uint16_t warpVersion;
    if (!ReadValue(body, warpVersion, pd)) return BlockDescriptorResult::Failed;
    if (warpVersion != 1) {
        pd.m_report.SetError(PSDError::kUnknownTextWarpVersion,
                             Kernel::ToString(unsigned(warpVersion)));
        return BlockDescriptorResult::Failed;
    }
    if (!ParseOne(body, pd, "warp", out)) return BlockDescriptorResult::Failed;
    return SkipBytes(body, 16, pd) ? BlockDescriptorResult::Parsed : BlockDescriptorResult::Failed;
}

}  // namespace

bool IsDescriptorBlock(uint32_t key) {
    return Find(key) != nullptr;
}

BlockDescriptorResult ReadBlockDescriptors(uint32_t key, Kernel::InStreamSeekable& body,
                                           ParseData& pd, std::vector<BlockDescriptor>& out) {
    BlockEntry const* entry = Find(key);
    if (!entry) return BlockDescriptorResult::NotDescriptorBased;
    switch (entry->layout) {
        case Layout::Plain:
            break;
        case Layout::Version32: {
            uint32_t version;
            if (!ReadValue(body, version, pd)) return BlockDescriptorResult::Failed;
            break;
        }
        case Layout::Version16: {
            uint16_t version;
            if (!ReadValue(body, version, pd)) return BlockDescriptorResult::Failed;
            break;
        }
        case Layout::PlacedLayer: {
            uint32_t type, version;
            if (!ReadValue(body, type, pd) || !ReadValue(body, version, pd))
                return BlockDescriptorResult::Failed;
            // The newer placed-layer blocks ("SoLd", "SoLE") also come as version 5.
            if (version != 4 && !(version == 5 && key != Key("PlLd")))
                return BlockDescriptorResult::NotDescriptorBased;
            break;
        }
        case Layout::TypeTool:
            return ReadTypeTool(body, pd, out);
    }
    return ParseOne(body, pd, "", out) ? BlockDescriptorResult::Parsed
                                       : BlockDescriptorResult::Failed;
}

BlockDescriptorResult ReadStoredBlockDescriptors(Kernel::Counted<Kernel::InStreamSeekable> const& source,
                                                 PSDTaggedBlockInfo const& block, ParseData& pd,
                                                 std::vector<BlockDescriptor>& out) {
    if (!IsDescriptorBlock(block.key)) return BlockDescriptorResult::NotDescriptorBased;
    if (!source || !source->Seek(block.position)) {
        pd.m_report.ErrorTruncated();
        return BlockDescriptorResult::Failed;
    }
    auto body = Kernel::LimitedInStream::Create(source, block.length);
    if (!body) {
        pd.m_report.ErrorTruncated();
        return BlockDescriptorResult::Failed;
    }
    return ReadBlockDescriptors(block.key, *body, pd, out);
}

}  // namespace PSD
