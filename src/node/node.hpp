#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvan {

// Node indices are 32-bit: a store is limited to 2^32 nodes, and growing
// past that fails with std::bad_alloc rather than wrapping.
using NodeIndex = std::uint32_t;
using Letter = char32_t;

// An outgoing edge: the letter it is labelled with and the node it leads to.
struct Edge {
    Letter letter;
    NodeIndex child;
};

// One vertex of a lexicon graph, 20 bytes.
//
// `id` is not stored: a node's id is always its index in its store
// (NodeStore::id). The `children` map is (child_count, children_at):
//   - no child;
//   - one child, whose index is children_at; the edge's letter is that
//     child's own `letter` (an edge's letter always equals its target's);
//   - a block of child_count edges sorted by letter, at offset children_at
//     of the store's edge pool. Most nodes have one child, so most nodes
//     own no edge at all.
class NodeStore;

struct __attribute__((packed, aligned(4))) Node {
    std::uint64_t count = 0;
    std::uint32_t letter : 21 = 0;
    std::uint32_t is_end : 1 = 0;
    std::uint32_t : 10;
    std::uint32_t child_count = 0;
    std::uint32_t children_at = 0;
};
static_assert(sizeof(Node) == 20);

// The growable vector of nodes that a lexicon owns, root at index 0, plus the
// pool that holds the edge blocks of nodes with several children. Nodes are
// only appended, never moved or removed.
class NodeStore {
public:
    static constexpr std::size_t max_nodes = std::size_t{1} << 32;

    // A store holding only the root. `node_limit` lowers the capacity limit
    // (for tests of the overflow path).
    explicit NodeStore(std::size_t node_limit = max_nodes);

    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;
    NodeStore(NodeStore&&) noexcept = default;
    NodeStore& operator=(NodeStore&&) noexcept = default;

    std::size_t size() const noexcept { return nodes_.size(); }
    static std::uint64_t id(NodeIndex index) noexcept { return index; }

    const Node& operator[](NodeIndex index) const noexcept { return nodes_[index]; }
    Node& operator[](NodeIndex index) noexcept { return nodes_[index]; }

    // The root is nobody's child, so index 0 can say "no such edge".
    static constexpr NodeIndex no_child = 0;

    // The child of `parent` under `letter`, or no_child. (A plain index
    // rather than an optional: this is the innermost step of every walk.)
    NodeIndex child(NodeIndex parent, Letter letter) const noexcept {
        const Node& node = nodes_[parent];
        if (node.child_count == 1) {
            return nodes_[node.children_at].letter == letter ? node.children_at : no_child;
        }
        if (node.child_count == 0) return no_child;
        return find_in_block(node, letter);
    }

    // The i-th edge of `parent` in ascending letter order; i < child_count.
    Edge child_at(NodeIndex parent, std::uint32_t i) const noexcept {
        return child_at(nodes_[parent], i);
    }
    Edge child_at(const Node& node, std::uint32_t i) const noexcept {
        if (node.child_count == 1) return {nodes_[node.children_at].letter, node.children_at};
        return edges_[node.children_at + i];
    }

    // Calls f(Edge) for every edge of `parent` in ascending letter order.
    template <class F>
    void for_each_child(NodeIndex parent, F&& f) const {
        const std::uint32_t n = nodes_[parent].child_count;
        for (std::uint32_t i = 0; i < n; ++i) f(child_at(parent, i));
    }

    // Appends a node for `letter` and links it below `parent`, which must
    // have no edge for `letter` yet. Returns the new node's index. When it
    // fails (std::bad_alloc) the store is as it was. Below a childless
    // parent it cannot fail once reserve_more() has made room for the node.
    NodeIndex append_child(NodeIndex parent, Letter letter);

    // Makes room for `count` nodes in all, so that appending up to there
    // neither reallocates nor leaves spare capacity behind.
    void reserve(std::size_t count);
    // Makes room for `count` more nodes, growing geometrically so that
    // reserving before every insertion keeps appending amortised O(1).
    // std::bad_alloc, with the store unchanged, past the node limit.
    void reserve_more(std::size_t count);

    // Follows the letters of `path` from the root. The empty path ends at
    // the root; a missing edge ends the walk with nothing.
    std::optional<NodeIndex> walk(std::string_view path) const noexcept;

private:
    static constexpr std::uint32_t no_block = std::numeric_limits<std::uint32_t>::max();
    // Edge blocks come in power-of-two sizes: class k holds 2^k edges. A
    // node's block class follows from its child count, so it is not stored.
    static constexpr int block_classes = 22;  // up to 2^21 > 0x110000 letters

    NodeIndex find_in_block(const Node& node, Letter letter) const noexcept;
    void link(NodeIndex parent, Letter letter, NodeIndex child);
    std::uint32_t allocate_block(int block_class);
    void free_block(std::uint32_t at, int block_class) noexcept;

    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    // Heads of the free lists, one per block class; a free block's first
    // edge holds the offset of the next free block of its class.
    std::array<std::uint32_t, block_classes> free_blocks_;
    std::size_t node_limit_;
};

}  // namespace sorvan
