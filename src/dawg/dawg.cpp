#include "dawg/dawg.hpp"

#include <algorithm>

#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

namespace {

bool is_continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The index of the first byte where two words differ (the shorter one's
// length when one is a prefix of the other).
std::size_t first_difference(std::string_view a, std::string_view b) noexcept {
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(mismatch.first - a.begin());
}

// `i` moved back to the start of the character it falls in.
std::size_t char_boundary(std::string_view text, std::size_t i) noexcept {
    while (i > 0 && i < text.size() && is_continuation(text[i])) --i;
    return i;
}

}  // namespace

Status Dawg::add(std::string_view word, std::uint64_t count) {
    make_mutable();
    // One pass finds both the order and the common prefix. Byte-wise order
    // of UTF-8 is code-point order, with bytes compared unsigned.
    const std::string_view previous = previous_word_;
    const std::size_t differ = first_difference(word, previous);
    if (differ == word.size() && differ == previous.size()) {  // the same word again
        // With the path reduced, the word's node is registered already.
        if (unchecked_.empty() && last_node_ != 0) remember(last_node_);
        nodes_[last_node_].count += count;
        word_count_ += count;
        return {};
    }
    if (differ == word.size() || (differ < previous.size() &&
                                  static_cast<unsigned char>(word[differ]) <
                                      static_cast<unsigned char>(previous[differ]))) {
        return std::unexpected(SorvanError::order_violation(previous_word_, std::string(word)));
    }

    // The common prefix, cut back to a character boundary, and its length in
    // characters: the depth at which the new word leaves the old path.
    const std::size_t shared_bytes = char_boundary(word, differ);
    const std::string_view shared = word.substr(0, shared_bytes);
    const auto depth = static_cast<std::size_t>(
        std::count_if(shared.begin(), shared.end(), [](char b) { return !is_continuation(b); }));

    _reduce(depth);
    NodeIndex at = 0;
    if (!unchecked_.empty() && unchecked_.back().depth == depth) {
        at = unchecked_.back().child;  // the node at `depth` on the old path
    } else if (depth > 0) {
        // That node was recorded already (after a full reduction), so the
        // stack cannot name it: walk to it. The new word is greater than
        // every word so far, so its next letter is greater than every edge
        // the node has, and the new edge goes after them.
        at = *nodes_.walk(shared);
        remember(at);  // registered, and about to gain a child
    }

    const char* p = word.data() + shared_bytes;
    const char* end = word.data() + word.size();
    for (std::size_t d = depth + 1; p < end; ++d) {
        const Letter letter = utf8::next(p);
        const NodeIndex child = nodes_.append_child(at, letter);
        unchecked_.push_back({at, letter, child, d});
        at = child;
    }
    Node& last = nodes_[at];
    last.is_end = 1;
    last.count += count;  // unsigned: wraps at 2^64 by design
    word_count_ += count;
    last_node_ = at;
    previous_word_.assign(word);
    return {};
}

Status Dawg::sort_and_add(SortableWords words) {
    make_mutable();
    words.sort();
    // Sorted words tell exactly how many nodes they add (each word's letters
    // past its common prefix with the one before), so the store grows once
    // instead of doubling and copying its way there.
    std::size_t new_nodes = 0;
    std::string_view before = previous_word_;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view word = words[i];
        const std::size_t shared = char_boundary(word, first_difference(word, before));
        new_nodes += static_cast<std::size_t>(std::count_if(
            word.begin() + static_cast<std::ptrdiff_t>(shared), word.end(),
            [](char b) { return !is_continuation(b); }));
        before = word;
    }
    nodes_.reserve(nodes_.size() + new_nodes);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (Status added = add(words[i], 1); !added) return added;
    }
    _reduce(0);
    return {};
}

Status Dawg::add_from_file(std::string_view path) {
    make_mutable();
    SortableWords words;
    Status read = for_each_word(path, [&words](std::string_view word) {
        words.push_back(word);
        return Status{};
    });
    if (!read) return read;
    return sort_and_add(std::move(words));
}

void Dawg::_reduce(std::size_t down_to) {
    if (image_) {
        const DawgState kept = image_->dawg_state();
        std::size_t letters = 0;
        utf8::for_each(kept.previous_word, [&letters](char32_t) { ++letters; });
        if (std::max<std::size_t>(kept.registered_depth, down_to) >= letters) return;  // nothing to reduce
        make_mutable();
    }
    std::size_t keep = unchecked_.size();
    while (keep > 0 && unchecked_[keep - 1].depth > down_to) --keep;
    const std::size_t n = unchecked_.size() - keep;
    if (keys_.size() < n) keys_.resize(n);
    // Signatures first, with their table slots prefetched, then the
    // entries: the cache misses of a batch overlap instead of queueing.
    for (std::size_t i = 0; i < n; ++i) {
        registry_.prepare(nodes_[unchecked_[unchecked_.size() - 1 - i].child], nodes_, keys_[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        registry_.enter(keys_[i], unchecked_.back().child);
        unchecked_.pop_back();
    }
}

DawgState Dawg::state() const {
    DawgState state;
    state.previous_word = previous_word_;
    if (unchecked_.empty()) {
        utf8::for_each(previous_word_, [&state](char32_t) { ++state.registered_depth; });
    } else {
        state.registered_depth = static_cast<std::uint32_t>(unchecked_.front().depth - 1);
    }
    state.snapshots.reserve(snapshots_.size());
    for (const auto& [node, snapshot] : snapshots_) state.snapshots.push_back(snapshot);
    std::sort(state.snapshots.begin(), state.snapshots.end(),
              [](const Snapshot& a, const Snapshot& b) { return a.node < b.node; });
    return state;
}

std::unique_ptr<ImageBytes> Dawg::build_image() const {
    if (image_) return image_->copy_bytes();
    const DawgState kept = state();
    return CompactImage::build(nodes_, LexiconKind::Dawg, word_count_, registry_.size(), &kept);
}

void Dawg::compact() {
    if (image_) return;
    image_.emplace(CompactImage::open_built(build_image()));
    nodes_ = NodeStore();
    previous_word_ = std::string();
    unchecked_ = {};
    registry_ = SignatureRegistry();
    word_count_ = 0;
    last_node_ = 0;
    keys_ = {};
    snapshots_ = {};
}

Result<Dawg> Dawg::from_image(CompactImage image) {
    if (Status fits = image.expect(LexiconKind::Dawg); !fits) return std::unexpected(std::move(fits.error()));
    Dawg dawg;
    dawg.image_.emplace(std::move(image));
    return dawg;
}

// Node ids are canonical (nodes are made in ascending word order, which is
// the depth-first letter order the image gives them back in), so the
// registry comes back by entering every registered node's key again: the
// key it was registered under, which for the nodes in `snapshots` is older
// than the node. Everything is rebuilt aside and swapped in at the end.
void Dawg::make_mutable() {
    if (!image_) return;
    DawgState kept = image_->dawg_state();
    NodeStore nodes = image_->to_store();

    std::vector<NodeIndex> path{0};  // the previous word's nodes, root first
    utf8::for_each(kept.previous_word, [&](char32_t c) { path.push_back(nodes.child(path.back(), c)); });
    std::vector<std::uint8_t> unchecked(nodes.size(), 0);
    for (std::size_t d = kept.registered_depth + 1; d < path.size(); ++d) unchecked[path[d]] = 1;

    SignatureRegistry registry;
    SignatureRegistry::Key key;
    auto snapshot = kept.snapshots.begin();
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        if (unchecked[i]) continue;
        const Node& node = nodes[static_cast<NodeIndex>(i)];
        std::uint32_t children = node.child_count;
        std::uint64_t count = node.count;
        if (snapshot != kept.snapshots.end() && snapshot->node == i) {
            children = std::min(children, snapshot->child_count);
            count = snapshot->count;
            ++snapshot;
        }
        registry.prepare(node, nodes, children, count, key);
        registry.enter(key, static_cast<NodeIndex>(i));
    }
    std::vector<UncheckedEdge> stack;
    std::size_t depth = kept.registered_depth + 1;
    std::size_t letter_at = 0;
    utf8::for_each(kept.previous_word, [&](char32_t c) {
        if (++letter_at >= depth) stack.push_back({path[letter_at - 1], c, path[letter_at], letter_at});
    });
    std::unordered_map<NodeIndex, Snapshot> snapshots;
    for (const Snapshot& s : kept.snapshots) snapshots.emplace(s.node, s);

    word_count_ = image_->word_count();
    last_node_ = path.back();
    nodes_ = std::move(nodes);
    registry_ = std::move(registry);
    unchecked_ = std::move(stack);
    previous_word_ = std::move(kept.previous_word);
    snapshots_ = std::move(snapshots);
    image_.reset();
}

}  // namespace sorvan
