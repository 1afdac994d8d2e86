#pragma once
// The node layer: the mutable node store that both lexicons grow, nodes in
// one array and their edges in a pool (wide nodes in B+trees).

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
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

// What a traversal first asks of a node: its children and whether a word
// ends there (one decode in a compact graph).
struct NodeShape {
    std::uint32_t children;
    bool end;
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
//     own no edge at all;
//   - past NodeStore::wide_threshold children, a B+tree of edges (a wide
//     node), at index children_at of the store's table of such trees.
class NodeStore;

struct __attribute__((packed, aligned(4))) Node {
    std::uint64_t count = 0;
    std::uint32_t letter : 21 = 0;
    std::uint32_t is_end : 1 = 0;
    // The highest count of the words at and below the node, rounded up
    // (CountBound): in bits that were spare, so that ranked completion can
    // go best first without a byte more a node. The lexicons keep it.
    std::uint32_t best : 10 = 0;
    std::uint32_t child_count = 0;
    std::uint32_t children_at = 0;
};
static_assert(sizeof(Node) == 20);

// A count rounded up to one of 1,024 steps, so that it fits in 10 bits:
// exact below 16, then 4 bits below the leading one (at most a sixteenth
// too high). Order is kept: a <= b gives code(a) <= code(b).
struct CountBound {
    static constexpr std::uint32_t bits = 10;

    static constexpr std::uint32_t code(std::uint64_t count) noexcept {
        if (count < 16) return static_cast<std::uint32_t>(count);
        unsigned shift = static_cast<unsigned>(std::bit_width(count)) - 5;
        std::uint64_t top = count >> shift;                       // 16 to 31
        if ((count & ((std::uint64_t{1} << shift) - 1)) != 0 && ++top == 32) top = 16, ++shift;
        return ((shift + 1) << 4) | static_cast<std::uint32_t>(top - 16);
    }
    // The highest count of `code`'s step (2^64 - 1 past the last).
    static constexpr std::uint64_t value(std::uint32_t code) noexcept {
        if (code < 16) return code;
        const unsigned shift = (code >> 4) - 1;
        const std::uint64_t top = 16 + (code & 15);
        if (shift >= 60) return std::numeric_limits<std::uint64_t>::max();  // 16 << 60 is 2^64
        return top << shift;
    }
};
static_assert(CountBound::code(std::numeric_limits<std::uint64_t>::max()) < (1u << CountBound::bits));

// The growable vector of nodes that a lexicon owns, root at index 0, plus the
// pool that holds the edge blocks of nodes with several children. Nodes are
// appended, never moved; a node cut off (cut_child) goes on a free list, and
// later appends take it from there first.
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

    // One past the highest node index; free nodes included.
    std::size_t size() const noexcept { return nodes_.size(); }
    // The nodes in use, root included: size() less the free ones.
    std::size_t live() const noexcept { return nodes_.size() - free_count_; }
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
    // O(1), or O(log child_count) for a wide node.
    Edge child_at(const Node& node, std::uint32_t i) const noexcept {
        if (node.child_count == 1) return {nodes_[node.children_at].letter, node.children_at};
        if (node.child_count > wide_threshold) [[unlikely]] return wide_child_at(node, i);
        return edges_[node.children_at + i];
    }

    // Calls f(Edge) for every edge of `parent` in ascending letter order.
    template <class F>
    void for_each_child(NodeIndex parent, F&& f) const {
        const Node& node = nodes_[parent];
        if (node.child_count > wide_threshold) {
            const WideTree& tree = wide_[node.children_at];
            visit_wide(tree.root, tree.height, f);
            return;
        }
        for (std::uint32_t i = 0; i < node.child_count; ++i) f(child_at(node, i));
    }

    // Appends a node for `letter` and links it below `parent`, which must
    // have no edge for `letter` yet. Returns the new node's index. Costs
    // O(log child_count) amortised. If it throws (std::bad_alloc), the
    // store is as it was.
    NodeIndex append_child(NodeIndex parent, Letter letter);

    // Makes room, so that the next `new_nodes` calls of append_child, the
    // first below `parent` and the others below nodes they made, cannot
    // allocate or throw. Throws std::bad_alloc, changing nothing but
    // capacities, if that room cannot be had.
    void reserve_link(NodeIndex parent, std::size_t new_nodes = 1);

    // Makes room for `count` nodes in all, so that appending up to there
    // neither reallocates nor leaves spare capacity behind.
    void reserve(std::size_t count);

    // Removes the edge of `parent` under `letter` (which must exist) and
    // frees the node it leads to and the chain below it: every node of the
    // chain but the last must have exactly one child, and the last none. Their
    // indices and the edge space they held are reused by later appends. Not
    // during a mark(). If it throws (std::bad_alloc), the store is as it was.
    void cut_child(NodeIndex parent, Letter letter);

    // Follows the letters of `path` from the root. The empty path ends at
    // the root; a missing edge ends the walk with nothing.
    std::optional<NodeIndex> walk(std::string_view path) const noexcept;

    // Undo of a run of appends, each letter above all the others of its
    // parent (the order of a Dawg's bulk insertion). After mark(), blocks
    // come only from fresh space at the end of the pool or from blocks freed
    // since, and blocks of older nodes are kept intact until keep(); so
    // roll_back() has only to cut every pool back to its size at mark() and
    // put back the records that save() took. mark() may throw
    // std::bad_alloc; keep() and roll_back() end the run and cannot fail.
    void mark();
    // Before `index` gets a child or a new count: saves what that changes,
    // if the node is older than the mark. Saving the same node twice in a
    // row saves it once. std::bad_alloc, changing nothing, without room.
    void save(NodeIndex index) {
        if (!undo_ || index >= undo_->nodes) return;
        if (!undo_->saved.empty() && undo_->saved.back().first == index) return;
        save_older(index);
    }
    void keep() noexcept;
    void roll_back() noexcept;

    // The bounds of counts (Node::best). Each node's is the highest of its
    // own count's (if a word ends there) and its children's: the lexicons
    // keep it so through these after every change of counts or nodes.
    //
    // The bound `index` should have, from its own count and its children's.
    std::uint32_t bound_below(NodeIndex index) const noexcept {
        const Node& node = nodes_[index];
        std::uint32_t best = node.is_end ? CountBound::code(node.count) : 0;
        for_each_child(index, [&](Edge e) { best = std::max<std::uint32_t>(best, nodes_[e.child].best); });
        return best;
    }
    // After the count at the end of `path` (nodes from the root, each the
    // child of the one before) rose, or the path grew: raises the bounds
    // along it, from the end up, as far as they are below its count's.
    void raise_bounds(std::span<const NodeIndex> path) noexcept {
        if (path.empty()) return;
        const Node& last = nodes_[path.back()];
        const std::uint32_t best = last.is_end ? CountBound::code(last.count) : 0;
        for (std::size_t i = path.size(); i-- > 0;) {
            Node& node = nodes_[path[i]];
            if (node.best >= best) break;
            node.best = best;
        }
    }
    // After counts along `path` fell or nodes below it went: makes the
    // bounds along it right again, from the end up; `all` recomputes every
    // one, otherwise it stops at one that stays (those above stand then).
    void refresh_bounds(std::span<const NodeIndex> path, bool all = false) noexcept {
        for (std::size_t i = path.size(); i-- > 0;) {
            const std::uint32_t best = bound_below(path[i]);
            if (!all && best == nodes_[path[i]].best) break;
            nodes_[path[i]].best = best;
        }
    }
    // Every node's bound, in a store where children come after their
    // parents (one made in one depth-first pass, as an image gives back).
    void settle_bounds() noexcept {
        for (std::size_t i = nodes_.size(); i-- > 0;) {
            nodes_[i].best = bound_below(static_cast<NodeIndex>(i));
        }
    }

    // Nodes with more children than this keep them in a B+tree. Below it, a
    // sorted block shifted on insertion costs less than the tree's descent.
    static constexpr std::uint32_t wide_threshold = 256;

private:
    static constexpr std::uint32_t no_block = std::numeric_limits<std::uint32_t>::max();
    // Edge blocks come in power-of-two sizes: class k holds 2^k edges. A
    // node's block class follows from its child count, so it is not stored.
    static constexpr int block_classes = 22;  // up to 2^21 > 0x110000 letters

    // A wide node's edges: an order-statistic B+tree. Leaves hold sorted
    // edges; a branch holds, per child, how many edges lie below it and the
    // least letter there (slot 0's is never read: letters below slot 1's go
    // to child 0). All leaves are at depth `height` below the root.
    static constexpr std::uint32_t leaf_capacity = 64;
    static constexpr std::uint32_t branch_capacity = 64;
    // Every node but the root is at least half full, so 2^21 letters need
    // at most 4 levels of branches; twice that leaves a margin.
    static constexpr std::uint32_t max_height = 8;
    static_assert(wide_threshold + 1 <= leaf_capacity * branch_capacity);

    struct WideLeaf {
        std::uint32_t size;
        Edge edges[leaf_capacity];
    };
    struct WideSlot {
        Letter low;
        std::uint32_t count;
        std::uint32_t child;
    };
    struct WideBranch {
        std::uint32_t size;
        WideSlot slots[branch_capacity];
    };
    struct WideTree {
        std::uint32_t root;
        std::uint32_t height;  // 0: the root is a leaf
    };

    template <class F>
    void visit_wide(std::uint32_t at, std::uint32_t height, F& f) const {
        if (height == 0) {
            const WideLeaf& leaf = leaves_[at];
            for (std::uint32_t i = 0; i < leaf.size; ++i) f(leaf.edges[i]);
            return;
        }
        const WideBranch& branch = branches_[at];
        for (std::uint32_t i = 0; i < branch.size; ++i) {
            visit_wide(branch.slots[i].child, height - 1, f);
        }
    }

    // The slot of `branch` whose subtree holds (or would hold) `letter`.
    static std::uint32_t route(const WideBranch& branch, Letter letter) noexcept;
    // How many leaves a new wide node with `n` edges starts with.
    static constexpr std::uint32_t leaves_for(std::uint32_t n) noexcept {
        return (n + leaf_capacity - 1) / leaf_capacity;
    }

    NodeIndex find_in_block(const Node& node, Letter letter) const noexcept;
    NodeIndex find_in_wide(const Node& node, Letter letter) const noexcept;
    Edge wide_child_at(const Node& node, std::uint32_t i) const noexcept;
    // After reserve_link(parent, ...): changes the store without allocating.
    void link(NodeIndex parent, Edge edge) noexcept;
    void make_wide(Node& node, Edge edge) noexcept;
    void insert_wide(WideTree& tree, std::uint32_t count, Edge edge) noexcept;
    // Removes the edge under `letter` from a wide node's tree, which keeps
    // its shape (a leaf may empty: a slot's least letter stays a bound).
    void erase_wide(WideTree& tree, Letter letter) noexcept;
    // A wide node of wide_threshold + 1 edges, less the one under `letter`,
    // back to a block (room reserved: see cut_child); its tree is freed.
    void unwide(Node& node, Letter letter) noexcept;
    void free_tree(std::uint32_t at, std::uint32_t height) noexcept;
    // A new node, leaf or branch: a free one when there is one, else
    // appended (room reserved). Free ones are not taken during a mark.
    NodeIndex new_node() noexcept;
    template <class Entry>
    Entry& take(std::vector<Entry>& pool, std::uint32_t& free_head, std::uint32_t& index) const noexcept;
    WideLeaf& new_leaf(std::uint32_t& index) noexcept;
    WideBranch& new_branch(std::uint32_t& index) noexcept;
    std::uint32_t new_tree() noexcept;
    // Whether allocate_block takes a block from the free list of the class.
    bool reusable(int block_class) const noexcept {
        const std::uint32_t head = free_blocks_[static_cast<std::size_t>(block_class)];
        return head != no_block && !(undo_ && head == undo_->free_blocks[static_cast<std::size_t>(block_class)]);
    }
    std::uint32_t allocate_block(int block_class) noexcept;
    void free_block(std::uint32_t at, int block_class) noexcept;

    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    std::vector<WideTree> wide_;
    std::vector<WideLeaf> leaves_;
    std::vector<WideBranch> branches_;
    // Heads of the free lists, one per block class; a free block's first
    // edge holds the offset of the next free block of its class.
    std::array<std::uint32_t, block_classes> free_blocks_;
    std::size_t node_limit_;
    // Free nodes, leaves, branches and trees, each list threaded through
    // its free entries (a node's children_at, a leaf's or branch's size, a
    // tree's root); heads no_child (nodes) or no_block when empty.
    NodeIndex free_nodes_ = no_child;
    std::size_t free_count_ = 0;
    std::uint32_t free_leaves_ = no_block;
    std::uint32_t free_branches_ = no_block;
    std::uint32_t free_trees_ = no_block;

    // The sizes and free lists at mark(), and the records saved since.
    struct Undo {
        std::size_t nodes, edges, wide, leaf_count, branch_count;
        std::array<std::uint32_t, block_classes> free_blocks;
        std::vector<std::pair<NodeIndex, Node>> saved;
        std::vector<std::pair<std::uint32_t, WideTree>> trees;
        std::vector<std::pair<std::uint32_t, WideBranch>> branches;
        std::vector<std::pair<std::uint32_t, WideLeaf>> leaves;
    };
    void save_older(NodeIndex index);
    std::unique_ptr<Undo> undo_;
};

}  // namespace sorvan
