#pragma once
// The read-only traversals behind wildcard, prefix and Levenshtein search,
// shared by both lexicons and both of their forms: they work on a graph (a
// StoreGraph or a CompactGraph, which share a small read interface) from a
// given position and never change it, so any number can run on one graph at
// once.
//
// Both walk depth first with an explicit stack instead of recursion: a
// stored word may be a million letters long, and the walk must not grow the
// native stack (batch queries run them on worker threads, whose stacks are
// smaller than the main thread's). The visiting and reporting order is that
// of the plain recursive walk.
//
// Each counts its work on a Cancel and returns early, with the words found
// so far, once that says stop; a null Cancel* means never.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compact/graph.hpp"
#include "graph/graph.hpp"
#include "graph/store_graph.hpp"
#include "node/node.hpp"
#include "query/word_list.hpp"
#include "utils/cancel.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

// Reports, in depth-first order, every word below `start` that matches
// `pattern` from `position` on: `?` takes one letter, `*` any run of
// letters (the empty run first, then each child in letter order), any other
// character itself. `word` holds the letters of the path to `start` and is
// extended in place; it is back to its initial value on return. The empty
// word is never reported. Duplicates are kept: a word matched in several
// ways by several stars is reported once per way.
template <WordGraph Graph>
void words_with_wildcard(const Graph& graph, typename Graph::Position start,
                         std::u32string_view pattern, std::size_t position, std::string& word,
                         WordList& results, Cancel& cancel);

// Reports, in depth-first order, every word below `node` (itself included)
// within Levenshtein distance `bound` of `query`. `node` is entered by the
// letter `edge`; `parent_row` is the distance row of its parent (query.size()
// + 1 entries, the first being the parent's depth); `word` holds the path to
// `node`, the letter `edge` included. A subtree is skipped as soon as no
// entry of its row is within the bound. Rows are kept only over the band of
// entries that can be within the bound, and only for the nodes on the path
// with children left, so a query of n letters over a chain of any length
// holds O(min(n, 2 * bound + 1)) entries.
template <WordGraph Graph>
void search_within_distance_inner(const Graph& graph, typename Graph::Position node,
                                  std::u32string_view query, Letter edge, std::string& word,
                                  const std::uint64_t* parent_row, std::uint64_t bound,
                                  WordList& results, Cancel& cancel);

// The lexicon-level searches, from the root of `graph`, with counts or not
// (defined for StoreGraph and CompactGraph).
template <WordGraph Graph>
WordList search_words(const Graph& graph, std::string_view pattern, bool with_counts,
                      Cancel* cancel = nullptr);
template <WordGraph Graph>
WordList search_prefix(const Graph& graph, std::string_view prefix, bool with_counts,
                       Cancel* cancel = nullptr);
template <WordGraph Graph>
WordList search_distance(const Graph& graph, std::string_view query, std::uint64_t bound,
                         bool with_counts, Cancel* cancel = nullptr);

}  // namespace sorvan
