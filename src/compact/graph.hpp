#pragma once
// The read-only word graph of a compact lexicon: a minimal acyclic graph laid
// out in one byte buffer (see docs/image-format.md), with the words' counts
// kept beside it by word rank. It is a WordGraph (graph/graph.hpp), like the
// mutable store's StoreGraph, so the traversals serve both.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "compact/format.hpp"
#include "graph/graph.hpp"
#include "node/node.hpp"

namespace sorvan {


// The words' counts by rank: codes in up to four levels (see "Counts" in
// docs/image-format.md). A word's code at one level is an index into the
// table of distinct counts, most frequent first, or the level's escape (all
// ones), which sends it to the next level, at its rank among the escapes. A
// level but the last has codes of 1, 2, 4 or 8 bits, so none straddles a
// word, and a directory of the escapes before every block of 256 codes.
class RankedCounts {
public:
    static constexpr unsigned max_levels = 4;
    static constexpr std::uint64_t block = image::count_block;
    struct Level {
        const std::uint8_t* codes = nullptr;      // whole 8-byte words
        const std::uint8_t* directory = nullptr;  // u32 a block (not in the last level)
        unsigned width = 0;
        std::uint64_t entries = 0;  // codes in the level
    };

    RankedCounts() = default;
    // Over validated levels; with no table, the last level's codes are the
    // counts themselves. The sections are followed by at least 9 readable
    // bytes.
    RankedCounts(const std::uint8_t* table, std::size_t table_size, const Level* levels, unsigned level_count) noexcept
        : table_(table), table_size_(table_size), level_count_(level_count) {
        for (unsigned l = 0; l < level_count; ++l) levels_[l] = levels[l];
    }

    // Whether counts differ by word, so that a walk must keep ranks.
    bool by_rank() const noexcept { return level_count_ > 1 || levels_[0].width != 0; }

    // The count of the word of rank `rank`; 0 with `bad` set where the rank,
    // an escape's rank in the next level or a code is out of range (the
    // image was opened without reading every code, and is damaged).
    std::uint64_t count(std::uint64_t rank, bool& bad) const noexcept {
        std::uint64_t base = 0;
        for (unsigned l = 0;; ++l) {
            const Level& level = levels_[l];
            if (rank >= level.entries) [[unlikely]] {
                bad = true;
                return 0;
            }
            const std::uint64_t code = read_code(level.codes, rank, level.width);
            if (l + 1 == level_count_) return value(base + code, bad);
            const std::uint64_t escape = (std::uint64_t{1} << level.width) - 1;
            if (code != escape) return value(base + code, bad);
            rank = escapes_before(level, rank);
            base += escape;
        }
    }

    // Code `i` of `width` bits, packed low bit first.
    static std::uint64_t read_code(const std::uint8_t* codes, std::uint64_t i, unsigned width) noexcept {
        if (width == 0) return 0;
        const std::uint64_t bit = i * width;
        std::uint64_t word;
        std::memcpy(&word, codes + bit / 8, sizeof word);
        std::uint64_t v = word >> (bit % 8);
        if (width + bit % 8 > 64) v |= std::uint64_t{codes[bit / 8 + 8]} << (64 - bit % 8);
        return width < 64 ? v & ((std::uint64_t{1} << width) - 1) : v;
    }
    // The lowest bit of every `width`-bit code in `word` that is all ones.
    static std::uint64_t escape_marks(std::uint64_t word, unsigned width) noexcept {
        for (unsigned shift = 1; shift < width; shift *= 2) word &= word >> shift;
        switch (width) {
            case 1: return word;
            case 2: return word & 0x5555555555555555ULL;
            case 4: return word & 0x1111111111111111ULL;
            default: return word & 0x0101010101010101ULL;
        }
    }
    // The escapes among the codes before `i` of a level with a directory.
    static std::uint64_t escapes_before(const Level& level, std::uint64_t i) noexcept {
        std::uint32_t before;
        std::memcpy(&before, level.directory + 4 * (i / block), sizeof before);
        const std::uint64_t per_word = 64 / level.width;
        std::uint64_t n = before;
        for (std::uint64_t w = i / block * block / per_word; w < i / per_word; ++w) {
            n += static_cast<std::uint64_t>(std::popcount(escape_marks(load(level.codes, w), level.width)));
        }
        if (const std::uint64_t rest = i % per_word; rest != 0) {
            const std::uint64_t mask = (std::uint64_t{1} << (rest * level.width)) - 1;
            n += static_cast<std::uint64_t>(std::popcount(escape_marks(load(level.codes, i / per_word), level.width) & mask));
        }
        return n;
    }

private:
    static std::uint64_t load(const std::uint8_t* words, std::uint64_t w) noexcept {
        std::uint64_t v;
        std::memcpy(&v, words + 8 * w, sizeof v);
        return v;
    }
    std::uint64_t value(std::uint64_t index, bool& bad) const noexcept {
        if (table_size_ == 0) return index;
        if (index >= table_size_) [[unlikely]] {
            bad = true;
            return 0;
        }
        std::uint64_t out;
        std::memcpy(&out, table_ + 8 * index, sizeof out);
        return out;
    }

    const std::uint8_t* table_ = nullptr;
    std::size_t table_size_ = 0;
    Level levels_[max_levels];
    unsigned level_count_ = 1;
};

// The states of a graph numbered in layout order: a bitmap of the offsets
// where states start, and the starts before each of its words, so that an
// offset's number is a count of bits.
class StateNumbers {
public:
    explicit StateNumbers(std::uint64_t graph_size) : starts_((graph_size + 63) / 64, 0) {}

    void mark(std::uint64_t at) noexcept { starts_[at / 64] |= bit(at); }
    // Once every start is marked, before any question below.
    void count() {
        rank_.assign(starts_.size() + 1, 0);
        for (std::size_t i = 0; i < starts_.size(); ++i) {
            rank_[i + 1] = rank_[i] + static_cast<std::uint32_t>(std::popcount(starts_[i]));
        }
    }
    std::uint32_t states() const noexcept { return rank_.back(); }
    // The number of the state that starts at `at`, or not_a_start.
    static constexpr std::uint32_t not_a_start = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t number(std::uint64_t at) const noexcept {
        const std::uint64_t word = starts_[at / 64];
        const std::uint64_t here = bit(at);
        const std::uint32_t before = rank_[at / 64] + static_cast<std::uint32_t>(std::popcount(word & (here - 1)));
        return (word & here) != 0 ? before : not_a_start;
    }
    // Starts loading what number(at) reads.
    void prefetch(std::uint64_t at) const noexcept {
        __builtin_prefetch(&starts_[at / 64]);
        __builtin_prefetch(&rank_[at / 64]);
    }

private:
    static std::uint64_t bit(std::uint64_t at) noexcept { return std::uint64_t{1} << (at % 64); }

    std::vector<std::uint64_t> starts_;
    std::vector<std::uint32_t> rank_;  // the starts before each word of starts_
};

class CompactGraph {
public:
    // A state and the rank of the first word at or below it.
    struct Position {
        // Below 2^32. A whole word, so that a Position has no padding: GCC
        // keeps padding bits through copies, with masks and a stalled load.
        std::uint64_t at;
        std::uint64_t rank;
    };
    // The next edge of a state still to be visited.
    struct Cursor {
        const std::uint8_t* record;  // the next record, or the chain's child
        std::uint64_t rank;          // of the state the edges leave
        std::uint32_t at;
        std::uint8_t letter_width;   // 0 for a chain
        std::uint8_t target_width;
        std::uint8_t skip_width;
        Letter chain_letter;
        std::uint32_t count;  // of the state's edges
    };

    // A state is reached by many paths (shared suffixes are stored once).
    static constexpr bool shares_states = true;
    // The most bytes of a state's header and of a letter: a child count
    // below 2^33 with two flags, a code point.
    static constexpr unsigned header_bytes = 5;
    static constexpr unsigned letter_bytes = 3;

    CompactGraph() = default;
    // Over sections whose bounds are checked: the graph (`size` bytes, below
    // 2^32), its hub table (`hub_count` little-endian u32 offsets) and the
    // counts. Each section is followed by at least 16 readable bytes.
    //
    // The states themselves need not be checked: every read stays inside
    // the graph and every edge leads forward, so a walk of damaged bytes
    // ends, and reads nothing outside. What it meets there (a state or
    // record past the graph, an edge that leads back, a bad letter, a rank
    // or count code out of range) sets `*fault` (unless null) and leads the
    // walk to dead(), a state past the graph without edges or word.
    CompactGraph(const std::uint8_t* graph, std::uint64_t size, const std::uint8_t* hubs, std::uint32_t hub_count,
                 const RankedCounts& counts, std::atomic<bool>* fault = nullptr) noexcept
        : graph_(graph), size_(size), hubs_(hubs), hub_count_(hub_count), counts_(counts), fault_(fault),
          identity_(graphs_opened.fetch_add(1, std::memory_order_relaxed) + 1) {}

    // Whether a walk met damage (see the constructor): what it answered
    // since is not to be trusted.
    bool faulted() const noexcept { return fault_ != nullptr && fault_->load(std::memory_order_relaxed); }
    // Reports damage that a caller met (a walk that the ranks say must
    // succeed and does not).
    void fail() const noexcept {
        if (fault_ != nullptr) fault_->store(true, std::memory_order_relaxed);
    }
    // The state that a walk meeting damage goes to.
    std::uint32_t dead() const noexcept { return static_cast<std::uint32_t>(size_); }

    // Tells apart the graphs of a process, for as long as it runs: never 0,
    // never given twice, so what a thread remembers of a graph it walked is
    // never taken for a later graph that took its place in memory.
    std::uint64_t identity() const noexcept { return identity_; }

    // The graph's size in bytes: its states lie back to back from the root.
    std::uint64_t size() const noexcept { return size_; }
    static Position root() noexcept { return {0, 0}; }
    // The root is nobody's child, so offset 0 says "no such edge".
    static bool found(Position p) noexcept { return p.at != 0; }

    bool is_end(Position p) const noexcept { return header(p.at) & image::end_bit; }
    std::uint32_t child_count(Position p) const noexcept {
        return static_cast<std::uint32_t>(header(p.at) >> image::count_shift);
    }
    NodeShape shape(Position p) const noexcept {
        const std::uint64_t h = header(p.at);
        return {static_cast<std::uint32_t>(h >> image::count_shift), (h & image::end_bit) != 0};
    }
    // The count of the word ending at `p` (is_end(p) must hold).
    std::uint64_t count(Position p) const noexcept { return count_of_rank(p.rank); }
    // Whether counts differ by word (else count() needs no rank).
    bool counts_by_rank() const noexcept { return counts_.by_rank(); }
    // The count of the word of rank `rank` (below the number of words), on
    // a graph whose positions carry ranks.
    std::uint64_t count_of_rank(std::uint64_t rank) const noexcept {
        bool bad = false;
        const std::uint64_t count = counts_.count(rank, bad);
        if (bad) [[unlikely]] fail();
        return count;
    }

    // Once the graph is validated: the root's edges by letter, for letters
    // below 256, so that no walk searches its widest state.
    void index_root() noexcept {
        root_edges_.fill({0, 0});
        Cursor c = edges(root());
        for (std::uint32_t i = 0; i < c.count; ++i) {
            const Arc arc = next(c);
            if (arc.letter < root_edges_.size()) {  // ranks stay below 2^32 (checked at loading)
                root_edges_[arc.letter] = {static_cast<std::uint32_t>(arc.child.at),
                                           static_cast<std::uint32_t>(arc.child.rank)};
            }
        }
        root_indexed_ = true;
    }

    Position child(Position p, Letter letter) const noexcept {
        if (p.at == 0 && root_indexed_ && letter < root_edges_.size()) {
            const RootEdge edge = root_edges_[letter];
            return {edge.at, edge.rank};
        }
        if (p.at >= size_) [[unlikely]] return {0, 0};
        const std::uint8_t* q = graph_ + p.at;
        const std::uint64_t h = varint(q, header_bytes);
        const std::uint64_t n = h >> image::count_shift;
        const std::uint64_t end = h & image::end_bit;
        if (h & image::chain_bit) {
            const std::uint8_t* r = q;
            if (varint(r, letter_bytes) != letter) return {0, 0};
            return {chain_child(r), p.rank + end};
        }
        if (n == 0) return {0, 0};
        const unsigned w = *q++;
        const auto [lw, dw, sw] = image::record_widths(w);
        const unsigned size = lw + dw + sw;
        if (!records_fit(q, n, w)) [[unlikely]] return {0, 0};
        if (lw == 1 && n <= 8) {  // the common state: a few one-byte letters
            if (letter > 0xFF) return {0, 0};
            for (const std::uint8_t* r = q; r != q + n * size; r += size) {
                if (*r < letter) continue;
                if (*r > letter) break;
                return {target(p.at, image::read_le(r + 1, dw)), p.rank + image::read_le(r + 1 + dw, sw)};
            }
            return {0, 0};
        }
        return child_in_wide(p, q, n, lw, dw, sw, letter);
    }

    Cursor edges(Position p) const noexcept {
        Cursor c;
        edges(p, c);
        return c;
    }
    // The same, written into `c` where it stays: a cursor built aside and
    // copied costs a store-forwarding stall.
    void edges(Position p, Cursor& c) const noexcept {
        c.at = static_cast<std::uint32_t>(p.at);
        c.rank = p.rank;
        c.letter_width = 0;
        c.target_width = 0;
        c.skip_width = 0;
        c.chain_letter = 0;
        if (p.at >= size_) [[unlikely]] {
            dead_end(c);
            return;
        }
        const std::uint8_t* q = graph_ + p.at;
        const std::uint64_t h = varint(q, header_bytes);
        c.count = static_cast<std::uint32_t>(h >> image::count_shift);
        c.record = q;
        if (h & image::chain_bit) {
            c.chain_letter = checked_letter(varint(q, letter_bytes));
            c.rank += h & image::end_bit;
            c.record = q;
            if (static_cast<std::uint64_t>(q - graph_) >= size_) [[unlikely]] {
                fail();
                dead_end(c);
            }
        } else if (const std::uint64_t n = h >> image::count_shift; n != 0) {
            const unsigned w = *q++;
            const image::RecordWidths widths = image::record_widths(w);
            c.letter_width = static_cast<std::uint8_t>(widths.letter);
            c.target_width = static_cast<std::uint8_t>(widths.target);
            c.skip_width = static_cast<std::uint8_t>(widths.skip);
            c.record = q;
            if (!records_fit(q, n, w)) [[unlikely]] dead_end(c);
        }
    }
    struct Arc {
        Letter letter;
        Position child;
    };
    // The next edge's letter and target; the cursor moves past it.
    Arc next(Cursor& c) const noexcept {
        if (c.letter_width == 0) {
            return {c.chain_letter, {static_cast<std::uint32_t>(c.record - graph_), c.rank}};
        }
        const std::uint8_t* r = c.record;
        c.record += c.letter_width + c.target_width + c.skip_width;
        // No skips where every word has the same count: no field to read.
        const std::uint64_t skip = c.skip_width ? image::read_le(r + c.letter_width + c.target_width, c.skip_width) : 0;
        return {checked_letter(image::read_le(r, c.letter_width)),
                {target(c.at, image::read_le(r + c.letter_width, c.target_width)), c.rank + skip}};
    }
    // The offset right after the state that the cursor `c`, untouched by
    // next(), was made for (a chain's child comes right after its state).
    std::uint64_t state_end(const Cursor& c) const noexcept {
        const std::uint64_t record = c.letter_width + c.target_width + c.skip_width;
        return static_cast<std::uint64_t>(c.record - graph_) + (c.letter_width == 0 ? 0 : c.count * record);
    }
    // Word ranks, on an image whose skips are all there (see
    // CompactImage::ranked()): a state's words are the ranks from its
    // position's rank up to an `end` that its parent knows.
    //
    // The child of `p` under `letter`, with the rank past its words: the
    // next edge's rank, or `end` (the rank past p's words) after the last.
    // Bisects a state's records.
    struct Span {
        Position child;
        std::uint64_t end;
    };
    Span child_span(Position p, std::uint64_t end, Letter letter) const noexcept {
        Cursor c;
        edges(p, c);
        if (c.count == 0) return {{0, 0}, 0};
        if (c.letter_width == 0) {
            const Arc arc = next(c);
            return arc.letter == letter ? Span{arc.child, end} : Span{{0, 0}, 0};
        }
        std::uint32_t lo = 0, hi = c.count;
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (record(c, mid).letter < letter) lo = mid + 1; else hi = mid;
        }
        if (lo == c.count) return {{0, 0}, 0};
        const Arc arc = record(c, lo);
        if (arc.letter != letter) return {{0, 0}, 0};
        return {arc.child, lo + 1 < c.count ? record(c, lo + 1).child.rank : end};
    }
    // The edge of `p` whose words hold rank `rank`, which is among p's
    // words but not p's own; p has edges.
    Arc edge_to_rank(Position p, std::uint64_t rank) const noexcept {
        Cursor c;
        edges(p, c);
        if (c.letter_width == 0) return next(c);
        std::uint32_t lo = 0, hi = c.count;  // the last edge whose rank is <= rank
        while (hi - lo > 1) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (record(c, mid).child.rank <= rank) lo = mid; else hi = mid;
        }
        return record(c, lo);
    }

    void prefetch(const Cursor& c) const noexcept {
        if (c.letter_width != 0) {
            // (It may read past the state's last record: no damage to report.)
            const std::uint64_t to = unchecked_target(c.at, image::read_le(c.record + c.letter_width, c.target_width));
            __builtin_prefetch(graph_ + std::min(to, size_));
        }
    }

    // The state an edge of the state at `at` leads to, from the edge's
    // target field: a hub's number, or past the hubs, the distance forward.
    // One that does not lead forward inside the graph leads to dead().
    std::uint32_t target(std::uint32_t at, std::uint64_t field) const noexcept {
        std::uint64_t to = at + (field - hub_count_);
        if (field < hub_count_) {
            std::uint32_t hub;
            std::memcpy(&hub, hubs_ + 4 * field, sizeof hub);
            to = hub;
        }
        if (to <= at || to >= size_) [[unlikely]] {
            fail();
            return dead();
        }
        return static_cast<std::uint32_t>(to);
    }
    // The same for a field not yet checked: in 64 bits, so that a forged
    // field lands past the graph instead of wrapping round, and hub or
    // offset chosen by a mask (a check meets them at random, and a branch
    // between them mispredicts; a walk predicts it, and pays for the mask).
    // A field past the hubs reads the entry after the table, in the
    // section's padding, and drops it.
    std::uint64_t unchecked_target(std::uint32_t at, std::uint64_t field) const noexcept {
        std::uint32_t hub;
        std::memcpy(&hub, hubs_ + 4 * std::min<std::uint64_t>(field, hub_count_), sizeof hub);
        const std::uint64_t is_hub = std::uint64_t{0} - (field < hub_count_);
        return (hub & is_hub) | ((at + field - hub_count_) & ~is_hub);
    }

private:
    // Record `i` of the state that `c` (not a chain's, untouched by next())
    // was made for.
    Arc record(const Cursor& c, std::uint32_t i) const noexcept {
        Cursor at = c;
        at.record += std::size_t{i} * (c.letter_width + c.target_width + c.skip_width);
        return next(at);
    }

    // The edge for `letter` among a wide state's `n` records from q. (A
    // function of its own: written into child(), it made the wildcard walks
    // that inline child() a fifth slower.)
    Position child_in_wide(Position p, const std::uint8_t* q, std::uint64_t n, unsigned lw, unsigned dw,
                           unsigned sw, Letter letter) const noexcept {
        const unsigned size = lw + dw + sw;
        // Letters rise by at least one a record, so the first and the last
        // bound where `letter` can be: in a state whose letters run without
        // gaps (most wide states), to the one record.
        auto edge_at = [&](std::size_t i) -> Position {
            const std::uint8_t* r = q + i * size;
            return {target(p.at, image::read_le(r + lw, dw)), p.rank + image::read_le(r + lw + dw, sw)};
        };
        const std::uint64_t first = image::read_le(q, lw);
        const std::uint64_t last = image::read_le(q + (n - 1) * size, lw);
        if (letter <= first || letter >= last) {
            if (letter == first) return edge_at(0);
            if (letter == last) return edge_at(n - 1);
            return {0, 0};
        }
        std::size_t hi = static_cast<std::size_t>(std::min<std::uint64_t>(n - 2, letter - first)) + 1;
        std::size_t lo = last - letter < n - 1 ? static_cast<std::size_t>(n - 1 - (last - letter)) : 1;
        while (lo + 4 < hi) {  // binary search over [lo, hi)
            const std::size_t mid = (lo + hi) / 2;
            if (image::read_le(q + mid * size, lw) <= letter) lo = mid; else hi = mid;
        }
        for (std::size_t i = lo; i < hi; ++i) {
            const std::uint64_t c = image::read_le(q + i * size, lw);
            if (c < letter) continue;
            if (c > letter) break;
            return edge_at(i);
        }
        return {0, 0};
    }

    std::uint64_t header(std::uint64_t at) const noexcept {
        if (at >= size_) [[unlikely]] return 0;  // dead(): no edges, no word
        const std::uint8_t* q = graph_ + at;
        return varint(q, header_bytes);
    }

    // A letter read from the image: a code point, or damage, spelt U+FFFD
    // (no word is ever spelt with a value that is not a code point).
    Letter checked_letter(std::uint64_t c) const noexcept {
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) [[unlikely]] {
            fail();
            return 0xFFFD;
        }
        return static_cast<Letter>(c);
    }
    // A LEB128 value of at most `most` bytes at q; a longer one is damage
    // (read as 0). From a state inside the graph, a header and a letter end
    // inside its padding.
    std::uint64_t varint(const std::uint8_t*& q, unsigned most) const noexcept {
        std::uint64_t v = *q++;
        if (v < 0x80) [[likely]] return v;
        v &= 0x7F;
        for (unsigned i = 1; i < most; ++i) {
            const std::uint64_t b = *q++;
            v |= (b & 0x7F) << (7 * i);
            if (b < 0x80) return v;
        }
        fail();
        return 0;
    }
    // The state after a chain's letter at r: its child, inside the graph.
    std::uint32_t chain_child(const std::uint8_t* r) const noexcept {
        const auto at = static_cast<std::uint64_t>(r - graph_);
        if (at >= size_) [[unlikely]] {
            fail();
            return dead();
        }
        return static_cast<std::uint32_t>(at);
    }
    // Whether `n` records of widths `w` from q lie inside the graph (and
    // the widths are ones a reader knows); damage if not.
    bool records_fit(const std::uint8_t* q, std::uint64_t n, unsigned w) const noexcept {
        const auto widths = image::record_widths(w);
        const auto left = static_cast<std::uint64_t>(graph_ + size_ - q);
        if (widths.skip <= 7 && q <= graph_ + size_ && n <= left && n * (widths.letter + widths.target + widths.skip) <= left) {
            return true;
        }
        fail();
        return false;
    }
    // Makes `c` the cursor of dead()'s single edge-less state.
    void dead_end(Cursor& c) const noexcept {
        c.count = 0;
        c.letter_width = 0;
        c.record = graph_ + size_;
    }

    const std::uint8_t* graph_ = nullptr;
    std::uint64_t size_ = 0;
    const std::uint8_t* hubs_ = nullptr;
    std::uint32_t hub_count_ = 0;
    RankedCounts counts_;
    struct RootEdge {
        std::uint32_t at;  // 0: no edge
        std::uint32_t rank;
    };
    std::array<RootEdge, 256> root_edges_{};
    bool root_indexed_ = false;
    std::atomic<bool>* fault_ = nullptr;
    std::uint64_t identity_ = 0;

    inline static std::atomic<std::uint64_t> graphs_opened{0};
};

static_assert(WordGraph<CompactGraph>);

}  // namespace sorvan
