#pragma once
// The read-only word graph of a compact lexicon: a minimal acyclic graph laid
// out in one byte buffer (see docs/image-format.md), with the words' counts
// kept beside it by word rank. It has the same small read interface as
// StoreGraph (trie/graph.hpp), so the traversals serve both.

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

#include "node/node.hpp"

namespace sorvan {

namespace image {

// A little-endian value of `width` <= 8 bytes at p. The buffer always holds
// at least 8 readable bytes past any field (the sections are padded), so the
// load is one unaligned word.
inline std::uint64_t read_le(const std::uint8_t* p, unsigned width) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return width >= 8 ? v : v & ((std::uint64_t{1} << (8 * width)) - 1);
}

// A LEB128 value at p (at most 10 bytes, already validated).
inline std::uint64_t read_varint(const std::uint8_t*& p) noexcept {
    std::uint64_t v = *p++;
    if (v < 0x80) [[likely]] return v;
    v &= 0x7F;
    for (unsigned shift = 7;; shift += 7) {
        const std::uint64_t b = *p++;
        v |= (b & 0x7F) << shift;
        if (b < 0x80) return v;
    }
}

// The flag bits of a state's header varint; the rest is the child count.
inline constexpr std::uint64_t end_bit = 1;
inline constexpr std::uint64_t chain_bit = 2;
inline constexpr unsigned count_shift = 2;

}  // namespace image

class CompactGraph {
public:
    // A state and the rank of the first word at or below it.
    struct Position {
        std::uint32_t at;
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

    CompactGraph() = default;
    // Over validated sections: the graph, its hub table (`hub_count`
    // little-endian u32 offsets), the table of distinct counts (`table_size`
    // little-endian u64; none means the indices are the counts) and the
    // packed indices, `index_bits` a word. Each section is followed by at
    // least 9 readable bytes.
    CompactGraph(const std::uint8_t* graph, const std::uint8_t* hubs, std::uint32_t hub_count,
                 const std::uint8_t* table, std::size_t table_size, const std::uint8_t* indices,
                 unsigned index_bits) noexcept
        : graph_(graph), hubs_(hubs), hub_count_(hub_count), table_(table), table_size_(table_size),
          indices_(indices), index_bits_(index_bits) {}

    static Position root() noexcept { return {0, 0}; }
    // The root is nobody's child, so offset 0 says "no such edge".
    static bool found(Position p) noexcept { return p.at != 0; }

    bool is_end(Position p) const noexcept { return header(p.at) & image::end_bit; }
    std::uint32_t child_count(Position p) const noexcept {
        return static_cast<std::uint32_t>(header(p.at) >> image::count_shift);
    }
    // The count of the word ending at `p` (is_end(p) must hold).
    std::uint64_t count(Position p) const noexcept {
        const std::uint64_t bit = p.rank * index_bits_;
        std::uint64_t v = 0;
        if (index_bits_ != 0) {
            std::uint64_t word;
            std::memcpy(&word, indices_ + bit / 8, sizeof word);
            v = word >> (bit % 8);
            if (index_bits_ + bit % 8 > 64) v |= std::uint64_t{indices_[bit / 8 + 8]} << (64 - bit % 8);
            if (index_bits_ < 64) v &= (std::uint64_t{1} << index_bits_) - 1;
        }
        if (table_size_ == 0) return v;
        std::uint64_t out;
        std::memcpy(&out, table_ + 8 * v, sizeof out);
        return out;
    }

    Position child(Position p, Letter letter) const noexcept {
        const std::uint8_t* q = graph_ + p.at;
        const std::uint64_t h = image::read_varint(q);
        const std::uint64_t n = h >> image::count_shift;
        const std::uint64_t end = h & image::end_bit;
        if (h & image::chain_bit) {
            const std::uint8_t* r = q;
            if (image::read_varint(r) != letter) return {0, 0};
            return {static_cast<std::uint32_t>(r - graph_), p.rank + end};
        }
        if (n == 0) return {0, 0};
        const unsigned w = *q++;
        const unsigned lw = (w & 3) + 1, dw = ((w >> 2) & 3) + 1, sw = w >> 4;
        const unsigned size = lw + dw + sw;
        if (lw == 1 && n <= 8) {  // the common state: a few one-byte letters
            if (letter > 0xFF) return {0, 0};
            for (const std::uint8_t* r = q; r != q + n * size; r += size) {
                if (*r < letter) continue;
                if (*r > letter) break;
                return {target(p.at, image::read_le(r + 1, dw)), p.rank + image::read_le(r + 1 + dw, sw)};
            }
            return {0, 0};
        }
        std::size_t lo = 0, hi = n;  // binary search over the fixed-width records
        while (hi - lo > 4) {
            const std::size_t mid = (lo + hi) / 2;
            if (image::read_le(q + mid * size, lw) <= letter) lo = mid; else hi = mid;
        }
        for (std::size_t i = lo; i < hi; ++i) {
            const std::uint8_t* r = q + i * size;
            const std::uint64_t c = image::read_le(r, lw);
            if (c < letter) continue;
            if (c > letter) break;
            return {target(p.at, image::read_le(r + lw, dw)), p.rank + image::read_le(r + lw + dw, sw)};
        }
        return {0, 0};
    }

    Cursor edges(Position p) const noexcept {
        Cursor c;
        edges(p, c);
        return c;
    }
    // The same, written into `c` where it stays: a cursor built aside and
    // copied costs a store-forwarding stall.
    void edges(Position p, Cursor& c) const noexcept {
        const std::uint8_t* q = graph_ + p.at;
        const std::uint64_t h = image::read_varint(q);
        c.at = p.at;
        c.rank = p.rank;
        c.count = static_cast<std::uint32_t>(h >> image::count_shift);
        c.letter_width = 0;
        c.target_width = 0;
        c.skip_width = 0;
        c.chain_letter = 0;
        c.record = q;
        if (h & image::chain_bit) {
            c.chain_letter = static_cast<Letter>(image::read_varint(q));
            c.rank += h & image::end_bit;
            c.record = q;
        } else if ((h >> image::count_shift) != 0) {
            const unsigned w = *q++;
            c.letter_width = static_cast<std::uint8_t>((w & 3) + 1);
            c.target_width = static_cast<std::uint8_t>(((w >> 2) & 3) + 1);
            c.skip_width = static_cast<std::uint8_t>(w >> 4);
            c.record = q;
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
        return {static_cast<Letter>(image::read_le(r, c.letter_width)),
                {target(c.at, image::read_le(r + c.letter_width, c.target_width)),
                 c.rank + image::read_le(r + c.letter_width + c.target_width, c.skip_width)}};
    }
    void prefetch(const Cursor& c) const noexcept {
        if (c.letter_width != 0) {
            __builtin_prefetch(graph_ + target(c.at, image::read_le(c.record + c.letter_width, c.target_width)));
        }
    }

    // The state an edge of the state at `at` leads to, from the edge's
    // target field: a hub's number, or past the hubs, the distance forward.
    std::uint32_t target(std::uint32_t at, std::uint64_t field) const noexcept {
        if (field < hub_count_) {
            std::uint32_t hub;
            std::memcpy(&hub, hubs_ + 4 * field, sizeof hub);
            return hub;
        }
        return at + static_cast<std::uint32_t>(field - hub_count_);
    }

private:
    std::uint64_t header(std::uint32_t at) const noexcept {
        const std::uint8_t* q = graph_ + at;
        return image::read_varint(q);
    }

    const std::uint8_t* graph_ = nullptr;
    const std::uint8_t* hubs_ = nullptr;
    std::uint32_t hub_count_ = 0;
    const std::uint8_t* table_ = nullptr;
    std::size_t table_size_ = 0;
    const std::uint8_t* indices_ = nullptr;
    unsigned index_bits_ = 0;
};

}  // namespace sorvan
