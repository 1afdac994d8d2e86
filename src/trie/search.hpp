#pragma once
// The read-only traversals behind wildcard, prefix and Levenshtein search,
// shared by both lexicons: they work on a node store from a given node and
// never change it, so any number can run on one store at once.
//
// Both walk depth first with an explicit stack instead of recursion: a
// stored word may be a million letters long, and the walk must not grow the
// native stack (batch queries run them on worker threads, whose stacks are
// smaller than the main thread's). The visiting and reporting order is that
// of the plain recursive walk.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "node/node.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

using WordCount = std::pair<std::string, std::uint64_t>;

// Where a traversal reports its words: the words alone, or with counts.
struct WordSink {
    std::vector<std::string> words;
    void report(const std::string& word, std::uint64_t) { words.push_back(word); }
};
struct WordCountSink {
    std::vector<WordCount> pairs;
    void report(const std::string& word, std::uint64_t count) { pairs.emplace_back(word, count); }
};

// Reports, in depth-first order, every word below `start` that matches
// `pattern` from `position` on: `?` takes one letter, `*` any run of
// letters (the empty run first, then each child in letter order), any other
// character itself. `word` holds the letters of the path to `start` and is
// extended in place; it is back to its initial value on return. The empty
// word is never reported. Duplicates are kept: a word matched in several
// ways by several stars is reported once per way.
template <class Sink>
void words_with_wildcard(const NodeStore& nodes, NodeIndex start, std::u32string_view pattern,
                         std::size_t position, std::string& word, Sink& results) {
    constexpr std::uint32_t empty_run_first = std::numeric_limits<std::uint32_t>::max();
    struct Frame {
        NodeIndex node;
        std::uint32_t next_child;  // or empty_run_first for a `*` not yet tried empty
        std::size_t position;
        std::size_t word_size;
    };
    std::vector<Frame> stack;
    const std::size_t word_start = word.size();

    // Visits `node` at `position`: follows literal letters directly, reports
    // at the end of the pattern, and leaves a frame for `?` and `*`.
    auto visit = [&](NodeIndex node, std::size_t pos) {
        while (pos < pattern.size() && pattern[pos] != U'*' && pattern[pos] != U'?') {
            auto child = nodes.child(node, pattern[pos]);
            if (!child) return;
            utf8::append(word, pattern[pos]);
            node = *child;
            ++pos;
        }
        if (pos >= pattern.size()) {
            if (nodes[node].is_end && !word.empty()) results.report(word, nodes[node].count);
            return;
        }
        const std::uint32_t first = pattern[pos] == U'*' ? empty_run_first : 0;
        stack.push_back({node, first, pos, word.size()});
    };

    visit(start, position);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        word.resize(frame.word_size);
        if (frame.next_child == empty_run_first) {  // `*` matching nothing
            frame.next_child = 0;
            visit(frame.node, frame.position + 1);
            continue;
        }
        if (frame.next_child >= nodes[frame.node].child_count) {
            stack.pop_back();
            continue;
        }
        const Edge edge = nodes.child_at(frame.node, frame.next_child++);
        // `*` stays at its position after taking a letter; `?` moves on.
        const std::size_t next = pattern[frame.position] == U'*' ? frame.position : frame.position + 1;
        utf8::append(word, edge.letter);
        visit(edge.child, next);
    }
    word.resize(word_start);
}

// Reports, in depth-first order, every word below `node` (itself included)
// within Levenshtein distance `bound` of `query`. `node` is entered by the
// letter `edge`; `parent_row` is the distance row of its parent (query.size()
// + 1 entries); `word` holds the path to `node`, the letter `edge` included.
// A subtree is skipped as soon as no entry of its row is within the bound.
template <class Sink>
void search_within_distance_inner(const NodeStore& nodes, NodeIndex node,
                                  std::u32string_view query, Letter edge, std::string& word,
                                  const std::uint64_t* parent_row, std::uint64_t bound,
                                  Sink& results) {
    const std::size_t width = query.size() + 1;
    // One row per level of the walk, in one buffer indexed by depth below
    // the parent: row 0 is the parent's, row d belongs to the node at d.
    std::vector<std::uint64_t> rows(parent_row, parent_row + width);
    struct Frame {
        NodeIndex node;
        std::uint32_t next_child;
        std::size_t word_size;
    };
    std::vector<Frame> stack;

    // Computes the row of `at` (entered by `letter`) at `depth` from the
    // row above it; reports the node, and keeps it for its children when
    // something below it can still come within the bound.
    auto enter = [&](NodeIndex at, Letter letter, std::size_t depth) {
        if (rows.size() < (depth + 1) * width) rows.resize((depth + 1) * width);
        const std::uint64_t* above = rows.data() + (depth - 1) * width;
        std::uint64_t* row = rows.data() + depth * width;
        row[0] = above[0] + 1;
        std::uint64_t smallest = row[0];
        for (std::size_t j = 1; j < width; ++j) {
            const std::uint64_t substitute = above[j - 1] + (query[j - 1] == letter ? 0 : 1);
            row[j] = std::min({above[j] + 1, row[j - 1] + 1, substitute});
            smallest = std::min(smallest, row[j]);
        }
        if (row[width - 1] <= bound && nodes[at].is_end) results.report(word, nodes[at].count);
        if (smallest <= bound) stack.push_back({at, 0, word.size()});
    };

    const std::size_t word_start = word.size();
    enter(node, edge, 1);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        word.resize(frame.word_size);
        if (frame.next_child >= nodes[frame.node].child_count) {
            stack.pop_back();
            continue;
        }
        const Edge next = nodes.child_at(frame.node, frame.next_child++);
        const std::size_t depth = stack.size() + 1;
        utf8::append(word, next.letter);
        enter(next.child, next.letter, depth);
    }
    word.resize(word_start);
}

std::u32string decode(std::string_view text);

// The lexicon-level searches, from the root of `nodes`.
template <class Sink>
Sink search_words(const NodeStore& nodes, std::string_view pattern);
template <class Sink>
Sink search_prefix(const NodeStore& nodes, std::string_view prefix);
template <class Sink>
Sink search_distance(const NodeStore& nodes, std::string_view query, std::uint64_t bound);

}  // namespace sorvan
