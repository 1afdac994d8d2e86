#include "dawg/dawg.hpp"

#include <algorithm>

#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

namespace {

bool is_continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The index of the first byte where two words differ (the shorter one's
// length when one is a prefix of the other).
std::size_t first_difference(std::string_view a, std::string_view b) noexcept {
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(mismatch.first - a.begin());
}

// `i` moved back to the start of the character it falls in.
std::size_t char_boundary(std::string_view text, std::size_t i) noexcept {
    while (i > 0 && i < text.size() && is_continuation(text[i])) --i;
    return i;
}

}  // namespace

Status Dawg::add(std::string_view word, std::uint64_t count) {
    // One pass finds both the order and the common prefix. Byte-wise order
    // of UTF-8 is code-point order, with bytes compared unsigned.
    const std::string_view previous = previous_word_;
    const std::size_t differ = first_difference(word, previous);
    if (differ == word.size() && differ == previous.size()) {  // the same word again
        nodes_[last_node_].count += count;
        word_count_ += count;
        if (nodes_[last_node_].count > max_count_) max_count_ = nodes_[last_node_].count;
        return {};
    }
    if (differ == word.size() || (differ < previous.size() &&
                                  static_cast<unsigned char>(word[differ]) <
                                      static_cast<unsigned char>(previous[differ]))) {
        return std::unexpected(SorvanError::order_violation(previous_word_, std::string(word)));
    }

    // The common prefix, cut back to a character boundary, and its length in
    // characters: the depth at which the new word leaves the old path.
    const std::size_t shared_bytes = char_boundary(word, differ);
    const std::string_view shared = word.substr(0, shared_bytes);
    const auto depth = static_cast<std::size_t>(
        std::count_if(shared.begin(), shared.end(), [](char b) { return !is_continuation(b); }));

    _reduce(depth);
    NodeIndex at = 0;
    if (!unchecked_.empty() && unchecked_.back().depth == depth) {
        at = unchecked_.back().child;  // the node at `depth` on the old path
    } else if (depth > 0) {
        // That node was recorded already (after a full reduction), so the
        // stack cannot name it: walk to it. The new word is greater than
        // every word so far, so its next letter is greater than every edge
        // the node has, and the new edge goes after them.
        at = *nodes_.walk(shared);
    }

    const char* p = word.data() + shared_bytes;
    const char* end = word.data() + word.size();
    for (std::size_t d = depth + 1; p < end; ++d) {
        const Letter letter = utf8::next(p);
        const NodeIndex child = nodes_.append_child(at, letter);
        unchecked_.push_back({at, letter, child, d});
        at = child;
    }
    Node& last = nodes_[at];
    last.is_end = 1;
    last.count += count;  // unsigned: wraps at 2^64 by design
    word_count_ += count;
    if (last.count > max_count_) max_count_ = last.count;
    last_node_ = at;
    previous_word_.assign(word);
    return {};
}

Status Dawg::sort_and_add(SortableWords words) {
    words.sort();
    // Sorted words tell exactly how many nodes they add (each word's letters
    // past its common prefix with the one before), so the store grows once
    // instead of doubling and copying its way there.
    std::size_t new_nodes = 0;
    std::string_view before = previous_word_;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view word = words[i];
        const std::size_t shared = char_boundary(word, first_difference(word, before));
        new_nodes += static_cast<std::size_t>(std::count_if(
            word.begin() + static_cast<std::ptrdiff_t>(shared), word.end(),
            [](char b) { return !is_continuation(b); }));
        before = word;
    }
    nodes_.reserve(nodes_.size() + new_nodes);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (Status added = add(words[i], 1); !added) return added;
    }
    _reduce(0);
    return {};
}

Status Dawg::add_from_file(std::string_view path) {
    SortableWords words;
    Status read = for_each_word(path, [&words](std::string_view word) {
        words.push_back(word);
        return Status{};
    });
    if (!read) return read;
    return sort_and_add(std::move(words));
}

void Dawg::_reduce(std::size_t down_to) {
    std::size_t keep = unchecked_.size();
    while (keep > 0 && unchecked_[keep - 1].depth > down_to) --keep;
    const std::size_t n = unchecked_.size() - keep;
    if (keys_.size() < n) keys_.resize(n);
    // Signatures first, with their table slots prefetched, then the
    // entries: the cache misses of a batch overlap instead of queueing.
    for (std::size_t i = 0; i < n; ++i) {
        registry_.prepare(nodes_[unchecked_[unchecked_.size() - 1 - i].child], nodes_, keys_[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        registry_.enter(keys_[i], unchecked_.back().child);
        unchecked_.pop_back();
    }
}

}  // namespace sorvan
