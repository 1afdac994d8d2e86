#pragma once
// The stored words found in a running text: every occurrence, or the
// leftmost-longest ones without overlap, whole words or not; one walk of the
// graph from each position of the text.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph/graph.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

// A text as code points of one width, 1, 2 or 4 bytes each (as an
// interpreter's string may keep them), read in place: an index into it is a
// code point's, and no copy of the text is made. Any unit value may occur
// (a lone surrogate too); one that no word holds ends a walk like any other.
struct TextUnits {
    const void* data = nullptr;
    std::size_t length = 0;
    unsigned width = 1;
};

// f(std::span<const U>) over the units of `text`, U of its width.
template <class F>
decltype(auto) with_code_points(const TextUnits& text, F&& f) {
    switch (text.width) {
        case 1: return f(std::span(static_cast<const std::uint8_t*>(text.data), text.length));
        case 2: return f(std::span(static_cast<const std::uint16_t*>(text.data), text.length));
        default: return f(std::span(static_cast<const std::uint32_t*>(text.data), text.length));
    }
}

// A stored word found at text[start, end) (code points), with its count
// when it was asked for.
struct TextMatch {
    std::size_t start = 0;
    std::size_t end = 0;
    std::uint64_t count = 0;
};

// The characters a whole word may not touch: ASCII letters, digits and '_'
// from a table, any other by `other` (the binding passes the interpreter's
// own test of letters and digits; null: none).
class WordChars {
public:
    using Test = bool (*)(char32_t) noexcept;
    explicit WordChars(Test other = nullptr) noexcept : other_(other) {
        for (char32_t c = 0; c < 128; ++c) {
            ascii_[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        }
    }
    bool operator()(char32_t c) const noexcept {
        if (c < 128) return ascii_[c];
        return other_ && other_(c);
    }

private:
    std::array<bool, 128> ascii_{};
    Test other_;
};

struct FindOptions {
    // Every occurrence; otherwise the leftmost-longest, left to right, none
    // overlapping another.
    bool overlapping = true;
    // Only matches whose neighbours in the text are not word characters.
    bool whole_words = false;
    bool with_counts = false;
    WordChars::Test word_char = nullptr;
};

// Calls found(const TextMatch&) for the stored words in `text`, ordered by
// start then end; the empty word is never one. A walk of the graph starts
// at every position (that may begin a match) and goes on while a path
// follows the text: the steps are the depth of the matches at each
// position, and nothing is built. Returns false when found() returned false
// or `cancel` stopped it (polled every Cancel::interval steps).
template <WordGraph Graph, class Unit, class Found>
bool find_words(const Graph& graph, std::span<const Unit> text, const FindOptions& options, Cancel* cancel,
                Found&& found) {
    const WordChars word_char(options.word_char);
    const std::size_t n = text.size();
    const bool whole = options.whole_words;
    // Whether a match may end before text[end].
    auto ends_word = [&](std::size_t end) { return !whole || end == n || !word_char(text[end]); };
    Cancel::Countdown countdown(cancel);
    std::size_t start = 0;
    while (start < n) {
        if (whole && start > 0 && word_char(text[start - 1])) {
            ++start;
            continue;
        }
        TextMatch longest;
        auto at = graph.root();
        for (std::size_t i = start; i < n; ++i) {
            if (countdown.tick()) return false;
            at = graph.child(at, static_cast<Letter>(text[i]));
            if (!Graph::found(at)) break;
            if (!graph.is_end(at) || !ends_word(i + 1)) continue;
            longest = TextMatch{start, i + 1, options.with_counts ? graph.count(at) : 0};
            if (options.overlapping && !found(std::as_const(longest))) return false;
        }
        if (!options.overlapping && longest.end != 0) {
            if (!found(std::as_const(longest))) return false;
            start = longest.end;
        } else {
            ++start;
        }
    }
    return true;
}

}  // namespace sorvan
