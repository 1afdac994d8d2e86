#include "trie/search.hpp"

#include <numeric>

#include "utils/pattern.hpp"

namespace sorvan {

std::u32string decode(std::string_view text) {
    std::u32string letters;
    letters.reserve(text.size());
    utf8::for_each(text, [&](char32_t c) { letters.push_back(c); });
    return letters;
}

template <class Sink>
Sink search_words(const NodeStore& nodes, std::string_view pattern) {
    Sink results;
    if (pattern.empty()) return results;
    const std::u32string normalised = decode(validate_expression(pattern));
    std::string word;
    words_with_wildcard(nodes, 0, normalised, 0, word, results);
    return results;
}

template <class Sink>
Sink search_prefix(const NodeStore& nodes, std::string_view prefix) {
    Sink results;
    if (prefix.empty()) return results;
    const auto start = nodes.walk(prefix);
    if (!start) return results;
    std::string word(prefix);
    words_with_wildcard(nodes, *start, U"*", 0, word, results);
    return results;
}

template <class Sink>
Sink search_distance(const NodeStore& nodes, std::string_view query, std::uint64_t bound) {
    Sink results;
    const std::u32string letters = decode(query);
    std::vector<std::uint64_t> root_row(letters.size() + 1);
    std::iota(root_row.begin(), root_row.end(), std::uint64_t{0});
    std::string word;
    // The root is never examined: the empty word is never reported.
    nodes.for_each_child(0, [&](Edge edge) {
        word.clear();
        utf8::append(word, edge.letter);
        search_within_distance_inner(nodes, edge.child, letters, edge.letter, word,
                                     root_row.data(), bound, results);
    });
    return results;
}

template WordSink search_words<WordSink>(const NodeStore&, std::string_view);
template WordCountSink search_words<WordCountSink>(const NodeStore&, std::string_view);
template WordSink search_prefix<WordSink>(const NodeStore&, std::string_view);
template WordCountSink search_prefix<WordCountSink>(const NodeStore&, std::string_view);
template WordSink search_distance<WordSink>(const NodeStore&, std::string_view, std::uint64_t);
template WordCountSink search_distance<WordCountSink>(const NodeStore&, std::string_view,
                                                      std::uint64_t);

}  // namespace sorvan
