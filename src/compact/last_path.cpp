#include "compact/last_path.hpp"

#include "utils/utf8.hpp"

namespace sorvan {

std::optional<CompactGraph::Position> LastPath::resume(const CompactGraph& graph, std::string_view path) noexcept {
    const char* const begin = path.data();
    std::size_t start = 0;
    const std::size_t common = std::min(held_, path.size());
    while (start < common && bytes_[start] == begin[start]) ++start;
    // Back to where a letter of both starts (the same bytes up to a letter's
    // end are the same letters, leading to the same state), and to a state
    // the last walk reached.
    start = std::min(start, reached_);
    while (start > 0 && start < path.size() && utf8::is_continuation(begin[start])) --start;
    hold(path, start);

    CompactGraph::Position at = start == 0 ? CompactGraph::root() : after_[start];
    std::size_t reached = start;
    const char* const end = begin + path.size();
    for (const char* p = begin + start; p < end;) {
        at = graph.child(at, utf8::next(p));
        if (!CompactGraph::found(at)) break;
        if (const auto done = static_cast<std::size_t>(p - begin); done <= max_bytes) {
            after_[done] = at;
            reached = done;
        }
    }
    reached_ = reached;
    if (!CompactGraph::found(at)) return std::nullopt;
    return at;
}

}  // namespace sorvan
