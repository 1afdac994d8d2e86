#pragma once
// The steps of making an image shared by its two builders (from a trie in
// build.cpp, from sorted words in sorted_builder.cpp): minimising to a
// graph, laying the graph out in bytes, packing the counts, and assembling
// the sections.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "compact/image.hpp"
#include "node/node.hpp"
#include "utils/cancel.hpp"

namespace sorvan::build_steps {

// The build is a chain of passes over every node and every state, minutes
// long for tens of millions of words, so each pass counts its steps (on a
// countdown of its own, which stays in a register) and a stop unwinds the
// whole build at once: nothing it made is kept.
struct BuildStopped {};

class BuildCountdown {
public:
    explicit BuildCountdown(Cancel* cancel) noexcept : countdown_(cancel) {}
    // Counts `steps`: one a loop's turn, or a whole pass of a tight loop
    // before it starts (a count in its body slows it more than it is worth).
    void tick(std::size_t steps = 1) {
        countdown_.spend(steps - 1);
        if (countdown_.tick()) throw BuildStopped{};
    }
    // body(i) for every i below n, counted a block at a time: a pass over
    // tens of millions of states still stops within a block, and its tight
    // loop carries no count.
    template <class Body>
    void each(std::size_t n, Body&& body) {
        constexpr std::size_t block = std::size_t{1} << 16;
        for (std::size_t from = 0; from < n; from += block) {
            const std::size_t to = std::min(n, from + block);
            tick(to - from);
            for (std::size_t i = from; i < to; ++i) body(i);
        }
    }

private:
    Cancel::Countdown countdown_;
};

// The minimal graph of a trie: states made bottom-up, one per distinct
// (end flag, edges to distinct states); edges of state s are
// [first[s], first[s + 1]).
struct MinimalGraph {
    std::vector<std::uint32_t> first{0};
    std::vector<std::uint8_t> end;
    std::vector<Letter> letters;
    std::vector<std::uint32_t> targets;
    std::uint32_t root = 0;

    std::size_t states() const noexcept { return end.size(); }
    std::uint32_t edge_count(std::uint32_t s) const noexcept { return first[s + 1] - first[s]; }
};

inline std::uint64_t state_hash(const MinimalGraph& g, std::uint32_t from, std::uint32_t to, bool end) noexcept {
    std::uint64_t h = end ? 0x51ED27ULL : 0x2545F4914F6CDD1DULL;
    for (std::uint32_t i = from; i < to; ++i) {
        h = (h ^ g.letters[i]) * 0x9E3779B97F4A7C15ULL;
        h = (h ^ g.targets[i]) * 0xff51afd7ed558ccdULL;
        h ^= h >> 31;
    }
    return h;
}

// Makes the minimal graph bottom-up: each node of the trie is given to
// finish() once its children are, in depth-first letter order, so that a
// node's children's states are the last ones finished and not yet taken.
class Minimiser {
public:
    // The node whose children have the letters letter_at(0), ...,
    // letter_at(child_count - 1).
    template <class LetterAt>
    void finish(std::uint32_t child_count, bool end, LetterAt&& letter_at) {
        const auto from = static_cast<std::uint32_t>(g_.letters.size());
        const std::size_t children_at = finished_.size() - child_count;
        for (std::uint32_t i = 0; i < child_count; ++i) {
            g_.letters.push_back(letter_at(i));
            g_.targets.push_back(finished_[children_at + i]);
        }
        finished_.resize(children_at);
        const auto to = static_cast<std::uint32_t>(g_.letters.size());
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = state_hash(g_, from, to, end) & mask;
        for (; slots_[i] != 0; i = (i + 1) & mask) {
            if (same(slots_[i] - 1, from, to, end)) {
                finished_.push_back(slots_[i] - 1);
                g_.letters.resize(from);
                g_.targets.resize(from);
                return;
            }
        }
        const auto s = static_cast<std::uint32_t>(g_.states());
        g_.end.push_back(end);
        g_.first.push_back(to);
        slots_[i] = s + 1;
        finished_.push_back(s);
        if (++used_ * 2 > slots_.size()) grow();
    }
    // The graph, once the root is finished.
    MinimalGraph take() && {
        g_.root = finished_.back();
        return std::move(g_);
    }

private:
    bool same(std::uint32_t s, std::uint32_t from, std::uint32_t to, bool end) const noexcept {
        if (g_.end[s] != end || g_.edge_count(s) != to - from) return false;
        return std::equal(g_.letters.begin() + from, g_.letters.begin() + to, g_.letters.begin() + g_.first[s]) &&
               std::equal(g_.targets.begin() + from, g_.targets.begin() + to, g_.targets.begin() + g_.first[s]);
    }
    void grow() {
        std::vector<std::uint32_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t entry : old) {
            if (entry == 0) continue;
            const std::uint32_t s = entry - 1;
            std::size_t i = state_hash(g_, g_.first[s], g_.first[s + 1], g_.end[s]) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = entry;
        }
    }

    MinimalGraph g_;
    // The states of the finished nodes whose parent is not finished yet, in
    // the order they finished. (Far smaller than a state for every node.)
    std::vector<std::uint32_t> finished_;
    std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(1024, 0);  // state + 1; 0 is free
    std::size_t used_ = 0;
};

// The graph section: the states in reverse post-order from the root, so
// that every edge points forward (the graph is acyclic by its layout) and a
// state's last new child comes right after it; a single child there is a
// chain link and needs no address. Edges carry their skips only when
// `ranked`: with one count for every word, no walk needs a rank.
//
// Shared suffixes put the most used states far from most of their parents,
// so the states that records point to most often become *hubs*, named by a
// small number; the number of hubs is the one that makes the smallest image.
struct LaidOutGraph {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> hubs;  // their offsets, by hub number
    std::uint64_t words = 0;
};

LaidOutGraph lay_out(const MinimalGraph& g, bool ranked, Cancel* cancel);

// The counts in rank order as levels of codes into a table of the distinct
// counts, most frequent first (see RankedCounts), or as one level of the
// counts themselves (no table), whichever is smaller.
struct CountColumns {
    std::vector<std::uint64_t> table;
    std::vector<unsigned> widths;  // a level each
    std::vector<std::uint8_t> packed;

    // Whether counts differ by word, so that walks need ranks (as
    // RankedCounts::by_rank() says of the same levels).
    bool by_rank() const noexcept { return widths.size() > 1 || widths[0] != 0; }
};

// With `ranks`, counts that all are the same still go by rank (the counts
// themselves, at least a bit each), so that the graph keeps its skips.
CountColumns pack_counts(const std::vector<std::uint64_t>& counts, bool ranks = false);

// The bytes of an image of a laid-out graph and its counts.
std::unique_ptr<ImageBytes> assemble(const LaidOutGraph& graph, const CountColumns& counts, LexiconKind kind,
                                     std::uint64_t word_count, std::uint64_t length, const DawgState* dawg);

}  // namespace sorvan::build_steps
