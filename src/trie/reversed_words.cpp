#include "trie/reversed_words.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "trie/store_graph.hpp"
#include "trie/trie.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The compact image of the words of `graph` spelled backwards, each with
// its count, or Cancelled.
template <class Graph>
Result<CompactImage> reversed_image(const Graph& graph, Cancel* cancel) {
    // Every word turned round, depth first; then sorted, so that the trie
    // is built along its own order.
    struct Entry {
        std::size_t at;
        std::size_t size;
        std::uint64_t count;
    };
    std::string bytes;
    std::vector<Entry> entries;
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
            const std::size_t at = bytes.size();
            for (auto c = path.rbegin(); c != path.rend(); ++c) utf8::append(bytes, *c);
            entries.push_back({at, bytes.size() - at, graph.count(arc.child)});
        }
        stack.push_back({graph.edges(arc.child), graph.child_count(arc.child)});
    }
    auto spelled = [&](const Entry& e) { return std::string_view(bytes).substr(e.at, e.size); };
    std::sort(entries.begin(), entries.end(),
              [&](const Entry& a, const Entry& b) { return spelled(a) < spelled(b); });
    Trie backwards;
    for (const Entry& e : entries) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        (void)backwards.add(spelled(e), e.count);  // (a Trie's add cannot fail but by throwing)
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
