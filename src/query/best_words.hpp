#pragma once
// The best words offered so far in a bounded heap, ranked nearest first, then
// by the higher count, then in code-point order: what suggest() and
// complete() keep while they walk.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "query/suggest.hpp"

namespace sorvan {

// True when (distance a, count a, word a) ranks before b: nearer, then more
// frequent, then first in code-point order (which byte order of UTF-8 is).
inline bool ranks_before(std::uint64_t distance_a, std::uint64_t count_a, std::string_view word_a,
                  const Suggestion& b) noexcept {
    if (distance_a != b.distance) return distance_a < b.distance;
    if (count_a != b.count) return count_a > b.count;
    return word_a < b.word;
}

// The best `limit` words offered so far, the worst of them on top.
class BestWords {
public:
    explicit BestWords(std::size_t limit) : limit_(limit) {}

    bool full() const noexcept { return heap_.size() >= limit_; }
    const Suggestion& worst() const noexcept { return heap_.front(); }

    // From now on a word may be offered again (by a second walk), maybe
    // nearer than before: it is kept once, at its least distance.
    void expect_repeats() {
        repeats_ = true;
        for (const Suggestion& s : heap_) kept_.insert(s.word);
    }

    void offer(std::string_view word, std::uint64_t distance, std::uint64_t count) {
        if (repeats_ && kept_.contains(word)) {
            // Rare: the first walk saw the word only through a dearer
            // alignment (never so within two edits).
            const auto at = std::find_if(heap_.begin(), heap_.end(),
                                         [&](const Suggestion& s) { return s.word == word; });
            if (distance < at->distance) {
                at->distance = distance;
                std::make_heap(heap_.begin(), heap_.end(), order);
            }
            return;
        }
        if (!full()) {
            heap_.push_back({std::string(word), distance, count});
            std::push_heap(heap_.begin(), heap_.end(), order);
        } else if (ranks_before(distance, count, word, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), order);
            Suggestion& slot = heap_.back();
            if (repeats_) kept_.erase(slot.word);
            slot.word.assign(word);  // reuses the evicted word's buffer
            slot.distance = distance;
            slot.count = count;
            std::push_heap(heap_.begin(), heap_.end(), order);
        } else {
            return;
        }
        if (repeats_) kept_.emplace(word);
    }

    std::vector<Suggestion> ranked() && {
        std::sort_heap(heap_.begin(), heap_.end(), order);
        return std::move(heap_);
    }

private:
    static bool order(const Suggestion& a, const Suggestion& b) noexcept {
        return ranks_before(a.distance, a.count, a.word, b);
    }

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    std::size_t limit_;
    std::vector<Suggestion> heap_;
    bool repeats_ = false;
    std::unordered_set<std::string, Hash, std::equal_to<>> kept_;
};

}  // namespace sorvan
