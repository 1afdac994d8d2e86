#pragma once
// The list of words (and counts) a search reports, in one buffer.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvan {

using WordCount = std::pair<std::string, std::uint64_t>;

// The words a search reports, in order, with their counts when asked for.
// The words lie back to back in one buffer: a search that reports millions
// of words makes a handful of allocations, not one string per word.
class WordList {
public:
    explicit WordList(bool with_counts = false) : with_counts_(with_counts) {}

    void report(std::string_view word, std::uint64_t count) {
        bytes_.append(word);
        ends_.push_back(bytes_.size());
        if (with_counts_) counts_.push_back(count);
    }

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    bool with_counts() const noexcept { return with_counts_; }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t start = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.data() + start, ends_[i] - start};
    }
    // Only for a list made with counts.
    std::uint64_t count(std::size_t i) const noexcept { return counts_[i]; }

    // Copies, for callers that want plain strings.
    std::vector<std::string> words() const {
        std::vector<std::string> out;
        out.reserve(size());
        for (std::size_t i = 0; i < size(); ++i) out.emplace_back((*this)[i]);
        return out;
    }
    std::vector<WordCount> pairs() const {
        std::vector<WordCount> out;
        out.reserve(size());
        for (std::size_t i = 0; i < size(); ++i) out.emplace_back((*this)[i], with_counts_ ? counts_[i] : 0);
        return out;
    }

    friend bool operator==(const WordList&, const WordList&) = default;

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
    std::vector<std::uint64_t> counts_;
    bool with_counts_;
};

}  // namespace sorvan
