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
        const char* after = p;
        const NodeIndex next = nodes_.child(at, utf8::next(after));
        if (next == NodeStore::no_child) break;
        at = next;
        p = after;
    }
    if (p < end) {
        // All or nothing: room for every new node and for the first one's
        // link first, so that nothing after can fail.
        nodes_.reserve_link(at, utf8::count({p, static_cast<std::size_t>(end - p)}));
        while (p < end) at = nodes_.append_child(at, utf8::next(p));
    }
    Node& node = nodes_[at];
    node.is_end = 1;
    node.count += count;  // unsigned: wraps at 2^64 by design
    word_count_ += count;
    return {};
}

Status Trie::add_from_file(std::string_view path, Cancel* cancel) {
    return for_each_word(path, [this](std::string_view word) { return add(word, 1); }, cancel);
}

}  // namespace sorvan
