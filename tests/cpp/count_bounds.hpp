#pragma once
// Checks the bounds of counts that a node store keeps for ranked completion
// (Node::best) from the counts themselves, without the store's own upkeep.

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "node/node.hpp"

namespace sorvan::testing {

// The nodes reachable from the root whose bound is not the rounded highest
// count at and below them, as "index:kept/right"; empty when all are right.
inline std::string stale_bounds(const NodeStore& nodes) {
    // Depth first; each node's highest count once all its children are done.
    std::vector<std::pair<NodeIndex, bool>> stack{{0, false}};
    std::vector<std::uint64_t> highest(nodes.size(), 0);
    std::string stale;
    while (!stack.empty()) {
        const auto [at, done] = stack.back();
        stack.pop_back();
        const Node& node = nodes[at];
        if (!done) {
            stack.push_back({at, true});
            nodes.for_each_child(at, [&](Edge e) { stack.push_back({e.child, false}); });
            continue;
        }
        std::uint64_t high = node.is_end ? node.count : 0;
        nodes.for_each_child(at, [&](Edge e) { high = std::max(high, highest[e.child]); });
        highest[at] = high;
        if (node.best != CountBound::code(high)) {
            stale += " " + std::to_string(at) + ":" + std::to_string(node.best) + "/" +
                     std::to_string(CountBound::code(high));
        }
    }
    return stale;
}

}  // namespace sorvan::testing
