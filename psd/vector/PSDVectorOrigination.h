// Live-shape origination data of a shape layer.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

class PSDVectorOriginationData : public Kernel::Countable {
public:
    PSDVectorOriginationData() = default;
};

}  // namespace PSD
