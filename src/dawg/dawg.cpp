#include "dawg/dawg.hpp"

#include <algorithm>

#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

namespace {

bool is_continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

Status Dawg::add(std::string_view word, std::uint64_t count) {
    // Byte-wise comparison of UTF-8 is code-point order (char_traits<char>
    // compares bytes as unsigned).
    const int order = word.compare(previous_word_);
    if (order < 0) return std::unexpected(SorvanError::order_violation(previous_word_, std::string(word)));
    if (order == 0) {
        nodes_[last_node_].count += count;
        word_count_ += count;
        return {};
    }

    // The common prefix, cut back to a character boundary, and its length
    // in characters: the depth at which the new word leaves the old path.
    const auto mismatch = std::mismatch(word.begin(), word.end(), previous_word_.begin(),
                                        previous_word_.end());
    std::size_t shared_bytes = static_cast<std::size_t>(mismatch.first - word.begin());
    while (shared_bytes > 0 && is_continuation(word[shared_bytes])) --shared_bytes;
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
    last_node_ = at;
    previous_word_.assign(word);
    return {};
}

Status Dawg::sort_and_add(SortableWords words) {
    words.sort();
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
        nodes_[unchecked_[unchecked_.size() - 1 - i].child].signature(nodes_, signature_);
        registry_.prepare(signature_, keys_[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        registry_.enter(keys_[i], unchecked_.back().child);
        unchecked_.pop_back();
    }
}

}  // namespace sorvan
