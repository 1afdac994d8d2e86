#include "dawg/dawg.hpp"

#include <algorithm>

#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

namespace {

// Room for `extra` more items, growing geometrically.
template <class T>
void reserve_more(std::vector<T>& items, std::size_t extra) {
    const std::size_t needed = items.size() + extra;
    if (needed > items.capacity()) items.reserve(std::max(needed, 2 * items.capacity()));
}

// The index of the first byte where two words differ (the shorter one's
// length when one is a prefix of the other).
std::size_t first_difference(std::string_view a, std::string_view b) noexcept {
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(mismatch.first - a.begin());
}

}  // namespace

std::string_view Dawg::last_word() const noexcept {
    if (const CompactImage* image = form_.image()) return image->previous_word();
    return previous_word_;
}

Status Dawg::check_order(std::string_view word) const {
    // Byte-wise order of UTF-8 is code-point order, with bytes compared
    // unsigned; a word sorts before its extensions.
    const std::string_view previous = last_word();
    const std::size_t differ = first_difference(word, previous);
    if (differ < previous.size() &&
        (differ == word.size() ||
         static_cast<unsigned char>(word[differ]) < static_cast<unsigned char>(previous[differ]))) {
        return std::unexpected(SorvanError::order_violation(std::string(previous), std::string(word)));
    }
    return {};
}

Status Dawg::add(std::string_view word, std::uint64_t count, Cancel* cancel) {
    // A refused word changes nothing: not the form, not the change count.
    if (Status ordered = check_order(word); !ordered) return ordered;
    if (Status restored = make_mutable(cancel); !restored) return restored;
    form_.words_changed();
    const std::string_view previous = previous_word_;
    const std::size_t differ = first_difference(word, previous);
    if (differ == word.size() && differ == previous.size()) {  // the same word again
        // With the path reduced, the word's node is registered already.
        if (unchecked_.empty() && last_node_ != 0) remember(last_node_);
        form_.nodes().save(last_node_);
        const std::uint64_t before = form_.nodes()[last_node_].count;
        form_.add_count(last_node_, count);
        if (form_.nodes()[last_node_].count < before) {
            form_.nodes().refresh_bounds(path_);  // the count wrapped past 2^64 - 1
        } else {
            form_.nodes().raise_bounds(path_);
        }
        return {};
    }

    // The common prefix, cut back to a character boundary, and its length in
    // characters: the depth at which the new word leaves the old path.
    const std::size_t shared_bytes = utf8::char_start(word, differ);
    const std::string_view shared = word.substr(0, shared_bytes);
    const std::size_t depth = utf8::count(shared);
    const std::string_view fresh = word.substr(shared_bytes);  // never empty here

    // All or nothing: whatever can fail comes first, while the Dawg is
    // still as it was; the reduction below `depth` is prepared (keys made,
    // registry room reserved) but only entered once the new word is linked.
    reserve_more(unchecked_, utf8::count(fresh));
    reserve_more(path_, utf8::count(fresh));
    previous_word_.reserve(word.size());
    const std::size_t reduced = prepare_reduce(depth);
    const std::size_t kept = unchecked_.size() - reduced;
    // The node at `depth` on the old path. The new word is greater than
    // every word so far, so its next letter is greater than every edge the
    // node has, and the new edge goes after them.
    NodeIndex at = path_[depth];
    // Whether it is still unchecked (not when a full reduction recorded it).
    const bool on_stack = kept > 0 && unchecked_[kept - 1].depth == depth;
    // The last steps that can fail, and they change nothing when they do:
    // the attaching node saved for a bulk insertion's undo, room for the
    // new nodes and the first one's link, and the registered state of an
    // attaching node found by the walk, which is about to gain a child.
    form_.nodes().save(at);
    form_.nodes().reserve_link(at, utf8::count(fresh));
    if (!on_stack && depth > 0) remember(at);
    const char* p = fresh.data();
    const char* end = p + fresh.size();
    Letter letter = utf8::next(p);
    NodeIndex child = form_.nodes().append_child(at, letter);

    commit_reduce(reduced);
    path_.resize(depth + 1);
    for (std::size_t d = depth + 1;; ++d) {
        unchecked_.push_back({at, letter, child, d});
        path_.push_back(child);
        at = child;
        if (p == end) break;
        letter = utf8::next(p);
        child = form_.nodes().append_child(at, letter);  // below a new leaf: cannot fail
    }
    form_.end_word(at, count);
    form_.nodes().raise_bounds(path_);
    last_node_ = at;
    previous_word_.assign(word);
    return {};
}

struct Dawg::BulkUndo {
    std::vector<UncheckedEdge> unchecked;
    std::vector<NodeIndex> path;
    std::string previous_word;
    LexiconForm::Totals totals;
    NodeIndex last_node;
    // The older nodes remember() noted meanwhile. Only nodes on the previous
    // word's path can be, each once, so room for them is made up front.
    std::vector<NodeIndex> remembered;
};

Dawg::BulkUndo Dawg::begin_bulk() {
    BulkUndo before{unchecked_, path_, previous_word_, form_.totals(), last_node_, {}};
    before.remembered.reserve(utf8::count(previous_word_) + 1);
    form_.nodes().mark();
    registry_.mark();
    return before;
}

void Dawg::roll_back(BulkUndo& before) noexcept {
    form_.nodes().roll_back();
    registry_.roll_back();
    // Swapped, not copied: putting back allocates nothing.
    unchecked_.swap(before.unchecked);
    path_.swap(before.path);
    previous_word_.swap(before.previous_word);
    // The words added meanwhile hung below the old path only, and may have
    // raised the bounds on it.
    form_.nodes().refresh_bounds(path_, /*all=*/true);
    form_.restore(before.totals);
    last_node_ = before.last_node;
    for (NodeIndex node : before.remembered) snapshots_.erase(node);
    bulk_ = nullptr;
}

void Dawg::remember(NodeIndex node) {
    const auto [at, inserted] =
        snapshots_.try_emplace(node, Snapshot{node, form_.nodes()[node].child_count, form_.nodes()[node].count});
    if (inserted && bulk_ != nullptr) bulk_->remembered.push_back(node);  // room made
}

Status Dawg::sort_and_add(SortableWords words, Cancel* cancel) {
    if (!words.sort(cancel) || (cancel != nullptr && cancel->poll())) return std::unexpected(SorvanError::cancelled());
    // Sorted, only the first word can be out of order: refused before the
    // form switches, so that a refused call changes nothing.
    if (!words.empty()) {
        if (Status ordered = check_order(words[0]); !ordered) return ordered;
    }
    if (Status restored = make_mutable(cancel); !restored) return restored;
    // Sorted words tell exactly how many nodes they add (each word's letters
    // past its common prefix with the one before), so the store grows once
    // instead of doubling and copying its way there.
    // The other buffers of add() get room for the longest word now too, so
    // that memory running out shows before the first word goes in.
    // Each new node but a leaf will be a key of its own (its children's ids
    // are its alone); leaves share a few keys (letter, count and end flag),
    // so the registry's table is sized for the others once.
    std::size_t new_nodes = 0;
    std::size_t new_leaves = 0;
    std::size_t longest = 0;
    std::string_view before = previous_word_;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view word = words[i];
        const std::size_t differ = first_difference(word, before);
        if (differ < before.size() && differ < word.size()) ++new_leaves;  // `before` ended in a leaf
        new_nodes += utf8::count(word.substr(utf8::char_start(word, differ)));
        longest = std::max(longest, word.size());
        before = word;
    }
    BulkUndo saved = begin_bulk();
    bulk_ = &saved;
    try {
        form_.nodes().reserve(form_.nodes().size() + new_nodes);
        registry_.expect(new_nodes - std::min(new_nodes, new_leaves));
        unchecked_.reserve(std::max(unchecked_.size(), longest));
        previous_word_.reserve(longest);
        Cancel::Countdown countdown(cancel);
        for (std::size_t i = 0; i < words.size(); ++i) {
            // Asked before a word, never after the last: work done is not
            // reported as stopped.
            countdown.spend(words[i].size());
            if (countdown.tick()) {
                roll_back(saved);
                return std::unexpected(SorvanError::cancelled());
            }
            if (Status added = add(words[i], words.has_tags() ? words.tag(i) : 1); !added) {
                roll_back(saved);  // only the first word can be out of order
                return added;
            }
        }
        _reduce(0);
    } catch (...) {  // std::bad_alloc or std::length_error
        roll_back(saved);
        throw;
    }
    bulk_ = nullptr;
    registry_.flush();
    form_.nodes().keep();
    registry_.keep();
    return {};
}

Status Dawg::add_from_file(std::string_view path, Cancel* cancel) {
    SortableWords words;
    if (Status read = read_sortable_words(path, words, cancel); !read) return read;
    return sort_and_add(std::move(words), cancel);
}

bool Dawg::reduce_restores(std::size_t down_to) const {
    const CompactImage* image = form_.image();
    if (!image) return false;
    return std::max<std::size_t>(image->registered_depth(), down_to) < utf8::count(image->previous_word());
}

void Dawg::_reduce(std::size_t down_to) {
    if (form_.image()) {
        if (!reduce_restores(down_to) || !make_mutable()) return;  // nothing to reduce, or damage
    }
    commit_reduce(prepare_reduce(down_to));
    if (unchecked_.empty()) {
        // After a full reduction nothing refers to the scratch space. A
        // very long word leaves it large (a few dozen bytes a letter), which
        // is returned; a small one is kept for the next word.
        constexpr std::size_t keep_below = 4096;
        if (keys_.capacity() >= keep_below) std::vector<SignatureRegistry::Key>().swap(keys_);
        if (unchecked_.capacity() >= keep_below) std::vector<UncheckedEdge>().swap(unchecked_);
    }
}

std::size_t Dawg::prepare_reduce(std::size_t down_to) {
    std::size_t keep = unchecked_.size();
    while (keep > 0 && unchecked_[keep - 1].depth > down_to) --keep;
    const std::size_t n = unchecked_.size() - keep;
    if (keys_.size() < n) keys_.resize(n);
    // Signatures first, with their table slots prefetched, then the
    // entries: the cache misses of a batch overlap instead of queueing.
    for (std::size_t i = 0; i < n; ++i) {
        registry_.prepare(form_.nodes()[unchecked_[unchecked_.size() - 1 - i].child], form_.nodes(), keys_[i]);
    }
    registry_.reserve({keys_.data(), n});
    return n;
}

void Dawg::commit_reduce(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        // A bulk insertion enters its keys a few words late, which nothing
        // sees before it ends: the table is only read to count keys.
        if (bulk_ != nullptr) {
            registry_.enter_later(keys_[i], unchecked_.back().child);
        } else {
            registry_.enter(keys_[i], unchecked_.back().child);
        }
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

Result<std::unique_ptr<ImageBytes>> Dawg::build_image(Cancel* cancel) const {
    if (form_.image()) return form_.build_image(kind, 0, nullptr, cancel);  // a copy of the image
    const DawgState kept = state();
    return form_.build_image(kind, registry_.size(), &kept, cancel);
}

Status Dawg::compact(Cancel* cancel) {
    if (form_.image()) return {};
    Status done = form_.become_compact(build_image(cancel), cancel);
    if (done) {
        // The building state goes whole; the image holds what comes back.
        LexiconForm form = std::move(form_);
        *this = Dawg();
        form_ = std::move(form);
    }
    return done;
}

Result<Dawg> Dawg::from_image(CompactImage image) { return adopt<Dawg>(std::move(image)); }

Status Dawg::Builder::add(std::string_view word, std::uint64_t count) {
    if (!word.empty()) return builder_.add(word, count);
    // The empty word is the previous word only before any other.
    if (builder_.words() != 0) return std::unexpected(SorvanError::order_violation(builder_.previous_word(), ""));
    empty_word_count_ += count;
    return {};
}

void Dawg::Builder::finished(const SortedBuilder::FinishedNode& node) {
    const bool ambiguous = node.letters.empty() || std::ranges::any_of(node.letters, [](Letter c) {
        return c >= '0' && c <= '9';
    });
    if (!ambiguous) {
        ++own_keys_;
        return;
    }
    SignatureRegistry::Packer packer(key_);
    write_signature(node.letter, node.count, node.end, static_cast<std::uint32_t>(node.letters.size()),
                    [&](std::uint32_t i) { return std::pair{node.letters[i], std::uint64_t{node.ids[i]}}; }, packer);
    packer.finish();
    shared_keys_.insert(key_);
}

Result<Dawg> Dawg::Builder::finish() {
    builder_.close();
    DawgState state;
    state.previous_word = builder_.previous_word();
    state.registered_depth = static_cast<std::uint32_t>(utf8::count(state.previous_word));
    const std::uint64_t length = own_keys_ + shared_keys_.size();
    shared_keys_ = {};
    auto image = CompactImage::open_built(
        builder_.finish(kind, builder_.word_count() + empty_word_count_, length, &state), cancel_);
    if (!image) return std::unexpected(std::move(image.error()));
    return from_image(std::move(*image));
}

// Node ids are canonical (nodes are made in ascending word order, which is
// the depth-first letter order the image gives them back in), so the
// registry comes back by entering every registered node's key again: the
// key it was registered under, which for the nodes in `snapshots` is older
// than the node. Everything is rebuilt aside and swapped in at the end.
Status Dawg::make_mutable(Cancel* cancel) {
    const CompactImage* image = form_.image();
    if (!image) return {};
    DawgState kept = image->dawg_state();
    auto restored = image->to_store(cancel);
    if (!restored) return std::unexpected(std::move(restored.error()));
    NodeStore& nodes = *restored;
    nodes.settle_bounds();

    std::vector<NodeIndex> path{0};  // the previous word's nodes, root first
    utf8::for_each(kept.previous_word, [&](char32_t c) { path.push_back(nodes.child(path.back(), c)); });
    std::vector<std::uint8_t> unchecked(nodes.size(), 0);
    for (std::size_t d = kept.registered_depth + 1; d < path.size(); ++d) unchecked[path[d]] = 1;

    // Every registered node with children has a key of its own (its
    // children's ids are its alone), so the table is sized for those at
    // once; the image's own count of keys is not trusted to size anything.
    std::size_t inner = 0;
    for (std::size_t i = 1; i < nodes.size(); ++i) inner += nodes[static_cast<NodeIndex>(i)].child_count > 0;
    SignatureRegistry registry;
    registry.expect(inner);
    SignatureRegistry::Key key;
    auto snapshot = kept.snapshots.begin();
    Cancel::Countdown countdown(cancel);
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
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
        registry.reserve({&key, 1});
        registry.enter_later(key, static_cast<NodeIndex>(i));
    }
    registry.flush();
    std::vector<UncheckedEdge> stack;
    std::size_t depth = kept.registered_depth + 1;
    std::size_t letter_at = 0;
    utf8::for_each(kept.previous_word, [&](char32_t c) {
        if (++letter_at >= depth) stack.push_back({path[letter_at - 1], c, path[letter_at], letter_at});
    });
    std::unordered_map<NodeIndex, Snapshot> snapshots;
    for (const Snapshot& s : kept.snapshots) snapshots.emplace(s.node, s);

    last_node_ = path.back();
    form_.become_mutable(std::move(nodes));
    registry_ = std::move(registry);
    unchecked_ = std::move(stack);
    path_ = std::move(path);
    previous_word_ = std::move(kept.previous_word);
    snapshots_ = std::move(snapshots);
    return {};
}

}  // namespace sorvan
