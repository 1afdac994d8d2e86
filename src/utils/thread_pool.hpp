#pragma once
// The process-wide worker pool that runs batch queries, and parallel_map over
// an index range.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "utils/cancel.hpp"

namespace sorvan {

// How parallel_for divides [0, n).
struct ParallelOptions {
    // Below this many items the calling thread runs them alone: waking a
    // sleeping worker takes tens of microseconds, which a few hundred
    // membership queries (a quarter microsecond each) barely repay.
    std::size_t min_parallel = 256;
    // Items are handed out in chunks of at most this many (fewer when n is
    // small), so a worker that hits a slow item holds back at most that
    // chunk. 1 suits items that cost microseconds or more each (searches);
    // the default keeps the shared counter off the profile for cheap items
    // (membership).
    std::size_t max_chunk = 32;
    // When set, the loop stops early once it says stop: the calling thread
    // polls it between chunks and, while it waits for the workers, every
    // `wait_poll_period`; every thread looks at it before claiming a chunk,
    // and items can hand its for_item() Cancel to their traversals. Items
    // not started by then are skipped (their results keep their defaults).
    LoopCancel* cancel = nullptr;
};

// How often a caller that waits for a cancellable loop's workers polls.
inline constexpr auto wait_poll_period = std::chrono::milliseconds(10);

// Runs fn(i) for i in [0, n) on the calling thread, in chunks of
// options.max_chunk between polls of options.cancel.
template <class F>
void run_inline(std::size_t n, F& fn, const ParallelOptions& options) {
    const std::size_t chunk = std::max<std::size_t>(options.max_chunk, 1);
    for (std::size_t begin = 0; begin < n; begin += chunk) {
        if (options.cancel != nullptr && options.cancel->poll()) return;
        const std::size_t end = std::min(n, begin + chunk);
        for (std::size_t i = begin; i < end; ++i) fn(i);
    }
}

// A fixed set of worker threads that run parallel loops. The calling thread
// of each loop works too and returns when every item is done, so a pool with
// no worker (or one whose workers are all busy) still completes every loop.
// Several loops may run at once, from different threads; idle workers join
// the loop that has the fewest helpers.
class ThreadPool {
public:
    // Starts `workers` threads, or as many as the system allows: a pool that
    // could start none runs every loop on its caller.
    explicit ThreadPool(std::size_t workers);
    // Stops and joins the workers. No loop may be running.
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The process-wide pool, one worker per CPU the process may run on (its
    // affinity mask), created on first use and never destroyed: nothing
    // joins its threads at exit, and idle workers blocked in a wait are
    // harmless there. A process forked after it started gets a fresh pool on
    // first use (the old one is leaked untouched: its threads do not exist in
    // the child and its mutex may be held). Throws std::bad_alloc if the pool
    // cannot be allocated.
    static ThreadPool& instance();

    std::size_t worker_count() const noexcept { return threads_.size(); }

    // Calls fn(i) once for each i in [0, n), on this thread and the workers,
    // and returns when all calls have returned. `fn` must be safe to call
    // concurrently for different i; a call for i may write only state of its
    // own (such as out[i]), which the caller sees complete on return.
    //
    // If a call throws, the items not yet started are skipped, and once no
    // thread runs any call the first exception caught is rethrown here (the
    // others are dropped). A call may itself run a parallel loop.
    template <class F>
    void parallel_for(std::size_t n, F&& fn, ParallelOptions options = {});

private:
    // A type-erased chunk body: runs fn(i) for i in [begin, end).
    using ChunkFn = void (*)(void* fn, std::size_t begin, std::size_t end);
    struct Job;

    // Runs the loop with the workers; see parallel_for.
    void run(std::size_t n, std::size_t chunk, ChunkFn body, void* fn, LoopCancel* cancel);
    void worker_main() noexcept;
    Job* least_helped_job() const noexcept;
    void unlink(Job& job) noexcept;

    template <class F>
    static void run_chunk(void* fn, std::size_t begin, std::size_t end) {
        auto& f = *static_cast<std::remove_reference_t<F>*>(fn);
        for (std::size_t i = begin; i < end; ++i) f(i);
    }

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a job was queued, or stopping_
    Job* jobs_ = nullptr;                 // loops that may have items left
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

template <class F>
void ThreadPool::parallel_for(std::size_t n, F&& fn, ParallelOptions options) {
    if (n <= 1 || n < options.min_parallel || threads_.empty()) {
        run_inline(n, fn, options);
        return;
    }
    // About four chunks per thread when n is small, for balance; never more
    // than max_chunk items in one.
    const std::size_t per_chunk = n / (4 * (threads_.size() + 1));
    const std::size_t max_chunk = std::max<std::size_t>(options.max_chunk, 1);
    const std::size_t chunk = std::clamp<std::size_t>(per_chunk, 1, max_chunk);
    void* erased = const_cast<void*>(static_cast<const void*>(std::addressof(fn)));
    run(n, chunk, &run_chunk<F>, erased, options.cancel);
}

// ThreadPool::instance().parallel_for, except that a loop too small to share
// runs on the calling thread without creating the pool.
template <class F>
void parallel_for(std::size_t n, F&& fn, ParallelOptions options = {}) {
    if (n <= 1 || n < options.min_parallel) {
        run_inline(n, fn, options);
        return;
    }
    ThreadPool::instance().parallel_for(n, std::forward<F>(fn), options);
}

// Returns {fn(0), ..., fn(n - 1)}, computed by parallel_for; each result is
// moved into its own slot. R must be default-constructible and must not be
// bool: std::vector<bool> packs its slots into shared words, so writing two
// of them from two threads is a data race (return std::uint8_t instead).
template <class F>
auto parallel_map(std::size_t n, F&& fn, ParallelOptions options = {}) {
    using R = std::remove_cvref_t<std::invoke_result_t<F&, std::size_t>>;
    static_assert(!std::is_same_v<R, bool>, "std::vector<bool> slots are not separate objects");
    static_assert(std::is_default_constructible_v<R>);
    std::vector<R> out(n);
    parallel_for(n, [&out, &fn](std::size_t i) { out[i] = fn(i); }, options);
    return out;
}

}  // namespace sorvan
