// Tagged blocks as stored, and how a save writes them back: blocks the model owns are written from
// the model, every other block is copied from the source unchanged, in its original order.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Stream.h"

namespace PSD {

// Where a tagged block stands in the source stream, so tools can re-read a body after parsing and
// a save can copy it back.
struct PSDTaggedBlockInfo {
    uint32_t key = 0;        // four-character key, most significant byte first
    uint32_t signature = 0;  // "8BIM" or "8B64"
    uint64_t position = 0;   // stream position of the first body byte
    uint64_t length = 0;     // body length as stored (document blocks are then padded to 4)
};

// Keys whose length field is 8 bytes in a large document, at document and at layer level.
bool IsWideDocumentKey(uint32_t key);
bool IsWideLayerKey(uint32_t key);

// Copies length bytes from position of source to out, from the mapping when there is one.
[[nodiscard]] bool CopyStoredBytes(Kernel::InStreamSeekable& source, uint64_t position,
                                   uint64_t length, Kernel::OutStream& out);

// 64-bit FNV-1a: how a save recognises a block the model would write as it was read.
uint64_t HashBytes(uint8_t const* data, size_t size);

// One block as the model writes it: header and body, ready to be copied out.
struct PSDModelBlock {
    uint32_t key = 0;
    std::vector<uint8_t> bytes;
    uint64_t hash = 0;
};

// What the model wrote for each key when the document was read.
struct PSDBlockBaseline {
    uint32_t key = 0;
    uint64_t hash = 0;
};

// Splits tagged blocks written one after the other with 4-byte lengths (signature, key, length,
// body) into model blocks, in the byte order they were written in. False when the run does not
// frame that way.
[[nodiscard]] bool SplitModelBlocks(std::vector<uint8_t> const& run,
                                    std::vector<PSDModelBlock>& out, bool bigEndian = true);

// The baseline of a set of model blocks.
std::vector<PSDBlockBaseline> BaselineOf(std::vector<PSDModelBlock> const& blocks);

// Writes the merge of the stored blocks (their keys in file order) with the model's blocks:
// - a stored block of a key the model writes takes the model's block in its place, or is copied
//   unchanged when the model's block is the one it wrote on reading (nothing was edited);
// - a stored block of a key the model wrote on reading but no longer writes is dropped;
// - any other stored block is copied unchanged (writeStored(i));
// - model blocks of keys the document did not hold follow, in the model's order; with
//   addUnchanged false, only those that changed since reading (an unedited record stays as it was).
// With fromModel, every stored block the model writes is written from the model, changed or not.
template <class WriteStored>
[[nodiscard]] bool MergeModelBlocks(Kernel::OutStream& out, std::vector<uint32_t> const& storedKeys,
                                    std::vector<PSDModelBlock> const& model,
                                    std::vector<PSDBlockBaseline> const& baseline,
                                    WriteStored&& writeStored, bool addUnchanged = true,
                                    bool fromModel = false) {
    auto inBaseline = [&](uint32_t key, uint64_t const* hash) {
        for (auto const& b : baseline)
            if (b.key == key && (!hash || b.hash == *hash)) return true;
        return false;
    };
    std::vector<char> written(model.size(), 0);
    for (size_t i = 0; i < storedKeys.size(); ++i) {
        uint32_t key = storedKeys[i];
        PSDModelBlock const* first = nullptr;
        size_t next = model.size();
        for (size_t m = 0; m < model.size(); ++m) {
            if (model[m].key != key) continue;
            if (!first) first = &model[m];
            if (!written[m]) {
                next = m;
                break;
            }
        }
        if (next < model.size()) {
            written[next] = 1;
            bool unchanged = !fromModel && inBaseline(key, &model[next].hash);
            if (unchanged ? !writeStored(i)
                          : !out.Write(model[next].bytes.data(), model[next].bytes.size()))
                return false;
        } else if (first) {
            // A repeated block of a key the model writes once: kept only while nothing changed.
            if (inBaseline(key, &first->hash) && !writeStored(i)) return false;
        } else if (!inBaseline(key, nullptr)) {
            if (!writeStored(i)) return false;
        }
    }
    for (size_t m = 0; m < model.size(); ++m) {
        if (written[m] || (!addUnchanged && inBaseline(model[m].key, &model[m].hash))) continue;
        if (!out.Write(model[m].bytes.data(), model[m].bytes.size())) return false;
    }
    return true;
}

}  // namespace PSD
