#include "query/search.hpp"

#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "query/banded_row.hpp"
#include "query/key_set.hpp"
#include "query/pattern.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

template <WordGraph Graph>
void words_with_wildcard(const Graph& graph, typename Graph::Position start,
                         std::u32string_view pattern, std::size_t position, std::string& word,
                         WordList& results, Cancel& cancel) {
    using Position = typename Graph::Position;
    const std::size_t end = pattern.size();
    auto is_wildcard = [](char32_t c) { return c == U'*' || c == U'?'; };
    // run_end[i]: where the run of literals starting at i ends. When it ends
    // the pattern, a `*` before it matches its empty run by a plain walk that
    // leaves nothing for later, so the node needs no frame for that ("*ing",
    // and the "*" of prefix search).
    std::vector<std::size_t> run_end(end + 1, end);
    for (std::size_t i = end; i-- > 0;) run_end[i] = is_wildcard(pattern[i]) ? i : run_end[i + 1];

    // Counts the visits, and the letters a visit follows (in bytes added to
    // `word`), for cancellation: a run of literals may be long.
    Cancel::Countdown countdown(cancel);
    // Follows pattern[from..to) as literal letters from `at`, extending
    // `word`; nothing when a letter has no edge.
    auto follow = [&](Position at, std::size_t from, std::size_t to) -> std::optional<Position> {
        const std::size_t size = word.size();
        std::optional<Position> reached = at;
        for (std::size_t i = from; i < to; ++i) {
            at = graph.child(at, pattern[i]);
            if (!Graph::found(at)) {
                reached.reset();
                break;
            }
            utf8::append(word, pattern[i]);
        }
        countdown.spend(word.size() - size);
        if (reached) reached = at;
        return reached;
    };
    // Reports `word` when a word ends at `at` (`ends`, when the caller has
    // decoded it already).
    auto report = [&](Position at, std::optional<bool> ends = std::nullopt) {
        if ((ends ? *ends : graph.is_end(at)) && !word.empty()) {
            results.report(word, results.with_counts() ? graph.count(at) : 0);
        }
    };

    // A node whose `left` children are still to be visited, each at
    // `child_position` with `word` cut back to `word_size` plus the child's
    // letter.
    //
    // In a graph whose states have many parents, the frame of a `*` stays
    // until its node's visit is over, and a visit of (node, `*`) that found
    // nothing is remembered as dead: the words below a state that match the
    // rest of the pattern do not depend on the path that reached it.
    struct Frame {
        typename Graph::Cursor children;
        std::uint32_t left;
        std::size_t child_position;
        std::size_t word_size;
        std::size_t results_before;
        std::uint64_t visit;  // for a dead-visit record, else no_visit
    };
    static constexpr std::uint64_t no_visit = ~std::uint64_t{0};
    std::vector<Frame> stack;
    const std::size_t word_start = word.size();
    KeySet dead;
    // A visit's key: the state, then which `*` (numbered from 0), so that
    // the keys of a long search are dense. Only a `*` that something follows
    // has visits to remember (one that ends the pattern matches below every
    // state with words), and other patterns skip the numbering.
    std::vector<std::uint32_t> star_number;
    std::uint32_t stars = 0;
    if constexpr (Graph::shares_states) {
        if (end > 1 && pattern.substr(0, end - 1).find(U'*') != std::u32string_view::npos) {
            star_number.resize(end);
            for (std::size_t i = 0; i + 1 < end; ++i) {
                if (pattern[i] == U'*') star_number[i] = stars++;
            }
        }
    }
    auto visit_key = [&](Position at, std::size_t star) -> std::uint64_t {
        if constexpr (Graph::shares_states) {
            return star + 1 == end ? no_visit : std::uint64_t{at.at} * stars + star_number[star];
        } else {
            return no_visit;
        }
    };
    // Fills the frame in place: a cursor built aside and copied in costs a
    // store-forwarding stall a node.
    auto open_frame = [&](Position at, std::uint32_t children, std::size_t child_position, std::uint64_t visit,
                          std::size_t results_before) {
        Frame& frame = stack.emplace_back();
        graph.edges(at, frame.children);
        frame.left = children;
        frame.child_position = child_position;
        frame.word_size = word.size();
        frame.visit = visit;
        frame.results_before = results_before;
    };

    Position node = start;
    std::size_t pos = position;
    for (;;) {
        if (countdown.tick()) break;
        // Visit (node, pos), literal letters first.
        const std::size_t literal_end = run_end[pos];
        const auto reached = follow(node, pos, literal_end);
        if (reached && literal_end == end) {
            report(*reached);
        } else if (reached) {
            node = *reached;
            pos = literal_end;
            const auto [children, is_end] = graph.shape(node);
            if (pattern[pos] == U'?') {
                if (children > 0) open_frame(node, children, pos + 1, no_visit, 0);
            } else if (const std::uint64_t visit = visit_key(node, pos); visit != no_visit && dead.contains(visit)) {
                // nothing below, as an earlier visit found
            } else if (run_end[pos + 1] != end) {
                // `*` matches the empty run first, visited right away; its
                // frame then takes the node's letters one by one.
                if (children > 0 || visit != no_visit) open_frame(node, children, pos, visit, results.size());
                ++pos;
                continue;
            } else {
                const std::size_t results_before = results.size();
                const std::size_t size = word.size();
                if (pos + 1 == end) {  // a trailing `*`: the node's own word, its end flag known
                    report(node, is_end);
                } else if (const auto tail = follow(node, pos + 1, end)) {
                    report(*tail);
                }
                word.resize(size);
                if (visit != no_visit) {
                    open_frame(node, children, pos, visit, results_before);
                } else if (children > 0) {
                    auto rest = graph.edges(node);
                    const auto first = graph.next(rest);
                    if (children > 1) stack.push_back({rest, children - 1, pos, size, 0, no_visit});
                    utf8::append(word, first.letter);
                    node = first.child;
                    continue;
                }
            }
        }
        // Resume the innermost node with children left; a frame is dropped
        // as its last child starts, so chains of single children cost no
        // stack growth.
        // A remembered visit's frame stays until its last child is done.
        while (!stack.empty() && stack.back().left == 0) {
            if (stack.back().visit != no_visit && results.size() == stack.back().results_before) {
                dead.insert(stack.back().visit);
            }
            stack.pop_back();
        }
        if (stack.empty()) break;
        Frame& frame = stack.back();
        const auto edge = graph.next(frame.children);
        word.resize(frame.word_size);
        pos = frame.child_position;
        if (--frame.left == 0 && frame.visit == no_visit) {
            stack.pop_back();
        } else if (frame.left != 0) {
            graph.prefetch(frame.children);
        }
        utf8::append(word, edge.letter);
        node = edge.child;
    }
    word.resize(word_start);
}

template <WordGraph Graph>
void search_within_distance_inner(const Graph& graph, typename Graph::Position node,
                                  std::u32string_view query, Letter edge, std::string& word,
                                  const std::uint64_t* parent_row, std::uint64_t bound,
                                  WordList& results, Cancel& cancel) {
    using Position = typename Graph::Position;
    const std::size_t n = query.size();
    const std::uint64_t over = band_over(bound);
    auto lo_at = [bound](std::size_t depth) { return band_lo(depth, bound); };
    auto hi_at = [bound, n](std::size_t depth) { return band_hi(depth, bound, n); };

    // The rows of the nodes on the path that still have children to visit.
    BandedRows rows;
    struct Frame {
        typename Graph::Cursor children;
        std::uint32_t left;
        std::size_t word_size;
        std::size_t row_at;  // its band's first entry in `rows`
        std::size_t depth;
    };

    // Counts the nodes entered and the entries of their rows, for
    // cancellation.
    Cancel::Countdown countdown(cancel);

    // Writes the row of `at`, entered by `letter` at `depth`, after the
    // parent's row (at `up_at`) and reports the node. True when something
    // below the node can still come within the bound: the row then stays.
    auto enter = [&](Position at, Letter letter, std::size_t depth, std::size_t up_at) {
        const std::size_t lo = lo_at(depth), hi = hi_at(depth);
        if (lo > n) return false;
        countdown.spend(hi - lo);
        std::uint64_t* out = rows.room(hi - lo + 1);  // out[j - lo]
        std::uint64_t smallest = over;
        fill_band(query, letter, rows.row(up_at), lo_at(depth - 1), hi_at(depth - 1), out, lo, hi, over,
                  [&](std::size_t, std::uint64_t down, std::uint64_t across) {
                      const std::uint64_t entry = std::min(down, across);
                      smallest = std::min(smallest, entry);
                      return entry;
                  });
        if (hi == n && out[n - lo] <= bound && graph.is_end(at)) {
            results.report(word, results.with_counts() ? graph.count(at) : 0);
        }
        return smallest <= bound && graph.child_count(at) > 0;
    };

    // The parent's row, cut to its band; its depth is its first entry.
    const std::size_t parent_depth = parent_row[0];
    if (lo_at(parent_depth) > n) return;
    rows.entries.assign(parent_row + lo_at(parent_depth), parent_row + hi_at(parent_depth) + 1);
    rows.top = rows.entries.size();

    std::vector<Frame> stack;
    const std::size_t word_start = word.size();
    // Filled in place (see words_with_wildcard).
    auto open_frame = [&](Position at, std::size_t depth) {
        Frame& frame = stack.emplace_back();
        graph.edges(at, frame.children);
        frame.left = graph.child_count(at);
        frame.word_size = word.size();
        frame.row_at = rows.top;
        frame.depth = depth;
    };
    if (enter(node, edge, parent_depth + 1, 0)) {
        open_frame(node, parent_depth + 1);
        rows.top += hi_at(parent_depth + 1) - lo_at(parent_depth + 1) + 1;
    }
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const std::size_t depth = frame.depth + 1;
        if (countdown.tick()) break;
        const auto next = graph.next(frame.children);
        word.resize(frame.word_size);
        utf8::append(word, next.letter);
        const std::size_t up_at = frame.row_at;
        const bool keep = enter(next.child, next.letter, depth, up_at);
        const std::size_t size = hi_at(depth) - lo_at(depth) + 1;
        if (--frame.left == 0) {
            // The parent's children are all started, so its row is done
            // with, and the child's takes its place: a chain of single
            // children holds one row, however long it is.
            stack.pop_back();
            if (keep) rows.move(rows.top, size, up_at);
            rows.top = up_at;
        }
        if (keep) {
            open_frame(next.child, depth);
            rows.top += size;
        }
    }
    word.resize(word_start);
}

template <WordGraph Graph>
WordList search_words(const Graph& graph, std::string_view pattern, bool with_counts,
                      Cancel* cancel) {
    WordList results(with_counts);
    if (pattern.empty()) return results;
    const std::u32string normalised = validate_expression(utf8::decode(pattern));
    std::string word;
    Cancel never;
    words_with_wildcard(graph, graph.root(), normalised, 0, word, results, cancel ? *cancel : never);
    return results;
}

template <WordGraph Graph>
WordList search_prefix(const Graph& graph, std::string_view prefix, bool with_counts,
                       Cancel* cancel) {
    WordList results(with_counts);
    if (prefix.empty()) return results;
    const auto start = walk(graph, prefix);
    if (!start) return results;
    std::string word(prefix);
    Cancel never;
    words_with_wildcard(graph, *start, U"*", 0, word, results, cancel ? *cancel : never);
    return results;
}

template <WordGraph Graph>
WordList search_distance(const Graph& graph, std::string_view query, std::uint64_t bound,
                         bool with_counts, Cancel* cancel) {
    Cancel never;
    Cancel& stop = cancel ? *cancel : never;
    WordList results(with_counts);
    const std::u32string letters = utf8::decode(query);
    std::vector<std::uint64_t> root_row(letters.size() + 1);
    std::iota(root_row.begin(), root_row.end(), std::uint64_t{0});
    std::string word;
    // The root is never examined: the empty word is never reported.
    auto children = graph.edges(graph.root());
    for (std::uint32_t i = 0; i < graph.child_count(graph.root()) && !stop.cancelled(); ++i) {
        const auto edge = graph.next(children);
        word.clear();
        utf8::append(word, edge.letter);
        search_within_distance_inner(graph, edge.child, letters, edge.letter, word,
                                     root_row.data(), bound, results, stop);
    }
    return results;
}

// The two graphs the lexicons query.
#define SORVAN_INSTANTIATE(Graph)                                                                 \
    template WordList search_words(const Graph&, std::string_view, bool, Cancel*);                \
    template WordList search_prefix(const Graph&, std::string_view, bool, Cancel*);               \
    template WordList search_distance(const Graph&, std::string_view, std::uint64_t, bool, Cancel*);
SORVAN_INSTANTIATE(StoreGraph)
SORVAN_INSTANTIATE(CompactGraph)
#undef SORVAN_INSTANTIATE

}  // namespace sorvan
