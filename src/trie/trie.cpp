#include "trie/trie.hpp"


#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

Status Trie::add(std::string_view word, std::uint64_t count) {
    if (word.empty()) return {};
    make_mutable();
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
    return {};
}

Status Trie::add_from_file(std::string_view path) {
    make_mutable();
    return for_each_word(path, [this](std::string_view word) { return add(word, 1); });
}

std::unique_ptr<ImageBytes> Trie::build_image() const {
    if (image_) return image_->copy_bytes();
    return CompactImage::build(nodes_, LexiconKind::Trie, word_count_, nodes_.size(), nullptr);
}

void Trie::compact() {
    if (image_) return;
    image_.emplace(CompactImage::open_built(build_image()));
    nodes_ = NodeStore();
    word_count_ = 0;
}

Result<Trie> Trie::from_image(CompactImage image) {
    if (Status fits = image.expect(LexiconKind::Trie); !fits) return std::unexpected(std::move(fits.error()));
    Trie trie;
    trie.image_.emplace(std::move(image));
    return trie;
}

// The words and counts go back into a node store (a trie's shape does not
// depend on the order its words came in); the image is dropped only once
// that has succeeded.
void Trie::make_mutable() {
    if (!image_) return;
    NodeStore nodes = image_->to_store();
    word_count_ = image_->word_count();
    nodes_ = std::move(nodes);
    image_.reset();
}

}  // namespace sorvan
