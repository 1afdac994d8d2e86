#pragma once
// What a traversal may ask of a word graph, written down once as a concept:
// the mutable node store (StoreGraph) and the compact image (CompactGraph)
// both satisfy it, so every search, suggestion and walk serves both forms.

#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "node/node.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

// A read-only graph of words over code points. A Position names a state (and
// whatever the graph needs to answer about it, such as a word rank); a Cursor
// runs over one state's edges in ascending letter order, handing out Arcs.
// Every member is cheap and never changes the graph, so any number of
// traversals may run on one graph at once.
template <class G>
concept WordGraph = requires(const G& graph, typename G::Position position, typename G::Cursor& cursor,
                             Letter letter) {
    typename G::Position;
    typename G::Cursor;
    typename G::Arc;
    requires std::same_as<decltype(G::Arc::letter), Letter>;
    requires std::same_as<decltype(G::Arc::child), typename G::Position>;
    // Whether a state may be reached by several paths (shared endings), so
    // that a walk cannot take a state for one word.
    { G::shares_states } -> std::convertible_to<bool>;
    { G::root() } -> std::same_as<typename G::Position>;
    // Whether a position returned by child() names a state (the edge exists).
    { G::found(position) } -> std::same_as<bool>;
    { graph.is_end(position) } -> std::same_as<bool>;
    { graph.child_count(position) } -> std::same_as<std::uint32_t>;
    { graph.shape(position) } -> std::same_as<NodeShape>;
    // The count of the word that ends at `position` (is_end must hold).
    { graph.count(position) } -> std::same_as<std::uint64_t>;
    { graph.child(position, letter) } -> std::same_as<typename G::Position>;
    { graph.edges(position) } -> std::same_as<typename G::Cursor>;
    // The same, written into a cursor that stays where it is.
    graph.edges(position, cursor);
    { graph.next(cursor) } -> std::same_as<typename G::Arc>;
    // A hint: start loading the state the cursor's next edge leads to.
    graph.prefetch(std::as_const(cursor));
};

// Follows the letters of `path` from the root. The empty path ends at the
// root; a missing edge ends the walk with nothing.
template <WordGraph Graph>
std::optional<typename Graph::Position> walk(const Graph& graph, std::string_view path) noexcept {
    auto at = graph.root();
    const char* p = path.data();
    const char* end = p + path.size();
    while (p < end) {
        at = graph.child(at, utf8::next(p));
        if (!Graph::found(at)) return std::nullopt;
    }
    return at;
}

}  // namespace sorvan
