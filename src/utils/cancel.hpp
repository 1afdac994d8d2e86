#pragma once
// How a caller stops a long core call: a poll every so many steps (the
// binding polls for pending signals there).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace sorvan {

// A way for the caller of a long traversal to stop it. The traversal counts
// its work (see Countdown) and every `interval` steps asks the caller's
// `poll` function; once that answers true the traversal returns early with
// what it has found so far, and cancelled() stays true. The core knows
// nothing of what the poll looks at (the binding checks for a pending
// signal there).
//
// A Cancel made without a poll function never cancels. One Cancel belongs to
// one traversal on one thread.
class Cancel {
public:
    // True to stop. It may do anything but touch the traversal's lexicon.
    using Poll = bool (*)(void* context) noexcept;

    // Some tens of microseconds of searching: the polls cost nothing
    // measurable, and a cancellation is seen at once by a person.
    static constexpr std::int64_t interval = std::int64_t{1} << 14;

    Cancel() noexcept = default;
    Cancel(Poll poll, void* context) noexcept : poll_(poll), context_(context) {}

    // Asks the poll function, unless it said stop before; true to stop.
    bool poll() noexcept;
    bool cancelled() const noexcept { return cancelled_; }

    // A traversal's count of steps (a visited node, a followed edge, an
    // entry of a distance row) to its next poll. It lives in a local of the
    // traversal, where counting costs a register decrement.
    class Countdown {
    public:
        explicit Countdown(Cancel& cancel) noexcept : cancel_(&cancel) {}
        // A null `cancel` never stops (for the callers whose Cancel is optional).
        explicit Countdown(Cancel* cancel) noexcept : cancel_(cancel) {}
        // Counts `steps` more, to be seen by the next tick().
        void spend(std::size_t steps) noexcept { left_ -= static_cast<std::int64_t>(steps); }
        // Counts one step; true once the traversal is to stop.
        bool tick() noexcept {
            if (--left_ >= 0) [[likely]] return false;
            left_ = interval;
            return cancel_ != nullptr && cancel_->poll();
        }

    private:
        Cancel* cancel_;
        std::int64_t left_ = interval;
    };

private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    bool cancelled_ = false;
};

// Cancellation of a parallel loop. The caller's Cancel may look at what only
// the calling thread may touch (the binding runs the interpreter's signal
// handlers there), so only that thread asks it; once it says stop, a shared
// flag tells the threads running the other items.
class LoopCancel {
public:
    // `caller` may be null: the loop then never stops early.
    explicit LoopCancel(Cancel* caller) noexcept
        : caller_(caller), caller_thread_(std::this_thread::get_id()) {}
    LoopCancel(const LoopCancel&) = delete;
    LoopCancel& operator=(const LoopCancel&) = delete;

    // True once the loop is to stop. On the calling thread this asks the
    // caller's Cancel; on any other it only reads the flag.
    bool poll() noexcept;
    bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

    // A Cancel for the traversal of one item, on whichever thread runs it.
    Cancel for_item() noexcept { return Cancel(&poll_loop, this); }

private:
    static bool poll_loop(void* loop) noexcept { return static_cast<LoopCancel*>(loop)->poll(); }

    Cancel* caller_;
    std::thread::id caller_thread_;
    std::atomic<bool> stopped_{false};
};

}  // namespace sorvan
