#pragma once
// A structure derived from a lexicon's words (an index, the words turned
// round) that its queries build for themselves once the work they did
// without it comes to what building it costs. A lexicon queried many times
// then pays at most about twice the least it could; one changed between
// every few queries never pays. Every change drops it.
//
// Queries on several threads may count, read and build at once: the one
// whose count crosses the line builds it under a lock that the others only
// try, and they go on without it meanwhile. It is published through an
// atomic pointer and never changes after that. Clearing and moving only
// while no query runs, as any change of the lexicon.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "error/error.hpp"

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

    // Builds it with make() (a Result<std::unique_ptr<T>>) unless it is
    // there or another thread is at it. An error (Cancelled) just ends
    // this try. No structure (too large for it), or memory running out,
    // gives up until the next change.
    template <class Make>
    void build(Make&& make) const {
        const std::unique_lock lock(building_, std::try_to_lock);
        if (!lock.owns_lock() || gave_up_.load(std::memory_order_relaxed) ||
            ready_.load(std::memory_order_relaxed) != nullptr) {
            return;
        }
        try {
            Result<std::unique_ptr<T>> built = make();
            if (!built) return;
            if (*built) {
                ready_.store(built->release(), std::memory_order_release);
                return;
            }
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        gave_up_.store(true, std::memory_order_relaxed);
    }

    // The words changed.
    void clear() noexcept {
        delete ready_.exchange(nullptr, std::memory_order_relaxed);
        work_.store(0, std::memory_order_relaxed);
        gave_up_.store(false, std::memory_order_relaxed);
    }

private:
    void take(BuiltOnDemand& other) noexcept {
        clear();
        ready_.store(other.ready_.exchange(nullptr, std::memory_order_relaxed), std::memory_order_relaxed);
        work_.store(other.work_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        gave_up_.store(other.gave_up_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        other.clear();
    }

    mutable std::mutex building_;
    mutable std::atomic<const T*> ready_{nullptr};  // owned
    mutable std::atomic<std::uint64_t> work_{0};
    mutable std::atomic<bool> gave_up_{false};
};

}  // namespace sorvan
