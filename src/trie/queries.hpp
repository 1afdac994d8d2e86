#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trie/search.hpp"

namespace sorvan {

// The searches both lexicons answer, written once over the lexicon's node
// store (`Lexicon::nodes()`). None can fail or change the lexicon.
template <class Lexicon>
class LexiconQueries {
public:
    // Words matching a wildcard pattern (`?` one letter, `*` any run), in
    // traversal order, duplicates kept; the empty pattern yields nothing.
    std::vector<std::string> search(std::string_view pattern) const {
        return search_words<WordSink>(store(), pattern).words;
    }
    std::vector<WordCount> search_with_count(std::string_view pattern) const {
        return search_words<WordCountSink>(store(), pattern).pairs;
    }

    // Words starting with `prefix` (taken literally), in code-point order;
    // the empty prefix yields nothing.
    std::vector<std::string> search_with_prefix(std::string_view prefix) const {
        return search_prefix<WordSink>(store(), prefix).words;
    }
    std::vector<WordCount> search_with_prefix_count(std::string_view prefix) const {
        return search_prefix<WordCountSink>(store(), prefix).pairs;
    }

    // Words within Levenshtein distance `dist` of `word`, in code-point
    // order; the empty word is never reported.
    std::vector<std::string> search_within_distance(std::string_view word, std::uint64_t dist) const {
        return search_distance<WordSink>(store(), word, dist).words;
    }
    std::vector<WordCount> search_within_distance_count(std::string_view word,
                                                        std::uint64_t dist) const {
        return search_distance<WordCountSink>(store(), word, dist).pairs;
    }

private:
    const NodeStore& store() const noexcept { return static_cast<const Lexicon&>(*this).nodes(); }
};

}  // namespace sorvan
