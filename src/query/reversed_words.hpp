#pragma once
// The words of a lexicon spelled backwards, with their counts, in a compact
// graph of their own, which suggest_words() walks beside the lexicon's graph
// (see suggest.hpp).
//
// Building it costs about what compacting the lexicon does, so suggestions
// build it for themselves once they have done that much work without it
// (see BuiltOnDemand).

#include <cstdint>
#include <memory>

#include "compact/image.hpp"
#include "graph/graph.hpp"
#include "utils/built_on_demand.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

// The compact image of the words of `graph` (a StoreGraph or a
// CompactGraph) spelled backwards, each with its count, the highest of
// which is at most `max_count`; or Cancelled.
template <WordGraph Graph>
Result<std::unique_ptr<CompactImage>> reversed_image(const Graph& graph, std::uint64_t max_count, Cancel* cancel);

class ReversedWords : public BuiltOnDemand<CompactImage> {
public:
    // The graph, once built.
    const CompactImage* image() const noexcept { return get(); }
    // Builds the graph of the words of `graph`, unless another thread is
    // at it. When memory runs out it gives up until the next change; when
    // `cancel` stops it, until the next call. The suggestions do without
    // meanwhile.
    template <WordGraph Graph>
    void build(const Graph& graph, std::uint64_t max_count, Cancel* cancel) const {
        BuiltOnDemand::build([&] { return reversed_image(graph, max_count, cancel); });
    }
};

}  // namespace sorvan
