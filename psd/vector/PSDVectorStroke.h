// A shape layer's vector fill and stroke.
#pragma once

#include <cstdint>

#include "host/kernel/Counted.h"

namespace PSD {

// The stroke of a shape layer: its settings and the names they have in descriptors.
class PSDVectorStroke : public Kernel::Countable {
public:
    PSDVectorStroke() = default;

    // Numbers fixed by the descriptor dictionaries of the stroke style.
    enum class LineCapType : uint32_t { Butt = 0, Round = 1, Square = 2 };
    enum class LineJoinStyle : uint32_t { Miter = 0, Round = 1, Bevel = 2 };
    enum class LineAlignment : uint32_t { Inside = 0, Center = 1, Outside = 2 };
};

}  // namespace PSD
