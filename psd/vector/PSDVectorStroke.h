// A shape layer's vector fill and stroke.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

class PSDVectorStroke : public Kernel::Countable {
public:
    PSDVectorStroke() = default;
};

}  // namespace PSD
