// Checking a saved copy against its original, block by block.
#include "psd/file/PSDStoredCompare.h"

#include <map>
#include <set>

#include "psd/layer/PSDLayer.h"

namespace PSD {

namespace {

std::string KeyName(uint32_t key) {
    return "\"" + std::string(KeyToString(key)) + "\"";
}

bool IsLayerListKey(uint32_t key) {
    return key == Key("Layr") || key == Key("Lr16") || key == Key("Lr32");
}

// A body read back from its source; empty when the source cannot give it.
std::vector<uint8_t> ReadBody(Kernel::InStreamSeekable* source, uint64_t position, uint64_t length) {
    std::vector<uint8_t> out;
    if (!source) return out;
    auto memory = Kernel::MemoryInOutStreamBase::Create();
    if (CopyStoredBytes(*source, position, length, *memory)) out = memory->TakeData();
    return out;
}

// Matches the n-th block of a key in one list with the n-th of the same key in the other.
void CompareBlocks(std::vector<PSDTaggedBlockInfo> const& a, Kernel::InStreamSeekable* sa,
                   std::vector<PSDTaggedBlockInfo> const& b, Kernel::InStreamSeekable* sb,
                   std::string const& where, std::vector<std::string>& out) {
    std::map<uint32_t, std::vector<PSDTaggedBlockInfo const*>> byKey;
    for (auto const& x : b) byKey[x.key].push_back(&x);
    std::map<uint32_t, size_t> seen;
    for (auto const& x : a) {
        if (IsLayerListKey(x.key)) continue;
        size_t n = seen[x.key]++;
        auto it = byKey.find(x.key);
        if (it == byKey.end() || n >= it->second.size()) {
            out.push_back(where + "block " + KeyName(x.key) + " is missing");
            continue;
        }
        PSDTaggedBlockInfo const& y = *it->second[n];
        if (x.length != y.length ||
            ReadBody(sa, x.position, x.length) != ReadBody(sb, y.position, y.length))
            out.push_back(where + "block " + KeyName(x.key) + " differs (" +
                          std::to_string(x.length) + " bytes before, " + std::to_string(y.length) +
                          " after)");
    }
}

}  // namespace

std::vector<std::string> CompareStoredData(PSDFile const& original, PSDFile const& copy) {
    std::vector<std::string> out;
    std::map<uint16_t, std::vector<PSDImageResource const*>> resources;
    for (auto const& r : copy.m_resources) resources[r.id].push_back(&r);
    std::map<uint16_t, size_t> seen;
    for (auto const& r : original.m_resources) {
        size_t n = seen[r.id]++;
        auto it = resources.find(r.id);
        if (it == resources.end() || n >= it->second.size())
            out.push_back("resource " + std::to_string(r.id) + " is missing");
        else if (it->second[n]->data != r.data || it->second[n]->name != r.name)
            out.push_back("resource " + std::to_string(r.id) + " differs (" +
                          std::to_string(r.data.size()) + " bytes before, " +
                          std::to_string(it->second[n]->data.size()) + " after)");
    }
    if (original.m_colourModeData != copy.m_colourModeData)
        out.push_back("the colour mode data differs");
    if (original.GetGlobalMaskInfo().present && original.GetGlobalMaskInfo().length > 0 &&
        ReadBody(original.GetSourceStream().Get(), original.GetGlobalMaskInfo().position,
                 original.GetGlobalMaskInfo().length) !=
            ReadBody(copy.GetSourceStream().Get(), copy.GetGlobalMaskInfo().position,
                     copy.GetGlobalMaskInfo().length))
        out.push_back("the global layer mask info differs");
    CompareBlocks(original.m_documentBlocks, original.GetSourceStream().Get(), copy.m_documentBlocks,
                  copy.GetSourceStream().Get(), "document ", out);
    if (original.m_layers.size() != copy.m_layers.size()) {
        out.push_back("layer count differs: " + std::to_string(original.m_layers.size()) +
                      " before, " + std::to_string(copy.m_layers.size()) + " after");
        return out;
    }
    for (size_t i = 0; i < original.m_layers.size(); ++i) {
        PSDLayer const& a = *original.m_layers[i];
        PSDLayer const& b = *copy.m_layers[i];
        std::string where = "layer " + std::to_string(i) + " \"" + std::string(a.m_name) + "\": ";
        CompareBlocks(a.m_blocks, a.m_stream.Get(), b.m_blocks, b.m_stream.Get(), where, out);
        std::multiset<int16_t> ids;
        for (auto const& c : b.m_channels) ids.insert(c.m_id);
        for (auto const& c : a.m_channels) {
            auto it = ids.find(c.m_id);
            if (it == ids.end())
                out.push_back(where + "channel " + std::to_string(c.m_id) + " is missing");
            else
                ids.erase(it);
        }
    }
    return out;
}

std::vector<std::string> DescribeSaveLosses(PSDFile const& doc) {
    std::vector<std::string> out;
    bool stored = !doc.m_documentBlocks.empty() || doc.GetGlobalMaskInfo().present;
    for (auto const& l : doc.m_layers) stored |= l && !l->m_blocks.empty();
    if (stored && !doc.GetSourceSwap())
        out.push_back("tagged blocks of a little-endian source are not written back");
    else if (stored && !doc.GetSourceStream())
        out.push_back("tagged blocks are not written back: the source is not kept");
    // A PSD length field holds 32 bits: larger bodies keep to PSB.
    for (auto const& b : doc.m_documentBlocks)
        if (b.length > 0xFFFFFFFFull)
            out.push_back("document block " + KeyName(b.key) + " is too long for a PSD");
    for (size_t i = 0; i < doc.m_layers.size(); ++i)
        for (auto const& b : doc.m_layers[i]->m_blocks)
            if (b.length > 0xFFFFFFFFull)
                out.push_back("layer " + std::to_string(i) + " block " + KeyName(b.key) +
                              " is too long for a PSD");
    return out;
}

}  // namespace PSD
