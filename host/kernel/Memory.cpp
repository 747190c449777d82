#include "host/kernel/Memory.h"

#include <atomic>

namespace Kernel {

namespace {
// 64 GiB: above any bitmap a PSB can legitimately describe on the machines we run on.
std::atomic<uint64_t> g_limit{uint64_t(64) << 30};
}  // namespace

uint64_t GetAllocationLimit() noexcept {
    return g_limit.load(std::memory_order_relaxed);
}
void SetAllocationLimit(uint64_t bytes) noexcept {
    g_limit.store(bytes, std::memory_order_relaxed);
}

}  // namespace Kernel
