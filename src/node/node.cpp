#include "node/node.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The class of the block that holds `n` >= 2 edges.
int class_for(std::uint32_t n) noexcept { return std::bit_width(n - 1); }

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
    const Edge* it = std::lower_bound(first, last, letter,
                                      [](const Edge& e, Letter c) { return e.letter < c; });
    return it != last && it->letter == letter ? it->child : no_child;
}

void NodeStore::reserve(std::size_t count) { nodes_.reserve(std::min(count, node_limit_)); }

void NodeStore::reserve_more(std::size_t count) {
    if (count > node_limit_ - nodes_.size()) throw std::bad_alloc();
    const std::size_t needed = nodes_.size() + count;
    if (needed > nodes_.capacity()) {
        nodes_.reserve(std::min(std::max(needed, 2 * nodes_.capacity()), node_limit_));
    }
}

NodeIndex NodeStore::append_child(NodeIndex parent, Letter letter) {
    if (nodes_.size() >= node_limit_) throw std::bad_alloc();
    const auto child = static_cast<NodeIndex>(nodes_.size());
    Node& node = nodes_.emplace_back();
    node.letter = letter;
    try {
        link(parent, letter, child);
    } catch (...) {
        nodes_.pop_back();
        throw;
    }
    return child;
}

void NodeStore::link(NodeIndex parent, Letter letter, NodeIndex child) {
    const std::uint32_t n = nodes_[parent].child_count;
    if (n == 0) {
        nodes_[parent].children_at = child;
        nodes_[parent].child_count = 1;
        return;
    }
    if (n == 1) {
        // The inline child moves into a block of two, in letter order.
        const NodeIndex only = nodes_[parent].children_at;
        const std::uint32_t at = allocate_block(1);
        Edge a{nodes_[only].letter, only};
        Edge b{letter, child};
        if (b.letter < a.letter) std::swap(a, b);
        edges_[at] = a;
        edges_[at + 1] = b;
        nodes_[parent].children_at = at;
        nodes_[parent].child_count = 2;
        return;
    }
    std::uint32_t at = nodes_[parent].children_at;
    if (std::has_single_bit(n)) {  // the block is full: move to the next class
        const int old_class = class_for(n);
        const std::uint32_t bigger = allocate_block(old_class + 1);
        std::copy_n(edges_.begin() + at, n, edges_.begin() + bigger);
        free_block(at, old_class);
        at = bigger;
        nodes_[parent].children_at = at;
    }
    Edge* first = edges_.data() + at;
    Edge* pos = std::lower_bound(first, first + n, letter,
                                 [](const Edge& e, Letter c) { return e.letter < c; });
    std::move_backward(pos, first + n, first + n + 1);
    *pos = Edge{letter, child};
    nodes_[parent].child_count = n + 1;
}

std::uint32_t NodeStore::allocate_block(int block_class) {
    std::uint32_t& head = free_blocks_[static_cast<std::size_t>(block_class)];
    if (head != no_block) {
        const std::uint32_t at = head;
        head = edges_[at].child;
        return at;
    }
    const std::size_t at = edges_.size();
    const std::size_t size = std::size_t{1} << block_class;
    if (at + size > no_block) throw std::bad_alloc();
    edges_.resize(at + size);
    return static_cast<std::uint32_t>(at);
}

void NodeStore::free_block(std::uint32_t at, int block_class) noexcept {
    std::uint32_t& head = free_blocks_[static_cast<std::size_t>(block_class)];
    edges_[at].child = head;
    head = at;
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
