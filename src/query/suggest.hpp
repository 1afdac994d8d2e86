#pragma once
// Ranked spelling suggestions: the stored words nearest a query, best first.
//
// One depth-first walk keeps the distance rows of the path, as the
// Levenshtein search does, and the best `limit` words found so far in a
// bounded heap. Once the heap is full, the bound drops to the distance of
// the worst word kept, and a subtree whose rows cannot come within it is
// skipped. It drops no lower unless no count is higher than the worst
// word's: a later word at that distance could still win on its count.
//
// Below a node whose row has no entry under the bound, no edit is left:
// the walk follows the query's remaining letters there instead of computing
// rows, and looks up only the few letters that can keep a child in reach.
//
// Near the root nearly every prefix is within a few edits of the query, and
// that is where a walk that allows them all spends its time. Given the words
// spelled backwards as well, the search is two walks: one over the words
// that spends at most k / 2 of its k edits on the query's first half, one
// over the reversed words that spends fewer than k - k / 2 on its second.
// Every alignment within k edits is one or the other, and both walks branch
// little until they are past a half of the query.
//
// The walk is written against the graph's read interface alone
// (child_count, edges and next, child, is_end, count), with an explicit stack and
// rows kept only over the band of entries that can be within the bound.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compact/graph.hpp"
#include "graph/graph.hpp"
#include "graph/store_graph.hpp"
#include "node/node.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

struct Suggestion {
    std::string word;
    std::uint64_t distance;
    std::uint64_t count;

    friend bool operator==(const Suggestion&, const Suggestion&) = default;
};

// The suggestions in rank order: nearest first, then the higher count, then
// code-point order. `with_counts` only says how the caller wants them shown.
struct Suggestions {
    std::vector<Suggestion> items;
    bool with_counts = false;
};

// No limit: every word within the distance.
inline constexpr std::size_t all_suggestions = SIZE_MAX;

// The words of `graph` (a StoreGraph or a CompactGraph) within `max_distance` of `query`, at most `limit` of
// them. The distance is Levenshtein's, or with `transpositions` the optimal
// string alignment distance, where swapping two neighbouring letters costs
// one edit. The empty word is never suggested. No stored count may exceed
// `count_ceiling`: once the worst word kept has it, a later word (later in
// code-point order) at its distance cannot win, and the bound drops below
// that distance. A cancelled walk returns the ranking of what it saw.
// `reversed`, when given, is the graph of the same words and counts spelled
// backwards (see ReversedWords): the search is then two walks that each
// allow few edits near their root, where the branches are many, instead of
// one that allows them all. `work`, when given, receives the number of
// steps taken.
template <WordGraph Graph>
std::vector<Suggestion> suggest_words(const Graph& graph, std::string_view query,
                                      std::uint64_t max_distance, std::size_t limit,
                                      bool transpositions, std::uint64_t count_ceiling = UINT64_MAX,
                                      Cancel* cancel = nullptr, const CompactGraph* reversed = nullptr,
                                      std::uint64_t* work = nullptr);

}  // namespace sorvan
