// The descriptors that tagged-block bodies carry, found by block key, for tools and checks that
// want to look inside a block without building the model object it describes.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/io/PSDTaggedBlock.h"

namespace PSD {

// A descriptor found inside a tagged block: where it lies and what it holds.
struct BlockDescriptor {
    String label;  // which of the block's descriptors: "", or "text"/"warp" in type layers
    Descriptor descriptor;
};

enum class BlockDescriptorResult {
    NotDescriptorBased,  // the key's body holds no descriptor (or this form of it does not)
    Parsed,
    Failed,  // the report says why
};

// True for the keys whose bodies hold descriptors: effects ("lfx2", "lfxs", "lmfx"), type
// layers ("TySh"), fills ("SoCo", "GdFl", "PtFl"), vector strokes and live shapes ("vstk",
// "vogk"), placed layers of version 4 ("PlLd", and "SoLd", "SoLE"), the descriptor adjustments ("vibA", "blwh", "clrL")
// and their extra data ("CgEd"), artboards ("artb", "abdd"), and the document's "cinf", "extn",
// "artd" and "CAI ".
bool IsDescriptorBlock(uint32_t key);

// Reads the descriptors of one block body (the stream spans exactly the body) in file order.
// Descriptors read before a failure stay in out.
[[nodiscard]] BlockDescriptorResult ReadBlockDescriptors(uint32_t key,
                                                         Kernel::InStreamSeekable& body,
                                                         ParseData& pd,
                                                         std::vector<BlockDescriptor>& out);

// The same for a block recorded while reading (a layer's or the document's), read from source
// through the stream's cursor; pd.m_swap must be the byte order the block was read with.
[[nodiscard]] BlockDescriptorResult ReadStoredBlockDescriptors(
    Kernel::Counted<Kernel::InStreamSeekable> const& source, PSDTaggedBlockInfo const& block,
    ParseData& pd, std::vector<BlockDescriptor>& out);

}  // namespace PSD
