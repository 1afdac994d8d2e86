#pragma once
// A row of the Levenshtein table kept only over its band, and the buffer
// that holds the rows of a depth-first walk's path: what the Levenshtein
// search and suggest() share.
//
// A word of d letters is at least |d - j| edits from the first j letters of
// the query, so at depth d only the entries j with |d - j| <= bound can be
// within the bound, and a row keeps just that band, [lo, hi]. An entry
// outside the band is read as `over`: lower than its true value, but above
// the bound, which is all a walk asks of it. (When the bound is so large
// that `over` could overflow, the band is the whole row and nothing is read
// outside it.) An entry is thus exact when within the bound, and known to be
// above it otherwise.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "node/node.hpp"

namespace sorvan {

// The first entry of the band at `depth` under `bound`.
constexpr std::size_t band_lo(std::size_t depth, std::uint64_t bound) noexcept {
    return depth > bound ? depth - bound : 0;
}

// The last entry of the band at `depth` under `bound`, for a query of `n`
// letters.
constexpr std::size_t band_hi(std::size_t depth, std::uint64_t bound, std::size_t n) noexcept {
    return bound >= n || n - bound <= depth ? n : depth + bound;
}

// What an entry outside the band is read as: just above `bound`.
constexpr std::uint64_t band_over(std::uint64_t bound) noexcept {
    return bound == UINT64_MAX ? bound : bound + 1;
}

// A row's entries [lo, hi], entry j at rows[at + j - lo].
struct Band {
    std::size_t at = 0;
    std::size_t lo = 0;
    std::size_t hi = 0;
    std::size_t size() const noexcept { return hi - lo + 1; }
};

// The rows of the nodes on a walk's path, one after the other in one
// buffer; `top` ends the last.
struct BandedRows {
    std::vector<std::uint64_t> entries;
    std::size_t top = 0;

    // Where a row of `size` entries goes, at `top` (which does not move).
    // Earlier rows may move with the buffer: read them after this.
    std::uint64_t* room(std::size_t size) {
        if (entries.size() < top + size) entries.resize(2 * (top + size));
        return entries.data() + top;
    }
    const std::uint64_t* row(std::size_t at) const noexcept { return entries.data() + at; }

    // Moves `size` entries from `from` down to `to` (to <= from).
    void move(std::size_t from, std::size_t size, std::size_t to) noexcept {
        if (from != to) std::copy_n(entries.begin() + static_cast<std::ptrdiff_t>(from), size,
                                    entries.begin() + static_cast<std::ptrdiff_t>(to));
    }
};

// No transpositions: the `swap` of fill_band that never offers a move.
struct NoSwap {};

// Writes at `out` the band [lo, hi] of the row of a node entered by the
// letter `letter`, from its parent's row `up`, whose band is [up_lo, up_hi].
// lo is 0 or up_lo + 1, so the entry j - 1 above exists for every j > 0 of
// the band, and the entry j above for all but j = hi when the band grew on
// the right.
//
// Entry j is put(j, down, across), which returns it: `down` comes from the
// entry above (the word's letter left unmatched; `over` when there is none)
// and `across` from the moves that take the query's letter j - 1 (inserting
// it, matching or replacing it on the diagonal, and, unless `swap` is
// NoSwap, swap(j): the transposition that ends there, or `over`).
template <class Put, class Swap = NoSwap>
void fill_band(std::u32string_view query, Letter letter, const std::uint64_t* up, std::size_t up_lo,
               std::size_t up_hi, std::uint64_t* out, std::size_t lo, std::size_t hi,
               std::uint64_t over, Put&& put, Swap&& swap = {}) {
    auto across = [&](std::size_t j, std::uint64_t left) {
        const std::uint64_t diagonal = up[j - 1 - up_lo] + (query[j - 1] == letter ? 0 : 1);
        if constexpr (std::is_same_v<std::remove_cvref_t<Swap>, NoSwap>) {
            return std::min(left + 1, diagonal);
        } else {
            return std::min({left + 1, diagonal, swap(j)});
        }
    };
    std::uint64_t left = over;
    std::size_t j = lo;
    if (j == 0) {
        left = out[0] = put(0, up[0] + 1, over);  // lo == 0, so up_lo == 0
        j = 1;
    }
    for (const std::size_t with_up = std::min(hi, up_hi); j <= with_up; ++j) {
        left = out[j - lo] = put(j, up[j - up_lo] + 1, across(j, left));
    }
    if (j == hi) left = out[j - lo] = put(j, over, across(j, left));
}

}  // namespace sorvan
