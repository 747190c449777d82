// Adjustment and fill layers, and the type tool layer, attached to a layer by its tagged blocks.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

// Base of every adjustment; the readers of each kind extend it.
class PSDAdjustment : public Kernel::Countable {
public:
    PSDAdjustment() = default;
};

}  // namespace PSD
