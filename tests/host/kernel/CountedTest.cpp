#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "host/kernel/Counted.h"

using namespace Kernel;

namespace {

struct Base : Countable {
    explicit Base(int* alive) : m_alive(alive) { ++*m_alive; }
    ~Base() override { --*m_alive; }
    int* m_alive;
};
struct Derived : Base {
    using Base::Base;
};
struct Other : Countable {};

}  // namespace

// Copies, moves, resets and self-assignment count right; copying an object does not copy its
// owners.
TEST(Counted, LifetimeFollowsTheReferences) {
    int alive = 0;
    {
        Counted<Base> a(new Base(&alive));
        Counted<Base> b = a;
        EXPECT_EQ(a->GetRefCount(), 2);
        Counted<Base> c = std::move(b);
        EXPECT_TRUE(b.IsNull());
        EXPECT_EQ(a->GetRefCount(), 2);
        c = nullptr;
        EXPECT_EQ(a->GetRefCount(), 1);
        Counted<Base>& alias = a;
        a = alias;  // self-assignment keeps the object
        EXPECT_EQ(alive, 1);
        EXPECT_EQ(a->GetRefCount(), 1);
    }
    EXPECT_EQ(alive, 0);
    // Copies of an object do not copy its owners.
    int copies = 0;
    Counted<Base> x(new Base(&copies));
    {
        Base copy(*x);
        EXPECT_EQ(copy.GetRefCount(), 0);
        EXPECT_EQ(x->GetRefCount(), 1);
        copy = *x;
        EXPECT_EQ(copy.GetRefCount(), 0);
        ++copies;  // the implicit copy did not count itself in, but its destructor counts out
    }
    x.Reset();
    EXPECT_EQ(copies, 0);
}

// Up- and down-casts share one count, failed casts give null, Detach hands the reference over,
// borrowing does not count.
TEST(Counted, CastsAndConversions) {
    int alive = 0;
    Counted<Derived> d = MakeCounted<Derived>(&alive);
    Counted<Base> b = d;
    Counted<Base const> cb = b;  // Consolidated-style read-only sharing
    EXPECT_EQ(d->GetRefCount(), 3);
    EXPECT_TRUE(b == d);
    auto back = b.DynamicCast<Derived>();
    EXPECT_EQ(back.Get(), d.Get());
    EXPECT_EQ(d->GetRefCount(), 4);
    Counted<Countable> o(new Other);
    EXPECT_TRUE(o.DynamicCast<Base>().IsNull());
    EXPECT_TRUE(Counted<Base>().DynamicCast<Derived>().IsNull());
    EXPECT_EQ(fast_dynamic_cast<Derived*>(b.Get()), d.Get());
    EXPECT_EQ(fast_dynamic_cast<Base*>(static_cast<Countable*>(o.Get())), nullptr);
    // Detach hands the reference over without releasing it.
    Base* raw = b.Detach();
    EXPECT_TRUE(b.IsNull());
    EXPECT_EQ(raw->GetRefCount(), 4);
    raw->Release();
    EXPECT_EQ(d->GetRefCount(), 3);
    // Borrowing does not count.
    NonCounted<Base> borrowed(d);
    EXPECT_EQ(d->GetRefCount(), 3);
    EXPECT_EQ(borrowed.Get(), d.Get());
}

// Copies from several threads at once leave the count exact.
TEST(Counted, CountsAreAtomic) {
    int alive = 0;
    Counted<Base> shared(new Base(&alive));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([shared] {
            for (int i = 0; i < 20000; ++i) {
                Counted<Base> local = shared;
                Counted<Base> moved = std::move(local);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared->GetRefCount(), 1);
    shared.Reset();
    EXPECT_EQ(alive, 0);
}
