// The layer effects container attached to a layer.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

class PSDLayerEffects : public Kernel::Countable {
public:
    PSDLayerEffects() = default;
};

}  // namespace PSD
