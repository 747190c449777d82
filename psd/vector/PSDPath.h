// A saved path, the working path or a vector mask.
#pragma once

#include "host/kernel/Counted.h"

namespace PSD {

// A saved path, the working path or a vector mask.
class PSDPath : public Kernel::Countable {
public:
    PSDPath() = default;
};

}  // namespace PSD
