#include "query/suggest.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <unordered_set>

#include "query/search.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// True when (distance a, count a, word a) ranks before b: nearer, then more
// frequent, then first in code-point order (which byte order of UTF-8 is).
bool ranks_before(std::uint64_t distance_a, std::uint64_t count_a, std::string_view word_a,
                  const Suggestion& b) noexcept {
    if (distance_a != b.distance) return distance_a < b.distance;
    if (count_a != b.count) return count_a > b.count;
    return word_a < b.word;
}

// The best `limit` words offered so far, the worst of them on top.
class BestWords {
public:
    explicit BestWords(std::size_t limit) : limit_(limit) {}

    bool full() const noexcept { return heap_.size() >= limit_; }
    const Suggestion& worst() const noexcept { return heap_.front(); }

    // From now on a word may be offered again (by a second walk), maybe
    // nearer than before: it is kept once, at its least distance.
    void expect_repeats() {
        repeats_ = true;
        for (const Suggestion& s : heap_) kept_.insert(s.word);
    }

    void offer(std::string_view word, std::uint64_t distance, std::uint64_t count) {
        if (repeats_ && kept_.contains(word)) {
            // Rare: the first walk saw the word only through a dearer
            // alignment (never so within two edits).
            const auto at = std::find_if(heap_.begin(), heap_.end(),
                                         [&](const Suggestion& s) { return s.word == word; });
            if (distance < at->distance) {
                at->distance = distance;
                std::make_heap(heap_.begin(), heap_.end(), order);
            }
            return;
        }
        if (!full()) {
            heap_.push_back({std::string(word), distance, count});
            std::push_heap(heap_.begin(), heap_.end(), order);
        } else if (ranks_before(distance, count, word, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), order);
            Suggestion& slot = heap_.back();
            if (repeats_) kept_.erase(slot.word);
            slot.word.assign(word);  // reuses the evicted word's buffer
            slot.distance = distance;
            slot.count = count;
            std::push_heap(heap_.begin(), heap_.end(), order);
        } else {
            return;
        }
        if (repeats_) kept_.emplace(word);
    }

    std::vector<Suggestion> ranked() && {
        std::sort_heap(heap_.begin(), heap_.end(), order);
        return std::move(heap_);
    }

private:
    static bool order(const Suggestion& a, const Suggestion& b) noexcept {
        return ranks_before(a.distance, a.count, a.word, b);
    }

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    std::size_t limit_;
    std::vector<Suggestion> heap_;
    bool repeats_ = false;
    std::unordered_set<std::string, Hash, std::equal_to<>> kept_;
};

// What the walks of one query share: the best words so far and the bound
// they set.
struct Ranking {
    BestWords best;
    std::uint64_t bound;
    std::uint64_t count_ceiling;
    bool finished = false;  // nothing more can enter the best words
};

// One walk of a graph. A walk of the lexicon's own graph takes the query as
// it is; a walk of its reversed words takes it reversed and reports each
// word turned back. The first `split` letters of the query are its head:
// the walk only follows alignments that spend at most `head_edits` on it
// (including an edit that moves into the letter after it from a neighbour,
// but not the letters inserted right after it).
struct Pass {
    std::size_t split = 0;
    std::uint64_t head_edits = UINT64_MAX;
    bool reversed = false;
};

// A row's entries [lo, hi], entry j at rows[at + j - lo].
struct Band {
    std::size_t at = 0;
    std::size_t lo = 0;
    std::size_t hi = 0;
    std::size_t size() const noexcept { return hi - lo + 1; }
};

// Moves `size` entries of `rows` from `from` down to `to` (to <= from).
void move_row(std::vector<std::uint64_t>& rows, std::size_t from, std::size_t size, std::size_t to) {
    if (from != to) std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(from), size,
                                rows.begin() + static_cast<std::ptrdiff_t>(to));
}

// Transpose: the optimal string alignment distance, whose recurrence also
// reads the row two levels up, so each frame knows its parent's row too.
template <bool Transpose, bool Headed, class Graph>
void walk(const Graph& graph, std::u32string_view query, Ranking& ranking, const Pass& pass,
          Cancel::Countdown& countdown, std::uint64_t& work) {
    const std::size_t n = query.size();
    BestWords& best = ranking.best;
    // The bound only shrinks. A word of d letters is at least |d - j| edits
    // from the first j letters of the query, so at depth d a row keeps only
    // the band of entries j with |d - j| <= bound, computed with the bound
    // of the moment: a band is never wider than its parent's plus one entry
    // on the right. Entries outside a band are read as `over`, just above
    // the bound of the moment (the band is the whole row when that would
    // overflow). An entry is thus exact when within the bound, and known to
    // be above it otherwise, whatever bound it was computed under.
    std::uint64_t& bound = ranking.bound;
    bool& finished = ranking.finished;
    const std::size_t split = pass.split;
    // The most a head entry may be: no more than the bound either.
    auto head_bound = [&]() { return std::min(pass.head_edits, bound); };
    // Just above the bound of the moment.
    auto over_bound = [&]() { return bound == UINT64_MAX ? bound : bound + 1; };
    auto lo_at = [&bound](std::size_t depth) -> std::size_t {
        return depth > bound ? depth - bound : 0;
    };
    auto hi_at = [&bound, n](std::size_t depth) -> std::size_t {
        return bound >= n || n - bound <= depth ? n : depth + bound;
    };

    // A node on the path with children left. Its row is `own`; `up` is its
    // parent's row, which its children's transpositions read (a row is moved
    // when a chain of single children is walked: see below).
    using Position = typename Graph::Position;
    using Arc = typename Graph::Arc;
    // The least entries of a row, over the head and over the rest. The row
    // is spent once each is at its most (or over it): no child then comes
    // within reach but through a letter that costs nothing.
    struct Least {
        std::uint64_t head;
        std::uint64_t rest;
        std::uint64_t both() const noexcept { return std::min(head, rest); }
        void note(bool in_head, std::uint64_t entry) noexcept {
            std::uint64_t& part = in_head ? head : rest;
            part = std::min(part, entry);
        }
    };
    auto spent = [&](const Least& least) { return least.head >= head_bound() && least.rest >= bound; };
    struct Frame {
        Position node;
        typename Graph::Cursor cursor;  // while its children are taken in turn
        std::uint32_t taken;            // how many of them
        Letter from;                    // the least letter of a child still to visit
        std::size_t depth;
        std::size_t word_size;
        Letter letter;  // the edge by which it was entered
        Least least;
        std::size_t block;  // where its rows begin in `rows`
        Band own;
        Band up;
    };
    struct Kept {
        Band band;
        Least least;
    };
    std::vector<Frame> stack;
    std::vector<std::uint64_t> rows;
    std::size_t top = 0;  // the end of the rows in use
    std::string word;
    std::string turned;  // a reversed walk's word, the right way round

    // Offers the word in `word`, then lowers the bound when the best words
    // are all known.
    auto report = [&](std::uint64_t distance, std::uint64_t count) {
        if (pass.reversed) {
            turned.clear();
            utf8::append_reversed(turned, word);
            best.offer(turned, distance, count);
        } else {
            best.offer(word, distance, count);
        }
        if (!best.full()) return;
        // Words come in code-point order, so a later one at the worst kept
        // distance wins only on a higher count. (A reversed walk's words come
        // in another order.)
        const Suggestion& worst = best.worst();
        if (worst.count < ranking.count_ceiling || pass.reversed) {
            bound = std::min(bound, worst.distance);
        } else if (worst.distance > 0) {
            bound = std::min(bound, worst.distance - 1);
        } else {
            finished = true;
        }
    };

    // The ends of the words below a node whose row has no entry below the
    // bound: no edit is left, so each is a run of the query's letters, from
    // an entry j at the bound on (with transpositions, also a swapped pair
    // where the parent's row allows one). They are followed letter by letter,
    // without rows, in code-point order. A tail is its first letter and the
    // query's letters from `rest` on; tails sort by the first letter, then
    // by the rank of the rest among the query's suffixes. (Ranking them
    // costs up to n^2 log n steps: longer queries compute rows instead.)
    struct Tail {
        Letter first;
        std::size_t rest;
    };
    std::vector<Tail> tails;
    std::vector<std::size_t> suffix_rank;
    constexpr std::size_t longest_for_tails = 64;
    if (n <= longest_for_tails) {
        std::vector<std::size_t> order(n + 1);
        for (std::size_t i = 0; i <= n; ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return query.substr(a) < query.substr(b); });
        suffix_rank.resize(n + 1);
        for (std::size_t r = 0; r <= n; ++r) suffix_rank[order[r]] = r;
    }
    // The tails are followed side by side, a letter of each in turn: each
    // is a chain of lookups that wait on memory, and the chains of a node
    // are independent, so their waits overlap.
    std::vector<Position> tail_ends;
    std::vector<std::size_t> tail_next;  // the query letter each takes next
    auto follow_tails = [&](Position node, std::uint64_t distance) {
        auto before = [&](const Tail& a, const Tail& b) {
            return a.first != b.first ? a.first < b.first : suffix_rank[a.rest] < suffix_rank[b.rest];
        };
        std::sort(tails.begin(), tails.end(), before);
        tails.erase(std::unique(tails.begin(), tails.end(),
                                [&](const Tail& a, const Tail& b) { return !before(a, b); }),
                    tails.end());
        tail_ends.clear();
        tail_next.clear();
        for (const Tail& tail : tails) {
            tail_ends.push_back(graph.child(node, tail.first));
            tail_next.push_back(tail.rest);
        }
        std::size_t steps = tails.size();
        for (bool moved = true; moved;) {
            moved = false;
            for (std::size_t k = 0; k < tails.size(); ++k) {
                if (tail_next[k] == n || !Graph::found(tail_ends[k])) continue;
                tail_ends[k] = graph.child(tail_ends[k], query[tail_next[k]++]);
                moved = true;
                ++steps;
            }
        }
        countdown.spend(steps);
        work += steps;
        const std::size_t size = word.size();
        for (std::size_t k = 0; k < tails.size() && !finished && distance <= bound; ++k) {
            const Position at = tail_ends[k];
            if (!Graph::found(at) || !graph.is_end(at)) continue;
            utf8::append(word, tails[k].first);
            for (std::size_t i = tails[k].rest; i < n; ++i) utf8::append(word, query[i]);
            report(distance, graph.count(at));
            word.resize(size);
        }
    };

    // Writes at `top` the row of the child `edge` of `parent` at `depth` and
    // offers the word it ends. Its band when something below can still come
    // within the bound.
    auto enter = [&](const Frame& parent, Arc edge, std::size_t depth) -> std::optional<Kept> {
        const std::size_t lo = lo_at(depth), hi = hi_at(depth);
        if (lo > n) return std::nullopt;
        const std::uint64_t over = over_bound();
        const std::uint64_t cap = head_bound();
        countdown.spend(hi - lo);
        work += hi - lo + 1;
        if (rows.size() < top + (hi - lo + 1)) rows.resize(2 * (top + (hi - lo + 1)));
        const Band& up_band = parent.own;
        const std::size_t up_lo = up_band.lo, two_up_lo = parent.up.lo;
        const std::uint64_t* up = rows.data() + up_band.at;          // entry j at up[j - up_lo]
        const std::uint64_t* two_up = rows.data() + parent.up.at;    // ... at two_up[j - two_up_lo]
        std::uint64_t* out = rows.data() + top;                      // ... at out[j - lo]
        const Letter letter = edge.letter;
        // The swap of the query's letters j - 2 and j - 1 into the word's
        // last two, from the row two levels up (whose band holds j - 2).
        auto swapped = [&](std::size_t j) -> std::uint64_t {
            if constexpr (Transpose) {
                if (j >= 2 && depth >= 2 && query[j - 2] == letter && query[j - 1] == parent.letter) {
                    return two_up[j - 2 - two_up_lo] + 1;
                }
            }
            return over;
        };
        // Entry j from the one above it (`down`: the word's letter left
        // unmatched) and from the moves that take the query's letter j - 1
        // (`across`). A head entry may come to no more than `cap`; so may the
        // moves into the entry just after the head, which take its last letter.
        Least least{over, over};
        auto put = [&](std::size_t j, std::uint64_t down, std::uint64_t across) {
            if (Headed && j <= split) {
                if (across > cap) across = over;
                if (j < split && down > cap) down = over;
            }
            const std::uint64_t entry = std::min(down, across);
            out[j - lo] = entry;
            least.note(Headed && j < split, entry);
            return entry;
        };
        std::uint64_t left = over;
        std::size_t j = lo;
        if (j == 0) {
            left = put(0, up[0] + 1, over);  // lo == 0, so up_lo == 0
            j = 1;
        }
        for (const std::size_t with_up = std::min(hi, up_band.hi); j <= with_up; ++j) {
            const std::uint64_t diagonal = up[j - 1 - up_lo] + (query[j - 1] == letter ? 0 : 1);
            left = put(j, up[j - up_lo] + 1, std::min({left + 1, diagonal, swapped(j)}));
        }
        if (j == hi) {  // the band grew on the right: no entry above
            const std::uint64_t diagonal = up[j - 1 - up_lo] + (query[j - 1] == letter ? 0 : 1);
            left = put(j, over, std::min({left + 1, diagonal, swapped(j)}));
        }
        if constexpr (Transpose && Headed) {
            // A swap of the query's letters split - 1 and split, into the
            // entry split + 1 of a child's row, passes this row's entry
            // split, which the head's cap may have put over: the row is
            // kept for it while the swap's result is within the bound.
            if (split >= 1 && split < n && query[split] == letter && up_lo <= split - 1 &&
                split - 1 <= up_band.hi && up[split - 1 - up_lo] < bound) {
                least.rest = std::min(least.rest, up[split - 1 - up_lo] + 1);
            }
        }
        const std::uint64_t smallest = least.both();
        if (hi == n && out[n - lo] <= bound && graph.is_end(edge.child)) {
            report(out[n - lo], graph.count(edge.child));
        }
        if (finished || smallest > bound || graph.child_count(edge.child) == 0) return std::nullopt;
        // (A head entry within the bound but at its cap keeps the row from
        // being at the bound throughout unless the cap is the bound.)
        if (smallest == bound && !suffix_rank.empty()) {
            tails.clear();
            for (j = lo; j < std::min(hi + 1, n); ++j) {
                if (out[j - lo] == bound) tails.push_back({query[j], j + 1});
            }
            if constexpr (Transpose) {
                // The swap costs one edit after the parent row's entry j - 2.
                for (j = up_lo + 2; j <= std::min(n, up_band.hi + 2); ++j) {
                    if (query[j - 1] == letter && up[j - 2 - up_lo] + 1 == bound &&
                        (!Headed || j > split || cap >= bound)) {
                        tails.push_back({query[j - 2], j});
                    }
                }
            }
            follow_tails(edge.child, bound);
            return std::nullopt;
        }
        return Kept{Band{top, lo, hi}, least};
    };

    // When no entry of a frame's row is below the bound, a child comes
    // within it only through an edit that costs nothing: its letter is the
    // query's next (letter j - 1 for an entry j of the child's band), or
    // with transpositions the second of a swapped pair. Every other child's
    // row is the parent's plus one throughout, over the bound. So only those
    // few letters are looked up, not every child: near the root, where
    // nodes have dozens of children and any short prefix is within reach,
    // that is most of the walk. The least of those letters from `from` on.
    auto next_letter = [&](const Frame& frame, Letter from) -> std::optional<Letter> {
        const std::size_t depth = frame.depth + 1;
        const std::uint64_t* up = rows.data() + frame.own.at;
        const std::uint64_t* two_up = rows.data() + frame.up.at;
        std::optional<Letter> least;
        auto consider = [&](Letter c) {
            if (c >= from && (!least || c < *least)) least = c;
        };
        // Entries j of the child's band whose diagonal up[j - 1] is within
        // reach (and so at its most: the row is spent).
        const std::uint64_t cap = head_bound();
        auto most = [&](std::size_t j) { return Headed && j < split ? cap : bound; };
        const std::size_t lo = std::max<std::size_t>(lo_at(depth), 1);
        const std::size_t hi = std::min(hi_at(depth), frame.own.hi + 1);
        for (std::size_t j = std::max(lo, frame.own.lo + 1); j <= hi; ++j) {
            if (up[j - 1 - frame.own.lo] <= most(j - 1)) consider(query[j - 1]);
            if constexpr (Transpose) {
                // (The swap takes the query's letter j - 1, so counts
                // against the head up to the entry just after it.)
                if (j >= 2 && depth >= 2 && query[j - 1] == frame.letter &&
                    j - 2 >= frame.up.lo && j - 2 <= frame.up.hi &&
                    two_up[j - 2 - frame.up.lo] < (Headed && j <= split ? cap : bound)) {
                    consider(query[j - 2]);
                }
            }
        }
        if constexpr (Transpose && Headed) {
            // The first letter of a swap across the end of the head (see enter).
            const std::size_t j = split - 1;
            if (split >= 1 && split < n && frame.own.lo <= j && j <= frame.own.hi &&
                up[j - frame.own.lo] < bound) {
                consider(query[split]);
            }
        }
        return least;
    };

    if (graph.child_count(graph.root()) == 0) return;
    const std::size_t root_hi = hi_at(0);
    rows.resize(2 * (root_hi + 1));
    const std::uint64_t over = over_bound();
    Least root_least{over, over};
    for (std::size_t j = 0; j <= root_hi; ++j) {
        // (The first j letters of the query deleted: in the head up to its end.)
        rows[j] = Headed && j <= split && j > head_bound() ? over : j;
        root_least.note(Headed && j < split, rows[j]);
    }
    top = root_hi + 1;
    stack.push_back({graph.root(), graph.edges(graph.root()), 0, 0, 0, 0, 0, root_least, 0,
                     Band{0, 0, root_hi}, Band{}});
    // Below this many children, taking each in turn costs less than
    // looking up the few letters that can matter.
    constexpr std::uint32_t few_children = 3;

    while (!stack.empty() && !finished) {
        if (countdown.tick()) break;
        ++work;
        Frame& frame = stack.back();
        const std::uint32_t child_count = graph.child_count(frame.node);
        Arc edge;
        bool last;
        if (frame.least.both() > bound) {  // the bound fell below it meanwhile
            top = frame.block;
            stack.pop_back();
            continue;
        } else if (spent(frame.least) && child_count > few_children) {
            // (Such a frame goes when it has no letter left, rather than
            // when its last child starts: it is no link of a chain.)
            const std::optional<Letter> letter = next_letter(frame, frame.from);
            if (!letter) {
                top = frame.block;
                stack.pop_back();
                continue;
            }
            frame.from = *letter + 1;
            edge = {*letter, graph.child(frame.node, *letter)};
            if (!Graph::found(edge.child)) continue;
            last = false;
        } else {
            edge = graph.next(frame.cursor);
            frame.from = edge.letter + 1;
            last = ++frame.taken == child_count;
            if (!last) graph.prefetch(frame.cursor);
        }
        const std::size_t depth = frame.depth + 1;
        word.resize(frame.word_size);
        utf8::append(word, edge.letter);
        const std::optional<Kept> kept = enter(frame, edge, depth);
        Band up = frame.own;
        std::size_t block = top;
        if (last) {
            // The parent's children are all started, so its frame goes, and
            // its rows' place is reused: its own row moves down to where its
            // block began (the child's transpositions still read it), the
            // child's row after it. A chain of single children, however
            // long, thus holds two rows.
            block = frame.block;
            stack.pop_back();
            top = block;
            if (kept) {
                if constexpr (Transpose) {
                    move_row(rows, up.at, up.size(), block);
                    up.at = block;
                    top = block + up.size();
                }
                move_row(rows, kept->band.at, kept->band.size(), top);
            }
        }
        if (kept) {
            stack.push_back({edge.child, graph.edges(edge.child), 0, 0, depth, word.size(), edge.letter,
                             kept->least, block, Band{top, kept->band.lo, kept->band.hi}, up});
            top += kept->band.size();
        }
    }
}

}  // namespace

template <class Graph>
std::vector<Suggestion> suggest_words(const Graph& graph, std::string_view query,
                                      std::uint64_t max_distance, std::size_t limit,
                                      bool transpositions, std::uint64_t count_ceiling,
                                      Cancel* cancel, const CompactGraph* reversed, std::uint64_t* work) {
    if (limit == 0) return {};
    Cancel never;
    Cancel& stop = cancel ? *cancel : never;
    Cancel::Countdown countdown(stop);
    std::uint64_t steps = 0;
    const std::u32string letters = utf8::decode(query);
    const std::size_t n = letters.size();
    Ranking ranking{BestWords(limit), max_distance, count_ceiling};
    auto run = [&](const auto& on, std::u32string_view spelled, const Pass& pass) {
        if (pass.split == 0) {
            transpositions ? walk<true, false>(on, spelled, ranking, pass, countdown, steps)
                           : walk<false, false>(on, spelled, ranking, pass, countdown, steps);
        } else {
            transpositions ? walk<true, true>(on, spelled, ranking, pass, countdown, steps)
                           : walk<false, true>(on, spelled, ranking, pass, countdown, steps);
        }
    };
    if (reversed != nullptr && max_distance >= 1 && max_distance < n) {
        // An alignment within k edits spends at most k / 2 of them on the
        // query's first half, or else fewer than k - k / 2 on its second
        // half: the first walk heads with the first half, the second walks
        // the reversed words and heads with the second half reversed. (An
        // edit moving a letter across the middle counts for the second half
        // in the first walk and for the first half in the second: the
        // argument still holds.) Either walk can make only the few edits of
        // its head where the branches are many, near the root.
        const std::size_t half = n / 2;
        run(graph, letters, {half, max_distance / 2, false});
        if (!ranking.finished && !stop.cancelled()) {
            // The first walk may have lowered the bound past the worst word
            // kept, for words after it in code-point order: the reversed
            // walk's words come in another order.
            ranking.bound = ranking.best.full() ? std::min(max_distance, ranking.best.worst().distance)
                                                : max_distance;
            ranking.best.expect_repeats();
            const std::u32string backwards(letters.rbegin(), letters.rend());
            run(*reversed, backwards, {n - half, max_distance - max_distance / 2 - 1, true});
        }
    } else {
        run(graph, letters, Pass{});
    }
    if (work != nullptr) *work = steps;
    return std::move(ranking.best).ranked();
}

template std::vector<Suggestion> suggest_words(const StoreGraph&, std::string_view, std::uint64_t,
                                               std::size_t, bool, std::uint64_t, Cancel*,
                                               const CompactGraph*, std::uint64_t*);
template std::vector<Suggestion> suggest_words(const CompactGraph&, std::string_view, std::uint64_t,
                                               std::size_t, bool, std::uint64_t, Cancel*,
                                               const CompactGraph*, std::uint64_t*);

}  // namespace sorvan
