#pragma once
// Membership over a sorted list of words asks, word after word, about words
// that share their first letters with the one before. A thread remembers the
// states along its last walk in a compact graph (which never changes), and
// its next walk there that starts with the same letter starts where the two
// words part instead of at the root.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "compact/graph.hpp"
#include "graph/graph.hpp"

namespace sorvan {

class LastPath {
public:
    // walk(graph, path), resumed from the last path where they share their
    // first letter; `path` becomes the last path.
    std::optional<CompactGraph::Position> walk(const CompactGraph& graph, std::string_view path) noexcept {
        if (graph_ != graph.identity() || path.empty() || held_ == 0 || bytes_[0] != path[0]) {
            // Lookups in no order rarely share a first letter: they keep
            // just that, so that the next word walks again from the root,
            // keeping its states, if it does.
            graph_ = graph.identity();
            held_ = path.empty() ? 0 : 1;
            bytes_[0] = held_ ? path[0] : 0;
            reached_ = 0;
            return sorvan::walk(graph, path);
        }
        return resume(graph, path);
    }

    static LastPath& of_this_thread() noexcept {
        thread_local LastPath last;
        return last;
    }

private:
    // States are kept for the first bytes of a word only: that is where
    // words share their letters, and it keeps the memo small.
    static constexpr std::size_t max_bytes = 63;

    std::optional<CompactGraph::Position> resume(const CompactGraph& graph, std::string_view path) noexcept;
    // Keeps the first bytes of `path`, those from `from` on being new.
    void hold(std::string_view path, std::size_t from) noexcept {
        held_ = std::min(path.size(), max_bytes);
        if (held_ > from) std::memcpy(bytes_ + from, path.data() + from, held_ - from);
    }

    std::uint64_t graph_ = 0;   // the identity() of the graph walked, 0 for none
    std::size_t held_ = 0;      // the last path's first bytes held in bytes_
    std::size_t reached_ = 0;   // how many of them lead to a known state, at a letter's end
    char bytes_[max_bytes];
    // after_[i]: the state the first i bytes lead to, where a letter ends
    CompactGraph::Position after_[max_bytes + 1];
};

// walk(graph, path), resumed from this thread's last walk when the graph is
// a compact one.
template <WordGraph Graph>
std::optional<typename Graph::Position> walk_resuming(const Graph& graph, std::string_view path) noexcept {
    if constexpr (std::is_same_v<Graph, CompactGraph>) {
        return LastPath::of_this_thread().walk(graph, path);
    } else {
        return walk(graph, path);
    }
}

}  // namespace sorvan
