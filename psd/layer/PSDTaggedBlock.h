// Where a tagged block stands in the source stream, so tools can re-read a body after parsing.
#pragma once

#include <cstdint>
#include <vector>

namespace PSD {

struct PSDTaggedBlockInfo {
    uint32_t key = 0;        // four-character key, most significant byte first
    uint32_t signature = 0;  // "8BIM" or "8B64"
    uint64_t position = 0;   // stream position of the first body byte
    uint64_t length = 0;     // body length as stored (document blocks are then padded to 4)
};

}  // namespace PSD
