#pragma once
// Membership in one load a byte. A compact graph answers `w in lexicon` by
// decoding a state at every letter: a chain of dependent loads and compares
// that costs some 20 ns a letter once the graph is out of the first-level
// cache. A double array over the words' UTF-8 bytes takes one load a byte:
// the edge for byte b out of a state whose base is B is unit B + b, which
// holds b itself (to tell whether the edge is there), whether the edge ends
// a word, the base of the state it leads to and, where counts differ by
// word, the words before the edge (so that a word's rank, which finds its
// count, is one pass too). It takes about 4 bytes an edge (8 with ranks or
// past 2^23 units), so a lexicon builds it only once its lookups have paid
// for it (MembershipCache).

#include <cstdint>
#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "compact/graph.hpp"
#include "utils/cancel.hpp"
#include "utils/built_on_demand.hpp"

namespace sorvan {

class MembershipIndex {
public:
    // Units hold a base of 31 bits: a graph needing more units has no index
    // (some 2 billion edges, far past what ranks below 2^32 allow).
    static constexpr std::size_t max_units = std::size_t{1} << 31;

    // Units of 32 bits, with a base of 23 bits and no skip, where they do.
    static constexpr std::size_t max_narrow_units = std::size_t{1} << 23;

    // The index of the words of `graph`, or nothing when they need more than
    // max_units units, or when `cancel` stopped it: with their ranks (the sums of the graph's skips) when
    // the graph keeps counts by rank, else in narrow units if they fit (half
    // the memory). Skips from `large` up are kept aside (a test lowers it to
    // reach them without millions of words). Throws std::bad_alloc.
    static std::unique_ptr<MembershipIndex> build(const CompactGraph& graph, Cancel* cancel = nullptr,
                                                  std::uint64_t large = skip_escape);

    // Whether `word` is a word of the graph (the empty word always is).
    bool contains(std::string_view word) const noexcept {
        const std::uint64_t unit = narrow_.empty() ? last_unit(units_, word) : last_unit(narrow_, word);
        return unit != free_unit && (unit & end_bit) != 0;
    }
    // Whether some word starts with `prefix`. (Bytes that stop inside a
    // letter lead on in the index, though to no state of the graph.)
    bool contains_prefix(std::string_view prefix) const noexcept {
        if (!ends_with_whole_letter(prefix)) return false;
        return (narrow_.empty() ? last_unit(units_, prefix) : last_unit(narrow_, prefix)) != free_unit;
    }
    // Whether rank_of() answers: the index of a graph with counts by rank.
    bool has_ranks() const noexcept { return narrow_.empty(); }
    // The rank of `word` in the graph it was built from, or nothing when it
    // is not a word there: one pass, so that a count by rank needs no walk
    // of the graph. Only when has_ranks().
    std::optional<std::uint64_t> rank_of(std::string_view word) const noexcept {
        std::uint64_t base = root_base_;
        std::uint64_t unit = end_bit;
        std::uint64_t rank = 0;
        for (const char c : word) {
            const auto byte = static_cast<std::uint8_t>(c);
            const std::uint64_t at = base + byte;
            unit = units_[at];
            if ((unit & 0xFF) != byte) return std::nullopt;
            base = (unit >> base_shift) & base_mask;
            const std::uint64_t skip = unit >> skip_shift;
            rank += skip != skip_escape ? skip : large_skip(at);
        }
        if ((unit & end_bit) == 0) return std::nullopt;
        return rank;
    }
    std::size_t memory() const noexcept {
        return units_.capacity() * sizeof(std::uint64_t) + narrow_.capacity() * sizeof(std::uint32_t) +
               large_skips_.capacity() * sizeof(LargeSkip);
    }

    // A unit: the byte of its edge (0xFF, which no UTF-8 text holds, in a
    // free unit), then the end flag, the base of the edge's target, and the
    // words below the edges before it out of the same node (with the node's
    // own word): its skip, or skip_escape for one kept in large_skips_.
    static constexpr std::uint64_t end_bit = 0x100;
    static constexpr unsigned base_shift = 9;
    static constexpr std::uint64_t base_mask = (std::uint64_t{1} << 31) - 1;
    static constexpr unsigned skip_shift = 40;
    static constexpr std::uint64_t skip_escape = (std::uint64_t{1} << (64 - skip_shift)) - 1;
    // The unit of an edge whose skip is kept aside or is `skip`.
    static constexpr std::uint64_t make_unit(std::uint8_t byte, bool end, std::uint64_t base, std::uint64_t skip,
                                             bool aside) noexcept {
        return ((aside ? skip_escape : skip) << skip_shift) | (base << base_shift) | (end ? end_bit : 0) | byte;
    }

private:
    // The unit of the last of `bytes` followed from the root (for no bytes,
    // one that ends a word), or free_unit where no edge leads on. (A narrow
    // unit's base is all its bits past the end flag, so the mask keeps it.)
    template <class Unit>
    std::uint64_t last_unit(const std::vector<Unit>& units, std::string_view bytes) const noexcept {
        std::uint64_t base = root_base_;
        std::uint64_t unit = end_bit;
        for (const char c : bytes) {
            const auto byte = static_cast<std::uint8_t>(c);
            unit = units[base + byte];
            if ((unit & 0xFF) != byte) return free_unit;
            base = (unit >> base_shift) & base_mask;
        }
        return unit;
    }
    static bool ends_with_whole_letter(std::string_view text) noexcept {
        // The last letter's first byte, at most 3 bytes back, says its length.
        std::size_t start = text.size();
        while (start > 0 && text.size() - start < 4 && (static_cast<std::uint8_t>(text[start - 1]) & 0xC0) == 0x80) --start;
        if (start == 0) return text.empty();
        const auto lead = static_cast<std::uint8_t>(text[start - 1]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        return text.size() - (start - 1) == length;
    }

    // A skip too large for its unit's field: few edges have one (only those
    // with millions of words before them), found by bisection.
    struct LargeSkip {
        std::uint64_t unit;
        std::uint64_t skip;
    };
    std::uint64_t large_skip(std::uint64_t unit) const noexcept;

    static constexpr std::uint64_t free_unit = ~std::uint64_t{0};
    // Bases start past the first 256 units, which stay free: a state
    // without edges has base 0, where no byte leads anywhere.
    static constexpr std::uint32_t first_base = 256;

    MembershipIndex() = default;

    // With 256 free units past the last base: units_, or when narrow, narrow_.
    std::vector<std::uint64_t> units_;
    std::vector<std::uint32_t> narrow_;
    std::vector<LargeSkip> large_skips_;  // by unit
    std::uint64_t root_base_ = 0;
};

// A lexicon's MembershipIndex, built once the bytes of the queries its
// compact graph has walked for membership come to the graph's size
// (`worth`), and dropped at every change.
class MembershipCache : public BuiltOnDemand<MembershipIndex> {
public:
    // The index, once built.
    const MembershipIndex* index() const noexcept { return get(); }
    // Counts the `bytes` of a query walked in `graph` without the index,
    // and builds it once they come to enough, unless another thread is at
    // it. When memory runs out, or the graph is too large, it gives up
    // until the next change.
    void count_walk(std::size_t bytes, const CompactGraph& graph) const noexcept {
        if (worth_building(bytes, worth * graph.size())) {
            build([&]() -> Result<std::unique_ptr<MembershipIndex>> { return MembershipIndex::build(graph); });
        }
    }

    // The bytes walked, a graph byte, that are worth the build: a byte
    // walked in the graph costs about 20 ns (5 in the index), and the build
    // about 20 ns a byte of graph (English words: 1.9 MB in 37 ms). Built
    // once the walks cost as much as the build, lookups take at most twice
    // as long as if it had been built at once.
    static constexpr std::uint64_t worth = 1;
};

}  // namespace sorvan
