#include "trie/trie.hpp"

#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

Status Trie::add(std::string_view word, std::uint64_t count) {
    if (word.empty()) return {};
    NodeIndex at = 0;
    const char* p = word.data();
    const char* end = p + word.size();
    while (p < end) {
        const Letter letter = utf8::next(p);
        const NodeIndex next = nodes_.child(at, letter);
        at = next != NodeStore::no_child ? next : nodes_.append_child(at, letter);
    }
    Node& node = nodes_[at];
    node.is_end = 1;
    node.count += count;  // unsigned: wraps at 2^64 by design
    word_count_ += count;
    if (node.count > max_count_) max_count_ = node.count;  // (no reference into a packed Node)
    return {};
}

Status Trie::add_from_file(std::string_view path) {
    return for_each_word(path, [this](std::string_view word) { return add(word, 1); });
}

}  // namespace sorvan
