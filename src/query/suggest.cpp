#include "query/suggest.hpp"

#include <algorithm>
#include <optional>

#include "query/banded_row.hpp"
#include "query/best_words.hpp"
#include "query/search.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

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

// The least entries of a row, over the head and over the rest. The row is
// spent once each is at its most (or over it): no child then comes within
// reach but through a letter that costs nothing.
struct Least {
    std::uint64_t head;
    std::uint64_t rest;
    std::uint64_t both() const noexcept { return std::min(head, rest); }
    void note(bool in_head, std::uint64_t entry) noexcept {
        std::uint64_t& part = in_head ? head : rest;
        part = std::min(part, entry);
    }
};

// A child's row, kept while something below it can come within the bound.
struct Kept {
    Band band;
    Least least;
};

// The end of a word below a node whose row has no entry below the bound: no
// edit is left, so it is a run of the query's letters, its first letter and
// then the query's letters from `rest` on (see Walk::follow_tails).
struct Tail {
    Letter first;
    std::size_t rest;
};

// One walk of a graph, for one pass of a query (see Pass), offering what it
// finds to the ranking it shares with the query's other walk. Transpose:
// the optimal string alignment distance, whose recurrence also reads the
// row two levels up, so each frame knows its parent's row too. Headed: the
// pass has a head.
//
// The bound only shrinks. At depth d a row keeps only the band of entries j
// with |d - j| <= bound (see banded_row.hpp), computed with the bound of the
// moment: a band is never wider than its parent's plus one entry on the
// right. Entries outside a band are read as just above the bound of the
// moment, so an entry is exact when within the bound, and known to be above
// it otherwise, whatever bound it was computed under.
template <bool Transpose, bool Headed, class Graph>
class Walk {
public:
    Walk(const Graph& graph, std::u32string_view query, Ranking& ranking, const Pass& pass,
         Cancel::Countdown& countdown, std::uint64_t& work)
        : graph_(graph), query_(query), n_(query.size()), best_(ranking.best), bound_(ranking.bound),
          finished_(ranking.finished), count_ceiling_(ranking.count_ceiling), pass_(pass),
          countdown_(countdown), work_(work) {
        rank_suffixes();
    }

    // Walks the graph depth first until its end, the end of the ranking, or
    // a stop from the countdown.
    void run() {
        if (!push_root()) return;
        while (!stack_.empty() && !finished_) {
            if (countdown_.tick()) break;
            ++work_;
            if (const std::optional<Step> step = next_child()) descend(*step);
        }
    }

private:
    using Position = typename Graph::Position;
    using Arc = typename Graph::Arc;

    // A node on the path with children left. Its row is `own`; `up` is its
    // parent's row, which its children's transpositions read (a row is moved
    // when a chain of single children is walked: see descend).
    struct Frame {
        Position node;
        typename Graph::Cursor cursor;  // while its children are taken in turn
        std::uint32_t taken;            // how many of them
        Letter from;                    // the least letter of a child still to visit
        std::size_t depth;
        std::size_t word_size;
        Letter letter;  // the edge by which it was entered
        Least least;
        std::size_t block;  // where its rows begin in `rows_`
        Band own;
        Band up;
    };

    // A child to enter, and whether it is the last of its parent's.
    struct Step {
        Arc edge;
        bool last;
    };

    // Below this many children, taking each in turn costs less than looking
    // up the few letters that can matter.
    static constexpr std::uint32_t few_children = 3;
    // Ranking the tails costs up to n^2 log n steps: longer queries compute
    // rows instead.
    static constexpr std::size_t longest_for_tails = 64;

    // The most a head entry may be: no more than the bound either.
    std::uint64_t head_bound() const noexcept { return std::min(pass_.head_edits, bound_); }
    std::size_t lo_at(std::size_t depth) const noexcept { return band_lo(depth, bound_); }
    std::size_t hi_at(std::size_t depth) const noexcept { return band_hi(depth, bound_, n_); }
    bool spent(const Least& least) const noexcept {
        return least.head >= head_bound() && least.rest >= bound_;
    }
    // Whether entry j of a row belongs to the head.
    bool in_head(std::size_t j) const noexcept { return Headed && j < pass_.split; }

    // The rank of each suffix of the query among them all, by which tails
    // sort; none for a query too long for tails.
    void rank_suffixes() {
        if (n_ > longest_for_tails) return;
        std::vector<std::size_t> order(n_ + 1);
        for (std::size_t i = 0; i <= n_; ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return query_.substr(a) < query_.substr(b); });
        suffix_rank_.resize(n_ + 1);
        for (std::size_t r = 0; r <= n_; ++r) suffix_rank_[order[r]] = r;
    }

    // Offers the word in `word_`, then lowers the bound when the best words
    // are all known.
    void report(std::uint64_t distance, std::uint64_t count) {
        if (pass_.reversed) {
            turned_.clear();
            utf8::append_reversed(turned_, word_);
            best_.offer(turned_, distance, count);
        } else {
            best_.offer(word_, distance, count);
        }
        if (!best_.full()) return;
        // Words come in code-point order, so a later one at the worst kept
        // distance wins only on a higher count. (A reversed walk's words come
        // in another order.)
        const Suggestion& worst = best_.worst();
        if (worst.count < count_ceiling_ || pass_.reversed) {
            bound_ = std::min(bound_, worst.distance);
        } else if (worst.distance > 0) {
            bound_ = std::min(bound_, worst.distance - 1);
        } else {
            finished_ = true;
        }
    }

    // Pushes the root's frame; false when the root has no children.
    bool push_root() {
        if (graph_.child_count(graph_.root()) == 0) return false;
        const std::size_t root_hi = hi_at(0);
        rows_.entries.resize(2 * (root_hi + 1));
        const std::uint64_t over = band_over(bound_);
        Least least{over, over};
        for (std::size_t j = 0; j <= root_hi; ++j) {
            // (The first j letters of the query deleted: in the head up to its end.)
            rows_.entries[j] = Headed && j <= pass_.split && j > head_bound() ? over : j;
            least.note(in_head(j), rows_.entries[j]);
        }
        rows_.top = root_hi + 1;
        stack_.push_back({graph_.root(), graph_.edges(graph_.root()), 0, 0, 0, 0, 0, least, 0,
                          Band{0, 0, root_hi}, Band{}});
        return true;
    }

    // Drops the top frame and its rows.
    void pop() {
        rows_.top = stack_.back().block;
        stack_.pop_back();
    }

    // The next child of the top frame to enter, or none when the frame went
    // or the letter looked up has no child.
    std::optional<Step> next_child() {
        Frame& frame = stack_.back();
        const std::uint32_t child_count = graph_.child_count(frame.node);
        if (frame.least.both() > bound_) {  // the bound fell below it meanwhile
            pop();
            return std::nullopt;
        }
        if (spent(frame.least) && child_count > few_children) {
            // (Such a frame goes when it has no letter left, rather than
            // when its last child starts: it is no link of a chain.)
            const std::optional<Letter> letter = next_letter(frame, frame.from);
            if (!letter) {
                pop();
                return std::nullopt;
            }
            frame.from = *letter + 1;
            const Arc edge{*letter, graph_.child(frame.node, *letter)};
            if (!Graph::found(edge.child)) return std::nullopt;
            return Step{edge, false};
        }
        const Arc edge = graph_.next(frame.cursor);
        frame.from = edge.letter + 1;
        const bool last = ++frame.taken == child_count;
        if (!last) graph_.prefetch(frame.cursor);
        return Step{edge, last};
    }

    // Enters the child of the top frame, and pushes its frame when something
    // below it can come within the bound.
    void descend(const Step& step) {
        Frame& frame = stack_.back();
        const std::size_t depth = frame.depth + 1;
        word_.resize(frame.word_size);
        utf8::append(word_, step.edge.letter);
        const std::optional<Kept> kept = enter(frame, step.edge, depth);
        Band up = frame.own;
        std::size_t block = rows_.top;
        if (step.last) {
            // The parent's children are all started, so its frame goes, and
            // its rows' place is reused: its own row moves down to where its
            // block began (the child's transpositions still read it), the
            // child's row after it. A chain of single children, however
            // long, thus holds two rows.
            block = frame.block;
            stack_.pop_back();
            rows_.top = block;
            if (kept) {
                if constexpr (Transpose) {
                    rows_.move(up.at, up.size(), block);
                    up.at = block;
                    rows_.top = block + up.size();
                }
                rows_.move(kept->band.at, kept->band.size(), rows_.top);
            }
        }
        if (kept) {
            stack_.push_back({step.edge.child, graph_.edges(step.edge.child), 0, 0, depth, word_.size(),
                              step.edge.letter, kept->least, block,
                              Band{rows_.top, kept->band.lo, kept->band.hi}, up});
            rows_.top += kept->band.size();
        }
    }

    // Writes at the top of the rows the row of the child `edge` of `parent`
    // at `depth` and offers the word it ends. Its band when something below
    // can still come within the bound.
    std::optional<Kept> enter(const Frame& parent, Arc edge, std::size_t depth) {
        const std::size_t lo = lo_at(depth), hi = hi_at(depth);
        if (lo > n_) return std::nullopt;
        const std::uint64_t over = band_over(bound_);
        const std::uint64_t cap = head_bound();
        countdown_.spend(hi - lo);
        work_ += hi - lo + 1;
        std::uint64_t* out = rows_.room(hi - lo + 1);             // entry j at out[j - lo]
        const Band& up_band = parent.own;
        const std::uint64_t* up = rows_.row(up_band.at);          // ... at up[j - up_band.lo]
        const Letter letter = edge.letter;
        const std::size_t split = pass_.split;
        // Entry j from the one above it (`down`) and from the moves that take
        // the query's letter j - 1 (`across`). A head entry may come to no
        // more than `cap`; so may the moves into the entry just after the
        // head, which take its last letter.
        Least least{over, over};
        auto put = [&](std::size_t j, std::uint64_t down, std::uint64_t across) {
            if (Headed && j <= split) {
                if (across > cap) across = over;
                if (j < split && down > cap) down = over;
            }
            const std::uint64_t entry = std::min(down, across);
            least.note(in_head(j), entry);
            return entry;
        };
        if constexpr (Transpose) {
            // The swap of the query's letters j - 2 and j - 1 into the word's
            // last two, from the row two levels up (whose band holds j - 2).
            const std::uint64_t* two_up = rows_.row(parent.up.at);  // entry j at two_up[j - parent.up.lo]
            auto swapped = [&](std::size_t j) -> std::uint64_t {
                if (j >= 2 && depth >= 2 && query_[j - 2] == letter && query_[j - 1] == parent.letter) {
                    return two_up[j - 2 - parent.up.lo] + 1;
                }
                return over;
            };
            fill_band(query_, letter, up, up_band.lo, up_band.hi, out, lo, hi, over, put, swapped);
        } else {
            fill_band(query_, letter, up, up_band.lo, up_band.hi, out, lo, hi, over, put);
        }
        if constexpr (Transpose && Headed) {
            // A swap of the query's letters split - 1 and split, into the
            // entry split + 1 of a child's row, passes this row's entry
            // split, which the head's cap may have put over: the row is
            // kept for it while the swap's result is within the bound.
            if (split >= 1 && split < n_ && query_[split] == letter && up_band.lo <= split - 1 &&
                split - 1 <= up_band.hi && up[split - 1 - up_band.lo] < bound_) {
                least.rest = std::min(least.rest, up[split - 1 - up_band.lo] + 1);
            }
        }
        const std::uint64_t smallest = least.both();
        if (hi == n_ && out[n_ - lo] <= bound_ && graph_.is_end(edge.child)) {
            report(out[n_ - lo], graph_.count(edge.child));
        }
        if (finished_ || smallest > bound_ || graph_.child_count(edge.child) == 0) return std::nullopt;
        // (A head entry within the bound but at its cap keeps the row from
        // being at the bound throughout unless the cap is the bound.)
        if (smallest == bound_ && !suffix_rank_.empty()) {
            gather_tails(Band{rows_.top, lo, hi}, up_band, letter, cap);
            follow_tails(edge.child, bound_);
            return std::nullopt;
        }
        return Kept{Band{rows_.top, lo, hi}, least};
    }

    // The tails below a child whose row `band` is at the bound throughout,
    // entered by `letter` from the row `up_band` (`cap`: the head's cap its
    // row was computed under): one for each entry j at the bound, and with
    // transpositions one for each swapped pair the parent's row allows.
    void gather_tails(const Band& band, const Band& up_band, Letter letter, std::uint64_t cap) {
        const std::uint64_t* out = rows_.row(band.at);
        const std::uint64_t* up = rows_.row(up_band.at);
        tails_.clear();
        for (std::size_t j = band.lo; j < std::min(band.hi + 1, n_); ++j) {
            if (out[j - band.lo] == bound_) tails_.push_back({query_[j], j + 1});
        }
        if constexpr (Transpose) {
            // The swap costs one edit after the parent row's entry j - 2.
            for (std::size_t j = up_band.lo + 2; j <= std::min(n_, up_band.hi + 2); ++j) {
                if (query_[j - 1] == letter && up[j - 2 - up_band.lo] + 1 == bound_ &&
                    (!Headed || j > pass_.split || cap >= bound_)) {
                    tails_.push_back({query_[j - 2], j});
                }
            }
        }
    }

    // Follows the tails below `node`, each at `distance`, and offers the
    // words they end. The tails are followed letter by letter, without rows,
    // in code-point order: they sort by the first letter, then by the rank
    // of the rest among the query's suffixes. They are followed side by
    // side, a letter of each in turn: each is a chain of lookups that wait
    // on memory, and the chains of a node are independent, so their waits
    // overlap.
    void follow_tails(Position node, std::uint64_t distance) {
        auto before = [&](const Tail& a, const Tail& b) {
            return a.first != b.first ? a.first < b.first : suffix_rank_[a.rest] < suffix_rank_[b.rest];
        };
        std::sort(tails_.begin(), tails_.end(), before);
        tails_.erase(std::unique(tails_.begin(), tails_.end(),
                                 [&](const Tail& a, const Tail& b) { return !before(a, b); }),
                     tails_.end());
        tail_ends_.clear();
        tail_next_.clear();
        for (const Tail& tail : tails_) {
            tail_ends_.push_back(graph_.child(node, tail.first));
            tail_next_.push_back(tail.rest);
        }
        std::size_t steps = tails_.size();
        for (bool moved = true; moved;) {
            moved = false;
            for (std::size_t k = 0; k < tails_.size(); ++k) {
                if (tail_next_[k] == n_ || !Graph::found(tail_ends_[k])) continue;
                tail_ends_[k] = graph_.child(tail_ends_[k], query_[tail_next_[k]++]);
                moved = true;
                ++steps;
            }
        }
        countdown_.spend(steps);
        work_ += steps;
        const std::size_t size = word_.size();
        for (std::size_t k = 0; k < tails_.size() && !finished_ && distance <= bound_; ++k) {
            const Position at = tail_ends_[k];
            if (!Graph::found(at) || !graph_.is_end(at)) continue;
            utf8::append(word_, tails_[k].first);
            for (std::size_t i = tails_[k].rest; i < n_; ++i) utf8::append(word_, query_[i]);
            report(distance, graph_.count(at));
            word_.resize(size);
        }
    }

    // When no entry of a frame's row is below the bound, a child comes
    // within it only through an edit that costs nothing: its letter is the
    // query's next (letter j - 1 for an entry j of the child's band), or
    // with transpositions the second of a swapped pair. Every other child's
    // row is the parent's plus one throughout, over the bound. So only those
    // few letters are looked up, not every child: near the root, where
    // nodes have dozens of children and any short prefix is within reach,
    // that is most of the walk. The least of those letters from `from` on.
    std::optional<Letter> next_letter(const Frame& frame, Letter from) const {
        const std::size_t depth = frame.depth + 1;
        const std::uint64_t* up = rows_.row(frame.own.at);
        const std::uint64_t* two_up = rows_.row(frame.up.at);
        std::optional<Letter> least;
        auto consider = [&](Letter c) {
            if (c >= from && (!least || c < *least)) least = c;
        };
        // Entries j of the child's band whose diagonal up[j - 1] is within
        // reach (and so at its most: the row is spent).
        const std::uint64_t cap = head_bound();
        auto most = [&](std::size_t j) { return in_head(j) ? cap : bound_; };
        const std::size_t lo = std::max<std::size_t>(lo_at(depth), 1);
        const std::size_t hi = std::min(hi_at(depth), frame.own.hi + 1);
        for (std::size_t j = std::max(lo, frame.own.lo + 1); j <= hi; ++j) {
            if (up[j - 1 - frame.own.lo] <= most(j - 1)) consider(query_[j - 1]);
            if constexpr (Transpose) {
                // (The swap takes the query's letter j - 1, so counts
                // against the head up to the entry just after it.)
                if (j >= 2 && depth >= 2 && query_[j - 1] == frame.letter &&
                    j - 2 >= frame.up.lo && j - 2 <= frame.up.hi &&
                    two_up[j - 2 - frame.up.lo] < (Headed && j <= pass_.split ? cap : bound_)) {
                    consider(query_[j - 2]);
                }
            }
        }
        if constexpr (Transpose && Headed) {
            // The first letter of a swap across the end of the head (see enter).
            const std::size_t split = pass_.split;
            const std::size_t j = split - 1;
            if (split >= 1 && split < n_ && frame.own.lo <= j && j <= frame.own.hi &&
                up[j - frame.own.lo] < bound_) {
                consider(query_[split]);
            }
        }
        return least;
    }

    const Graph& graph_;
    const std::u32string_view query_;
    const std::size_t n_;
    BestWords& best_;
    std::uint64_t& bound_;
    bool& finished_;
    const std::uint64_t count_ceiling_;
    const Pass& pass_;
    Cancel::Countdown& countdown_;
    std::uint64_t& work_;

    std::vector<Frame> stack_;
    BandedRows rows_;
    std::string word_;
    std::string turned_;  // a reversed walk's word, the right way round
    std::vector<Tail> tails_;
    std::vector<std::size_t> suffix_rank_;
    std::vector<Position> tail_ends_;
    std::vector<std::size_t> tail_next_;  // the query letter each takes next
};

// Runs one walk (see Walk).
template <bool Transpose, bool Headed, class Graph>
void walk(const Graph& graph, std::u32string_view query, Ranking& ranking, const Pass& pass,
          Cancel::Countdown& countdown, std::uint64_t& work) {
    Walk<Transpose, Headed, Graph>(graph, query, ranking, pass, countdown, work).run();
}

}  // namespace

template <WordGraph Graph>
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
