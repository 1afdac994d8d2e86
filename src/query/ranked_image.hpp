#pragma once
// A copy of a compact image that keeps word ranks, for an image without them
// (its words all have one count, so it was written without skips): built on
// the first rank query, so that index(), keys()[i] and the sizes of prefix
// views follow one path instead of walking the words before.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "compact/image.hpp"
#include "utils/built_on_demand.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

class RankedImage : public BuiltOnDemand<CompactImage> {
public:
    // The copy, once built.
    const CompactImage* image() const noexcept { return get(); }
    // Builds the copy of `image` (its trie again, laid out with skips),
    // unless another thread is at it: about what compact() takes, and a
    // fifth more memory than the image. Rank queries walk meanwhile, and
    // when memory runs out (until the next change) or `cancel` stops it.
    void build(const CompactImage& image, Cancel* cancel) const {
        BuiltOnDemand::build([&] { return copy_of(image, cancel); });
    }
    // The copy of `image`, or Cancelled; throws std::bad_alloc.
    static Result<std::unique_ptr<CompactImage>> copy_of(const CompactImage& image, Cancel* cancel) {
        auto nodes = image.to_store(cancel);
        if (!nodes) return std::unexpected(std::move(nodes.error()));
        // The copy is a Trie's image of the graph's words, so its total is
        // the sum of their counts: a DAWG's also holds what its empty word
        // was added with, which no word of the graph keeps.
        std::uint64_t word_count = 0;
        for (std::size_t i = 1; i < nodes->size(); ++i) word_count += (*nodes)[static_cast<NodeIndex>(i)].count;
        auto copy = CompactImage::open_built(
            CompactImage::build(*nodes, LexiconKind::Trie, word_count, nodes->size(), nullptr, cancel,
                                /*ranks=*/true),
            cancel);
        if (!copy) return std::unexpected(std::move(copy.error()));
        return std::make_unique<CompactImage>(std::move(*copy));
    }
};

}  // namespace sorvan
