#include "dawg/dawg.hpp"

#include <algorithm>

#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

namespace {

// Room for `extra` more items, growing geometrically.
template <class T>
void reserve_more(std::vector<T>& items, std::size_t extra) {
    const std::size_t needed = items.size() + extra;
    if (needed > items.capacity()) items.reserve(std::max(needed, 2 * items.capacity()));
}

// The index of the first byte where two words differ (the shorter one's
// length when one is a prefix of the other).
std::size_t first_difference(std::string_view a, std::string_view b) noexcept {
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(mismatch.first - a.begin());
}

}  // namespace

Status Dawg::add(std::string_view word, std::uint64_t count) {
    // One pass finds both the order and the common prefix. Byte-wise order
    // of UTF-8 is code-point order, with bytes compared unsigned.
    const std::string_view previous = previous_word_;
    const std::size_t differ = first_difference(word, previous);
    if (differ == word.size() && differ == previous.size()) {  // the same word again
        nodes_.save(last_node_);
        nodes_[last_node_].count += count;
        word_count_ += count;
        return {};
    }
    if (differ == word.size() || (differ < previous.size() &&
                                  static_cast<unsigned char>(word[differ]) <
                                      static_cast<unsigned char>(previous[differ]))) {
        return std::unexpected(SorvanError::order_violation(previous_word_, std::string(word)));
    }

    // The common prefix, cut back to a character boundary, and its length in
    // characters: the depth at which the new word leaves the old path.
    const std::size_t shared_bytes = utf8::char_start(word, differ);
    const std::string_view shared = word.substr(0, shared_bytes);
    const std::size_t depth = utf8::count(shared);
    const std::string_view fresh = word.substr(shared_bytes);  // never empty here

    // All or nothing: whatever can fail comes first, while the Dawg is
    // still as it was; the reduction below `depth` is prepared (keys made,
    // registry room reserved) but only entered once the new word is linked.
    reserve_more(unchecked_, utf8::count(fresh));
    previous_word_.reserve(word.size());
    const std::size_t reduced = prepare_reduce(depth);
    const std::size_t kept = unchecked_.size() - reduced;
    NodeIndex at = 0;
    if (kept > 0 && unchecked_[kept - 1].depth == depth) {
        at = unchecked_[kept - 1].child;  // the node at `depth` on the old path
    } else if (depth > 0) {
        // That node was recorded already (after a full reduction), so the
        // stack cannot name it: walk to it. The new word is greater than
        // every word so far, so its next letter is greater than every edge
        // the node has, and the new edge goes after them.
        at = *nodes_.walk(shared);
    }
    // The last steps that can fail, and they change nothing when they do:
    // the attaching node saved for a bulk insertion's undo, room for the
    // new nodes and the first one's link.
    nodes_.save(at);
    nodes_.reserve_link(at, utf8::count(fresh));
    const char* p = fresh.data();
    const char* end = p + fresh.size();
    Letter letter = utf8::next(p);
    NodeIndex child = nodes_.append_child(at, letter);

    commit_reduce(reduced);
    for (std::size_t d = depth + 1;; ++d) {
        unchecked_.push_back({at, letter, child, d});
        at = child;
        if (p == end) break;
        letter = utf8::next(p);
        child = nodes_.append_child(at, letter);  // below a new leaf: cannot fail
    }
    Node& last = nodes_[at];
    last.is_end = 1;
    last.count += count;  // unsigned: wraps at 2^64 by design
    word_count_ += count;
    last_node_ = at;
    previous_word_.assign(word);
    return {};
}

struct Dawg::Snapshot {
    std::vector<UncheckedEdge> unchecked;
    std::string previous_word;
    std::uint64_t word_count;
    NodeIndex last_node;
};

Dawg::Snapshot Dawg::begin_bulk() {
    Snapshot before{unchecked_, previous_word_, word_count_, last_node_};
    nodes_.mark();
    registry_.mark();
    return before;
}

void Dawg::roll_back(Snapshot& before) noexcept {
    nodes_.roll_back();
    registry_.roll_back();
    // Swapped, not copied: putting back allocates nothing.
    unchecked_.swap(before.unchecked);
    previous_word_.swap(before.previous_word);
    word_count_ = before.word_count;
    last_node_ = before.last_node;
}

Status Dawg::sort_and_add(SortableWords words) {
    words.sort();
    // Sorted words tell exactly how many nodes they add (each word's letters
    // past its common prefix with the one before), so the store grows once
    // instead of doubling and copying its way there.
    // The other buffers of add() get room for the longest word now too, so
    // that memory running out shows before the first word goes in.
    std::size_t new_nodes = 0;
    std::size_t longest = 0;
    std::string_view before = previous_word_;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view word = words[i];
        new_nodes += utf8::count(word.substr(utf8::char_start(word, first_difference(word, before))));
        longest = std::max(longest, word.size());
        before = word;
    }
    Snapshot saved = begin_bulk();
    try {
        nodes_.reserve(nodes_.size() + new_nodes);
        unchecked_.reserve(std::max(unchecked_.size(), longest));
        previous_word_.reserve(longest);
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (Status added = add(words[i], 1); !added) {
                roll_back(saved);  // only the first word can be out of order
                return added;
            }
        }
        _reduce(0);
    } catch (...) {  // std::bad_alloc or std::length_error
        roll_back(saved);
        throw;
    }
    nodes_.keep();
    registry_.keep();
    return {};
}

Status Dawg::add_from_file(std::string_view path, Cancel* cancel) {
    SortableWords words;
    Status read = for_each_word(
        path,
        [&words](std::string_view word) {
            words.push_back(word);
            return Status{};
        },
        cancel);
    if (!read) return read;
    return sort_and_add(std::move(words));
}

void Dawg::_reduce(std::size_t down_to) {
    commit_reduce(prepare_reduce(down_to));
    if (unchecked_.empty()) {
        // After a full reduction nothing refers to the scratch space. A
        // very long word leaves it large (a few dozen bytes a letter), which
        // is returned; a small one is kept for the next word.
        constexpr std::size_t keep_below = 4096;
        if (keys_.capacity() >= keep_below) std::vector<SignatureRegistry::Key>().swap(keys_);
        if (unchecked_.capacity() >= keep_below) std::vector<UncheckedEdge>().swap(unchecked_);
    }
}

std::size_t Dawg::prepare_reduce(std::size_t down_to) {
    std::size_t keep = unchecked_.size();
    while (keep > 0 && unchecked_[keep - 1].depth > down_to) --keep;
    const std::size_t n = unchecked_.size() - keep;
    if (keys_.size() < n) keys_.resize(n);
    // Signatures first, with their table slots prefetched, then the
    // entries: the cache misses of a batch overlap instead of queueing.
    for (std::size_t i = 0; i < n; ++i) {
        registry_.prepare(nodes_[unchecked_[unchecked_.size() - 1 - i].child], nodes_, keys_[i]);
    }
    registry_.reserve({keys_.data(), n});
    return n;
}

void Dawg::commit_reduce(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        registry_.enter(keys_[i], unchecked_.back().child);
        unchecked_.pop_back();
    }
}

}  // namespace sorvan
