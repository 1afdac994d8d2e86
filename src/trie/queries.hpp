#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "trie/search.hpp"
#include "trie/suggest.hpp"
#include "utils/thread_pool.hpp"

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

    // The searches take an optional Cancel (see search.hpp): a cancelled
    // search returns what it found until then, and cancel->cancelled() says so.

    // Words matching a wildcard pattern (`?` one letter, `*` any run), in
    // traversal order, duplicates kept; the empty pattern yields nothing.
    WordList search(std::string_view pattern, Cancel* cancel = nullptr) const {
        return search_words(store(), pattern, false, cancel);
    }
    WordList search_with_count(std::string_view pattern, Cancel* cancel = nullptr) const {
        return search_words(store(), pattern, true, cancel);
    }

    // Words starting with `prefix` (taken literally), in code-point order;
    // the empty prefix yields nothing.
    WordList search_with_prefix(std::string_view prefix, Cancel* cancel = nullptr) const {
        return search_prefix(store(), prefix, false, cancel);
    }
    WordList search_with_prefix_count(std::string_view prefix, Cancel* cancel = nullptr) const {
        return search_prefix(store(), prefix, true, cancel);
    }

    // Words within Levenshtein distance `dist` of `word`, in code-point
    // order; the empty word is never reported.
    WordList search_within_distance(std::string_view word, std::uint64_t dist,
                                    Cancel* cancel = nullptr) const {
        return search_distance(store(), word, dist, false, cancel);
    }
    WordList search_within_distance_count(std::string_view word, std::uint64_t dist,
                                          Cancel* cancel = nullptr) const {
        return search_distance(store(), word, dist, true, cancel);
    }

    // The stored words nearest `word` (see suggest.hpp), ranked: nearest
    // first, then the higher count, then code-point order; at most `limit`
    // (all_suggestions: no limit).
    Suggestions suggest(std::string_view word, std::uint64_t max_distance, std::size_t limit,
                        bool transpositions, bool with_counts, Cancel* cancel = nullptr) const {
        const auto& lexicon = static_cast<const Lexicon&>(*this);
        return {suggest_words(store(), word, max_distance, limit, transpositions, lexicon.max_count(),
                              cancel),
                with_counts};
    }

    // The batch forms: the single-item query for every item, run on the
    // process-wide worker pool, answers in input order. Membership answers
    // are bytes (1 = present): a vector<bool> has no separate slots for the
    // workers to write.
    std::vector<std::uint8_t> batch_contains(std::span<const std::string> words) const {
        return parallel_map(words.size(), [&](std::size_t i) -> std::uint8_t { return contains(words[i]); });
    }
    std::vector<WordList> batch_search(std::span<const std::string> patterns) const {
        return batch(patterns, [&](const std::string& pattern) { return search(pattern); });
    }
    std::vector<WordList> batch_search_with_prefix(std::span<const std::string> prefixes) const {
        return batch(prefixes, [&](const std::string& prefix) { return search_with_prefix(prefix); });
    }
    std::vector<WordList> batch_search_within_distance(std::span<const std::string> words,
                                                       std::uint64_t dist) const {
        return batch(words, [&](const std::string& word) { return search_within_distance(word, dist); });
    }

    std::vector<Suggestions> batch_suggest(std::span<const std::string> words,
                                           std::uint64_t max_distance, std::size_t limit,
                                           bool transpositions, bool with_counts) const {
        return batch(words, [&](const std::string& word) {
            return suggest(word, max_distance, limit, transpositions, with_counts);
        });
    }

private:
    // Searches differ in cost by orders of magnitude (one Levenshtein query
    // can outweigh thousands of others), so they are handed out one at a
    // time, and even a few of them are worth sharing.
    static constexpr ParallelOptions search_options{.min_parallel = 4, .max_chunk = 1};

    template <class Query>
    auto batch(std::span<const std::string> items, Query&& query) const {
        return parallel_map(items.size(), [&](std::size_t i) { return query(items[i]); }, search_options);
    }

    const NodeStore& store() const noexcept { return static_cast<const Lexicon&>(*this).nodes(); }
};

}  // namespace sorvan
