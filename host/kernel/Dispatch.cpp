#include "host/kernel/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace Kernel::Dispatch {

namespace {

thread_local bool t_inWorker = false;
std::atomic<size_t> g_concurrency{0};

class Pool {
public:
    static Pool& Get() {
        static Pool* p = new Pool;  // never destroyed: workers may outlive static destruction
        return *p;
    }

    // Queues a job; workers grow to at least `helpers` (beyond the processor count when a caller
    // asked for more concurrency). Throws only if no worker exists to run the job.
    void Submit(std::function<void()> job, size_t helpers) {
        {
            std::lock_guard<std::mutex> g(m_lock);
            EnsureWorkers(helpers);
            m_jobs.push_back(std::move(job));
        }
        m_cv.notify_one();
    }

private:
    void EnsureWorkers(size_t helpers) {
        constexpr size_t kMaxWorkers = 256;  // SetConcurrency is a hint, not a thread budget
        size_t want = std::max<size_t>(1, std::thread::hardware_concurrency()) + 1;
        want = std::min(std::max(want, helpers), kMaxWorkers);
        while (m_workers.size() < want) {
            try {
                m_workers.emplace_back([this] { Run(); });
            } catch (std::system_error const&) {
                // Out of threads: the queued jobs still run on the workers we have.
                if (m_workers.empty()) throw;
                return;
            }
            m_workers.back().detach();
        }
    }
    void Run() {
        t_inWorker = true;
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> g(m_lock);
                m_cv.wait(g, [this] { return !m_jobs.empty(); });
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_workers;
};

}  // namespace

size_t GetConcurrency() noexcept {
    size_t c = g_concurrency.load();
    // Asked once: the standard library reads a file under /sys for it at every call, and the
    // decoders ask for every band.
    static size_t const cores = std::max<size_t>(1, std::thread::hardware_concurrency());
    return c ? c : cores;
}

void SetConcurrency(size_t threads) noexcept {
    g_concurrency.store(threads);
}

void DispatchParallelFor(size_t count, std::function<void(size_t)> const& fn) {
    if (count == 0) return;
    size_t threads = std::min(GetConcurrency(), count);
    if (threads <= 1 || t_inWorker) {
        for (size_t i = 0; i < count; ++i) fn(i);
        return;
    }
    struct Shared {
        std::atomic<size_t> next{0};
        std::mutex lock;
        std::condition_variable done;
        size_t running = 0;
        std::exception_ptr error;
    } sh;
    auto work = [&sh, &fn, count] {
        for (;;) {
            size_t i = sh.next.fetch_add(1);
            if (i >= count) break;
            try {
                fn(i);
            } catch (...) {
                std::lock_guard<std::mutex> g(sh.lock);
                if (!sh.error) sh.error = std::current_exception();
            }
        }
    };
    // Count each helper before it is queued, so `sh` outlives every job that refers to it even
    // when queueing fails part way (the caller then does the remaining work itself).
    for (size_t t = 0; t + 1 < threads; ++t) {
        {
            std::lock_guard<std::mutex> g(sh.lock);
            ++sh.running;
        }
        try {
            Pool::Get().Submit(
                [&sh, work] {
                    work();
                    std::lock_guard<std::mutex> g(sh.lock);
                    if (--sh.running == 0) sh.done.notify_all();
                },
                threads - 1);
        } catch (...) {
            std::lock_guard<std::mutex> g(sh.lock);
            --sh.running;
            break;
        }
    }
    work();
    std::unique_lock<std::mutex> g(sh.lock);
    sh.done.wait(g, [&sh] { return sh.running == 0; });
    if (sh.error) std::rethrow_exception(sh.error);
}

}  // namespace Kernel::Dispatch
