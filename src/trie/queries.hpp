#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compact/image.hpp"
#include "trie/search.hpp"
#include "utils/thread_pool.hpp"

namespace sorvan {

// The questions both lexicons answer, written once over the lexicon's graph:
// its node store (`Lexicon::nodes()`), or its compact image when it has one
// (`Lexicon::image()`). None can fail or change the lexicon.
template <class Lexicon>
class LexiconQueries {
public:
    // Membership; the empty word is in every lexicon.
    bool contains(std::string_view word) const noexcept {
        if (word.empty()) return true;
        return on_graph([&](const auto& graph) {
            const auto at = walk(graph, word);
            return at && graph.is_end(*at);
        });
    }
    // Whether some path spells `prefix`; the empty prefix always does.
    bool contains_prefix(std::string_view prefix) const noexcept {
        return on_graph([&](const auto& graph) { return walk(graph, prefix).has_value(); });
    }

    // The searches take an optional Cancel (see search.hpp): a cancelled
    // search returns what it found until then, and cancel->cancelled() says so.

    // Words matching a wildcard pattern (`?` one letter, `*` any run), in
    // traversal order, duplicates kept; the empty pattern yields nothing.
    WordList search(std::string_view pattern, Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_words(graph, pattern, false, cancel); });
    }
    WordList search_with_count(std::string_view pattern, Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_words(graph, pattern, true, cancel); });
    }

    // Words starting with `prefix` (taken literally), in code-point order;
    // the empty prefix yields nothing.
    WordList search_with_prefix(std::string_view prefix, Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_prefix(graph, prefix, false, cancel); });
    }
    WordList search_with_prefix_count(std::string_view prefix, Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_prefix(graph, prefix, true, cancel); });
    }

    // Words within Levenshtein distance `dist` of `word`, in code-point
    // order; the empty word is never reported.
    WordList search_within_distance(std::string_view word, std::uint64_t dist,
                                    Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_distance(graph, word, dist, false, cancel); });
    }
    WordList search_within_distance_count(std::string_view word, std::uint64_t dist,
                                          Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_distance(graph, word, dist, true, cancel); });
    }

    // f(data, size) with the bytes of the lexicon's compact image, made for
    // the call when the lexicon is not compact.
    template <class F>
    decltype(auto) with_image_bytes(F&& f) const {
        const Lexicon& lexicon = static_cast<const Lexicon&>(*this);
        if (const CompactImage* image = lexicon.image()) return f(image->data(), image->size());
        const std::unique_ptr<ImageBytes> bytes = lexicon.build_image();
        return f(bytes->data(), bytes->size());
    }
    // Writes the compact image to a new file at `path`.
    Status save(std::string_view path) const {
        return with_image_bytes([&](const std::uint8_t* data, std::size_t size) { return write_file(path, data, size); });
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

private:
    // Searches differ in cost by orders of magnitude (one Levenshtein query
    // can outweigh thousands of others), so they are handed out one at a
    // time, and even a few of them are worth sharing.
    static constexpr ParallelOptions search_options{.min_parallel = 4, .max_chunk = 1};

    template <class Query>
    std::vector<WordList> batch(std::span<const std::string> items, Query&& query) const {
        return parallel_map(items.size(), [&](std::size_t i) { return query(items[i]); }, search_options);
    }

    // f(graph) over the form the lexicon is in.
    template <class F>
    decltype(auto) on_graph(F&& f) const {
        const Lexicon& lexicon = static_cast<const Lexicon&>(*this);
        if (const CompactImage* image = lexicon.image()) return f(image->graph());
        return f(StoreGraph(lexicon.nodes()));
    }
};

}  // namespace sorvan
