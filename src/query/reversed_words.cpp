#include "query/reversed_words.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "graph/store_graph.hpp"
#include "utils/sortable_words.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// Every word of `graph` turned round, depth first, each tagged with its
// count when `tagged`. Untagged, the list is given up (nothing) at the first
// count that is not 1. Cancelled when `countdown` says stop. (Not through
// words_with_wildcard's "*": its listing and the turned words would be
// held at once, and the peak was 10 to 16 MB higher on English.)
template <WordGraph Graph>
Result<std::optional<SortableWords>> turned_words(const Graph& graph, bool tagged, Cancel::Countdown& countdown) {
    std::optional<SortableWords> words;
    if (tagged) words.emplace(SortableWords::WithTags{}); else words.emplace();
    std::string turned;
    std::vector<Letter> path;
    struct Level {
        typename Graph::Cursor cursor;
        std::uint32_t left;  // children still to take
    };
    std::vector<Level> stack{{graph.edges(graph.root()), graph.child_count(graph.root())}};
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
            const std::uint64_t count = graph.count(arc.child);
            if (tagged) {
                words->push_back(turned, count);
            } else if (count == 1) {
                words->push_back(turned);
            } else {
                return std::optional<SortableWords>();
            }
        }
        stack.push_back({graph.edges(arc.child), graph.child_count(arc.child)});
    }
    return words;
}

}  // namespace

// The words are sorted, which is all the image's builder needs: it makes
// the minimal graph straight from sorted words, so no trie of the turned
// words is ever held. When no count is above 1 (`max_count`), the counts
// are most likely all 1 and need no tags.
template <WordGraph Graph>
Result<std::unique_ptr<CompactImage>> reversed_image(const Graph& graph, std::uint64_t max_count, Cancel* cancel) {
    Cancel::Countdown countdown(cancel);
    bool tagged = max_count != 1;
    auto words = turned_words(graph, tagged, countdown);
    if (words && !*words) {  // a count of 0
        tagged = true;
        words = turned_words(graph, tagged, countdown);
    }
    if (!words) return std::unexpected(std::move(words.error()));
    SortableWords& sorted = **words;
    if (!sorted.sort(cancel)) return std::unexpected(SorvanError::cancelled());
    // A word's rank is its place in sorted order; the tags, which the sort
    // carried along, are the counts.
    std::vector<std::uint64_t> counts(sorted.size(), 1);
    if (tagged) {
        for (std::size_t rank = 0; rank < counts.size(); ++rank) counts[rank] = sorted.tag(rank);
    }
    auto image = CompactImage::open_built(CompactImage::build_sorted(std::move(sorted), std::move(counts), cancel), cancel);
    if (!image) return std::unexpected(std::move(image.error()));
    return std::make_unique<CompactImage>(std::move(*image));
}

template Result<std::unique_ptr<CompactImage>> reversed_image(const StoreGraph&, std::uint64_t, Cancel*);
template Result<std::unique_ptr<CompactImage>> reversed_image(const CompactGraph&, std::uint64_t, Cancel*);

}  // namespace sorvan
