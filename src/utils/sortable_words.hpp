#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sorvan {

// Words gathered for an insertion that needs them sorted first. Their bytes
// lie back to back in one buffer, so gathering costs no allocation per word
// and sorting moves 16-byte spans, never the words themselves.
class SortableWords {
public:
    void push_back(std::string_view word) {
        spans_.push_back({bytes_.size(), word.size()});
        bytes_.append(word);
    }

    std::size_t size() const noexcept { return spans_.size(); }
    bool empty() const noexcept { return spans_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        return {bytes_.data() + spans_[i].offset, spans_[i].size};
    }

    // Puts the words in ascending byte-wise order, which for UTF-8 is the
    // order of code points; equal words end up next to each other.
    void sort();

private:
    struct Span {
        std::size_t offset;
        std::size_t size;
    };

    std::string bytes_;
    std::vector<Span> spans_;
};

}  // namespace sorvan
