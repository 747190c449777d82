// Progress of long work, reported to whoever watches it.
#pragma once

#include <cstdint>

#include "host/kernel/Counted.h"

namespace Kernel {

// Told how far a long operation has come; shared between the worker and whoever shows the progress.
class ProgressReporter : public Countable {
public:
    // done of total units are finished. Called from the working thread.
    virtual void OnUpdate(uint64_t done, uint64_t total) = 0;
};

}  // namespace Kernel
