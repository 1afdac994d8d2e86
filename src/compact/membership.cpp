#include "compact/membership.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>
#include <type_traits>

#include "utils/memory.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The graph over bytes: a node is a state of the graph or, below a state's
// letters of several bytes, the lead of bytes that some of them share.
struct ByteGraph {
    struct Edge {
        std::uint32_t target;  // a node
        std::uint32_t skip;    // the words below the node's earlier edges, with its own
        std::uint8_t byte;
        bool end;  // the target is a state that ends a word
    };
    std::vector<Edge> edges;
    std::vector<std::uint32_t> first_edge;  // a node's edges: [first_edge[n], first_edge[n + 1])
    // The nodes in the order to place them: each state, then its leads.
    std::vector<std::uint32_t> order;
};

// Calls f(position, cursor) for every state of `graph`, in layout order: the
// states lie back to back from offset 0, the root. The cursor, at the
// state's first edge, is f's to move.
template <class F>
void for_each_state(const CompactGraph& graph, F&& f) {
    for (std::uint64_t at = 0; at < graph.size();) {
        CompactGraph::Cursor c = graph.edges({at, 0});
        const std::uint64_t next = graph.state_end(c);
        f(CompactGraph::Position{at, 0}, c);
        at = next;
    }
}

std::uint64_t edge_count(const CompactGraph& graph) {
    std::uint64_t edges = 0;
    for_each_state(graph, [&](CompactGraph::Position, const CompactGraph::Cursor& c) { edges += c.count; });
    return edges;
}

ByteGraph byte_graph(const CompactGraph& graph) {
    // Where each state starts, so that a target's offset gives its number
    // (states are numbered in layout order, as the nodes below).
    StateNumbers numbers(graph.size());
    for_each_state(graph, [&](CompactGraph::Position p, const CompactGraph::Cursor&) { numbers.mark(p.at); });
    numbers.count();
    const std::uint32_t states = numbers.states();

    // A state's edges go in as its node's; the edges of the leads below it
    // wait in `lead_edges` and go in after all the states'.
    ByteGraph out;
    out.first_edge.reserve(states + 1);
    std::vector<ByteGraph::Edge> lead_edges;
    std::vector<std::uint32_t> lead_first;
    struct Letter {
        std::string bytes;
        ByteGraph::Edge edge;  // its last byte's
    };
    std::vector<Letter> letters;
    // The leads still to give their edges: letters[from, to) share their
    // first `depth` bytes, which lead to node `id`, whose first word is
    // `rank` words past its state's. Taken first in, first out, so that
    // leads get their edges in the order of their numbers.
    struct Lead {
        std::uint32_t id;
        std::size_t from, to, depth;
        std::uint32_t rank;
    };
    std::vector<Lead> leads;
    // The edges out of the node reached by the first `depth` bytes of
    // letters[from, to), `rank` words past its state, into `into`; the
    // leads they need join `leads`. (Letters rise with their bytes, and
    // their skips with them: a lead's first word is its first letter's.)
    auto add_edges = [&](std::size_t from, std::size_t to, std::size_t depth, std::uint32_t rank,
                         std::vector<ByteGraph::Edge>& into) {
        for (std::size_t i = from; i < to;) {
            const char byte = letters[i].bytes[depth];
            std::size_t j = i + 1;
            while (j < to && letters[j].bytes[depth] == byte) ++j;
            ByteGraph::Edge edge = letters[i].edge;
            edge.skip -= rank;
            if (letters[i].bytes.size() == depth + 1) {  // one letter ends here (letters are distinct)
                into.push_back(edge);
            } else {
                const auto id = static_cast<std::uint32_t>(states + lead_first.size());
                lead_first.push_back(0);  // set when its edges go in
                into.push_back({id, edge.skip, static_cast<std::uint8_t>(byte), false});
                leads.push_back({id, i, j, depth + 1, letters[i].edge.skip});
            }
            i = j;
        }
    };
    out.order.reserve(states);
    for_each_state(graph, [&](CompactGraph::Position, CompactGraph::Cursor& c) {
        out.order.push_back(static_cast<std::uint32_t>(out.first_edge.size()));
        out.first_edge.push_back(static_cast<std::uint32_t>(out.edges.size()));
        letters.resize(c.count);
        for (auto& letter : letters) {
            const CompactGraph::Arc arc = graph.next(c);
            letter.bytes.clear();
            utf8::append(letter.bytes, arc.letter);
            // The state's rank is 0, so the child's is the edge's skip
            // (below 2^32, checked at loading).
            letter.edge = {numbers.number(arc.child.at), static_cast<std::uint32_t>(arc.child.rank),
                           static_cast<std::uint8_t>(letter.bytes.back()), graph.is_end(arc.child)};
        }
        leads.clear();
        add_edges(0, letters.size(), 0, 0, out.edges);
        for (std::size_t next = 0; next < leads.size(); ++next) {
            const Lead lead = leads[next];  // (a copy: add_edges may grow `leads`)
            lead_first[lead.id - states] = static_cast<std::uint32_t>(lead_edges.size());
            out.order.push_back(lead.id);
            add_edges(lead.from, lead.to, lead.depth, lead.rank, lead_edges);
        }
    });
    // The leads' edges, after the states', in the order of their numbers.
    for (std::uint32_t& first : lead_first) first += static_cast<std::uint32_t>(out.edges.size());
    out.first_edge.insert(out.first_edge.end(), lead_first.begin(), lead_first.end());
    out.edges.insert(out.edges.end(), lead_edges.begin(), lead_edges.end());
    out.first_edge.push_back(static_cast<std::uint32_t>(out.edges.size()));
    return out;
}

}  // namespace

std::unique_ptr<MembershipIndex> MembershipIndex::build(const CompactGraph& graph, Cancel* cancel, std::uint64_t large) {
    large = std::min(large, skip_escape);
    // A unit an edge at least: count them before taking any memory.
    if (edge_count(graph) + first_base + 256 > max_units) return nullptr;
    const ByteGraph bytes = byte_graph(graph);
    const std::size_t nodes = bytes.first_edge.size() - 1;
    if (bytes.edges.size() + first_base + 256 > max_units) return nullptr;

    // Each node with edges gets a base of its own, the first from which all
    // its bytes land on free units. Nodes go in layout order, each state's
    // leads right after it, so that the units of a state, its leads and the
    // states after it (its first children, as laid out) stay close.
    std::vector<std::uint32_t> base(nodes, 0);
    // Units and bases taken, as bitsets that grow with the units: a search
    // never looks further than 512 units past the last one taken.
    std::vector<std::uint64_t> used, based;
    auto reach = [&](std::size_t units) {
        const std::size_t words = (units + 1024) / 64;
        if (used.size() >= words) return;
        const std::size_t size = std::max(words, used.size() + used.size() / 2);
        used.resize(size, 0);
        based.resize(size, 0);
    };
    reach(bytes.edges.size() + bytes.edges.size() / 8 + first_base);
    constexpr std::size_t window = 4096;
    auto is_set = [](const std::vector<std::uint64_t>& bits, std::size_t i) { return (bits[i / 64] >> (i % 64)) & 1; };
    auto set = [](std::vector<std::uint64_t>& bits, std::size_t i) { bits[i / 64] |= std::uint64_t{1} << (i % 64); };
    // The first free unit at or after i.
    auto next_free = [&](std::size_t i) {
        std::size_t word = i / 64;
        std::uint64_t free = ~used[word] & (~std::uint64_t{0} << (i % 64));
        while (free == 0) free = ~used[++word];
        return word * 64 + static_cast<std::size_t>(std::countr_zero(free));
    };
    std::size_t first_free = first_base;  // no unit below it is free
    std::size_t top = first_base;         // past the last unit taken
    Cancel::Countdown countdown(cancel);
    for (const std::uint32_t n : bytes.order) {
        if (countdown.tick()) return nullptr;
        const std::uint32_t from = bytes.first_edge[n], to = bytes.first_edge[n + 1];
        if (from == to) continue;
        const std::uint8_t low = bytes.edges[from].byte;
        // Holes further back than a window below the top are left: a search
        // from them would cross every unit taken since.
        std::size_t unit = next_free(std::max<std::size_t>({first_free, top > window ? top - window : 0,
                                                            first_base + low}));
        for (;; unit = next_free(unit + 1)) {
            if (unit + 256 >= max_units) return nullptr;
            const std::size_t b = unit - low;
            if (is_set(based, b)) continue;
            bool fits = true;
            for (std::uint32_t e = from + 1; e < to && fits; ++e) fits = !is_set(used, b + bytes.edges[e].byte);
            if (fits) break;
        }
        const std::size_t b = unit - low;
        base[n] = static_cast<std::uint32_t>(b);
        set(based, b);
        for (std::uint32_t e = from; e < to; ++e) set(used, b + bytes.edges[e].byte);
        top = std::max<std::size_t>(top, b + bytes.edges[to - 1].byte + 1);
        reach(top);
        first_free = next_free(first_free);
    }
    used = {};
    based = {};

    std::unique_ptr<MembershipIndex> index(new MembershipIndex);
    const std::size_t size = top + 256;
    // Lookups land anywhere in the units: with huge pages, most miss only
    // the cache, not the TLB too.
    auto fill = [&](auto& units, auto&& unit) {
        units.reserve(size);
        advise_huge_pages(units.data(), size * sizeof(units[0]));
        units.assign(size, static_cast<std::remove_reference_t<decltype(units[0])>>(free_unit));
        for (std::size_t n = 0; n < nodes; ++n) {
            for (std::uint32_t e = bytes.first_edge[n]; e < bytes.first_edge[n + 1]; ++e) {
                const std::uint64_t at = std::uint64_t{base[n]} + bytes.edges[e].byte;
                units[at] = unit(at, bytes.edges[e]);
            }
        }
    };
    if (!graph.counts_by_rank() && size <= max_narrow_units) {
        fill(index->narrow_, [&](std::uint64_t, const ByteGraph::Edge& edge) {
            return static_cast<std::uint32_t>(make_unit(edge.byte, edge.end, base[edge.target], 0, false));
        });
    } else {
        fill(index->units_, [&](std::uint64_t at, const ByteGraph::Edge& edge) {
            const bool aside = edge.skip >= large;
            if (aside) index->large_skips_.push_back({at, edge.skip});
            return make_unit(edge.byte, edge.end, base[edge.target], edge.skip, aside);
        });
    }
    std::sort(index->large_skips_.begin(), index->large_skips_.end(),
              [](const LargeSkip& a, const LargeSkip& b) { return a.unit < b.unit; });
    index->root_base_ = base[0];
    return index;
}

std::uint64_t MembershipIndex::large_skip(std::uint64_t unit) const noexcept {
    const auto it = std::lower_bound(large_skips_.begin(), large_skips_.end(), unit,
                                     [](const LargeSkip& a, std::uint64_t u) { return a.unit < u; });
    return it->skip;
}

}  // namespace sorvan
