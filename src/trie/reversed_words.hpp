#pragma once
// The words of a lexicon spelled backwards, with their counts, in a compact
// graph of their own, which suggest_words() walks beside the lexicon's graph
// (see suggest.hpp).
//
// Building it costs about what compacting the lexicon does, so it is built
// only once the suggestions made since the last change have done that much
// work without it: a lexicon queried many times pays at most about twice
// the least it could, one changed between every few queries never pays.
// Every change drops it. Queries may run on several threads at once: one of
// them builds it while the others go on without it.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "compact/image.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

class ReversedWords {
public:
    ReversedWords() noexcept = default;
    // Only while no query runs, as any change of the lexicon.
    ReversedWords(ReversedWords&& other) noexcept { take(other); }
    ReversedWords& operator=(ReversedWords&& other) noexcept {
        if (this != &other) take(other);
        return *this;
    }

    // The graph, once built.
    const CompactImage* image() const noexcept { return ready_.load(std::memory_order_acquire); }
    // Counts `steps` of a suggestion made without the graph; true once the
    // steps since the last change come to `worth`.
    bool count_work(std::uint64_t steps, std::uint64_t worth) const noexcept {
        return work_.fetch_add(steps, std::memory_order_relaxed) + steps >= worth;
    }
    // Builds the graph of the words of `graph` (a StoreGraph or a
    // CompactGraph), whose counts are at most `max_count`, unless another
    // thread is at it. When memory runs out it gives up until the next
    // change; when `cancel` stops it, until the next call. The suggestions
    // do without meanwhile.
    template <class Graph>
    void build(const Graph& graph, std::uint64_t max_count, Cancel* cancel) const;
    // The words changed. Only while no query runs.
    void clear() noexcept {
        ready_.store(nullptr, std::memory_order_relaxed);
        image_.reset();
        work_.store(0, std::memory_order_relaxed);
        gave_up_ = false;
    }

private:
    void take(ReversedWords& other) noexcept {
        image_ = std::move(other.image_);
        ready_.store(image_ ? &*image_ : nullptr, std::memory_order_relaxed);
        work_.store(other.work_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        gave_up_ = other.gave_up_;
        other.clear();
    }

    mutable std::mutex building_;
    mutable std::optional<CompactImage> image_;  // written under `building_`, read through `ready_`
    mutable std::atomic<const CompactImage*> ready_{nullptr};
    mutable std::atomic<std::uint64_t> work_{0};
    mutable bool gave_up_ = false;  // under `building_`
};

}  // namespace sorvan
