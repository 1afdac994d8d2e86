#pragma once
// The stored words that begin a text, found in one walk along it.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "graph/graph.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

// A stored word that begins a text: its length in bytes and in letters
// (code points), and its count. No match has letters == 0 (the empty word
// is never reported).
struct PrefixMatch {
    std::size_t bytes = 0;
    std::size_t letters = 0;
    std::uint64_t count = 0;
};

// Calls found(PrefixMatch) for every stored word that is a prefix of `text`
// (UTF-8), shortest first; one step a letter, up to the longest match's end
// or the first letter no path takes.
template <WordGraph Graph, class Found>
void for_each_prefix(const Graph& graph, std::string_view text, Found&& found) {
    auto at = graph.root();
    const char* p = text.data();
    const char* end = p + text.size();
    std::size_t letters = 0;
    while (p < end) {
        at = graph.child(at, utf8::next(p));
        if (!Graph::found(at)) return;
        ++letters;
        if (graph.is_end(at)) found(PrefixMatch{static_cast<std::size_t>(p - text.data()), letters, graph.count(at)});
    }
}

}  // namespace sorvan
