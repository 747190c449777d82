// One layer of a document.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

class PSDLayer : public Kernel::Countable {
public:
    PSDLayer() = default;
};

}  // namespace PSD
