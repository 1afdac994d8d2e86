#pragma once
// The DAWG: a lexicon built in ascending order whose finished nodes are merged
// with equal ones through the signature registry as it grows.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <string_view>
#include <vector>

#include "compact/image.hpp"
#include "compact/sorted_builder.hpp"
#include "dawg/registry.hpp"
#include "error/error.hpp"
#include "node/node.hpp"
#include "query/queries.hpp"
#include "utils/cancel.hpp"
#include "utils/sortable_words.hpp"

namespace sorvan {

// The directed acyclic word graph: words in ascending byte-wise UTF-8 order.
// The path of the most recent word stays on a stack of unchecked edges; when
// a later word leaves that path, the nodes below the point of divergence are
// taken off the stack and recorded in a registry keyed by their signature.
//
// The graph itself is always the trie of the added words. Equal nodes are
// not merged: len() reports the registry's size, which merging would change.
class Dawg final : public LexiconQueries {
public:
    static constexpr LexiconKind kind = LexiconKind::Dawg;

    Dawg() = default;
    Dawg(const Dawg&) = delete;
    Dawg& operator=(const Dawg&) = delete;
    Dawg(Dawg&&) noexcept = default;
    Dawg& operator=(Dawg&&) noexcept = default;

    // Adds `count` to `word`, which must not be below the previous word;
    // otherwise returns OrderViolation and changes nothing (a compact DAWG
    // stays compact). The previous word again adds to its count without
    // touching the graph. All or nothing: on std::bad_alloc the Dawg is as
    // it was, and so it is when `cancel` stops the switch back from the
    // compact form (Cancelled).
    Status add(std::string_view word, std::uint64_t count, Cancel* cancel = nullptr);
    // OrderViolation when `word` is below the last word added.
    Status check_order(std::string_view word) const;

    // Bulk insertion: sorts `words` byte-wise, adds each with count 1 (or
    // its tag, when the words carry tags), then reduces fully. In sorted order only the first word can be below the
    // previous one; then the OrderViolation is returned and nothing is
    // added or reduced (a compact DAWG stays compact). An empty list still
    // reduces. All or nothing: when it throws (std::bad_alloc,
    // std::length_error), or returns Cancelled because `cancel` stopped it
    // before the last word, the Dawg is as it was.
    Status sort_and_add(SortableWords words, Cancel* cancel = nullptr);
    // sort_and_add of the words of the file at `path` (one a line, see
    // LineReader). An Io error when the file cannot be opened or read, or
    // Cancelled when `cancel` stopped the reading or the adding, and then
    // nothing is added.
    Status add_from_file(std::string_view path, Cancel* cancel = nullptr);

    // Takes the unchecked edges whose lower node lies deeper than `down_to`
    // off the stack, top first, and records each lower node in the registry.
    // All or nothing, as add().
    void _reduce(std::size_t down_to);
    // Whether _reduce(down_to) brings back the mutable form: the DAWG is
    // compact and has unchecked nodes below depth `down_to`.
    bool reduce_restores(std::size_t down_to) const;

    // Switches to the compact, read-only form (a no-op when in it already).
    // Queries answer as before, and the next change (add, sort_and_add,
    // add_from_file, a _reduce with work to do) switches back to a DAWG in
    // exactly the state it left: same nodes, registry, unchecked path and
    // previous word. Cancelled, and still mutable, when `cancel` stopped it.
    Status compact(Cancel* cancel = nullptr);
    // A DAWG in the compact form of `image`, or an InvalidImage error when
    // the image holds a Trie.
    static Result<Dawg> from_image(CompactImage image);

    // Makes a compact DAWG straight from words in ascending order, never
    // holding the mutable form (see SortedBuilder): the DAWG that adding
    // them all with sort_and_add() and compact() would make, byte for byte.
    // The empty word adds to the count of words only, and only first, as
    // Dawg::add. add() fails as SortedBuilder::add, and finish() with
    // Cancelled; the builder is spent either way.
    class Builder final : private SortedBuilder::NodeObserver {
    public:
        explicit Builder(Cancel* cancel = nullptr) : cancel_(cancel), builder_(cancel, this) {}
        Builder(const Builder&) = delete;  // the inner builder points back here
        Builder& operator=(const Builder&) = delete;
        Status add(std::string_view word, std::uint64_t count);
        Result<Dawg> finish();

    private:
        // Counts the registry's keys as sort_and_add would enter them. A
        // node with children has a key of its own, unless the signature,
        // written without separators, can read the same as another's:
        // only where a digit follows a number, so a leaf's, or that of a
        // node with a child letter 0 to 9. Those keys are kept to count
        // them exactly; leaves share a few (letter, count).
        void finished(const SortedBuilder::FinishedNode& node) override;

        Cancel* cancel_;
        SortedBuilder builder_;
        std::uint64_t empty_word_count_ = 0;
        std::uint64_t own_keys_ = 0;
        std::unordered_set<std::string> shared_keys_;
        std::string key_;  // scratch
    };
    Result<std::unique_ptr<ImageBytes>> build_image(Cancel* cancel = nullptr) const override;
    // Switches back to the mutable form now (a no-op when in it); every
    // change does so by itself. Cancelled, and still compact, when `cancel`
    // stopped it.
    Status make_mutable(Cancel* cancel);
    // The same where nothing stops it: it fails only on an image opened
    // lazily whose check finds damage (see CompactImage::check).
    Status make_mutable() { return make_mutable(nullptr); }

    std::size_t registry_size() const noexcept { return image() ? image()->length() : registry_.size(); }
    std::size_t unchecked_size() const noexcept { return unchecked_.size(); }  // mutable form only
    const SignatureRegistry& registry() const noexcept { return registry_; }
    const std::string& previous_word() const noexcept { return previous_word_; }

private:
    // The previous word: the image's while compact.
    std::string_view last_word() const noexcept;
    // The first half of _reduce(down_to), which changes nothing the Dawg
    // shows: makes the keys of the nodes to record, and the registry's room
    // for them. Returns how many there are, for commit_reduce, which records
    // them and cannot fail.
    std::size_t prepare_reduce(std::size_t down_to);
    void commit_reduce(std::size_t n);

    struct UncheckedEdge {
        NodeIndex parent;
        Letter letter;
        NodeIndex child;
        std::size_t depth;  // of `child`: its number of letters from the root
    };

    // What sort_and_add puts back when it fails: the state beside the
    // node store and the registry, which undo their own changes.
    struct BulkUndo;
    BulkUndo begin_bulk();
    void roll_back(BulkUndo& before) noexcept;
    BulkUndo* bulk_ = nullptr;  // while sort_and_add runs

    std::string previous_word_;
    // Edges on the path of previous_word_ whose lower node is not recorded
    // yet, in increasing depth, the top one leading to last_node_. While
    // words come in order from a new Dawg they are the whole path from the
    // root. After a full reduction the next word attaches at the end of its
    // common prefix with the previous one, so the stack may start deeper,
    // and each entry carries its depth rather than deriving it from its
    // position.
    std::vector<UncheckedEdge> unchecked_;
    // The nodes of previous_word_'s path, root first: where the next word
    // attaches, and whose bounds of counts (Node::best) a word moves.
    std::vector<NodeIndex> path_{0};
    SignatureRegistry registry_;
    NodeIndex last_node_ = 0;
    std::vector<SignatureRegistry::Key> keys_;  // scratch for _reduce
    // Registered nodes that changed after their registration, with the
    // child count and count their registry key was made from: compact()
    // keeps them so that the registry can be rebuilt key for key.
    std::unordered_map<NodeIndex, Snapshot> snapshots_;

    // Notes `node`'s registered state before it changes.
    void remember(NodeIndex node);
    DawgState state() const;
};

}  // namespace sorvan
