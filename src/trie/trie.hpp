#pragma once
// The Trie: a lexicon that takes words in any order, in a mutable node store
// or, once compacted, a compact image.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "compact/sorted_builder.hpp"
#include "error/error.hpp"
#include "node/node.hpp"
#include "query/queries.hpp"
#include "utils/cancel.hpp"
#include "utils/sortable_words.hpp"

namespace sorvan {

// The prefix-tree lexicon: words in any order, any number of times, each
// with the sum of the counts it was added with.
class Trie final : public LexiconQueries {
public:
    static constexpr LexiconKind kind = LexiconKind::Trie;

    Trie() = default;
    Trie(const Trie&) = delete;
    Trie& operator=(const Trie&) = delete;
    Trie(Trie&&) noexcept = default;
    Trie& operator=(Trie&&) noexcept = default;

    // Adds `count` to the word's count (and to word_count); the empty word
    // changes nothing. Returns no error; the Status matches the Dawg's
    // insertion. All or nothing: on std::bad_alloc the trie is as it was.
    // Like every change, it first turns a compact trie back into a mutable
    // one: Cancelled, and nothing changed, when `cancel` stops that.
    Status add(std::string_view word, std::uint64_t count, Cancel* cancel = nullptr);
    // Removes `word` and returns its count, or nothing when it is not
    // stored (the empty word never is: add("") stores nothing). The nodes
    // only it used are freed for later words, so that the trie is the one
    // its remaining words would build (its node_count() too). All or
    // nothing: on std::bad_alloc the trie is as it was. Like every change,
    // it first turns a compact trie back into a mutable one, but only when
    // the word is there to remove.
    std::optional<std::uint64_t> remove(std::string_view word);
    // Adds each word of the file at `path` (one a line, see LineReader)
    // with count 1. An Io error when the file cannot be opened or read,
    // Cancelled when `cancel` stopped the reading; the words read before
    // either still go in, and when there are none nothing changes (a
    // compact trie stays compact). Cancelled too when `cancel` stopped the
    // switch back from the compact form or the adding, as add_sorted.
    Status add_from_file(std::string_view path, Cancel* cancel = nullptr);
    // Adds every word with count 1, in ascending order whatever their order
    // in `words`: the same trie as adding them one by one, built faster.
    // Cancelled when `cancel` stopped it before the last word; on that or
    // on std::bad_alloc the words added until then (the first ones in
    // ascending order) stay.
    Status add_sorted(SortableWords words, Cancel* cancel = nullptr);

    // The node that `prefix` leads to; the empty prefix gives the root.
    // Mutable form only.
    std::optional<NodeIndex> prefix_node(std::string_view prefix) const noexcept {
        return form_.nodes().walk(prefix);
    }

    // Switches to the compact, read-only form (a no-op when in it already);
    // queries answer as before, and the next change switches back.
    // Cancelled, and still mutable, when `cancel` stopped it.
    Status compact(Cancel* cancel = nullptr);
    // A trie in the compact form of `image`, or an InvalidImage error when
    // the image holds a DAWG.
    static Result<Trie> from_image(CompactImage image);

    // Makes a compact trie straight from words in ascending order, never
    // holding the mutable form (see SortedBuilder): add() each word with
    // its count (the empty word changes nothing, as Trie::add), then
    // finish(). add() fails as SortedBuilder::add, and finish() with
    // Cancelled; the builder is spent either way.
    class Builder {
    public:
        explicit Builder(Cancel* cancel = nullptr) : cancel_(cancel), builder_(cancel) {}
        Status add(std::string_view word, std::uint64_t count) {
            return word.empty() ? Status{} : builder_.add(word, count);
        }
        Result<Trie> finish();

    private:
        Cancel* cancel_;
        SortedBuilder builder_;
    };
    Result<std::unique_ptr<ImageBytes>> build_image(Cancel* cancel = nullptr) const override;
    // Switches back to the mutable form now (a no-op when in it); every
    // change does so by itself. Cancelled, and still compact, when `cancel`
    // stopped it.
    Status make_mutable(Cancel* cancel);
    // The same where nothing stops it: it fails only on an image opened
    // lazily whose check finds damage (see CompactImage::check).
    Status make_mutable() { return make_mutable(nullptr); }

private:
    // Adds [p, end), the rest of a word, below `at`, which ends trail_;
    // on_node(p, node) is told each node of the way, `p` just past its
    // letter, after it went on trail_.
    template <class OnNode>
    void add_below(NodeIndex at, const char* p, const char* end, std::uint64_t count,
                   OnNode&& on_node);

    // The path of the word being added or removed, root first: the nodes
    // whose bounds of counts (Node::best) the change may move.
    std::vector<NodeIndex> trail_;
};

}  // namespace sorvan
