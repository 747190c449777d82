// Stored block bodies rewritten in the other byte order, so that a layer section written in the
// order its source did not have (little-endian TIFF layer data from a document, or the reverse)
// still holds the blocks the model does not write.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/io/PSDIO.h"
#include "psd/io/PSDTaggedBlock.h"

namespace PSD {

// The body of a stored block of this key, stored with the given byte order, in the other order.
// Known layouts only: fixed records of numbers ("fxrp", "lnsr", "FMsk"), bodies made of a
// descriptor behind a version, placed layers ("PlLd", "SoLd", "SoLE"), metadata items ("shmd")
// and embedded linked files ("lnk2", "lnk3"). A conversion is kept only when converting back
// gives the stored bytes exactly; otherwise, or for any other layout, false and out is empty.
[[nodiscard]] bool SwapBlockByteOrder(uint32_t key, std::vector<uint8_t> const& body,
                                      bool storedBigEndian, std::vector<uint8_t>& out);

// A layer's mask record (user mask, real mask, mask parameters) in the other byte order.
[[nodiscard]] bool SwapMaskDataByteOrder(std::vector<uint8_t> const& body, bool storedBigEndian,
                                         std::vector<uint8_t>& out);

// A stored block's body read from its source (whose byte-order flag is sourceSwap) in the byte
// order of the file written: as stored, or converted (the global layer mask info when
// globalMask). False when it cannot be read or converted.
[[nodiscard]] bool StoredBodyInOrder(Kernel::InStreamSeekable& source, bool sourceSwap,
                                     PSDTaggedBlockInfo const& b, ByteOrderFixer const& out,
                                     std::vector<uint8_t>& body, bool globalMask = false);

// The global layer mask info (overlay colour, opacity, kind) in the other byte order.
[[nodiscard]] bool SwapGlobalMaskByteOrder(std::vector<uint8_t> const& body,
                                           std::vector<uint8_t>& out);

}  // namespace PSD
