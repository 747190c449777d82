#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/kernel/Dispatch.h"

using namespace Kernel::Dispatch;

namespace {

// Restores the default concurrency however a test ends.
struct ConcurrencyGuard {
    explicit ConcurrencyGuard(size_t n) { SetConcurrency(n); }
    ~ConcurrencyGuard() { SetConcurrency(0); }
};

}  // namespace

// Every index exactly once and none out of range, for any concurrency (far above the cores too);
// with a concurrency of one, in order on the caller.
TEST(Dispatch, EveryIndexRunsExactlyOnce) {
    for (size_t threads : {size_t(0), size_t(1), size_t(2), size_t(4), size_t(9), size_t(40)}) {
        ConcurrencyGuard g(threads);
        for (size_t count :
             {size_t(0), size_t(1), size_t(2), size_t(3), size_t(1000), size_t(20000)}) {
            std::unique_ptr<std::atomic<int>[]> hits(new std::atomic<int>[count + 1]);
            for (size_t i = 0; i <= count; ++i) hits[i] = 0;
            DispatchParallelFor(count, [&](size_t i) { hits[std::min(i, count)].fetch_add(1); });
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(hits[i].load(), 1) << "index " << i << " of " << count;
            EXPECT_EQ(hits[count].load(), 0);
        }
    }
    ConcurrencyGuard g(1);
    EXPECT_EQ(GetConcurrency(), 1u);
    std::vector<size_t> order;
    auto caller = std::this_thread::get_id();
    bool otherThread = false;
    DispatchParallelFor(100, [&](size_t i) {
        order.push_back(i);  // unsynchronised on purpose: serial use only
        otherThread |= std::this_thread::get_id() != caller;
    });
    EXPECT_FALSE(otherThread);
    for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], i);
    EXPECT_EQ(order.size(), 100u);
    SetConcurrency(0);
    EXPECT_GE(GetConcurrency(), 1u);
}

// Work really runs side by side, on no more threads than asked, the caller among them.
TEST(Dispatch, UsesMoreThanOneThreadAndTheCaller) {
    ConcurrencyGuard g(4);
    std::mutex lock;
    std::set<std::thread::id> ids;
    std::atomic<int> inside{0}, most{0};
    DispatchParallelFor(64, [&](size_t) {
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        {
            std::lock_guard<std::mutex> l(lock);
            ids.insert(std::this_thread::get_id());
        }
        --inside;
    });
    EXPECT_GT(ids.size(), 1u);
    EXPECT_LE(ids.size(), 4u);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 1u);
    EXPECT_GT(most.load(), 1);
}

// Nested loops and loops started from several threads at once neither deadlock nor lose work.
TEST(Dispatch, NestedAndConcurrentLoops) {
    ConcurrencyGuard g(3);
    std::atomic<int> nested{0}, total{0};
    DispatchParallelFor(16, [&](size_t) {
        DispatchParallelFor(
            16, [&](size_t) { DispatchParallelFor(4, [&](size_t) { nested.fetch_add(1); }); });
    });
    EXPECT_EQ(nested.load(), 16 * 16 * 4);
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int r = 0; r < 20; ++r)
                DispatchParallelFor(50, [&](size_t) { total.fetch_add(1); });
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(total.load(), 4 * 20 * 50);
}

// An exception reaches the caller: serially at once, in parallel after the other indices ran;
// the pool stays usable.
TEST(Dispatch, ExceptionsPropagateAfterAllIndicesRan) {
    for (size_t threads : {size_t(1), size_t(4)}) {
        ConcurrencyGuard g(threads);
        std::atomic<int> ran{0};
        EXPECT_THROW(DispatchParallelFor(200,
                                         [&](size_t i) {
                                             ran.fetch_add(1);
                                             if (i % 50 == 7) throw std::runtime_error("boom");
                                         }),
                     std::runtime_error);
        EXPECT_EQ(ran.load(), threads > 1 ? 200 : 8);
        std::atomic<int> after{0};
        DispatchParallelFor(100, [&](size_t) { after.fetch_add(1); });
        EXPECT_EQ(after.load(), 100);
    }
}
