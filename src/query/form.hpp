#pragma once
// The form a lexicon is in, owned in one place for both classes: the mutable
// node store or the compact image, the totals kept beside them, and what
// queries build for themselves on demand.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "compact/image.hpp"
#include "compact/membership.hpp"
#include "node/node.hpp"
#include "query/complete.hpp"
#include "query/ranked_image.hpp"
#include "query/reversed_words.hpp"

namespace sorvan {

// A number that changes with every change of what it counts, including
// being taken over by another (an assignment counts as a change, so that
// whoever remembers a value of the old owner never sees it again).
class ChangeCount {
public:
    ChangeCount() = default;
    ChangeCount(ChangeCount&& other) noexcept : value_(other.value_) {}
    ChangeCount& operator=(ChangeCount&& other) noexcept {
        value_ = std::max(value_, other.value_) + 1;
        return *this;
    }
    std::uint64_t value() const noexcept { return value_; }
    void bump() noexcept { ++value_; }

private:
    std::uint64_t value_ = 0;
};

class LexiconForm {
public:
    LexiconForm() = default;
    LexiconForm(const LexiconForm&) = delete;
    LexiconForm& operator=(const LexiconForm&) = delete;
    LexiconForm(LexiconForm&&) noexcept = default;
    LexiconForm& operator=(LexiconForm&&) noexcept = default;

    // A lexicon of `kind` in the compact form of `image`, or an InvalidImage
    // error when the image holds the other kind.
    static Result<LexiconForm> of_image(CompactImage image, LexiconKind kind);

    const CompactImage* image() const noexcept { return image_.get(); }
    // The node store: only the root while the lexicon is compact.
    const NodeStore& nodes() const noexcept { return nodes_; }
    NodeStore& nodes() noexcept { return nodes_; }
    std::size_t node_count() const noexcept { return image_ ? image_->node_count() : nodes_.live(); }
    std::uint64_t word_count() const noexcept { return image_ ? image_->word_count() : word_count_; }
    // No word's count is above it (a count that wrapped may be below).
    std::uint64_t max_count() const noexcept { return image_ ? image_->max_count() : max_count_; }

    // Ends a word at `node` of the mutable store with `count` more.
    void end_word(NodeIndex node, std::uint64_t count) noexcept {
        nodes_[node].is_end = 1;
        add_count(node, count);
    }
    // Adds `count` to the count at `node` and to the totals (unsigned: a
    // count wraps at 2^64 by design).
    void add_count(NodeIndex node, std::uint64_t count) noexcept {
        Node& n = nodes_[node];
        n.count += count;
        word_count_ += count;
        if (n.count > max_count_) max_count_ = n.count;
    }
    // Takes the word ending at `node` of the mutable store out of the
    // totals and unmarks its end; returns its count. The largest count
    // stays: it is a bound, not the maximum.
    std::uint64_t unend_word(NodeIndex node) noexcept {
        Node& n = nodes_[node];
        const std::uint64_t count = n.count;
        n.is_end = 0;
        n.count = 0;
        uncount(count);
        return count;
    }
    // Takes `count`, a removed word's, out of the totals.
    void uncount(std::uint64_t count) noexcept { word_count_ -= count; }
    // The totals as a caller saved them, when it undoes its changes.
    struct Totals {
        std::uint64_t word_count;
        std::uint64_t max_count;
    };
    Totals totals() const noexcept { return {word_count_, max_count_}; }
    void restore(Totals totals) noexcept {
        word_count_ = totals.word_count;
        max_count_ = totals.max_count;
    }

    // The image of the words as they are now (a copy of it, when compact)
    // for a lexicon of `kind` with len() `length` and, for a DAWG, its
    // building state; or Cancelled.
    Result<std::unique_ptr<ImageBytes>> build_image(LexiconKind kind, std::uint64_t length, const DawgState* dawg,
                                                    Cancel* cancel) const {
        if (image_) return image_->copy_bytes();
        return CompactImage::build(nodes_, kind, word_count_, length, dawg, cancel);
    }
    // Switches to the image `built` made of this lexicon: the mutable store
    // goes whole, the image holds what comes back. Cancelled, or the error
    // of opening it, and nothing changed, when that fails.
    Status become_compact(Result<std::unique_ptr<ImageBytes>> built, Cancel* cancel);
    // Switches back to the store `nodes` that the image gave back; the
    // totals come from the image.
    void become_mutable(NodeStore nodes) noexcept;

    // What queries build on demand: the words spelled backwards, for
    // suggestions, the compact form's membership index, and a copy of an
    // image without word ranks that has them, for rank queries, and the
    // compact form's maxima of counts, for completions. Each builds
    // through a const lexicon and publishes what it built atomically.
    const ReversedWords& reversed() const noexcept { return reversed_; }
    const MembershipCache& membership() const noexcept { return membership_; }
    const RankedImage& ranked_image() const noexcept { return ranked_image_; }
    const CompletionIndex& completion() const noexcept { return completion_; }
    // Start building one of them off the query path, on the compact form
    // (the builds hold its image alive; a change drops them): see
    // BuiltOnDemand::start.
    void start_reversed() const noexcept;
    void start_membership() const noexcept;
    void start_ranked_image() const noexcept;
    void start_completion() const noexcept;
    // Builds every one of them that the form has use for, now, on this
    // thread; Cancelled when `cancel` stopped it (what was built by then
    // stays), and std::bad_alloc passes on. The membership index of a graph
    // too large for it (past 2^31 units) is left out.
    Status prepare(Cancel* cancel) const;
    // Every change of the words or counts calls it.
    void words_changed() noexcept {
        reversed_.clear();
        membership_.clear();
        ranked_image_.clear();
        completion_.clear();
        changes_.bump();
    }
    // Changes at every change of the words or counts and at every switch
    // of form (which replaces the store or the image), so that a walk that
    // keeps positions between calls can tell they still hold.
    std::uint64_t changes() const noexcept { return changes_.value(); }

private:
    NodeStore nodes_;
    std::uint64_t word_count_ = 0;
    std::uint64_t max_count_ = 0;
    // Shared with the builds under way off the query path, which keep it
    // alive past a change.
    std::shared_ptr<const CompactImage> image_;
    ReversedWords reversed_;
    MembershipCache membership_;
    RankedImage ranked_image_;
    CompletionIndex completion_;
    ChangeCount changes_;
};

}  // namespace sorvan
