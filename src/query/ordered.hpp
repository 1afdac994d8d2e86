#pragma once
// The words of a graph in code-point order, one at a time, and their ranks:
// a word's rank is its position among the stored words in that order.
// Written over any WordGraph; a compact graph whose positions carry ranks
// answers the rank questions along one path instead (see LexiconQueries).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/graph.hpp"
#include "utils/cancel.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

// A walk over the words starting with a prefix, in code-point order, that
// stops after each word and goes on from there when asked: an explicit
// stack of edge cursors, one a letter of the current word, so its memory
// follows the longest word and not the number of words. It holds positions
// of one graph: the caller must not use it on another, nor after the graph
// changed.
template <WordGraph Graph>
class OrderedWalk {
public:
    // Starts before the first word starting with `prefix`; with no path
    // spelling `prefix`, there is none.
    void start(const Graph& graph, std::string_view prefix) {
        frames_.clear();
        word_.assign(prefix);
        const auto at = walk(graph, prefix);
        if (!at) return;
        own_word_ = !prefix.empty() && graph.is_end(*at);
        last_ = *at;
        push(graph, *at);
    }

    // Moves to the next word (word(), count()); false when there is none.
    // Each call visits the states between the two words.
    bool next(const Graph& graph) {
        if (own_word_) {  // the prefix itself, first
            own_word_ = false;
            return true;
        }
        while (!frames_.empty()) {
            Frame& frame = frames_.back();
            const auto arc = graph.next(frame.cursor);
            word_.resize(frame.length);
            // A frame goes as its last edge is taken: a chain of single
            // children never leaves one behind to pop later. Otherwise the
            // next sibling loads while this child's words are walked.
            if (--frame.left == 0) {
                frames_.pop_back();
            } else {
                graph.prefetch(std::as_const(frame.cursor));
            }
            utf8::append(word_, arc.letter);
            const bool end = push(graph, arc.child);
            if (end) {
                last_ = arc.child;
                return true;
            }
        }
        return false;
    }

    // Moves past `n` words; false when fewer were left. `countdown` may stop
    // it early, answering false.
    bool skip(const Graph& graph, std::uint64_t n, Cancel::Countdown& countdown) {
        for (; n > 0; --n) {
            if (!next(graph) || countdown.tick()) return false;
        }
        return true;
    }

    const std::string& word() const noexcept { return word_; }
    std::uint64_t count(const Graph& graph) const noexcept { return graph.count(last_); }

private:
    struct Frame {
        typename Graph::Cursor cursor;
        std::uint32_t left;  // edges still to visit, never 0
        std::size_t length;  // of the word at the state the cursor leaves
    };
    // Enters `at`: its edges go on the stack. Whether a word ends there.
    bool push(const Graph& graph, typename Graph::Position at) {
        const NodeShape shape = graph.shape(at);
        if (shape.children != 0) {
            frames_.push_back({graph.edges(at), shape.children, word_.size()});
            graph.prefetch(std::as_const(frames_.back().cursor));
        }
        return shape.end;
    }

    std::vector<Frame> frames_;
    std::string word_;
    typename Graph::Position last_{};
    bool own_word_ = false;
};

// The number of words at or below `at`, one step a state visited (a DAG's
// shared states as often as paths reach them); `countdown` may stop it,
// with a partial count.
template <WordGraph Graph>
std::uint64_t words_below(const Graph& graph, typename Graph::Position at, Cancel::Countdown& countdown) {
    struct Frame {
        typename Graph::Cursor cursor;
        std::uint32_t left;
    };
    std::vector<Frame> stack;
    std::uint64_t words = 0;
    auto enter = [&](typename Graph::Position p) {
        const NodeShape shape = graph.shape(p);
        words += shape.end;
        if (shape.children != 0) stack.push_back({graph.edges(p), shape.children});
    };
    enter(at);
    while (!stack.empty()) {
        if (countdown.tick()) break;
        Frame& frame = stack.back();
        if (frame.left == 0) {
            stack.pop_back();
            continue;
        }
        --frame.left;
        enter(graph.next(frame.cursor).child);
    }
    return words;
}

// The rank of `word` (non-empty) among the words of `graph`, or nothing when
// it is not one: along its path, the words below every earlier sibling, and
// the shorter words on the way. Costs a step for every state of those
// subtrees; `countdown` may stop it, answering nothing.
template <WordGraph Graph>
std::optional<std::uint64_t> rank_by_walking(const Graph& graph, std::string_view word,
                                             Cancel::Countdown& countdown) {
    auto at = graph.root();
    std::uint64_t rank = 0;
    const char* p = word.data();
    const char* end = p + word.size();
    while (p < end) {
        const Letter letter = utf8::next(p);
        rank += graph.is_end(at);  // a shorter word on the way (never at the root)
        auto cursor = graph.edges(at);
        const std::uint32_t n = graph.child_count(at);
        std::optional<typename Graph::Position> found;
        for (std::uint32_t i = 0; i < n && !found; ++i) {
            const auto arc = graph.next(cursor);
            if (arc.letter == letter) found = arc.child;
            else if (arc.letter > letter) break;
            else rank += words_below(graph, arc.child, countdown);
        }
        if (!found) return std::nullopt;
        at = *found;
    }
    if (!graph.is_end(at)) return std::nullopt;
    return rank;
}

}  // namespace sorvan
