// Making an image: the trie's states minimised to a graph, laid out in
// bytes with its hubs, and the counts packed by rank beside it.
#include "compact/image.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "compact/build_steps.hpp"
#include "compact/bytes.hpp"
#include "compact/format.hpp"
#include "compact/sorted_builder.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

using namespace image;
using namespace build_steps;

namespace {

// ----------------------------------------------------------- the builder ----

// Walks the trie depth first in letter order, without recursion (a word
// may be a million letters long): enter(child) as each node is reached,
// leave(node) once its children are done, the root's last.
template <class Enter, class Leave>
void depth_first(const NodeStore& nodes, BuildCountdown& countdown, Enter&& enter, Leave&& leave) {
    std::vector<std::pair<NodeIndex, std::uint32_t>> stack{{0, 0}};
    while (!stack.empty()) {
        countdown.tick();
        auto& [node, next] = stack.back();
        if (next < nodes[node].child_count) {
            const NodeIndex child = nodes.child_at(node, next++).child;
            enter(child);
            stack.emplace_back(child, 0);
        } else {
            leave(node);
            stack.pop_back();
        }
    }
}


MinimalGraph minimise(const NodeStore& nodes, Cancel* cancel) {
    BuildCountdown countdown(cancel);
    Minimiser minimiser;
    depth_first(nodes, countdown, [](NodeIndex) {}, [&](NodeIndex node) {
        const Node& n = nodes[node];
        minimiser.finish(n.child_count, n.is_end, [&](std::uint32_t i) { return nodes.child_at(n, i).letter; });
    });
    return std::move(minimiser).take();
}

// The words' counts in rank (depth-first letter) order.
std::vector<std::uint64_t> counts_by_rank(const NodeStore& nodes, Cancel* cancel) {
    BuildCountdown countdown(cancel);
    std::vector<std::uint64_t> counts;
    depth_first(
        nodes, countdown,
        [&](NodeIndex child) {
            // (a copy: the packed field cannot bind to a reference)
            if (nodes[child].is_end) counts.push_back(std::uint64_t{nodes[child].count});
        },
        [](NodeIndex) {});
    return counts;
}
}  // namespace

namespace build_steps {

LaidOutGraph lay_out(const MinimalGraph& g, bool ranked, Cancel* cancel) {
    BuildCountdown countdown(cancel);
    const std::size_t n = g.states();
    std::vector<std::uint32_t> order;  // post-order
    order.reserve(n);
    {
        std::vector<std::uint8_t> seen(n, 0);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{g.root, 0}};
        seen[g.root] = 1;
        while (!stack.empty()) {
            countdown.tick();
            auto& [s, next] = stack.back();
            if (next < g.edge_count(s)) {
                const std::uint32_t t = g.targets[g.first[s] + next++];
                if (!seen[t]) {
                    seen[t] = 1;
                    stack.emplace_back(t, 0);
                }
            } else {
                order.push_back(s);
                stack.pop_back();
            }
        }
    }
    std::vector<std::uint64_t> words_below(n, 0);
    countdown.each(order.size(), [&](std::size_t k) {
        const std::uint32_t s = order[k];
        std::uint64_t below = g.end[s];
        for (std::uint32_t i = g.first[s]; i < g.first[s + 1]; ++i) below += words_below[g.targets[i]];
        words_below[s] = below;
    });
    std::reverse(order.begin(), order.end());
    const std::size_t m = order.size();
    std::vector<std::uint32_t> place(n, 0);
    for (std::size_t i = 0; i < m; ++i) place[order[i]] = static_cast<std::uint32_t>(i);

    struct Shape {
        bool chain;
        std::uint8_t lw, dw, sw;
    };
    std::vector<Shape> shape(m);
    auto skip_of = [&](std::uint32_t s, std::uint32_t k) {  // of edge k of s
        std::uint64_t skip = g.end[s];
        for (std::uint32_t i = g.first[s]; i < g.first[s] + k; ++i) skip += words_below[g.targets[i]];
        return skip;
    };
    std::vector<std::uint32_t> in_records(m, 0);  // edges to each state that need an address
    countdown.each(m, [&](std::size_t i) {
        const std::uint32_t s = order[i];
        const std::uint32_t e = g.edge_count(s);
        Shape& sh = shape[i];
        sh.chain = e == 1 && place[g.targets[g.first[s]]] == i + 1;
        if (e == 0 || sh.chain) return;
        sh.lw = static_cast<std::uint8_t>(std::max(1u, byte_width(g.letters[g.first[s + 1] - 1])));
        sh.sw = ranked ? static_cast<std::uint8_t>(byte_width(skip_of(s, e - 1))) : 0;
        for (std::uint32_t k = g.first[s]; k < g.first[s + 1]; ++k) ++in_records[place[g.targets[k]]];
    });
    // The most hubs a layout tries: their numbers fit two bytes.
    constexpr unsigned max_hubs = 65535;
    // Hub candidates, most used first; a state used once is no hub. Only
    // the first max_hubs can become hubs, so only they are put in order.
    std::vector<std::uint32_t> by_use;
    for (std::uint32_t i = 0; i < m; ++i) {
        if (in_records[i] >= 2) by_use.push_back(i);
    }
    auto more_used = [&](std::uint32_t a, std::uint32_t b) {
        return in_records[a] != in_records[b] ? in_records[a] > in_records[b] : a < b;
    };
    if (by_use.size() > max_hubs) {
        countdown.tick(by_use.size());
        std::nth_element(by_use.begin(), by_use.begin() + max_hubs, by_use.end(), more_used);
        by_use.resize(max_hubs);
    }
    countdown.tick(by_use.size());
    std::sort(by_use.begin(), by_use.end(), more_used);
    constexpr std::uint32_t no_hub = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> hub_of(m, no_hub);

    auto size_of = [&](std::size_t i, unsigned dw) -> std::uint64_t {
        const std::uint32_t s = order[i];
        const std::uint64_t e = g.edge_count(s);
        const Shape& sh = shape[i];
        const std::uint64_t h = (e << image::count_shift) | (sh.chain ? image::chain_bit : 0) | g.end[s];
        if (sh.chain) return varint_size(h) + varint_size(g.letters[g.first[s]]);
        if (e == 0) return varint_size(h);
        return varint_size(h) + 1 + e * (sh.lw + dw + sh.sw);
    };
    std::vector<std::uint64_t> offset(m + 1);
    auto use_hubs = [&](std::uint64_t hubs) {
        std::fill(hub_of.begin(), hub_of.end(), no_hub);
        for (std::uint32_t h = 0; h < hubs; ++h) hub_of[by_use[h]] = h;
    };
    // The target field of the edge from the state at place i to the one at
    // place `to`, with `hubs` hubs, at the offsets laid out last.
    auto target_field = [&](std::size_t i, std::uint32_t to, std::uint64_t hubs) -> std::uint64_t {
        return hub_of[to] != no_hub ? hub_of[to] : hubs + offset[to] - offset[i];
    };
    // The width of state i's target fields.
    auto target_width = [&](std::size_t i, std::uint64_t hubs) -> unsigned {
        const std::uint32_t s = order[i];
        std::uint64_t widest = 0;
        for (std::uint32_t k = g.first[s]; k < g.first[s + 1]; ++k) {
            widest = std::max(widest, target_field(i, place[g.targets[k]], hubs));
        }
        return std::max(1u, byte_width(widest));
    };
    // A pass of laying the states out with the hubs of use_hubs(): their
    // offsets from the target widths, then the widths those offsets need.
    // True when a width grew, moving the offsets: the widths depend on the
    // offsets, which depend on the widths (widths only grow, so passes end).
    auto widen = [&](std::uint64_t hubs) {
        bool changed = false;
        for (std::size_t i = 0; i < m; ++i) offset[i + 1] = offset[i] + size_of(i, shape[i].dw);
        if (offset[m] + hubs >= std::numeric_limits<std::uint32_t>::max()) {
            throw CapacityExceeded("a compact graph holds at most 4 GiB of states");
        }
        for (std::size_t i = 0; i < m; ++i) {
            if (shape[i].chain || g.edge_count(order[i]) == 0) continue;
            if (const unsigned needed = target_width(i, hubs); needed > shape[i].dw) {
                shape[i].dw = static_cast<std::uint8_t>(needed);
                changed = true;
            }
        }
        return changed;
    };
    // Starts laying the states out with the `hubs` most used as hubs; passes
    // of widen() then finish it, counted out here (counted in a lambda, the
    // passes run a twentieth slower).
    auto start_layout = [&](std::uint64_t hubs) {
        use_hubs(hubs);
        for (Shape& sh : shape) sh.dw = 1;
    };
    // The size with `hubs` hubs, estimated in one pass over the offsets of
    // the layout without hubs (hubs only make them smaller).
    auto estimate = [&](std::uint64_t hubs) {
        use_hubs(hubs);
        std::uint64_t size = 4 * hubs;
        for (std::size_t i = 0; i < m; ++i) {
            const bool addressed = !shape[i].chain && g.edge_count(order[i]) != 0;
            size += size_of(i, addressed ? target_width(i, hubs) : 0);
        }
        return size;
    };
    start_layout(0);
    do countdown.tick(2 * m);
    while (widen(0));
    std::uint64_t best_hubs = 0, best_size = offset[m], tried = 0;
    for (const std::uint64_t wanted : {64u, 256u, 1024u, 4096u, 16384u, max_hubs}) {
        const std::uint64_t hubs = std::min<std::uint64_t>(wanted, by_use.size());
        if (hubs == tried) break;
        tried = hubs;
        countdown.tick(m);
        if (const std::uint64_t size = estimate(hubs); size < best_size) {
            best_size = size;
            best_hubs = hubs;
        }
    }
    if (best_hubs != 0) {
        start_layout(best_hubs);
        do countdown.tick(2 * m);
        while (widen(best_hubs));
    } else {
        use_hubs(0);  // the layout without hubs stands
    }

    LaidOutGraph out;
    out.words = words_below[g.root];
    for (std::uint64_t h = 0; h < best_hubs; ++h) out.hubs.push_back(static_cast<std::uint32_t>(offset[by_use[h]]));
    out.bytes.resize(offset[m]);
    std::uint8_t* p = out.bytes.data();
    countdown.each(m, [&](std::size_t i) {
        const std::uint32_t s = order[i];
        const std::uint64_t e = g.edge_count(s);
        const Shape& sh = shape[i];
        put_varint(p, (e << image::count_shift) | (sh.chain ? image::chain_bit : 0) | g.end[s]);
        if (sh.chain) {
            put_varint(p, g.letters[g.first[s]]);
        } else if (e > 0) {
            *p++ = widths_byte({sh.lw, sh.dw, sh.sw});
            std::uint64_t skip = g.end[s];
            for (std::uint32_t k = g.first[s]; k < g.first[s + 1]; ++k) {
                put_le(p, g.letters[k], sh.lw);
                put_le(p, target_field(i, place[g.targets[k]], best_hubs), sh.dw);
                put_le(p, skip, sh.sw);
                skip += words_below[g.targets[k]];
            }
        }
    });
    return out;
}


void put_bits(std::vector<std::uint8_t>& out, std::uint64_t bit, std::uint64_t value, unsigned width) {
    for (unsigned b = 0; b < width; ++b, ++bit) {
        if ((value >> b) & 1) out[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

CountColumns pack_counts(const std::vector<std::uint64_t>& counts, bool ranks) {
    const std::uint64_t n = counts.size();
    // The distinct counts with how often each comes, most frequent first.
    std::vector<std::uint64_t> sorted(counts);
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> by_use;  // (times, count)
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        by_use.emplace_back(j - i, sorted[i]);
        i = j;
    }
    std::sort(by_use.begin(), by_use.end(), [](const auto& x, const auto& y) {
        return x.first != y.first ? x.first > y.first : x.second < y.second;
    });
    const std::uint64_t distinct = by_use.size();
    std::vector<std::uint64_t> covered(distinct + 1, 0);  // words whose count is among the first i
    for (std::uint64_t i = 0; i < distinct; ++i) covered[i + 1] = covered[i] + by_use[i].first;

    // The bits of the levels that `widths` (all but the last) give, the last
    // level's width appended; nothing when a level would be left empty.
    auto levels_for = [&](std::vector<unsigned>& widths) -> std::optional<std::uint64_t> {
        std::uint64_t bits = 0, base = 0, entries = n;
        for (unsigned w : widths) {
            bits += 8 * level_bytes(entries, w, false);
            base += (std::uint64_t{1} << w) - 1;
            if (base >= distinct) return std::nullopt;
            entries = n - covered[base];
        }
        const unsigned last = distinct - base <= 1 ? 0 : static_cast<unsigned>(std::bit_width(distinct - base - 1));
        widths.push_back(last);
        return bits + 8 * level_bytes(entries, last, true);
    };
    CountColumns out;
    std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
    std::vector<unsigned> tried;
    const auto consider = [&] {
        std::vector<unsigned> widths = tried;
        if (const auto bits = levels_for(widths); bits && *bits + 64 * distinct < best) {
            best = *bits + 64 * distinct;
            out.widths = std::move(widths);
        }
    };
    consider();
    for (unsigned a : {1u, 2u, 4u, 8u}) {
        tried = {a};
        consider();
        for (unsigned b : {1u, 2u, 4u, 8u}) {
            tried = {a, b};
            consider();
            for (unsigned c : {1u, 2u, 4u, 8u}) {
                tried = {a, b, c};
                consider();
            }
        }
    }
    unsigned direct = distinct == 0 ? 0 : static_cast<unsigned>(std::bit_width(sorted.back()));
    const bool unranked = out.widths.size() == 1 && out.widths[0] == 0;
    if (ranks && unranked) direct = std::max(direct, 1u);
    if (8 * level_bytes(n, direct, true) <= best || (ranks && unranked)) {
        out.widths = {direct};
        out.packed.assign(level_bytes(n, direct, true), 0);
        for (std::uint64_t r = 0; r < n; ++r) put_bits(out.packed, r * direct, counts[r], direct);
        return out;
    }
    for (const auto& [times, count] : by_use) out.table.push_back(count);
    // Each word's index into the table, then level by level the codes of
    // the words that reach it.
    std::vector<std::uint64_t> by_count(sorted.size());
    {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> index_of;  // (count, index), by count
        for (std::uint64_t i = 0; i < distinct; ++i) index_of.emplace_back(out.table[i], i);
        std::sort(index_of.begin(), index_of.end());
        for (std::uint64_t r = 0; r < n; ++r) {
            by_count[r] = std::lower_bound(index_of.begin(), index_of.end(), std::pair{counts[r], std::uint64_t{0}})->second;
        }
    }
    std::uint64_t base = 0;
    for (std::size_t l = 0; l < out.widths.size(); ++l) {
        const unsigned w = out.widths[l];
        const bool last = l + 1 == out.widths.size();
        const std::uint64_t entries = by_count.size();
        const std::size_t at = out.packed.size();
        out.packed.resize(at + level_bytes(entries, w, last), 0);
        const std::uint64_t escape = last ? 0 : (std::uint64_t{1} << w) - 1;
        std::vector<std::uint64_t> next;
        const std::size_t directory = at + code_bytes(entries, w);
        for (std::uint64_t i = 0; i < entries; ++i) {
            if (!last && i % RankedCounts::block == 0) {
                const auto before = static_cast<std::uint32_t>(next.size());
                std::memcpy(out.packed.data() + directory + 4 * (i / RankedCounts::block), &before, sizeof before);
            }
            const std::uint64_t code = by_count[i] - base;
            if (!last && code >= escape) {
                put_bits(out.packed, 8 * at + i * w, escape, w);
                next.push_back(by_count[i]);
            } else {
                put_bits(out.packed, 8 * at + i * w, code, w);
            }
        }
        by_count = std::move(next);
        base += escape;
    }
    return out;
}

std::unique_ptr<ImageBytes> assemble(const LaidOutGraph& graph, const CountColumns& counts, LexiconKind kind,
                                     std::uint64_t word_count, std::uint64_t length, const DawgState* dawg) {
    std::size_t extras = 0;
    if (dawg) extras = 8 + align8(dawg->previous_word.size()) + 8 + 16 * dawg->snapshots.size();
    std::size_t at = header_size;
    const std::size_t graph_at = at;
    at = align8(at + graph.bytes.size() + padding);
    const std::size_t hubs_at = at;
    at = align8(at + 4 * graph.hubs.size() + padding);
    const std::size_t table_at = at;
    at = align8(at + 8 * counts.table.size() + padding);
    const std::size_t index_at = at;
    at = align8(at + counts.packed.size() + padding);
    const std::size_t extras_at = at;
    at = align8(at + extras + padding);
    const std::size_t total = at + checksum_size;

    auto bytes = std::make_unique<OwnedBytes>(total);
    std::uint8_t* out = bytes->mutable_data();
    std::memcpy(out, magic, sizeof magic);
    std::uint64_t fields[field_count] = {};
    fields[version_and_kind] = format_version | (std::uint64_t{static_cast<std::uint32_t>(kind)} << 32);
    fields[file_size] = total;
    fields[word_count_field] = word_count;
    fields[length_field] = length;
    fields[words_field] = graph.words;
    fields[graph_offset] = graph_at;
    fields[graph_size] = graph.bytes.size();
    fields[hub_offset] = hubs_at;
    fields[hub_count_field] = graph.hubs.size();
    fields[table_offset] = table_at;
    fields[table_size] = counts.table.size();
    fields[index_offset] = index_at;
    fields[count_levels_field] = counts.widths.size();
    for (std::size_t l = 0; l < counts.widths.size(); ++l) fields[count_levels_field] |= std::uint64_t{counts.widths[l]} << (8 + 8 * l);
    fields[extras_offset] = extras_at;
    fields[extras_size] = extras;
    for (std::size_t i = 0; i < field_count; ++i) store_u64(out + sizeof magic + 8 * i, fields[i]);
    std::memcpy(out + graph_at, graph.bytes.data(), graph.bytes.size());
    if (!graph.hubs.empty()) std::memcpy(out + hubs_at, graph.hubs.data(), 4 * graph.hubs.size());
    for (std::size_t i = 0; i < counts.table.size(); ++i) store_u64(out + table_at + 8 * i, counts.table[i]);
    if (!counts.packed.empty()) std::memcpy(out + index_at, counts.packed.data(), counts.packed.size());
    if (dawg) {
        std::uint8_t* p = out + extras_at;
        const std::uint64_t head = dawg->registered_depth | (std::uint64_t{static_cast<std::uint32_t>(dawg->previous_word.size())} << 32);
        store_u64(p, head);
        std::memcpy(p + 8, dawg->previous_word.data(), dawg->previous_word.size());
        p += 8 + align8(dawg->previous_word.size());
        store_u64(p, dawg->snapshots.size());
        p += 8;
        for (const Snapshot& s : dawg->snapshots) {
            store_u64(p, s.node | (std::uint64_t{s.child_count} << 32));
            store_u64(p + 8, s.count);
            p += 16;
        }
    }
    store_u64(out + total - checksum_size, checksum(out, total - checksum_size));
    return bytes;
}

}  // namespace build_steps

// ------------------------------------------------------------------ build ----

Result<std::unique_ptr<ImageBytes>> CompactImage::build(const NodeStore& nodes, LexiconKind kind,
                                                        std::uint64_t word_count, std::uint64_t length,
                                                        const DawgState* dawg, Cancel* cancel, bool ranks) {
    try {
        const CountColumns counts = pack_counts(counts_by_rank(nodes, cancel), ranks);
        const LaidOutGraph graph = lay_out(minimise(nodes, cancel), counts.by_rank(), cancel);
        return assemble(graph, counts, kind, word_count, length, dawg);
    } catch (const BuildStopped&) {
        return std::unexpected(SorvanError::cancelled());
    }
}

Result<std::unique_ptr<ImageBytes>> CompactImage::build_sorted(SortableWords words, std::vector<std::uint64_t> counts,
                                                               Cancel* cancel) {
    SortedBuilder builder(cancel);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (Status added = builder.add(words[i], counts[i]); !added) return std::unexpected(std::move(added.error()));
    }
    words = {};  // each goes as soon as the next step has what it needs
    counts = {};
    return builder.finish(LexiconKind::Trie, builder.word_count(), builder.trie_nodes(), nullptr);
}

}  // namespace sorvan
