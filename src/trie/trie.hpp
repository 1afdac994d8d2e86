#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/error.hpp"
#include "node/node.hpp"
#include "trie/queries.hpp"

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
    // changes nothing. Never fails; the Status matches the Dawg's insertion.
    Status add(std::string_view word, std::uint64_t count);
    // Adds each word of the file at `path` (one a line, see LineReader)
    // with count 1 as it is read. An Io error when the file cannot be opened
    // or read; words read before a read error stay.
    Status add_from_file(std::string_view path);

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
    NodeStore nodes_;
    std::uint64_t word_count_ = 0;
    std::uint64_t max_count_ = 0;
};

}  // namespace sorvan
