#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/error.hpp"
#include "node/node.hpp"
#include "trie/queries.hpp"
#include "utils/cancel.hpp"
#include "utils/sortable_words.hpp"

namespace sorvan {

// The prefix-tree lexicon: words in any order, any number of times, each
// with the sum of the counts it was added with.
class Trie : public LexiconQueries<Trie> {
public:
    Trie() = default;
    Trie(const Trie&) = delete;
    Trie& operator=(const Trie&) = delete;
    Trie(Trie&&) noexcept = default;
    Trie& operator=(Trie&&) noexcept = default;

    // Adds `count` to the word's count (and to word_count); the empty word
    // changes nothing. Returns no error; the Status matches the Dawg's
    // insertion. All or nothing: on std::bad_alloc the trie is as it was.
    Status add(std::string_view word, std::uint64_t count);
    // Adds each word of the file at `path` (one a line, see LineReader)
    // with count 1. An Io error when the file cannot be opened or read,
    // Cancelled when `cancel` stopped the reading; the words read before
    // either still go in.
    Status add_from_file(std::string_view path, Cancel* cancel = nullptr);
    // Adds every word with count 1, in ascending order whatever their order
    // in `words`: the same trie as adding them one by one, built faster.
    // On std::bad_alloc the words added until then stay.
    void add_sorted(SortableWords words);

    // The node that `prefix` leads to; the empty prefix gives the root.
    std::optional<NodeIndex> prefix_node(std::string_view prefix) const noexcept {
        return nodes_.walk(prefix);
    }

    std::size_t node_count() const noexcept { return nodes_.size(); }
    std::uint64_t word_count() const noexcept { return word_count_; }
    // No word's count is above it (a count that wrapped may be below).
    std::uint64_t max_count() const noexcept { return max_count_; }
    const NodeStore& nodes() const noexcept { return nodes_; }

private:
    // Adds [p, end), the rest of a word, below `at`; on_node(p, node) is
    // told each node of the way, `p` just past its letter.
    template <class OnNode>
    void add_below(NodeIndex at, const char* p, const char* end, std::uint64_t count,
                   OnNode&& on_node);

    NodeStore nodes_;
    std::uint64_t word_count_ = 0;
    std::uint64_t max_count_ = 0;
};

}  // namespace sorvan
