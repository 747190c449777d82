// Parallel loops on a small shared thread pool.
#pragma once

#include <cstddef>
#include <functional>

namespace Kernel::Dispatch {

// Runs fn(i) for every i in [0, count) and returns when all have run. The calling thread takes
// part. Calls made from inside a worker run serially on that worker, so nesting cannot deadlock.
// The first exception thrown by fn is rethrown here after all indices have finished.
void DispatchParallelFor(size_t count, std::function<void(size_t)> const& fn);

// Number of threads that run a loop (the caller included); defaults to the processor count.
size_t GetConcurrency() noexcept;
// 0 restores the default. Takes effect for loops started afterwards.
void SetConcurrency(size_t threads) noexcept;

}  // namespace Kernel::Dispatch
