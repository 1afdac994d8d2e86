#pragma once
// Ranked completion: the stored words that start with a prefix, or with
// something within a few edits of it, the most frequent first.
//
// A word w completes `prefix` at distance d when the least distance between
// `prefix` and a prefix of w (any of them, from the empty one to w itself)
// is d. One depth-first walk keeps the distance rows of its path, as the
// Levenshtein search does. The least entry of a row never falls with depth,
// so once it is no lower than the least distance met on the path, every
// word below is at that distance: the walk stops there and hands over the
// whole subtree. In the compact form a subtree's words are one range of
// ranks, and the counts kept by rank get a range-maximum structure
// (CountMaxima), so the best words of a range come out of a heap of ranges
// in time that does not grow with the range. The mutable form keeps a
// bound of the counts at and below each node (Node::best), up to date
// through every change, and ranks the words of a prefix best first over
// those bounds. Elsewhere (within a distance on the mutable form, or an
// image whose counts are all equal) the subtrees' words are walked in
// code-point order into a bounded heap, pruned as suggest() prunes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compact/graph.hpp"
#include "compact/image.hpp"
#include "error/error.hpp"
#include "graph/graph.hpp"
#include "query/suggest.hpp"
#include "utils/built_on_demand.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

// The highest count of any range of ranks: the counts' maxima over blocks
// of 16 ranks, a sparse table over superblocks of 16 blocks (the block of
// the highest count of 2^k superblocks from each), and scans at a range's
// two ends: of the counts inside a block, of the blocks' maxima inside a
// superblock. 9/16 of a byte a word for the blocks, and 4 bytes a level
// for every 256 words: under a byte a word up to 2^32 words.
class CountMaxima {
public:
    // Over the counts of the `words` ranks of `graph` (whose positions
    // carry ranks); Cancelled when `cancel` stops it.
    static Result<std::unique_ptr<CountMaxima>> build(const CompactGraph& graph, std::uint64_t words,
                                                      Cancel* cancel);
    // Over the counts of `image` (which keeps ranks), checked first (see
    // CompactImage::check): a damaged one's ranks may not lead to counts.
    static Result<std::unique_ptr<CountMaxima>> of_image(const CompactImage& image, Cancel* cancel) {
        if (Status sound = image.check(cancel); !sound) return std::unexpected(std::move(sound.error()));
        return build(image.graph(), image.distinct_words(), cancel);
    }
    // The rank of the highest count among ranks [lo, hi) (lo < hi), the
    // first such rank on a tie.
    std::uint64_t top(const CompactGraph& graph, std::uint64_t lo, std::uint64_t hi) const noexcept;
    // The memory it holds.
    std::size_t bytes() const noexcept;
    // The number of ranks it covers.
    std::uint64_t words() const noexcept { return words_; }

private:
    static constexpr unsigned block_shift = 4;
    static constexpr unsigned super_shift = 4;  // blocks a superblock, as a shift

    // The block of the higher maximum, the first on a tie.
    std::uint32_t better(std::uint32_t a, std::uint32_t b) const noexcept {
        if (block_max_[a] != block_max_[b]) return block_max_[a] > block_max_[b] ? a : b;
        return std::min(a, b);
    }
    // The block of the highest count among blocks [a, b) (a < b).
    std::uint32_t top_block(std::uint64_t a, std::uint64_t b) const noexcept;

    std::uint64_t words_ = 0;
    std::vector<std::uint64_t> block_max_;
    std::vector<std::uint8_t> block_at_;  // the rank of its maximum within the block
    // levels_[k][i]: the best block of superblocks [i, i + 2^k).
    std::vector<std::vector<std::uint32_t>> levels_;
};

// The CountMaxima of a compact image, built for its ranked completions
// (see LexiconQueries::count_maxima).
class CompletionIndex : public BuiltOnDemand<CountMaxima> {
public:
    const CountMaxima* maxima() const noexcept { return get(); }
    // Builds it over `image` (which keeps ranks) unless another thread is
    // at it: a read of every count (0.2 to 0.33 s for 10M words).
    // Completions walk meanwhile, and when memory runs out.
    void build(const CompactImage& image, Cancel* cancel) const {
        BuiltOnDemand::build([&] { return CountMaxima::of_image(image, cancel); });
    }
};

// The words of `graph` that complete `prefix` within `max_distance` edits
// (see above; with `transpositions` the optimal string alignment distance,
// as suggest_words), ranked by distance, then the higher count, then code
// point: at most `limit` (all_suggestions: all). No stored count exceeds
// `count_ceiling`. `maxima`, given only with a CompactGraph whose positions
// carry ranks, ranks the words of a subtree without walking them; a
// StoreGraph's nodes must carry their bounds of counts. A cancelled walk
// returns the ranking of what it saw.
template <WordGraph Graph>
std::vector<Suggestion> complete_words(const Graph& graph, std::string_view prefix, std::uint64_t max_distance,
                                       std::size_t limit, bool transpositions, std::uint64_t count_ceiling,
                                       const CountMaxima* maxima = nullptr, Cancel* cancel = nullptr);

// Appends to `word` (which spells the path to `at`) the rest of the word of
// rank `rank` below `at`, on a compact graph whose positions carry ranks.
void spell_rank(const CompactGraph& graph, CompactGraph::Position at, std::uint64_t rank, std::string& word);

}  // namespace sorvan
