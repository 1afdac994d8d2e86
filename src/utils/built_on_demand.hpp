#pragma once
// A structure derived from a lexicon's words (an index, the words turned
// round) that its queries build once the work they did without it comes to
// what building it costs. A lexicon queried many times then pays at most
// about twice the least it could; one changed between every few queries
// never pays. Every change drops it.
//
// Queries start the build off their own thread (start()): they go on
// without it until it is published, so no query waits for a build it did
// not ask for. A caller that prefers to pay at once builds it on its own
// thread (build_now(), or build() from a query). It is published through an
// atomic pointer, once, and never changes after that. Clearing and moving
// only while no query runs, as any change of the lexicon: they drop a build
// under way, which then stops at its next poll and is never published.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "error/error.hpp"
#include "utils/background.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

template <class T>
class BuiltOnDemand {
public:
    BuiltOnDemand() noexcept = default;
    BuiltOnDemand(BuiltOnDemand&& other) noexcept { take(other); }
    BuiltOnDemand& operator=(BuiltOnDemand&& other) noexcept {
        if (this != &other) take(other);
        return *this;
    }
    ~BuiltOnDemand() { clear(); }

    // The structure, once built.
    const T* get() const noexcept { return ready_.load(std::memory_order_acquire); }

    // Counts `work` done without it; true once the work since the last
    // change comes to `worth`, unless building it was given up.
    bool worth_building(std::uint64_t work, std::uint64_t worth) const noexcept {
        if (gave_up_.load(std::memory_order_relaxed)) return false;
        // Not an atomic add: that costs every query a locked instruction,
        // and a count lost to a race only delays the build.
        const std::uint64_t done = work_.load(std::memory_order_relaxed) + work;
        work_.store(done, std::memory_order_relaxed);
        return done >= worth;
    }

    // Builds it on this thread with make() (a Result<std::unique_ptr<T>>)
    // unless it is there or another thread is at it. An error (Cancelled)
    // just ends this try. No structure (too large for it), or memory
    // running out, gives up until the next change.
    template <class Make>
    void build(Make&& make) const {
        const std::unique_lock lock(building_, std::try_to_lock);
        if (!lock.owns_lock() || gave_up_.load(std::memory_order_relaxed) || get() != nullptr) return;
        const Making making(making_);
        try {
            Result<std::unique_ptr<T>> built = make();
            if (!built) return;
            if (*built) {
                publish(std::move(*built));
                return;
            }
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        gave_up_.store(true, std::memory_order_relaxed);
    }

    // Starts building it on a thread of its own with make(Cancel*) (a
    // Result<std::unique_ptr<T>>), unless it is there, was given up, or a
    // build for the words as they are is under way. `make` is kept and runs
    // later: it must hold alive what it reads, or read only what lives
    // until the next change (which drops the build and joins nothing: its
    // Cancel says stop). No structure, memory running out, another error,
    // or no thread to be had, give up until the next change.
    template <class Make>
    void start(Make make) const noexcept {
        const std::unique_lock lock(building_, std::try_to_lock);
        if (!lock.owns_lock() || gave_up_.load(std::memory_order_relaxed) || get() != nullptr || building()) {
            return;
        }
        std::shared_ptr<Job> job;
        try {
            job = std::make_shared<Job>(this);
        } catch (const std::bad_alloc&) {
            gave_up_.store(true, std::memory_order_relaxed);
            return;
        }
        const bool started = run_in_background([job, make = std::move(make)]() mutable noexcept {
            Cancel cancel(&Job::poll, job.get());
            std::unique_ptr<T> built;
            try {
                Result<std::unique_ptr<T>> made = make(&cancel);
                if (made) built = std::move(*made);
            } catch (const std::bad_alloc&) {
            } catch (const std::length_error&) {
            }
            job->finish(std::move(built));
        });
        if (!started) {
            gave_up_.store(true, std::memory_order_relaxed);
            return;
        }
        job_ = std::move(job);
    }

    // Builds it now on this thread with make(); a build under way on a
    // thread of its own is dropped. The error of make() (Cancelled) and
    // std::bad_alloc pass on to the caller, leaving it unbuilt; a make()
    // that finds nothing to build leaves it so. Busy, at once, while
    // another call builds it on its caller's thread: never a wait, since
    // that call may be this thread's own, polling for signals (a handler
    // that calls back), or may wait itself for this thread to let it go on
    // (the interpreter lock).
    template <class Make>
    Status build_now(Make&& make) const {
        std::unique_lock lock(building_, std::defer_lock);
        // start() holds the lock only to start a thread: that is waited for.
        while (!lock.try_lock()) {
            if (making_.load(std::memory_order_acquire)) return std::unexpected(SorvanError::busy());
            std::this_thread::yield();
        }
        if (get() != nullptr) return {};
        drop_job();
        const Making making(making_);
        Result<std::unique_ptr<T>> built = make();
        if (!built) return std::unexpected(std::move(built.error()));
        if (*built) publish(std::move(*built));
        return {};
    }

    // Whether a build that start() began for the words as they are is
    // under way in this process (not one a forked parent began).
    bool building() const noexcept {
        return job_ && !job_->done.load(std::memory_order_acquire) && job_->forks == fork_generation();
    }

    // The words changed.
    void clear() noexcept {
        drop_job();
        delete ready_.exchange(nullptr, std::memory_order_relaxed);
        work_.store(0, std::memory_order_relaxed);
        gave_up_.store(false, std::memory_order_relaxed);
    }

private:
    // A build on a thread of its own, shared by that thread and its owner.
    struct Job {
        explicit Job(const BuiltOnDemand* built) noexcept : owner(built) {}

        static bool poll(void* job) noexcept { return static_cast<Job*>(job)->stop.load(std::memory_order_relaxed); }

        // Publishes `built` unless the owner dropped this build. Nothing
        // built is given up on, unless the build was stopped.
        void finish(std::unique_ptr<T> built) noexcept {
            const std::lock_guard lock(mutex);
            if (owner != nullptr && !stop.load(std::memory_order_relaxed)) {
                if (built) {
                    owner->publish(std::move(built));
                } else {
                    owner->gave_up_.store(true, std::memory_order_relaxed);
                }
            }
            done.store(true, std::memory_order_release);
        }

        std::mutex mutex;
        const BuiltOnDemand* owner;  // guarded by mutex; null once dropped
        std::atomic<bool> stop{false};
        std::atomic<bool> done{false};
        const std::uint64_t forks = fork_generation();
    };

    // Set while build() or build_now() runs make(), under the lock.
    class Making {
    public:
        explicit Making(std::atomic<bool>& flag) noexcept : flag_(flag) { flag_.store(true, std::memory_order_release); }
        ~Making() { flag_.store(false, std::memory_order_release); }
        Making(const Making&) = delete;
        Making& operator=(const Making&) = delete;

    private:
        std::atomic<bool>& flag_;
    };

    // The first structure published stays: one built beside it is freed.
    void publish(std::unique_ptr<T> built) const noexcept {
        const T* none = nullptr;
        if (ready_.compare_exchange_strong(none, built.get(), std::memory_order_acq_rel)) built.release();
    }

    // Tells the build under way, if any, to stop and never to publish.
    void drop_job() const noexcept {
        if (!job_) return;
        job_->stop.store(true, std::memory_order_relaxed);
        // A forked child has no thread that could publish the parent's
        // build, and the lock may have been held at the fork for good.
        if (job_->forks == fork_generation()) {
            const std::lock_guard lock(job_->mutex);
            job_->owner = nullptr;
        }
        job_.reset();
    }

    void take(BuiltOnDemand& other) noexcept {
        clear();
        other.drop_job();  // it would publish at the old address
        ready_.store(other.ready_.exchange(nullptr, std::memory_order_relaxed), std::memory_order_relaxed);
        work_.store(other.work_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        gave_up_.store(other.gave_up_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        other.clear();
    }

    mutable std::mutex building_;  // held while a query builds or starts a build
    mutable std::atomic<bool> making_{false};  // a caller's thread builds it (Making)
    mutable std::atomic<const T*> ready_{nullptr};  // owned
    mutable std::atomic<std::uint64_t> work_{0};
    mutable std::atomic<bool> gave_up_{false};
    mutable std::shared_ptr<Job> job_;  // guarded by building_ while queries run
};

}  // namespace sorvan
