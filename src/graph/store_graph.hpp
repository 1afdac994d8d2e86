#pragma once
// The mutable node store seen as a WordGraph, so that the traversals written
// for the compact image serve it too.

#include <cstdint>

#include "graph/graph.hpp"
#include "node/node.hpp"

namespace sorvan {

// A position is a node index.
class StoreGraph {
public:
    using Position = NodeIndex;
    struct Cursor {
        NodeIndex node;
        std::uint32_t next;
    };
    struct Arc {
        Letter letter;
        Position child;
    };

    // Searches treat every node as reached by one path. (A reduced DAWG's
    // nodes have several, but it keeps growing and stays cheap to search.)
    static constexpr bool shares_states = false;

    explicit StoreGraph(const NodeStore& nodes) noexcept : nodes_(nodes) {}

    static Position root() noexcept { return 0; }
    static bool found(Position p) noexcept { return p != NodeStore::no_child; }
    bool is_end(Position p) const noexcept { return nodes_[p].is_end; }
    std::uint32_t child_count(Position p) const noexcept { return nodes_[p].child_count; }
    NodeShape shape(Position p) const noexcept { return {nodes_[p].child_count, nodes_[p].is_end != 0}; }
    std::uint64_t count(Position p) const noexcept { return nodes_[p].count; }
    // No count of a word at or below `p` is higher (Node::best).
    std::uint64_t count_bound(Position p) const noexcept { return CountBound::value(nodes_[p].best); }
    Position child(Position p, Letter letter) const noexcept { return nodes_.child(p, letter); }

    static Cursor edges(Position p) noexcept { return {p, 0}; }
    static void edges(Position p, Cursor& c) noexcept { c = {p, 0}; }
    Arc next(Cursor& c) const noexcept {
        const Edge e = nodes_.child_at(c.node, c.next++);
        return {e.letter, e.child};
    }
    // Siblings were created at different times, far apart in the store:
    // start loading the next one while this child's subtree is walked.
    void prefetch(const Cursor& c) const noexcept {
        if (c.next < nodes_[c.node].child_count) __builtin_prefetch(&nodes_[nodes_.child_at(c.node, c.next).child]);
    }

private:
    const NodeStore& nodes_;
};

static_assert(WordGraph<StoreGraph>);

}  // namespace sorvan
