#include "trie/trie.hpp"


#include "utils/utf8.hpp"
#include "utils/word_file.hpp"

namespace sorvan {

template <class OnNode>
void Trie::add_below(NodeIndex at, const char* p, const char* end, std::uint64_t count,
                     OnNode&& on_node) {
    NodeStore& nodes = form_.nodes();
    // trail_ holds the path down to `at` already; room for the rest first.
    trail_.reserve(trail_.size() + static_cast<std::size_t>(end - p));
    while (p < end) {
        const char* after = p;
        const NodeIndex next = nodes.child(at, utf8::next(after));
        if (next == NodeStore::no_child) break;
        at = next;
        p = after;
        trail_.push_back(at);
        on_node(p, at);
    }
    if (p < end) {
        // All or nothing: room for every new node and for the first one's
        // link first, so that nothing after can fail.
        nodes.reserve_link(at, utf8::count({p, static_cast<std::size_t>(end - p)}));
        while (p < end) {
            at = nodes.append_child(at, utf8::next(p));
            trail_.push_back(at);
            on_node(p, at);
        }
    }
    const std::uint64_t before = nodes[at].count;
    form_.end_word(at, count);
    if (nodes[at].count < before) {
        nodes.refresh_bounds(trail_);  // the count wrapped past 2^64 - 1
    } else {
        nodes.raise_bounds(trail_);
    }
}

Status Trie::add(std::string_view word, std::uint64_t count, Cancel* cancel) {
    if (word.empty()) return {};
    if (Status restored = make_mutable(cancel); !restored) return restored;
    form_.words_changed();
    trail_.assign(1, 0);
    add_below(0, word.data(), word.data() + word.size(), count, [](const char*, NodeIndex) {});
    return {};
}

std::optional<std::uint64_t> Trie::remove(std::string_view word) {
    // A compact trie turns mutable only for a word it holds.
    if (word.empty() || (form_.image() && !contains(word))) return std::nullopt;
    if (!make_mutable()) return std::nullopt;
    NodeStore& nodes = form_.nodes();
    // One walk down, remembering the last node that must stay (the root, a
    // node with another child, or the end of another word) and the letter
    // below it: from there down the path is the word's alone. The path
    // goes on the trail, whose bounds are made right once the word is gone.
    NodeIndex at = 0, keep = 0;
    std::size_t kept = 1;  // the trail as far as `keep`
    Letter cut = 0;
    const char* p = word.data();
    const char* end = p + word.size();
    trail_.assign(1, 0);
    trail_.reserve(1 + word.size());
    while (p < end) {
        const Node& node = nodes[at];
        const bool shared = at == 0 || node.is_end || node.child_count > 1;
        const Letter letter = utf8::next(p);
        const NodeIndex next = nodes.child(at, letter);
        if (next == NodeStore::no_child) return std::nullopt;
        if (shared) {
            keep = at;
            kept = trail_.size();
            cut = letter;
        }
        at = next;
        trail_.push_back(at);
    }
    if (!nodes[at].is_end) return std::nullopt;
    const std::uint64_t count = nodes[at].count;
    if (nodes[at].child_count > 0) {
        form_.unend_word(at);
        nodes.refresh_bounds(trail_);
    } else {
        nodes.cut_child(keep, cut);  // the only step that can fail; it frees `at`
        form_.uncount(count);
        nodes.refresh_bounds(std::span(trail_).first(kept));
    }
    form_.words_changed();
    return count;
}

Status Trie::add_from_file(std::string_view path, Cancel* cancel) {
    SortableWords words;
    const Status read = read_sortable_words(path, words, cancel);
    // A file that gave no word (missing, unreadable, or a stop while the
    // opening waited) changes nothing, not even the form.
    if (!read && words.empty()) return read;
    // The words read before a stop go in whole: the call fails for the stop
    // it saw already, and asking again could only end it sooner.
    const bool stopped = cancel != nullptr && cancel->cancelled();
    if (Status restored = make_mutable(stopped ? nullptr : cancel); !restored) return restored;
    if (Status added = add_sorted(std::move(words), stopped ? nullptr : cancel); !added) return added;
    return read;
}

Status Trie::add_sorted(SortableWords words, Cancel* cancel) {
    if (Status restored = make_mutable(); !restored) return restored;
    form_.words_changed();
    // In ascending order each word shares its path with the one before as
    // far as they agree, so its walk starts where they part, and the nodes
    // it adds land in the store in depth-first order, each subtree in one
    // stretch: the insertion runs through memory instead of jumping about,
    // and so do the walks of later queries.
    words.sort();
    if (form_.nodes().size() == 1) {
        // Into an empty trie, sorted words tell exactly how many nodes they
        // make (each word's letters past its common prefix with the one
        // before): the store grows once, instead of doubling its way there
        // with two copies alive at each step.
        std::size_t new_nodes = 0;
        std::string_view before;
        for (std::size_t i = 0; i < words.size(); ++i) {
            new_nodes += utf8::count(words[i].substr(utf8::shared_prefix(words[i], before)));
            before = words[i];
        }
        form_.nodes().reserve(1 + new_nodes);
    }
    // path[b]: the node reached by the first b bytes of the previous word,
    // at character boundaries, and its depth in letters.
    struct Step {
        NodeIndex node;
        std::uint32_t depth;
    };
    std::vector<Step> path{{0, 0}};
    trail_.assign(1, 0);
    std::string_view before;
    Cancel::Countdown countdown(cancel);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view word = words[i];
        // Asked before a word, never after the last: work done is not
        // reported as stopped.
        countdown.spend(word.size());
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        const std::size_t shared = utf8::shared_prefix(word, before);
        if (path.size() < word.size() + 1) path.resize(word.size() + 1);
        const char* start = word.data();
        const Step from = path[shared];
        trail_.resize(from.depth + 1);  // the previous word's path as far as they share it
        add_below(from.node, start + shared, start + word.size(), 1, [&](const char* p, NodeIndex node) {
            path[static_cast<std::size_t>(p - start)] = {node, static_cast<std::uint32_t>(trail_.size() - 1)};
        });
        before = word;
    }
    return {};
}

Result<std::unique_ptr<ImageBytes>> Trie::build_image(Cancel* cancel) const {
    return form_.build_image(kind, form_.nodes().live(), nullptr, cancel);
}

Status Trie::compact(Cancel* cancel) {
    if (form_.image()) return {};
    return form_.become_compact(build_image(cancel), cancel);
}

Result<Trie> Trie::from_image(CompactImage image) { return adopt<Trie>(std::move(image)); }

Result<Trie> Trie::Builder::finish() {
    auto image = CompactImage::open_built(
        builder_.finish(kind, builder_.word_count(), builder_.trie_nodes(), nullptr), cancel_);
    if (!image) return std::unexpected(std::move(image.error()));
    return from_image(std::move(*image));
}

// The words and counts go back into a node store (a trie's shape does not
// depend on the order its words came in); the image is dropped only once
// that has succeeded.
Status Trie::make_mutable(Cancel* cancel) {
    const CompactImage* image = form_.image();
    if (!image) return {};
    auto nodes = image->to_store(cancel);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    nodes->settle_bounds();
    form_.become_mutable(std::move(*nodes));
    return {};
}

}  // namespace sorvan
