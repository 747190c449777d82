// Intrusive, atomic reference counting: the ownership model of every shared object.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace Kernel {

// Base of every reference-counted object. Counts start at zero; the first Counted<> takes one.
class Countable {
public:
    Countable() noexcept = default;
    // Copying an object never copies its owners.
    Countable(Countable const&) noexcept {}
    Countable& operator=(Countable const&) noexcept { return *this; }
    virtual ~Countable() = default;

    void AddRef() const noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() const noexcept {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    long GetRefCount() const noexcept { return m_refs.load(std::memory_order_acquire); }

private:
    mutable std::atomic<long> m_refs{0};
};

// Keeps a reference: the object lives at least as long as this pointer.
template <class T>
class Counted {
public:
    using element_type = T;

    Counted() noexcept = default;
    Counted(std::nullptr_t) noexcept {}
    Counted(T* p) noexcept : m_p(p) { Acquire(); }
    Counted(Counted const& o) noexcept : m_p(o.m_p) { Acquire(); }
    Counted(Counted&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Counted(Counted<U> const& o) noexcept : m_p(o.Get()) {
        Acquire();
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Counted(Counted<U>&& o) noexcept : m_p(o.Detach()) {}
    ~Counted() { Drop(); }

    Counted& operator=(Counted const& o) noexcept {
        Counted(o).Swap(*this);
        return *this;
    }
    Counted& operator=(Counted&& o) noexcept {
        Counted(std::move(o)).Swap(*this);
        return *this;
    }
    Counted& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    bool IsNull() const noexcept { return m_p == nullptr; }

    void Reset() noexcept {
        Drop();
        m_p = nullptr;
    }
    void Swap(Counted& o) noexcept { std::swap(m_p, o.m_p); }
    // Gives up ownership without releasing; the caller takes the reference over.
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }

    // A checked downcast sharing ownership; null when the object is not a U.
    template <class U>
    Counted<U> DynamicCast() const noexcept {
        return Counted<U>(dynamic_cast<U*>(m_p));
    }

    template <class U>
    bool operator==(Counted<U> const& o) const noexcept {
        return m_p == o.Get();
    }
    bool operator==(std::nullptr_t) const noexcept { return m_p == nullptr; }

private:
    void Acquire() const noexcept {
        if (m_p) m_p->AddRef();
    }
    void Drop() const noexcept {
        if (m_p) m_p->Release();
    }
    T* m_p = nullptr;
};

template <class T, class... A>
Counted<T> MakeCounted(A&&... a) {
    return Counted<T>(new T(std::forward<A>(a)...));
}

// Immutable values shared between owners (colours, ICC profiles).
template <class T>
using Consolidated = Counted<T const>;

// Borrows: the lender keeps the object alive for the duration of the call.
template <class T>
class NonCounted {
public:
    NonCounted(T& r) noexcept : m_p(&r) {}
    NonCounted(T* p) noexcept : m_p(p) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    NonCounted(Counted<U> const& c) noexcept : m_p(c.Get()) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    NonCounted(NonCounted<U> const& c) noexcept : m_p(c.Get()) {}

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    T* m_p;
};

// The host's cast between classes of one hierarchy.
template <class To, class From>
To fast_dynamic_cast(From* p) noexcept {
    return dynamic_cast<To>(p);
}

}  // namespace Kernel
