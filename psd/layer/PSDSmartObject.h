// Placed layers and the embedded or linked files behind them.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

// The file behind a placed layer, embedded or linked.
class PSDSmartObjectData : public Kernel::Countable {
public:
    PSDSmartObjectData() = default;
};

// A placed layer's smart object record.
class PSDSmartObject : public Kernel::Countable {
public:
    PSDSmartObject() = default;
};

}  // namespace PSD
