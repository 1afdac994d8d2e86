#pragma once

#include <cstdint>
#include <string_view>

#include "trie/search.hpp"

namespace sorvan {

// The questions both lexicons answer, written once over the lexicon's node
// store (`Lexicon::nodes()`). None can fail or change the lexicon.
template <class Lexicon>
class LexiconQueries {
public:
    // Membership; the empty word is in every lexicon.
    bool contains(std::string_view word) const noexcept {
        if (word.empty()) return true;
        const auto at = store().walk(word);
        return at && store()[*at].is_end;
    }
    // Whether some path spells `prefix`; the empty prefix always does.
    bool contains_prefix(std::string_view prefix) const noexcept {
        return store().walk(prefix).has_value();
    }

    // Words matching a wildcard pattern (`?` one letter, `*` any run), in
    // traversal order, duplicates kept; the empty pattern yields nothing.
    WordList search(std::string_view pattern) const {
        return search_words(store(), pattern, false);
    }
    WordList search_with_count(std::string_view pattern) const {
        return search_words(store(), pattern, true);
    }

    // Words starting with `prefix` (taken literally), in code-point order;
    // the empty prefix yields nothing.
    WordList search_with_prefix(std::string_view prefix) const {
        return search_prefix(store(), prefix, false);
    }
    WordList search_with_prefix_count(std::string_view prefix) const {
        return search_prefix(store(), prefix, true);
    }

    // Words within Levenshtein distance `dist` of `word`, in code-point
    // order; the empty word is never reported.
    WordList search_within_distance(std::string_view word, std::uint64_t dist) const {
        return search_distance(store(), word, dist, false);
    }
    WordList search_within_distance_count(std::string_view word, std::uint64_t dist) const {
        return search_distance(store(), word, dist, true);
    }

private:
    const NodeStore& store() const noexcept { return static_cast<const Lexicon&>(*this).nodes(); }
};

}  // namespace sorvan
