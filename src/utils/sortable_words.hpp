#pragma once
// Words gathered in one buffer and sorted, for insertions that need them in
// order.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "utils/cancel.hpp"

namespace sorvan {

// Words gathered for an insertion that needs them sorted first. Their bytes
// lie back to back in one buffer, so gathering costs no allocation per word
// and sorting moves 16-byte spans, never the words themselves.
class SortableWords {
public:
    SortableWords() = default;
    // Words that each carry a 64-bit tag through sort(), kept in the 8
    // bytes before the word.
    struct WithTags {};
    explicit SortableWords(WithTags) noexcept : tag_size_(sizeof(std::uint64_t)) {}

    // Room for the words of a text of `bytes` bytes, one a line, guessing
    // a line of at least 8 bytes: gathering them then copies nothing as it
    // grows (room never written to takes no memory). A hint only: without
    // that much memory, nothing is reserved.
    void expect_text(std::size_t bytes) noexcept;

    void push_back(std::string_view word) {
        spans_.push_back({bytes_.size(), word.size()});
        bytes_.append(word);
    }
    // Only for words with tags.
    void push_back(std::string_view word, std::uint64_t tag) {
        bytes_.append(reinterpret_cast<const char*>(&tag), sizeof tag);
        push_back(word);
    }
    // The tag of word i, in a list with tags.
    std::uint64_t tag(std::size_t i) const noexcept {
        std::uint64_t tag;
        std::memcpy(&tag, bytes_.data() + spans_[i].offset - sizeof tag, sizeof tag);
        return tag;
    }

    bool has_tags() const noexcept { return tag_size_ != 0; }
    std::size_t size() const noexcept { return spans_.size(); }
    bool empty() const noexcept { return spans_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        return {bytes_.data() + spans_[i].offset, spans_[i].size};
    }

    // Puts the words in ascending byte-wise order, which for UTF-8 is the
    // order of code points; equal words end up next to each other. False,
    // the order left unfinished, when `cancel` stopped it.
    bool sort(Cancel* cancel = nullptr);

private:
    struct Span {
        std::size_t offset;
        std::size_t size;
    };

    std::string bytes_;
    std::vector<Span> spans_;
    std::size_t tag_size_ = 0;  // the bytes before each word
};

}  // namespace sorvan
