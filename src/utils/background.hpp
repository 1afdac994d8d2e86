#pragma once
// Work started off the caller's thread: a detached thread of its own, at a
// lower priority than the callers', so that on a busy machine it takes a
// share of a CPU instead of stalling them. And a count of forks, so that a
// forked child can tell the work its parent started (whose thread it does
// not have) from its own.

#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace sorvan {

// Changes in a forked child (registered when the library is loaded).
std::uint64_t fork_generation() noexcept;

// Names the calling thread "sorvan-build" and lowers its scheduling
// priority by 10 from its creator's (nice 10 below a caller at 0: about a
// tenth of a CPU's time against a busy caller, all of an idle one), at most
// to the lowest, 19.
void lower_thread_priority() noexcept;

// Runs `work` (callable once, noexcept in effect) on a new detached thread;
// false, and `work` never runs, when no thread can be started.
template <class Work>
bool run_in_background(Work&& work) noexcept {
    try {
        std::thread([work = std::forward<Work>(work)]() mutable noexcept {
            lower_thread_priority();
            work();
        }).detach();
        return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return false;
}

}  // namespace sorvan
