#pragma once
// Building an image straight from words in ascending order, without their
// trie: only the path of the previous word is open, and each node it
// leaves is minimised at once against the states made so far.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compact/build_steps.hpp"
#include "compact/image.hpp"
#include "error/error.hpp"
#include "node/node.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

// Takes (word, count) pairs in ascending code-point order (byte-wise UTF-8
// order), equal words adjacent and their counts summed, and makes the image
// compact() makes of the same words, byte for byte.
//
// Memory: the registry of finished states is the minimal graph itself
// (per state 4 bytes of first edge, 1 of end flag, 4 of hash slot at most
// half full, so 13 to 17; per edge 8), plus 8 bytes of count per word and
// the open path. For natural-language keys that is a small fraction of the
// trie's 24 bytes a node; finish() then needs about 40 bytes a state more
// to lay the graph out.
class SortedBuilder {
public:
    // A trie node as the builder finishes it: its letter, count and end flag,
    // and its children's letters and ids. Ids number the trie's nodes in
    // the order they were made (depth-first letter order), the root 0.
    struct FinishedNode {
        Letter letter;
        std::uint64_t count;
        bool end;
        std::span<const Letter> letters;
        std::span<const std::uint32_t> ids;
    };
    // Told of every node but the root as it is finished (the DAWG counts
    // its registry's keys this way).
    class NodeObserver {
    public:
        virtual void finished(const FinishedNode& node) = 0;

    protected:
        ~NodeObserver() = default;
    };

    explicit SortedBuilder(Cancel* cancel = nullptr, NodeObserver* observer = nullptr);

    // Adds `count` to `word`, which must not be empty nor below the previous
    // word: an OrderViolation naming both, or Cancelled when the Cancel says
    // stop (it is asked every few thousand letters), and nothing changes.
    // std::bad_alloc when memory runs out, CapacityExceeded past a trie's
    // node limit; the builder is then to be dropped.
    Status add(std::string_view word, std::uint64_t count);

    // The trie's nodes so far, root included.
    std::uint64_t trie_nodes() const noexcept { return trie_nodes_; }
    // The sum of the counts, wrapped at 2^64 as a lexicon's is.
    std::uint64_t word_count() const noexcept { return word_count_; }
    const std::string& previous_word() const noexcept { return previous_; }
    // The number of distinct words.
    std::uint64_t words() const noexcept { return counts_.size(); }

    // Finishes every open node (the observer hears of the last ones): no
    // word can follow. finish() does it if need be.
    void close();

    // Finishes the graph and makes the image of a lexicon of `kind`, with
    // get_word_count() `word_count`, len() `length` and, for a DAWG, its
    // building state; `ranks` as for CompactImage::build. Cancelled when
    // the Cancel stopped it. The builder is spent either way.
    Result<std::unique_ptr<ImageBytes>> finish(LexiconKind kind, std::uint64_t word_count, std::uint64_t length,
                                               const DawgState* dawg, bool ranks = false);

private:
    // The open node at each depth: its letter and id, end flag and count;
    // its edges so far are edges_[edges_from, next depth's edges_from).
    // Only the deepest open node gains edges (a word that leaves the path
    // finishes everything below where it leaves), so the edges of the
    // whole path are one stack.
    struct Open {
        Letter letter;
        std::uint32_t id;
        bool end;
        std::uint64_t count;
        std::size_t edges_from;
    };
    // Finishes the open nodes deeper than `keep`.
    void finish_below(std::size_t keep);
    void finish_deepest();

    Cancel* cancel_;
    Cancel::Countdown countdown_;
    NodeObserver* observer_;
    build_steps::Minimiser minimiser_;
    std::vector<Open> path_;
    std::vector<Letter> letters_;       // the edges of the open path
    std::vector<std::uint32_t> ids_;    // their targets' ids
    std::vector<std::uint64_t> counts_;  // by rank
    std::string previous_;
    std::uint64_t trie_nodes_ = 1;
    std::uint64_t word_count_ = 0;
};

}  // namespace sorvan
