#include "node/node.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "error/error.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The class of the block that holds `n` >= 2 edges.
int class_for(std::uint32_t n) noexcept { return std::bit_width(n - 1); }

bool letter_below(const Edge& e, Letter c) noexcept { return e.letter < c; }

// Grows `v` so that `extra` more elements fit without reallocating, to at
// least twice its size (within `limit` elements), as push_back would: growth
// one element at a time stays amortised O(1), and a capacity someone reserved
// ahead is not doubled.
// Past `limit` it throws CapacityExceeded(`full`).
template <class T>
void make_room(std::vector<T>& v, std::size_t extra, std::size_t limit, const char* full) {
    if (v.capacity() - v.size() >= extra) return;
    if (extra > limit - v.size()) throw CapacityExceeded(full);
    v.reserve(std::min(v.size() + std::max(v.size(), extra), limit));
}

constexpr const char* too_many_nodes =
    "a lexicon holds at most 4,294,967,296 nodes (a node a distinct prefix)";
constexpr const char* too_many_edges =
    "a lexicon holds at most 4,294,967,295 edges below nodes with several children";

// Inserts `value` at `pos` of the `size` first elements of `a`, which has
// room for one more.
template <class T>
void insert_at(T* a, std::uint32_t& size, std::uint32_t pos, T value) noexcept {
    std::move_backward(a + pos, a + size, a + size + 1);
    a[pos] = value;
    ++size;
}

// Copies the `size` first elements of `from` to `to` with `value` inserted
// at `pos`; returns the new size.
template <class T>
std::uint32_t copy_inserting(const T* from, std::uint32_t size, std::uint32_t pos, T value,
                             T* to) noexcept {
    std::copy_n(from, pos, to);
    to[pos] = value;
    std::copy(from + pos, from + size, to + pos + 1);
    return size + 1;
}

}  // namespace

NodeStore::NodeStore(std::size_t node_limit)
    : node_limit_(std::min(node_limit, max_nodes)) {
    free_blocks_.fill(no_block);
    nodes_.emplace_back();  // the root: letter U+0000, no children, count 0
}

NodeIndex NodeStore::find_in_block(const Node& node, Letter letter) const noexcept {
    const Edge* first = edges_.data() + node.children_at;
    const Edge* last = first + node.child_count;
    // Most blocks are short: a forward scan beats a binary search there.
    if (node.child_count <= 8) {
        for (const Edge* e = first; e != last; ++e) {
            if (e->letter >= letter) return e->letter == letter ? e->child : no_child;
        }
        return no_child;
    }
    if (node.child_count > wide_threshold) return find_in_wide(node, letter);
    const Edge* it = std::lower_bound(first, last, letter, letter_below);
    return it != last && it->letter == letter ? it->child : no_child;
}

NodeIndex NodeStore::find_in_wide(const Node& node, Letter letter) const noexcept {
    const WideTree& tree = wide_[node.children_at];
    std::uint32_t at = tree.root;
    for (std::uint32_t h = tree.height; h > 0; --h) {
        const WideBranch& branch = branches_[at];
        at = branch.slots[route(branch, letter)].child;
    }
    const WideLeaf& leaf = leaves_[at];
    const Edge* last = leaf.edges + leaf.size;
    const Edge* it = std::lower_bound(leaf.edges, last, letter, letter_below);
    return it != last && it->letter == letter ? it->child : no_child;
}

std::uint32_t NodeStore::route(const WideBranch& branch, Letter letter) noexcept {
    const WideSlot* past = std::partition_point(
        branch.slots + 1, branch.slots + branch.size,
        [letter](const WideSlot& s) { return s.low <= letter; });
    return static_cast<std::uint32_t>(past - branch.slots) - 1;
}

Edge NodeStore::wide_child_at(const Node& node, std::uint32_t i) const noexcept {
    const WideTree& tree = wide_[node.children_at];
    std::uint32_t at = tree.root;
    for (std::uint32_t h = tree.height; h > 0; --h) {
        const WideBranch& branch = branches_[at];
        std::uint32_t slot = 0;
        while (i >= branch.slots[slot].count) i -= branch.slots[slot++].count;
        at = branch.slots[slot].child;
    }
    return leaves_[at].edges[i];
}

void NodeStore::reserve(std::size_t count) { nodes_.reserve(std::min(count, node_limit_)); }

void NodeStore::reserve_link(NodeIndex parent, std::size_t new_nodes) {
    new_nodes -= undo_ ? 0 : std::min(new_nodes, free_count_);  // those come from the free list
    if (new_nodes > node_limit_ - nodes_.size()) throw CapacityExceeded(too_many_nodes);
    make_room(nodes_, new_nodes, node_limit_, too_many_nodes);
    const std::uint32_t n = nodes_[parent].child_count;
    if (n == 0) return;
    if (n < wide_threshold) {
        // A node with one child needs a block of two; a full block, the
        // next class up. Either may come from a free list.
        const int block_class = n == 1 ? 1 : std::has_single_bit(n) ? class_for(n) + 1 : -1;
        if (block_class < 0 || reusable(block_class)) return;
        make_room(edges_, std::size_t{1} << block_class, no_block, too_many_edges);
    } else if (n == wide_threshold) {
        make_room(wide_, 1, no_block, too_many_edges);
        make_room(leaves_, leaves_for(n + 1), no_block, too_many_edges);
        make_room(branches_, 1, no_block, too_many_edges);
    } else {
        // A leaf split, and a branch split on each level plus a new root.
        make_room(leaves_, 1, no_block, too_many_edges);
        make_room(branches_, wide_[nodes_[parent].children_at].height + 1, no_block, too_many_edges);
    }
}

NodeIndex NodeStore::append_child(NodeIndex parent, Letter letter) {
    reserve_link(parent);
    const NodeIndex child = new_node();
    nodes_[child].letter = letter;
    link(parent, Edge{letter, child});
    return child;
}

NodeIndex NodeStore::new_node() noexcept {
    if (free_nodes_ != no_child && !undo_) {
        const NodeIndex at = free_nodes_;
        free_nodes_ = nodes_[at].children_at;
        --free_count_;
        nodes_[at] = Node{};
        return at;
    }
    const auto at = static_cast<NodeIndex>(nodes_.size());
    nodes_.emplace_back();  // room reserved: no reallocation
    return at;
}

template <class Entry>
Entry& NodeStore::take(std::vector<Entry>& pool, std::uint32_t& free_head, std::uint32_t& index) const noexcept {
    if (free_head != no_block && !undo_) {
        index = free_head;
        free_head = pool[index].size;  // a free entry's size links the next
        return pool[index];
    }
    index = static_cast<std::uint32_t>(pool.size());
    return pool.emplace_back();  // room reserved: no reallocation
}

NodeStore::WideLeaf& NodeStore::new_leaf(std::uint32_t& index) noexcept { return take(leaves_, free_leaves_, index); }

NodeStore::WideBranch& NodeStore::new_branch(std::uint32_t& index) noexcept {
    return take(branches_, free_branches_, index);
}

std::uint32_t NodeStore::new_tree() noexcept {
    if (free_trees_ != no_block && !undo_) {
        const std::uint32_t index = free_trees_;
        free_trees_ = wide_[index].root;
        return index;
    }
    wide_.emplace_back();
    return static_cast<std::uint32_t>(wide_.size() - 1);
}

void NodeStore::link(NodeIndex parent, Edge edge) noexcept {
    Node& node = nodes_[parent];
    const std::uint32_t n = node.child_count;
    if (n == 0) {
        node.children_at = edge.child;
        node.child_count = 1;
        return;
    }
    if (n == 1) {
        // The inline child moves into a block of two, in letter order.
        const NodeIndex only = node.children_at;
        const std::uint32_t at = allocate_block(1);
        Edge a{nodes_[only].letter, only};
        Edge b = edge;
        if (b.letter < a.letter) std::swap(a, b);
        edges_[at] = a;
        edges_[at + 1] = b;
        node.children_at = at;
        node.child_count = 2;
        return;
    }
    if (n > wide_threshold) {
        insert_wide(wide_[node.children_at], n, edge);
        node.child_count = n + 1;
        return;
    }
    if (n == wide_threshold) {
        make_wide(node, edge);
        return;
    }
    std::uint32_t at = node.children_at;
    if (std::has_single_bit(n)) {  // the block is full: move to the next class
        const int old_class = class_for(n);
        const std::uint32_t bigger = allocate_block(old_class + 1);
        std::copy_n(edges_.begin() + at, n, edges_.begin() + bigger);
        free_block(at, old_class);
        at = bigger;
        node.children_at = at;
    }
    Edge* first = edges_.data() + at;
    Edge* pos = std::lower_bound(first, first + n, edge.letter, letter_below);
    std::move_backward(pos, first + n, first + n + 1);
    *pos = edge;
    node.child_count = n + 1;
}

void NodeStore::make_wide(Node& node, Edge edge) noexcept {
    // The block's edges and the new one, spread evenly over a row of leaves
    // below one branch.
    const std::uint32_t n = node.child_count;
    const Edge* block = edges_.data() + node.children_at;
    const std::uint32_t split = static_cast<std::uint32_t>(
        std::lower_bound(block, block + n, edge.letter, letter_below) - block);
    auto merged = [&](std::uint32_t k) {
        return k < split ? block[k] : k == split ? edge : block[k - 1];
    };
    const std::uint32_t total = n + 1;
    const std::uint32_t leaves = leaves_for(total);
    std::uint32_t root = 0;
    WideBranch& branch = new_branch(root);
    branch.size = leaves;
    std::uint32_t k = 0;
    for (std::uint32_t j = 0; j < leaves; ++j) {
        const std::uint32_t end = total * (j + 1) / leaves;
        std::uint32_t at = 0;
        WideLeaf& leaf = new_leaf(at);
        branch.slots[j] = {merged(k).letter, end - k, at};
        leaf.size = end - k;
        for (std::uint32_t e = 0; k < end; ++k, ++e) leaf.edges[e] = merged(k);
    }
    free_block(node.children_at, class_for(n));
    node.children_at = new_tree();
    wide_[node.children_at] = WideTree{root, 1};
    node.child_count = total;
}

void NodeStore::insert_wide(WideTree& tree, std::uint32_t count, Edge edge) noexcept {
    struct Step {
        std::uint32_t branch, slot;
    };
    std::array<Step, max_height> path;
    std::uint32_t at = tree.root;
    bool leftmost = true, rightmost = true;
    for (std::uint32_t h = tree.height; h > 0; --h) {
        const WideBranch& branch = branches_[at];
        const std::uint32_t slot = route(branch, edge.letter);
        path[h - 1] = {at, slot};
        leftmost = leftmost && slot == 0;
        rightmost = rightmost && slot + 1 == branch.size;
        at = branch.slots[slot].child;
    }

    // A full node is split in two halves; `split` then describes the new
    // right half, for the level above to take in after its left one.
    struct Split {
        std::uint32_t index, count;
        Letter low;
    };
    std::optional<Split> split;
    {
        WideLeaf& leaf = leaves_[at];
        const std::uint32_t pos = static_cast<std::uint32_t>(
            std::lower_bound(leaf.edges, leaf.edges + leaf.size, edge.letter, letter_below) -
            leaf.edges);
        if (leaf.size < leaf_capacity) {
            insert_at(leaf.edges, leaf.size, pos, edge);
        } else {
            std::uint32_t right = 0;
            WideLeaf& other = new_leaf(right);  // room reserved: `leaf` stays valid
            Edge all[leaf_capacity + 1];
            const std::uint32_t size = copy_inserting(leaf.edges, leaf_capacity, pos, edge, all);
            // A new first or last edge of the whole node splits off alone:
            // letters coming in order then fill every leaf, not half of it.
            leaf.size = leftmost && pos == 0                    ? 1
                        : rightmost && pos == leaf_capacity ? leaf_capacity
                                                            : size / 2;
            other.size = size - leaf.size;
            std::copy_n(all, leaf.size, leaf.edges);
            std::copy_n(all + leaf.size, other.size, other.edges);
            split = Split{right, other.size, other.edges[0].letter};
        }
    }
    for (std::uint32_t h = 1; h <= tree.height; ++h) {
        const auto [index, slot] = path[h - 1];
        WideBranch& branch = branches_[index];
        ++branch.slots[slot].count;
        if (!split) continue;
        branch.slots[slot].count -= split->count;
        const WideSlot below{split->low, split->count, split->index};
        split.reset();
        if (branch.size < branch_capacity) {
            insert_at(branch.slots, branch.size, slot + 1, below);
            continue;
        }
        std::uint32_t right = 0;
        WideBranch& other = new_branch(right);  // room reserved
        WideSlot all[branch_capacity + 1];
        const std::uint32_t size =
            copy_inserting(branch.slots, branch_capacity, slot + 1, below, all);
        branch.size = size / 2;
        other.size = size - branch.size;
        std::copy_n(all, branch.size, branch.slots);
        std::copy_n(all + branch.size, other.size, other.slots);
        std::uint32_t moved = 0;
        for (std::uint32_t i = 0; i < other.size; ++i) moved += other.slots[i].count;
        split = Split{right, moved, other.slots[0].low};
    }
    if (split) {  // the root split: a new root above both halves
        std::uint32_t root = 0;
        WideBranch& top = new_branch(root);
        top.size = 2;
        top.slots[0] = {0, count + 1 - split->count, tree.root};
        top.slots[1] = {split->low, split->count, split->index};
        tree.root = root;
        ++tree.height;
    }
}

void NodeStore::cut_child(NodeIndex parent, Letter letter) {
    Node& node = nodes_[parent];
    const std::uint32_t n = node.child_count;
    // Only a wide node turning back into a block may need room: a block of
    // wide_threshold edges. Nothing after this can fail.
    constexpr int block_class = std::bit_width(wide_threshold - 1);
    if (n == wide_threshold + 1 && !reusable(block_class)) {
        make_room(edges_, std::size_t{1} << block_class, no_block, too_many_edges);
    }
    NodeIndex at = child(parent, letter);
    if (n == 1) {
        node.child_count = 0;
        node.children_at = 0;
    } else if (n == 2) {
        const Edge* block = edges_.data() + node.children_at;
        const NodeIndex kept = block[0].letter == letter ? block[1].child : block[0].child;
        free_block(node.children_at, 1);
        node.children_at = kept;
        node.child_count = 1;
    } else if (n <= wide_threshold) {
        Edge* first = edges_.data() + node.children_at;
        Edge* pos = std::lower_bound(first, first + n, letter, letter_below);
        std::move(pos + 1, first + n, pos);
        node.child_count = n - 1;
        // Down to a power of two: the block's second half is a free block
        // of the class below, and the first half holds the edges.
        if (std::has_single_bit(n - 1)) free_block(node.children_at + (n - 1), class_for(n - 1));
    } else if (n == wide_threshold + 1) {
        unwide(node, letter);
    } else {
        erase_wide(wide_[node.children_at], letter);
        node.child_count = n - 1;
    }
    for (;;) {
        Node& gone = nodes_[at];
        const NodeIndex below = gone.child_count == 1 ? gone.children_at : no_child;
        gone = Node{};
        gone.children_at = free_nodes_;
        free_nodes_ = at;
        ++free_count_;
        if (below == no_child) break;
        at = below;
    }
}

void NodeStore::erase_wide(WideTree& tree, Letter letter) noexcept {
    std::uint32_t at = tree.root;
    for (std::uint32_t h = tree.height; h > 0; --h) {
        WideBranch& branch = branches_[at];
        WideSlot& slot = branch.slots[route(branch, letter)];
        --slot.count;
        at = slot.child;
    }
    WideLeaf& leaf = leaves_[at];
    Edge* last = leaf.edges + leaf.size;
    Edge* pos = std::lower_bound(leaf.edges, last, letter, letter_below);
    std::move(pos + 1, last, pos);
    --leaf.size;
}

void NodeStore::unwide(Node& node, Letter letter) noexcept {
    const std::uint32_t tree_at = node.children_at;
    const WideTree tree = wide_[tree_at];
    const std::uint32_t at = allocate_block(class_for(wide_threshold));
    std::uint32_t k = 0;
    auto keep = [&](const Edge& e) {
        if (e.letter != letter) edges_[at + k++] = e;
    };
    visit_wide(tree.root, tree.height, keep);
    free_tree(tree.root, tree.height);
    wide_[tree_at].root = free_trees_;
    free_trees_ = tree_at;
    node.children_at = at;
    node.child_count = wide_threshold;
}

void NodeStore::free_tree(std::uint32_t at, std::uint32_t height) noexcept {
    if (height == 0) {
        leaves_[at].size = free_leaves_;
        free_leaves_ = at;
        return;
    }
    WideBranch& branch = branches_[at];
    for (std::uint32_t i = 0; i < branch.size; ++i) free_tree(branch.slots[i].child, height - 1);
    branch.size = free_branches_;
    free_branches_ = at;
}

std::uint32_t NodeStore::allocate_block(int block_class) noexcept {
    std::uint32_t& head = free_blocks_[static_cast<std::size_t>(block_class)];
    if (reusable(block_class)) {
        const std::uint32_t at = head;
        head = edges_[at].child;
        return at;
    }
    // reserve_link made room: this resize does not reallocate.
    const std::size_t at = edges_.size();
    edges_.resize(at + (std::size_t{1} << block_class));
    return static_cast<std::uint32_t>(at);
}

void NodeStore::free_block(std::uint32_t at, int block_class) noexcept {
    if (undo_ && at < undo_->edges) return;  // a roll_back needs it; keep() frees it
    std::uint32_t& head = free_blocks_[static_cast<std::size_t>(block_class)];
    edges_[at].child = head;
    head = at;
}

void NodeStore::mark() {
    undo_ = std::make_unique<Undo>(Undo{nodes_.size(), edges_.size(), wide_.size(), leaves_.size(),
                                        branches_.size(), free_blocks_, {}, {}, {}, {}});
}

void NodeStore::save_older(NodeIndex index) {
    Undo& undo = *undo_;
    const Node& node = nodes_[index];
    constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();
    make_room(undo.saved, 1, unlimited, too_many_nodes);
    if (node.child_count > wide_threshold) {
        // The new letter is above all the others, so it changes only the
        // rightmost path of the tree (a split leaves the left half's
        // entries in place, and what it adds is new).
        const std::uint32_t tree_at = node.children_at;
        const WideTree tree = wide_[tree_at];
        make_room(undo.trees, 1, unlimited, too_many_edges);
        make_room(undo.branches, tree.height, unlimited, too_many_edges);
        make_room(undo.leaves, 1, unlimited, too_many_edges);
        undo.trees.emplace_back(tree_at, tree);
        std::uint32_t at = tree.root;
        for (std::uint32_t h = tree.height; h > 0; --h) {
            const WideBranch& branch = branches_[at];
            undo.branches.emplace_back(at, branch);
            at = branch.slots[branch.size - 1].child;
        }
        undo.leaves.emplace_back(at, leaves_[at]);
    }
    undo.saved.emplace_back(index, node);
}

void NodeStore::keep() noexcept {
    const std::unique_ptr<Undo> undo = std::move(undo_);
    if (!undo) return;
    // The blocks that older nodes left are free now.
    for (const auto& [index, old] : undo->saved) {
        if (old.child_count < 2 || old.child_count > wide_threshold) continue;
        const Node& now = nodes_[index];
        if (now.child_count <= wide_threshold && now.children_at == old.children_at) continue;
        free_block(old.children_at, class_for(old.child_count));
    }
}

void NodeStore::roll_back() noexcept {
    const std::unique_ptr<Undo> undo = std::move(undo_);
    if (!undo) return;
    nodes_.erase(nodes_.begin() + static_cast<std::ptrdiff_t>(undo->nodes), nodes_.end());
    edges_.erase(edges_.begin() + static_cast<std::ptrdiff_t>(undo->edges), edges_.end());
    wide_.erase(wide_.begin() + static_cast<std::ptrdiff_t>(undo->wide), wide_.end());
    leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(undo->leaf_count), leaves_.end());
    branches_.erase(branches_.begin() + static_cast<std::ptrdiff_t>(undo->branch_count), branches_.end());
    free_blocks_ = undo->free_blocks;
    // Newest first, so that a record saved twice ends as the older one.
    auto restore = [](auto& pool, const auto& saved) {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) pool[it->first] = it->second;
    };
    restore(nodes_, undo->saved);
    restore(wide_, undo->trees);
    restore(branches_, undo->branches);
    restore(leaves_, undo->leaves);
}

std::optional<NodeIndex> NodeStore::walk(std::string_view path) const noexcept {
    NodeIndex at = 0;
    const char* p = path.data();
    const char* end = p + path.size();
    while (p < end) {
        at = child(at, utf8::next(p));
        if (at == no_child) return std::nullopt;
    }
    return at;
}

}  // namespace sorvan
