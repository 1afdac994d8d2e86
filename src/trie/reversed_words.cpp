#include "trie/reversed_words.hpp"

#include <new>
#include <string>
#include <vector>

#include "trie/store_graph.hpp"
#include "utils/sortable_words.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The compact image of the words of `graph` spelled backwards, each with
// its count, or Cancelled.
template <class Graph>
Result<CompactImage> reversed_image(const Graph& graph, Cancel* cancel) {
    // Every word turned round, depth first, then sorted, which is all the
    // image's builder needs: it makes the minimal graph straight from
    // sorted words, so no trie of the turned words is ever held. (Not
    // through words_with_wildcard's "*": its listing and the turned words
    // would be held at once, and the peak was 10 to 16 MB higher on
    // English.)
    SortableWords backwards_words;
    // The turned words whose count is not 1, tagged with their counts.
    SortableWords others{SortableWords::WithTags{}};
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
            if (const std::uint64_t count = graph.count(arc.child); count != 1) others.push_back(turned, count);
        }
        stack.push_back({graph.edges(arc.child), graph.child_count(arc.child)});
    }
    backwards_words.sort();
    others.sort();
    // A word's rank is its place in sorted order; the others are among the
    // words, in the same order.
    std::vector<std::uint64_t> counts(backwards_words.size(), 1);
    for (std::size_t rank = 0, o = 0; o < others.size(); ++rank) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        if (backwards_words[rank] == others[o]) counts[rank] = others.tag(o++);
    }
    others = {};
    return CompactImage::open_built(CompactImage::build_sorted(std::move(backwards_words), std::move(counts), cancel),
                                    cancel);
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
