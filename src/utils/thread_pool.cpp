#include "utils/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <exception>
#include <new>
#include <system_error>

namespace sorvan {

// One parallel loop. It lives on its caller's stack: the caller unlinks it
// and waits until no worker is inside it before returning.
struct ThreadPool::Job {
    Job(std::size_t n_items, std::size_t chunk_size, ChunkFn chunk_body, void* body_fn,
        LoopCancel* loop_cancel) noexcept
        : n(n_items), chunk(chunk_size), body(chunk_body), fn(body_fn), cancel(loop_cancel) {}

    // Claims and runs chunks until none is left or a call throws.
    void work() noexcept;

    const std::size_t n;
    const std::size_t chunk;
    const ChunkFn body;
    void* const fn;
    LoopCancel* const cancel;  // may be null
    std::atomic<std::size_t> next{0};  // the first item nobody has claimed
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written once, by the thread that set `failed`

    // Guarded by the pool's mutex.
    std::size_t helpers = 0;  // workers inside work()
    bool queued = false;      // in the pool's list, open to more helpers
    Job* prev = nullptr;
    Job* next_job = nullptr;
    std::condition_variable left;  // signalled when helpers drops to 0
};

void ThreadPool::Job::work() noexcept {
    for (;;) {
        if (cancel != nullptr && cancel->poll()) {
            next.store(n, std::memory_order_relaxed);
            return;
        }
        const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
        if (begin >= n) return;
        const std::size_t end = n - begin > chunk ? begin + chunk : n;
        try {
            body(fn, begin, end);
        } catch (...) {
            if (!failed.exchange(true, std::memory_order_relaxed)) error = std::current_exception();
            next.store(n, std::memory_order_relaxed);  // the others stop at their next claim
            return;
        }
    }
}

ThreadPool::ThreadPool(std::size_t workers) {
    threads_.reserve(workers);
    // Default stack size: traversals keep their stacks on the heap.
    for (std::size_t i = 0; i < workers; ++i) {
        try {
            threads_.emplace_back([this] { worker_main(); });
        } catch (const std::system_error&) {
            break;  // the system refuses more threads: work with those we have
        } catch (const std::bad_alloc&) {
            break;
        }
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void ThreadPool::worker_main() noexcept {
    pthread_setname_np(pthread_self(), "sorvan-pool");
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return stopping_ || jobs_ != nullptr; });
        if (stopping_) return;
        Job& job = *least_helped_job();
        ++job.helpers;
        lock.unlock();
        job.work();
        lock.lock();
        // Every chunk is claimed: later workers have nothing to join.
        unlink(job);
        // Notified under the lock: once the caller can see 0, it may destroy
        // the job, and this thread touches it no more.
        if (--job.helpers == 0) job.left.notify_one();
    }
}

ThreadPool::Job* ThreadPool::least_helped_job() const noexcept {
    Job* best = jobs_;
    for (Job* j = jobs_; j != nullptr; j = j->next_job) {
        if (j->helpers < best->helpers) best = j;
    }
    return best;
}

void ThreadPool::unlink(Job& job) noexcept {
    if (!job.queued) return;
    if (job.prev != nullptr) {
        job.prev->next_job = job.next_job;
    } else {
        jobs_ = job.next_job;
    }
    if (job.next_job != nullptr) job.next_job->prev = job.prev;
    job.queued = false;
}

void ThreadPool::run(std::size_t n, std::size_t chunk, ChunkFn body, void* fn,
                     LoopCancel* cancel) {
    Job job(n, chunk, body, fn, cancel);
    {
        std::lock_guard lock(mutex_);
        job.next_job = jobs_;
        if (jobs_ != nullptr) jobs_->prev = &job;
        jobs_ = &job;
        job.queued = true;
    }
    // The caller takes a chunk too, so wake a worker only for the others.
    const std::size_t chunks = (n - 1) / chunk + 1;
    const std::size_t wanted = std::min(threads_.size(), chunks - 1);
    for (std::size_t i = 0; i < wanted; ++i) work_ready_.notify_one();

    job.work();
    {
        std::unique_lock lock(mutex_);
        unlink(job);
        auto done = [&job] { return job.helpers == 0; };
        if (cancel == nullptr) {
            job.left.wait(lock, done);
        } else {
            // Wake now and then to poll: the workers may be deep in long
            // items, and only this thread can notice a cancellation. The
            // poll runs unlocked, since it may start a loop of its own.
            while (!job.left.wait_for(lock, wait_poll_period, done)) {
                lock.unlock();
                cancel->poll();
                lock.lock();
            }
        }
    }
    if (job.error) std::rethrow_exception(job.error);
}

namespace {

std::atomic<ThreadPool*> g_pool{nullptr};

// A child forked after the pool started has none of its threads, and its
// mutex may be held for good by a thread that did not survive the fork: the
// child forgets that pool, unfreed and untouched, and starts a fresh one.
void forget_pool_in_child() noexcept {
    g_pool.store(nullptr, std::memory_order_relaxed);
}

// Registered when the library is loaded, before any pool can exist.
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, &forget_pool_in_child);

std::size_t available_cpus() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

ThreadPool& ThreadPool::instance() {
    ThreadPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr) return *pool;
    auto fresh = std::make_unique<ThreadPool>(available_cpus());
    if (g_pool.compare_exchange_strong(pool, fresh.get(), std::memory_order_acq_rel)) {
        return *fresh.release();  // never deleted: see the header
    }
    // Another thread installed its pool first; this one is joined and freed.
    return *pool;
}

}  // namespace sorvan
