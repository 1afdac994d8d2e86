#include "query/complete.hpp"

#include <algorithm>
#include <bit>
#include <queue>
#include <type_traits>

#include "graph/store_graph.hpp"
#include "query/banded_row.hpp"
#include "query/best_words.hpp"
#include "query/ordered.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

// ------------------------------------------------------------ CountMaxima ----

Result<std::unique_ptr<CountMaxima>> CountMaxima::build(const CompactGraph& graph, std::uint64_t words,
                                                        Cancel* cancel) {
    auto maxima = std::make_unique<CountMaxima>();
    maxima->words_ = words;
    constexpr std::uint64_t block = std::uint64_t{1} << block_shift;
    const std::uint64_t blocks = (words + block - 1) >> block_shift;
    maxima->block_max_.resize(blocks);
    maxima->block_at_.resize(blocks);
    Cancel::Countdown countdown(cancel);
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint64_t first = b << block_shift;
        const std::uint64_t last = std::min(words, first + block);
        countdown.spend(last - first);
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        std::uint64_t best = graph.count_of_rank(first), at = first;
        for (std::uint64_t r = first + 1; r < last; ++r) {
            const std::uint64_t count = graph.count_of_rank(r);
            if (count > best) best = count, at = r;
        }
        maxima->block_max_[b] = best;
        maxima->block_at_[b] = static_cast<std::uint8_t>(at - first);
    }
    const std::uint64_t supers = (blocks + (std::uint64_t{1} << super_shift) - 1) >> super_shift;
    std::vector<std::uint32_t> first_level(supers);
    for (std::uint64_t i = 0; i < supers; ++i) {
        const std::uint64_t from = i << super_shift;
        const std::uint64_t to = std::min(blocks, from + (std::uint64_t{1} << super_shift));
        std::uint32_t best = static_cast<std::uint32_t>(from);
        for (std::uint64_t b = from + 1; b < to; ++b) best = maxima->better(best, static_cast<std::uint32_t>(b));
        first_level[i] = best;
    }
    maxima->levels_.push_back(std::move(first_level));
    // Level k from level k - 1: the better of two halves of 2^(k-1).
    for (std::uint64_t span = 2; span <= supers; span *= 2) {
        const std::vector<std::uint32_t>& below = maxima->levels_.back();
        std::vector<std::uint32_t> level(supers - span + 1);
        for (std::uint64_t i = 0; i < level.size(); ++i) level[i] = maxima->better(below[i], below[i + span / 2]);
        maxima->levels_.push_back(std::move(level));
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
    }
    return maxima;
}

std::uint32_t CountMaxima::top_block(std::uint64_t a, std::uint64_t b) const noexcept {
    auto scan = [&](std::uint32_t best, std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t i = from; i < to; ++i) best = better(best, static_cast<std::uint32_t>(i));
        return best;
    };
    const std::uint64_t first = a >> super_shift, last = (b - 1) >> super_shift;
    if (last - first <= 1) return scan(static_cast<std::uint32_t>(a), a + 1, b);
    // The superblocks whole inside: first + 1 to last, through the table.
    std::uint32_t best = scan(static_cast<std::uint32_t>(a), a + 1, (first + 1) << super_shift);
    const std::uint64_t n = last - first - 1;
    const unsigned k = static_cast<unsigned>(std::bit_width(n)) - 1;  // 2^k <= n < 2^(k+1)
    const std::vector<std::uint32_t>& level = levels_[k];
    best = better(best, better(level[first + 1], level[last - (std::uint64_t{1} << k)]));
    return scan(best, last << super_shift, b);
}

std::uint64_t CountMaxima::top(const CompactGraph& graph, std::uint64_t lo, std::uint64_t hi) const noexcept {
    // Ranks are met in increasing order and a later one wins only when
    // higher: the first on a tie.
    std::uint64_t best_rank = lo, best = graph.count_of_rank(lo);
    auto scan = [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t r = from; r < to; ++r) {
            const std::uint64_t count = graph.count_of_rank(r);
            if (count > best) best = count, best_rank = r;
        }
    };
    constexpr std::uint64_t mask = (std::uint64_t{1} << block_shift) - 1;
    const std::uint64_t first_block = lo >> block_shift, last_block = (hi - 1) >> block_shift;
    if (first_block == last_block) {
        scan(lo + 1, hi);
        return best_rank;
    }
    // The blocks whole inside the range: [whole_from, whole_to).
    const std::uint64_t whole_from = (lo & mask) == 0 ? first_block : first_block + 1;
    const std::uint64_t whole_to = (hi & mask) == 0 ? last_block + 1 : last_block;
    // A block cut by the range needs no scan when its maximum is inside it
    // (then it is the first maximum of the part inside, too).
    if (whole_from != first_block) {
        const std::uint64_t at = (first_block << block_shift) + block_at_[first_block];
        if (at >= lo) {
            if (block_max_[first_block] > best) best = block_max_[first_block], best_rank = at;
        } else {
            scan(lo + 1, whole_from << block_shift);
        }
    }
    if (whole_from < whole_to) {
        const std::uint32_t b = top_block(whole_from, whole_to);
        if (block_max_[b] > best) best = block_max_[b], best_rank = (std::uint64_t{b} << block_shift) + block_at_[b];
    }
    if (whole_to == last_block) {
        const std::uint64_t at = (last_block << block_shift) + block_at_[last_block];
        if (at < hi) {
            if (block_max_[last_block] > best) best = block_max_[last_block], best_rank = at;
        } else {
            scan(last_block << block_shift, hi);
        }
    }
    return best_rank;
}

std::size_t CountMaxima::bytes() const noexcept {
    std::size_t total = sizeof *this + block_max_.capacity() * sizeof(std::uint64_t) +
                        block_at_.capacity() * sizeof(std::uint8_t) +
                        levels_.capacity() * sizeof(std::vector<std::uint32_t>);
    for (const auto& level : levels_) total += level.capacity() * sizeof(std::uint32_t);
    return total;
}

void spell_rank(const CompactGraph& graph, CompactGraph::Position at, std::uint64_t rank, std::string& word) {
    while (!(graph.is_end(at) && at.rank == rank) && graph.child_count(at) != 0) {
        const CompactGraph::Arc arc = graph.edge_to_rank(at, rank);
        utf8::append(word, arc.letter);
        at = arc.child;
    }
}

namespace {

// ------------------------------------------------------------------ walk ----

// Walks the paths of `graph` that come within the sink's bound of a prefix
// of `query`, with rows over the band of a fixed `bound` (the most the
// sink's bound can be). For each word met on the way, at its distance:
// sink.word(position, word, distance); for each subtree whose words are all
// at the path's least distance: sink.range(position, word, distance, end),
// `end` the rank past its words on a graph that keeps them, with `root_end`
// the rank past all.
//
// Only the nodes on the path with children left keep their rows (and their
// parent's, which transpositions read): a chain of single children holds
// two rows, however long it is.
template <WordGraph Graph, class Sink>
void walk_near_prefixes(const Graph& graph, std::u32string_view query, std::uint64_t bound, bool transpositions,
                        std::uint64_t root_end, Sink& sink, Cancel::Countdown& countdown) {
    using Position = typename Graph::Position;
    const std::size_t n = query.size();
    const std::uint64_t over = band_over(bound);
    const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(2 * bound + 1, n + 1));
    auto lo_at = [&](std::size_t depth) { return band_lo(depth, bound); };
    auto hi_at = [&](std::size_t depth) { return band_hi(depth, bound, n); };
    // Entry j of the row at `depth` kept from `row`.
    auto entry = [&](const std::uint64_t* row, std::size_t depth, std::size_t j) -> std::uint64_t {
        if (j < lo_at(depth) || j > hi_at(depth)) return over;
        return row[j - lo_at(depth)];
    };

    struct Frame {
        typename Graph::Cursor cursor;
        typename Graph::Arc ahead;  // the next child, read one early for its rank
        std::uint32_t left;
        Letter letter;  // by which it was entered
        std::size_t depth;
        std::uint64_t end;
        std::size_t word_size;
        std::uint64_t distance;  // the least entry n met on the path
        std::uint64_t least;     // of its row
    };
    std::vector<Frame> stack;
    // Frame k's row at rows[2k * width], its parent's right after.
    std::vector<std::uint64_t> rows(2 * width), row(width);
    std::string word;
    auto open = [&](Position at, Letter letter, std::size_t depth, std::uint64_t end, std::uint64_t distance,
                    std::uint64_t least) {
        Frame& frame = stack.emplace_back();
        graph.edges(at, frame.cursor);
        frame.left = graph.child_count(at);
        frame.ahead = graph.next(frame.cursor);
        frame.letter = letter;
        frame.depth = depth;
        frame.end = end;
        frame.word_size = word.size();
        frame.distance = distance;
        frame.least = least;
    };
    if (n == 0) {
        sink.range(graph.root(), word, 0, root_end);
        return;
    }
    if (graph.child_count(graph.root()) == 0) return;
    for (std::size_t j = 0; j <= hi_at(0); ++j) rows[j] = j;
    open(graph.root(), 0, 0, root_end, n <= bound ? n : over, 0);
    while (!stack.empty() && !sink.finished()) {
        if (countdown.tick()) break;
        Frame& frame = stack.back();
        if (frame.least > sink.bound()) {
            stack.pop_back();
            continue;
        }
        const typename Graph::Arc arc = frame.ahead;
        std::uint64_t end = frame.end;
        if (--frame.left != 0) {
            frame.ahead = graph.next(frame.cursor);
            if constexpr (std::is_same_v<Graph, CompactGraph>) end = frame.ahead.child.rank;
        }
        const std::size_t slot = stack.size() - 1;
        const std::size_t depth = frame.depth + 1;
        const std::size_t lo = lo_at(depth), hi = hi_at(depth);
        if (lo > n) {
            if (frame.left == 0) stack.pop_back();
            continue;
        }
        const std::uint64_t* up = rows.data() + 2 * slot * width;
        const std::uint64_t* two_up = up + width;
        countdown.spend(hi - lo);
        std::uint64_t least = over;
        for (std::size_t j = lo; j <= hi; ++j) {
            std::uint64_t e = entry(up, depth - 1, j) + 1;  // the word's letter left over
            if (j > 0) {
                e = std::min(e, entry(up, depth - 1, j - 1) + (query[j - 1] == arc.letter ? 0 : 1));
                if (j > lo) e = std::min(e, row[j - 1 - lo] + 1);  // the query's letter left over
                if (transpositions && depth >= 2 && j >= 2 && query[j - 2] == arc.letter &&
                    query[j - 1] == frame.letter) {
                    e = std::min(e, entry(two_up, depth - 2, j - 2) + 1);
                }
            }
            row[j - lo] = e = std::min(e, over);
            least = std::min(least, e);
        }
        const std::uint64_t distance = std::min(frame.distance, hi == n ? row[n - lo] : over);
        const bool parent_done = frame.left == 0;
        word.resize(frame.word_size);
        utf8::append(word, arc.letter);
        if (parent_done) stack.pop_back();  // `frame` goes
        const std::uint64_t reach = sink.bound();
        if (least > reach || least >= distance) {
            // Nothing below comes nearer than the path has been.
            if (distance <= reach) sink.range(arc.child, word, distance, end);
            continue;
        }
        if (distance <= reach && graph.is_end(arc.child)) sink.word(arc.child, word, distance);
        if (graph.child_count(arc.child) == 0) continue;
        // The child's rows go to the slot after its parent's, or to the
        // parent's own once it is done with.
        const std::size_t to = parent_done ? slot : slot + 1;
        if (rows.size() < 2 * (to + 1) * width) rows.resize(4 * (to + 1) * width);
        std::uint64_t* own = rows.data() + 2 * to * width;
        std::copy_n(rows.data() + 2 * slot * width, width, own + width);
        std::copy_n(row.data(), width, own);
        open(arc.child, arc.letter, depth, end, distance, least);
    }
}

// ---------------------------------------------------------- walked sinks ----

// The words of the subtrees walked in code-point order into the best
// `limit`. Words are offered in code-point order, so, as in suggest(), once
// the worst word kept has the highest count there can be, a later word at
// its distance cannot win: the bound drops below it.
template <WordGraph Graph>
class WalkedWords {
public:
    WalkedWords(const Graph& graph, std::size_t limit, std::uint64_t bound, std::uint64_t count_ceiling,
                Cancel::Countdown& countdown)
        : graph_(graph), best_(limit), bound_(bound), count_ceiling_(count_ceiling), countdown_(countdown) {}

    std::uint64_t bound() const noexcept { return bound_; }
    bool finished() const noexcept { return finished_; }

    void word(typename Graph::Position at, const std::string& word, std::uint64_t distance) {
        offer(word, distance, graph_.count(at));
    }
    void range(typename Graph::Position, const std::string& word, std::uint64_t distance, std::uint64_t) {
        walk_.start(graph_, word);
        while (!finished_ && distance <= bound_ && walk_.next(graph_)) {
            if (countdown_.tick()) return;
            offer(walk_.word(), distance, walk_.count(graph_));
        }
    }

    std::vector<Suggestion> ranked() && { return std::move(best_).ranked(); }

private:
    void offer(const std::string& word, std::uint64_t distance, std::uint64_t count) {
        best_.offer(word, distance, count);
        if (!best_.full()) return;
        const Suggestion& worst = best_.worst();
        if (worst.count < count_ceiling_) {
            bound_ = std::min(bound_, worst.distance);
        } else if (worst.distance > 0) {
            bound_ = std::min(bound_, worst.distance - 1);
        } else {
            finished_ = true;
        }
    }

    const Graph& graph_;
    BestWords best_;
    std::uint64_t bound_;
    const std::uint64_t count_ceiling_;
    Cancel::Countdown& countdown_;
    bool finished_ = false;
    OrderedWalk<Graph> walk_;
};

// ---------------------------------------------------------- ranked sinks ----

// The ranges of ranks found, by distance; the bound drops to the least
// distance within which `limit` words are known.
class RankRanges {
public:
    // The words of ranks [lo, hi), all below `at`, whose path spells
    // paths_[word].
    struct Range {
        std::uint64_t distance, lo, hi;
        CompactGraph::Position at;
        std::size_t word;
    };

    RankRanges(std::size_t limit, std::uint64_t bound) : limit_(limit), bound_(bound), found_(bound + 1, 0) {}

    std::uint64_t bound() const noexcept { return bound_; }
    bool finished() const noexcept { return false; }

    void word(CompactGraph::Position at, const std::string& word, std::uint64_t distance) {
        add(distance, at.rank + 1, at, word);
    }
    void range(CompactGraph::Position at, const std::string& word, std::uint64_t distance, std::uint64_t end) {
        add(distance, end, at, word);
    }
    void add(std::uint64_t distance, std::uint64_t hi, CompactGraph::Position at, const std::string& word) {
        if (at.rank >= hi || distance > bound_) return;
        ranges_.push_back({distance, at.rank, hi, at, paths_.size()});
        paths_.push_back(word);
        found_[distance] += hi - at.rank;
        std::uint64_t known = 0;
        for (std::uint64_t d = 0; d < bound_; ++d) {
            known += found_[d];
            if (known >= limit_) {
                bound_ = d;
                break;
            }
        }
    }

    // The best `limit` words of the ranges, spelled.
    std::vector<Suggestion> ranked(const CompactGraph& graph, const CountMaxima& maxima) const {
        struct Top {
            std::uint64_t count, rank, lo, hi;
            const Range* range;
            bool operator<(const Top& other) const noexcept {  // the best on top of the queue
                return count != other.count ? count < other.count : rank > other.rank;
            }
        };
        std::vector<Suggestion> out;
        for (std::uint64_t d = 0; d <= bound_ && out.size() < limit_; ++d) {
            std::priority_queue<Top> heap;
            auto push = [&](std::uint64_t lo, std::uint64_t hi, const Range* range) {
                if (lo >= hi) return;
                const std::uint64_t rank = maxima.top(graph, lo, hi);
                heap.push({graph.count_of_rank(rank), rank, lo, hi, range});
            };
            for (const Range& range : ranges_) {
                if (range.distance == d) push(range.lo, range.hi, &range);
            }
            while (!heap.empty() && out.size() < limit_) {
                const Top top = heap.top();
                heap.pop();
                Suggestion& s = out.emplace_back(Suggestion{paths_[top.range->word], d, top.count});
                spell_rank(graph, top.range->at, top.rank, s.word);
                push(top.lo, top.rank, top.range);
                push(top.rank + 1, top.hi, top.range);
            }
        }
        return out;
    }

private:
    std::size_t limit_;
    std::uint64_t bound_;
    std::vector<std::uint64_t> found_;  // words found at each distance
    std::vector<Range> ranges_;
    std::vector<std::string> paths_;
};

// ------------------------------------------------------------ best first ----

// The best `limit` words starting with `prefix`, by count downwards, then in
// code-point order, on the mutable store: best first over the bounds of
// counts its nodes keep (Node::best). An entry stands for a node with the
// words at and below it, keyed by its bound, or for one word, keyed by its
// count; the entry of the highest key, the first path on a tie, comes out
// next. When a word comes out it is the best left: every other entry's
// words have counts no higher, and on a tie its path follows the word
// without extending it (or extends it), so its words all follow the word.
std::vector<Suggestion> best_first(const StoreGraph& graph, std::string_view prefix, std::size_t limit,
                                   Cancel::Countdown& countdown) {
    std::vector<Suggestion> out;
    const auto start = walk(graph, prefix);
    if (!start) return out;
    struct Entry {
        std::uint64_t key;
        NodeIndex node;
        bool word;
        std::uint32_t length;  // of its path, which ends at `at` in `paths`
        std::size_t at;
    };
    // The entries' paths, each written once, after its parent's.
    std::string paths(prefix);
    auto path = [&](const Entry& e) { return std::string_view(paths).substr(e.at - e.length, e.length); };
    auto later = [&](const Entry& a, const Entry& b) {  // b comes out before a
        return a.key != b.key ? a.key < b.key : path(a) > path(b);
    };
    std::vector<Entry> heap;
    auto push = [&](const Entry& e) {
        heap.push_back(e);
        std::push_heap(heap.begin(), heap.end(), later);
    };
    push({graph.count_bound(*start), *start, false, static_cast<std::uint32_t>(prefix.size()), prefix.size()});
    while (!heap.empty() && out.size() < limit) {
        if (countdown.tick()) break;
        std::pop_heap(heap.begin(), heap.end(), later);
        const Entry e = heap.back();
        heap.pop_back();
        if (e.word) {
            out.push_back({std::string(path(e)), 0, e.key});
            continue;
        }
        // (The root's own word is never one: the empty word has no count.)
        if (graph.is_end(e.node) && e.node != StoreGraph::root()) {
            push({graph.count(e.node), e.node, true, e.length, e.at});
        }
        StoreGraph::Cursor cursor = StoreGraph::edges(e.node);
        for (std::uint32_t left = graph.child_count(e.node); left > 0; --left) {
            const StoreGraph::Arc arc = graph.next(cursor);
            const std::size_t from = paths.size();
            paths.reserve(from + e.length + 4);  // the parent's path is read from `paths` itself
            paths.append(path(e));
            utf8::append(paths, arc.letter);
            push({graph.count_bound(arc.child), arc.child, false, static_cast<std::uint32_t>(paths.size() - from),
                  paths.size()});
        }
    }
    return out;
}

}  // namespace

template <WordGraph Graph>
std::vector<Suggestion> complete_words(const Graph& graph, std::string_view prefix, std::uint64_t max_distance,
                                       std::size_t limit, bool transpositions, std::uint64_t count_ceiling,
                                       const CountMaxima* maxima, Cancel* cancel) {
    if (limit == 0) return {};
    Cancel::Countdown countdown(cancel);
    const std::u32string letters = max_distance == 0 ? std::u32string() : utf8::decode(prefix);
    const std::uint64_t bound = std::min<std::uint64_t>(max_distance, letters.size());
    if constexpr (std::is_same_v<Graph, CompactGraph>) {
        if (maxima != nullptr && limit != all_suggestions) {
            RankRanges ranges(limit, bound);
            if (bound == 0) {
                // The words starting with `prefix` itself: one range.
                CompactGraph::Span span{CompactGraph::root(), maxima->words()};
                for (const char *p = prefix.data(), *end = p + prefix.size(); p < end;) {
                    span = graph.child_span(span.child, span.end, utf8::next(p));
                    if (!CompactGraph::found(span.child)) return {};
                }
                ranges.range(span.child, std::string(prefix), 0, span.end);
            } else {
                walk_near_prefixes(graph, letters, bound, transpositions, maxima->words(), ranges, countdown);
            }
            return ranges.ranked(graph, *maxima);
        }
    }
    if constexpr (std::is_same_v<Graph, StoreGraph>) {
        if (bound == 0 && limit != all_suggestions) return best_first(graph, prefix, limit, countdown);
    }
    WalkedWords<Graph> best(graph, limit, bound, count_ceiling, countdown);
    if (bound == 0) {
        best.range(graph.root(), std::string(prefix), 0, 0);
    } else {
        walk_near_prefixes(graph, letters, bound, transpositions, 0, best, countdown);
    }
    return std::move(best).ranked();
}

template std::vector<Suggestion> complete_words(const StoreGraph&, std::string_view, std::uint64_t, std::size_t,
                                                bool, std::uint64_t, const CountMaxima*, Cancel*);
template std::vector<Suggestion> complete_words(const CompactGraph&, std::string_view, std::uint64_t, std::size_t,
                                                bool, std::uint64_t, const CountMaxima*, Cancel*);

}  // namespace sorvan
