// The compact image once open: what it tells, copies of it, and the trie
// (and a DAWG's building state) it gives back.
#include "compact/image.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "compact/bytes.hpp"
#include "compact/check.hpp"
#include "compact/format.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

using namespace image;

Result<CompactImage> CompactImage::open_built(Result<std::unique_ptr<ImageBytes>> built, Cancel* cancel) {
    if (!built) return std::unexpected(std::move(built.error()));
    auto image = open(std::move(*built), cancel);
    if (!image && image.error().kind() == SorvanError::Kind::InvalidImage) {
        return std::unexpected(SorvanError::internal("a compact image fails its own check: " + image.error().previous()));
    }
    return image;
}

Status CompactImage::expect(LexiconKind kind) const {
    if (kind == kind_) return {};
    return invalid_image(kind == LexiconKind::Trie ? "the image holds a DAWG, not a Trie"
                                                   : "the image holds a Trie, not a DAWG");
}

Result<CompactImage> CompactImage::copy_of(const std::uint8_t* data, std::size_t size, Cancel* cancel) {
    return open(owned_copy(data, size), cancel);
}

std::unique_ptr<ImageBytes> CompactImage::copy_bytes() const { return owned_copy(data(), size()); }

// ---------------------------------------------------------------- restore ----

Result<NodeStore> CompactImage::to_store(Cancel* cancel) const {
    // A walk of damaged bytes ends and stays inside them, but the trie it
    // spells could be of any size: the image is checked first.
    if (Status sound = check(cancel); !sound) return std::unexpected(std::move(sound.error()));
    Cancel::Countdown countdown(cancel);
    NodeStore store;
    // Legitimate images can stand for tries far bigger than themselves, so
    // room is made in advance only for a plausible size.
    const std::uint64_t nodes = soundness_->trie_nodes.load(std::memory_order_relaxed);
    if (nodes <= 64 * size()) store.reserve(nodes);
    struct Frame {
        CompactGraph::Cursor edges;
        std::uint32_t left;
        NodeIndex node;
    };
    const auto root = CompactGraph::root();
    std::vector<Frame> stack;
    if (graph_.child_count(root) > 0) stack.push_back({graph_.edges(root), graph_.child_count(root), 0});
    while (!stack.empty()) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        Frame& frame = stack.back();
        const auto arc = graph_.next(frame.edges);
        const NodeIndex parent = frame.node;
        if (--frame.left == 0) stack.pop_back();
        const NodeIndex node = store.append_child(parent, arc.letter);
        if (graph_.is_end(arc.child)) {
            store[node].is_end = 1;
            store[node].count = graph_.count(arc.child);
        }
        if (const std::uint32_t n = graph_.child_count(arc.child); n > 0) {
            stack.push_back({graph_.edges(arc.child), n, node});
        }
    }
    return store;
}

std::string_view CompactImage::previous_word() const noexcept {
    if (kind_ != LexiconKind::Dawg) return {};
    const std::uint8_t* p = data() + extras_offset_;
    return {reinterpret_cast<const char*>(p + 8), static_cast<std::size_t>(load_u64(p) >> 32)};
}

std::uint32_t CompactImage::registered_depth() const noexcept {
    if (kind_ != LexiconKind::Dawg) return 0;
    return static_cast<std::uint32_t>(load_u64(data() + extras_offset_));
}

DawgState CompactImage::dawg_state() const {
    DawgState state;
    if (kind_ != LexiconKind::Dawg) return state;
    state.registered_depth = registered_depth();
    state.previous_word = previous_word();
    const std::uint8_t* q = data() + extras_offset_ + 8 + align8(state.previous_word.size());
    const std::uint64_t n = load_u64(q);
    state.snapshots.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t a = load_u64(q + 8 + 16 * i);
        state.snapshots.push_back({static_cast<NodeIndex>(a), static_cast<std::uint32_t>(a >> 32),
                                   load_u64(q + 16 + 16 * i)});
    }
    return state;
}

}  // namespace sorvan
