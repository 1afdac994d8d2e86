#include "trie/reversed_words.hpp"

#include <new>
#include <string>
#include <vector>

#include "trie/store_graph.hpp"
#include "trie/trie.hpp"
#include "utils/sortable_words.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The compact image of the words of `graph` spelled backwards, each with
// its count, or Cancelled.
template <class Graph>
Result<CompactImage> reversed_image(const Graph& graph, Cancel* cancel) {
    // Every word turned round, depth first, into a Trie's sorted insertion,
    // which sizes its node store once instead of doubling it (a copy at
    // each step); the words whose count is not 1 get it afterwards. (Not
    // through words_with_wildcard's "*": its listing and the turned words
    // would be held at once, and the peak was 10 to 16 MB higher on
    // English.)
    SortableWords backwards_words;
    SortableWords others;
    std::vector<std::uint64_t> other_counts;
    std::string turned;
    std::vector<Letter> path;
    struct Level {
        typename Graph::Cursor cursor;
        std::uint32_t left;  // children still to take
    };
    std::vector<Level> stack{{graph.edges(graph.root()), graph.child_count(graph.root())}};
    Cancel::Countdown countdown(cancel);
    while (!stack.empty()) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        Level& level = stack.back();
        if (level.left == 0) {
            stack.pop_back();
            if (!path.empty()) path.pop_back();  // (the root has no letter)
            continue;
        }
        --level.left;
        const auto arc = graph.next(level.cursor);
        path.push_back(arc.letter);
        if (graph.is_end(arc.child)) {
            turned.clear();
            for (auto c = path.rbegin(); c != path.rend(); ++c) utf8::append(turned, *c);
            backwards_words.push_back(turned);
            if (const std::uint64_t count = graph.count(arc.child); count != 1) {
                others.push_back(turned);
                other_counts.push_back(count);
            }
        }
        stack.push_back({graph.edges(arc.child), graph.child_count(arc.child)});
    }
    Trie backwards;
    backwards.add_sorted(std::move(backwards_words));
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        // Counts wrap at 2^64, so 1 + (count - 1) is the count, 0 included.
        (void)backwards.add(others[i], other_counts[i] - 1);  // (a Trie's add cannot fail but by throwing)
    }
    return CompactImage::open_built(backwards.build_image(cancel), cancel);
}

}  // namespace

template <class Graph>
void ReversedWords::build(const Graph& graph, Cancel* cancel) const {
    const std::unique_lock lock(building_, std::try_to_lock);
    if (!lock.owns_lock() || gave_up_ || image()) return;
    try {
        auto built = reversed_image(graph, cancel);
        if (!built) return;
        image_.emplace(std::move(*built));
        ready_.store(&*image_, std::memory_order_release);
    } catch (const std::bad_alloc&) {
        gave_up_ = true;
    } catch (const std::length_error&) {
        gave_up_ = true;
    }
}

template void ReversedWords::build(const StoreGraph&, Cancel*) const;
template void ReversedWords::build(const CompactGraph&, Cancel*) const;

}  // namespace sorvan
