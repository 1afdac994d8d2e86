#include "trie/search.hpp"

#include <algorithm>
#include <numeric>
#include <optional>

#include "utils/pattern.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

void words_with_wildcard(const NodeStore& nodes, NodeIndex start, std::u32string_view pattern,
                         std::size_t position, std::string& word, WordList& results) {
    const std::size_t end = pattern.size();
    auto is_wildcard = [](char32_t c) { return c == U'*' || c == U'?'; };
    // literal_from[i]: pattern[i..] holds no wildcard. A `*` followed by
    // such a tail matches its empty run by a plain walk that leaves nothing
    // for later, so the node needs no frame for that ("*ing", and the "*" of
    // prefix search).
    std::vector<char> literal_from(end + 1, 1);
    for (std::size_t i = end; i-- > 0;) literal_from[i] = literal_from[i + 1] && !is_wildcard(pattern[i]);

    // Follows pattern[from..to) as literal letters from `at`, extending
    // `word`; nothing when a letter has no edge.
    auto follow = [&](NodeIndex at, std::size_t from, std::size_t to) -> std::optional<NodeIndex> {
        for (std::size_t i = from; i < to; ++i) {
            at = nodes.child(at, pattern[i]);
            if (at == NodeStore::no_child) return std::nullopt;
            utf8::append(word, pattern[i]);
        }
        return at;
    };
    auto report = [&](NodeIndex at) {
        if (nodes[at].is_end && !word.empty()) results.report(word, nodes[at].count);
    };

    // A node whose children are still to be visited, each at `child_position`
    // with `word` cut back to `word_size` plus the child's letter.
    struct Frame {
        NodeIndex node;
        std::uint32_t next_child;
        std::size_t child_position;
        std::size_t word_size;
    };
    std::vector<Frame> stack;
    const std::size_t word_start = word.size();

    NodeIndex node = start;
    std::size_t pos = position;
    for (;;) {
        // Visit (node, pos), literal letters first.
        std::size_t literal_end = pos;
        while (literal_end < end && !is_wildcard(pattern[literal_end])) ++literal_end;
        const auto reached = follow(node, pos, literal_end);
        if (reached && literal_end == end) {
            report(*reached);
        } else if (reached) {
            node = *reached;
            pos = literal_end;
            const std::uint32_t children = nodes[node].child_count;
            if (pattern[pos] == U'?') {
                if (children > 0) stack.push_back({node, 0, pos + 1, word.size()});
            } else if (!literal_from[pos + 1]) {
                // `*` matches the empty run first, visited right away; its
                // frame then takes the node's letters one by one.
                if (children > 0) stack.push_back({node, 0, pos, word.size()});
                ++pos;
                continue;
            } else {
                const std::size_t size = word.size();
                if (const auto tail = follow(node, pos + 1, end)) report(*tail);
                word.resize(size);
                if (children > 0) {
                    if (children > 1) stack.push_back({node, 1, pos, size});
                    const Edge first = nodes.child_at(node, 0);
                    utf8::append(word, first.letter);
                    node = first.child;
                    continue;
                }
            }
        }
        // Resume the innermost node with children left; a frame is dropped
        // as its last child starts, so chains of single children cost no
        // stack growth.
        if (stack.empty()) break;
        Frame& frame = stack.back();
        const Edge edge = nodes.child_at(frame.node, frame.next_child++);
        word.resize(frame.word_size);
        pos = frame.child_position;
        if (frame.next_child >= nodes[frame.node].child_count) {
            stack.pop_back();
        } else {
            // Siblings were created at different times, far apart in the
            // store: start loading the next one while this child's subtree
            // is walked.
            __builtin_prefetch(&nodes[nodes.child_at(frame.node, frame.next_child).child]);
        }
        utf8::append(word, edge.letter);
        node = edge.child;
    }
    word.resize(word_start);
}

void search_within_distance_inner(const NodeStore& nodes, NodeIndex node,
                                  std::u32string_view query, Letter edge, std::string& word,
                                  const std::uint64_t* parent_row, std::uint64_t bound,
                                  WordList& results) {
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

std::u32string decode(std::string_view text) {
    std::u32string letters;
    letters.reserve(text.size());
    utf8::for_each(text, [&](char32_t c) { letters.push_back(c); });
    return letters;
}

WordList search_words(const NodeStore& nodes, std::string_view pattern, bool with_counts) {
    WordList results(with_counts);
    if (pattern.empty()) return results;
    const std::u32string normalised = decode(validate_expression(pattern));
    std::string word;
    words_with_wildcard(nodes, 0, normalised, 0, word, results);
    return results;
}

WordList search_prefix(const NodeStore& nodes, std::string_view prefix, bool with_counts) {
    WordList results(with_counts);
    if (prefix.empty()) return results;
    const auto start = nodes.walk(prefix);
    if (!start) return results;
    std::string word(prefix);
    words_with_wildcard(nodes, *start, U"*", 0, word, results);
    return results;
}

WordList search_distance(const NodeStore& nodes, std::string_view query, std::uint64_t bound,
                         bool with_counts) {
    WordList results(with_counts);
    const std::u32string letters = decode(query);
    std::vector<std::uint64_t> root_row(letters.size() + 1);
    std::iota(root_row.begin(), root_row.end(), std::uint64_t{0});
    std::string word;
    // The root is never examined: the empty word is never reported.
    nodes.for_each_child(0, [&](Edge edge) {
        word.clear();
        utf8::append(word, edge.letter);
        search_within_distance_inner(nodes, edge.child, letters, edge.letter, word,
                                     root_row.data(), bound, results);
    });
    return results;
}

}  // namespace sorvan
