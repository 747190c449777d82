// Live-shape origination data of a shape layer.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

// Live-shape origination data of a shape layer.
class PSDVectorOriginationData : public Kernel::Countable {
public:
    PSDVectorOriginationData() = default;
};

}  // namespace PSD
