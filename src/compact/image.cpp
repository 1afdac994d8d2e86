#include "compact/image.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "graph/graph.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

static_assert(std::endian::native == std::endian::little, "images are little-endian");

namespace {

// ------------------------------------------------------------ the layout ----

constexpr char magic[8] = {'\x89', 'S', 'R', 'V', 'L', 'E', 'X', '\n'};
constexpr std::uint32_t format_version = 2;

// Header fields, each a little-endian u64 after the magic (version and kind
// share the first).
enum Field : std::size_t {
    version_and_kind,
    file_size,
    word_count_field,
    length_field,
    words_field,
    graph_offset,
    graph_size,
    hub_offset,
    hub_count_field,
    table_offset,
    table_size,
    index_offset,
    count_levels_field,
    extras_offset,
    extras_size,
    field_count,
};
constexpr std::size_t header_size = sizeof magic + 8 * field_count;
// Every section is followed by this many readable bytes (the fixed-width
// readers load whole words), and the file ends with the checksum.
constexpr std::size_t padding = 16;
constexpr std::size_t checksum_size = 8;
// A trie can have no more nodes than a node store holds.
constexpr std::uint64_t max_trie_nodes = NodeStore::max_nodes;

std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store_u64(std::uint8_t* p, std::uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// A 64-bit hash of the bytes: four independent multiply lanes, so that it
// runs at memory speed; it is for corruption, not for adversaries.
std::uint64_t checksum(const std::uint8_t* p, std::size_t n) noexcept {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
    std::uint64_t lanes[4] = {n, k, k * 3, k * 5};
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (int j = 0; j < 4; ++j) {
            lanes[j] = (lanes[j] ^ load_u64(p + i + 8 * j)) * k;
            lanes[j] ^= lanes[j] >> 29;
        }
    }
    std::uint64_t h = lanes[0] ^ std::rotl(lanes[1], 17) ^ std::rotl(lanes[2], 31) ^ std::rotl(lanes[3], 47);
    for (; i < n; ++i) h = (h ^ p[i]) * k;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

unsigned byte_width(std::uint64_t v) noexcept { return static_cast<unsigned>((std::bit_width(v) + 7) / 8); }
unsigned varint_size(std::uint64_t v) noexcept {
    return v < 0x80 ? 1 : static_cast<unsigned>((std::bit_width(v) + 6) / 7);
}
void put_varint(std::uint8_t*& p, std::uint64_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<std::uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(v);
}
void put_le(std::uint8_t*& p, std::uint64_t v, unsigned width) noexcept {
    for (unsigned i = 0; i < width; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
}

class OwnedBytes final : public ImageBytes {
public:
    // Zeroed, or left as it comes for a buffer about to be filled.
    explicit OwnedBytes(std::size_t size, bool zeroed = true)
        : buffer_(zeroed ? new std::uint8_t[size]() : new std::uint8_t[size]) {
        data_ = buffer_.get();
        size_ = size;
    }
    std::uint8_t* mutable_data() noexcept { return buffer_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> buffer_;
};

class MappedBytes final : public ImageBytes {
public:
    MappedBytes(void* address, std::size_t size) noexcept {
        data_ = static_cast<const std::uint8_t*>(address);
        size_ = size;
    }
    ~MappedBytes() override { ::munmap(const_cast<std::uint8_t*>(data_), size_); }
};

// ----------------------------------------------------------- the builder ----

// The build is a chain of passes over every node and every state, minutes
// long for tens of millions of words, so each pass counts its steps (on a
// countdown of its own, which stays in a register) and a stop unwinds the
// whole build at once: nothing it made is kept.
struct BuildStopped {};

class BuildCountdown {
public:
    explicit BuildCountdown(Cancel* cancel) noexcept : countdown_(cancel) {}
    // Counts `steps`: one a loop's turn, or a whole pass of a tight loop
    // before it starts (a count in its body slows it more than it is worth).
    void tick(std::size_t steps = 1) {
        countdown_.spend(steps - 1);
        if (countdown_.tick()) throw BuildStopped{};
    }
    // body(i) for every i below n, counted a block at a time: a pass over
    // tens of millions of states still stops within a block, and its tight
    // loop carries no count.
    template <class Body>
    void each(std::size_t n, Body&& body) {
        constexpr std::size_t block = std::size_t{1} << 16;
        for (std::size_t from = 0; from < n; from += block) {
            const std::size_t to = std::min(n, from + block);
            tick(to - from);
            for (std::size_t i = from; i < to; ++i) body(i);
        }
    }

private:
    Cancel::Countdown countdown_;
};

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

// The minimal graph of a trie: states made bottom-up, one per distinct
// (end flag, edges to distinct states); edges of state s are
// [first[s], first[s + 1]).
struct MinimalGraph {
    std::vector<std::uint32_t> first{0};
    std::vector<std::uint8_t> end;
    std::vector<Letter> letters;
    std::vector<std::uint32_t> targets;
    std::uint32_t root = 0;

    std::size_t states() const noexcept { return end.size(); }
    std::uint32_t edge_count(std::uint32_t s) const noexcept { return first[s + 1] - first[s]; }
};

std::uint64_t state_hash(const MinimalGraph& g, std::uint32_t from, std::uint32_t to, bool end) noexcept {
    std::uint64_t h = end ? 0x51ED27ULL : 0x2545F4914F6CDD1DULL;
    for (std::uint32_t i = from; i < to; ++i) {
        h = (h ^ g.letters[i]) * 0x9E3779B97F4A7C15ULL;
        h = (h ^ g.targets[i]) * 0xff51afd7ed558ccdULL;
        h ^= h >> 31;
    }
    return h;
}

// Makes the minimal graph bottom-up: each node of the trie is given to
// finish() once its children are, in depth-first letter order, so that a
// node's children's states are the last ones finished and not yet taken.
class Minimiser {
public:
    // The node whose children have the letters letter_at(0), ...,
    // letter_at(child_count - 1).
    template <class LetterAt>
    void finish(std::uint32_t child_count, bool end, LetterAt&& letter_at) {
        const auto from = static_cast<std::uint32_t>(g_.letters.size());
        const std::size_t children_at = finished_.size() - child_count;
        for (std::uint32_t i = 0; i < child_count; ++i) {
            g_.letters.push_back(letter_at(i));
            g_.targets.push_back(finished_[children_at + i]);
        }
        finished_.resize(children_at);
        const auto to = static_cast<std::uint32_t>(g_.letters.size());
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = state_hash(g_, from, to, end) & mask;
        for (; slots_[i] != 0; i = (i + 1) & mask) {
            if (same(slots_[i] - 1, from, to, end)) {
                finished_.push_back(slots_[i] - 1);
                g_.letters.resize(from);
                g_.targets.resize(from);
                return;
            }
        }
        const auto s = static_cast<std::uint32_t>(g_.states());
        g_.end.push_back(end);
        g_.first.push_back(to);
        slots_[i] = s + 1;
        finished_.push_back(s);
        if (++used_ * 2 > slots_.size()) grow();
    }
    // The graph, once the root is finished.
    MinimalGraph take() && {
        g_.root = finished_.back();
        return std::move(g_);
    }

private:
    bool same(std::uint32_t s, std::uint32_t from, std::uint32_t to, bool end) const noexcept {
        if (g_.end[s] != end || g_.edge_count(s) != to - from) return false;
        return std::equal(g_.letters.begin() + from, g_.letters.begin() + to, g_.letters.begin() + g_.first[s]) &&
               std::equal(g_.targets.begin() + from, g_.targets.begin() + to, g_.targets.begin() + g_.first[s]);
    }
    void grow() {
        std::vector<std::uint32_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t entry : old) {
            if (entry == 0) continue;
            const std::uint32_t s = entry - 1;
            std::size_t i = state_hash(g_, g_.first[s], g_.first[s + 1], g_.end[s]) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = entry;
        }
    }

    MinimalGraph g_;
    // The states of the finished nodes whose parent is not finished yet, in
    // the order they finished. (Far smaller than a state for every node.)
    std::vector<std::uint32_t> finished_;
    std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(1024, 0);  // state + 1; 0 is free
    std::size_t used_ = 0;
};

MinimalGraph minimise(const NodeStore& nodes, Cancel* cancel) {
    BuildCountdown countdown(cancel);
    Minimiser minimiser;
    depth_first(nodes, countdown, [](NodeIndex) {}, [&](NodeIndex node) {
        const Node& n = nodes[node];
        minimiser.finish(n.child_count, n.is_end, [&](std::uint32_t i) { return nodes.child_at(n, i).letter; });
    });
    return std::move(minimiser).take();
}

// The minimal graph of sorted, distinct, non-empty words, without their
// trie: only the path of the word before is open, and a node is finished as
// soon as the next word leaves it. Also counts the trie's nodes, root
// included.
MinimalGraph minimise_sorted(const SortableWords& words, std::uint64_t& trie_nodes, Cancel* cancel) {
    BuildCountdown countdown(cancel);
    Minimiser minimiser;
    struct Open {
        std::vector<Letter> letters;  // of its children so far
        bool end = false;
    };
    std::vector<Open> path(1);  // path[d]: the open node at depth d
    std::size_t depth = 0;      // of the deepest open node
    auto finish = [&](Open& node) {
        minimiser.finish(static_cast<std::uint32_t>(node.letters.size()), node.end,
                         [&](std::uint32_t i) { return node.letters[i]; });
        node.letters.clear();
        node.end = false;
    };
    auto finish_below = [&](std::size_t keep) {
        for (; depth > keep; --depth) finish(path[depth]);
    };
    trie_nodes = 1;
    std::string_view before;
    for (std::size_t w = 0; w < words.size(); ++w) {
        countdown.tick();
        const std::string_view word = words[w];
        const std::size_t shared = utf8::shared_prefix(word, before);
        finish_below(utf8::count(word.substr(0, shared)));
        const char* p = word.data() + shared;
        const char* end = word.data() + word.size();
        while (p < end) {
            path[depth].letters.push_back(utf8::next(p));
            if (++depth == path.size()) path.emplace_back();
            if (++trie_nodes > max_trie_nodes) throw std::length_error("more nodes than a trie can hold");
        }
        path[depth].end = true;
        before = word;
    }
    finish_below(0);
    finish(path[0]);
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

// The graph section: the states in reverse post-order from the root, so
// that every edge points forward (the graph is acyclic by its layout) and a
// state's last new child comes right after it; a single child there is a
// chain link and needs no address. Edges carry their skips always, even
// where every word has the same count and no count needs a rank: a word's
// rank is a query of its own.
//
// Shared suffixes put the most used states far from most of their parents,
// so the states that records point to most often become *hubs*, named by a
// small number; the number of hubs is the one that makes the smallest image.
struct LaidOutGraph {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> hubs;  // their offsets, by hub number
    std::uint64_t words = 0;
};

LaidOutGraph lay_out(const MinimalGraph& g, Cancel* cancel) {
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
        sh.sw = static_cast<std::uint8_t>(byte_width(skip_of(s, e - 1)));
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
            *p++ = static_cast<std::uint8_t>((sh.lw - 1) | ((sh.dw - 1) << 2) | (sh.sw << 4));
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

std::size_t align8(std::size_t n) noexcept { return (n + 7) & ~std::size_t{7}; }

// The bytes of `entries` codes of `width` bits, in whole 8-byte words.
std::uint64_t code_bytes(std::uint64_t entries, unsigned width) noexcept { return 8 * ((entries * width + 63) / 64); }

// The bytes of a count level of `entries` codes of `width` bits: its codes,
// then (but in the last level) the directory.
std::uint64_t level_bytes(std::uint64_t entries, unsigned width, bool last) noexcept {
    const std::uint64_t codes = code_bytes(entries, width);
    return last ? codes : codes + align8(4 * ((entries + RankedCounts::block - 1) / RankedCounts::block));
}

// The counts in rank order as levels of codes into a table of the distinct
// counts, most frequent first (see RankedCounts), or as one level of the
// counts themselves (no table), whichever is smaller.
struct CountColumns {
    std::vector<std::uint64_t> table;
    std::vector<unsigned> widths;  // a level each
    std::vector<std::uint8_t> packed;

    // Whether counts differ by word, so that walks need ranks (as
    // RankedCounts::by_rank() says of the same levels).
    bool by_rank() const noexcept { return widths.size() > 1 || widths[0] != 0; }
};

void put_bits(std::vector<std::uint8_t>& out, std::uint64_t bit, std::uint64_t value, unsigned width) {
    for (unsigned b = 0; b < width; ++b, ++bit) {
        if ((value >> b) & 1) out[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

CountColumns pack_counts(const std::vector<std::uint64_t>& counts) {
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
    const unsigned direct = distinct == 0 ? 0 : static_cast<unsigned>(std::bit_width(sorted.back()));
    if (8 * level_bytes(n, direct, true) <= best) {
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


// ---------------------------------------------------------- validation ----

// Reads a LEB128 value from [p, end): nothing when it runs past the end or
// does not fit 64 bits.
bool read_varint_checked(const std::uint8_t*& p, const std::uint8_t* end, std::uint64_t& out) noexcept {
    out = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (p >= end) return false;
        const std::uint64_t b = *p++;
        if (shift == 63 && (b & 0x7E)) return false;
        out |= (b & 0x7F) << shift;
        if (b < 0x80) return true;
    }
    return false;
}

bool valid_letter(std::uint64_t c) noexcept { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

std::unexpected<SorvanError> invalid(std::string what) {
    return std::unexpected(SorvanError::invalid_image(std::move(what)));
}

// The counts below every state, and the trie size they stand for, checked
// against the skips the state's edges carry; bounded by max_trie_nodes.
struct GraphTotals {
    std::uint64_t words;
    std::uint64_t trie_nodes;
    bool ranked;  // every skip right: walks may keep word ranks
};

// Skips are checked always; a wrong one makes the image invalid when
// `ranked` (its counts are found by rank), else only leaves it unranked (an
// image whose words all have one count may have been written without
// skips). Cancelled
// when `cancel` says stop (a graph of hundreds of megabytes takes seconds).
Result<GraphTotals> check_graph(const std::uint8_t* graph, std::uint64_t size, const std::uint8_t* hubs,
                                std::uint32_t hub_count, bool ranked, Cancel* cancel) {
    Cancel::Countdown countdown(cancel);
    if (size == 0) return invalid("the graph is empty");
    if (size >= std::numeric_limits<std::uint32_t>::max()) return invalid("the graph is too large");
    const std::uint8_t* end = graph + size;
    const CompactGraph view(graph, size, hubs, hub_count, RankedCounts{});
    for (std::uint32_t h = 0; h < hub_count; ++h) {  // where they are states is checked with the edges
        if (const std::uint32_t at = view.target(0, h); at == 0 || at >= size) return invalid("a hub out of range");
    }
    // Pass 1: the states lie back to back; record where each starts, and
    // each edge's target and skip, so pass 2 need not decode again.
    // Pass 2 writes each state's totals (a Below, the same size) over it.
    struct State {
        std::uint32_t first_edge;
        std::uint32_t end;
    };
    StateNumbers starts(size);
    // Room for as many as the graph can hold, allocated but not touched
    // (only what is written is), yet counted against an address space
    // limit, so kept to what the encoding allows. An edge takes at least
    // two bytes (a chain's header and letter, or a record's letter and
    // target), and so does a state but one without edges: a minimal graph
    // has at most one (the final state, or the root of no words).
    const std::uint64_t state_room = size / 2 + 2;
    auto states = std::make_unique_for_overwrite<State[]>(state_room);
    // Pass 2 reads edges in fours; lanes of padding follow the last.
    constexpr std::uint32_t lanes = 4;
    auto targets = std::make_unique_for_overwrite<std::uint32_t[]>(size / 2 + lanes);
    auto skips = std::make_unique_for_overwrite<std::uint64_t[]>(size / 2 + lanes);
    std::uint32_t state_count = 0, edge_count = 0;
    bool edgeless_seen = false;
    // The checks of a state's letters and targets gather in `bad`, tested
    // once the state is read: a sound image fails none, and a branch a
    // check would cost mispredicts on the varied shapes of states.
    std::uint64_t bad = 0;
    enum : unsigned { bad_letter, bad_target };
    auto flag = [](bool failed, unsigned check) { return std::uint64_t{failed} << check; };
    for (const std::uint8_t* p = graph; p < end;) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        const auto at = static_cast<std::uint32_t>(p - graph);
        starts.mark(at);
        std::uint64_t h = *p;
        if (h < 0x80) [[likely]] {
            ++p;
        } else if (!read_varint_checked(p, end, h)) {
            return invalid("a state's header runs past the graph");
        }
        states[state_count++] = {edge_count, static_cast<std::uint32_t>(h & image::end_bit)};
        const std::uint64_t n = h >> image::count_shift;
        if (h & image::chain_bit) {
            std::uint64_t letter = *p;
            if (letter < 0x80) [[likely]] {
                ++p;
            } else if (!read_varint_checked(p, end, letter)) {
                return invalid("a bad letter");
            }
            if (n != 1) return invalid("a chain state with other than one child");
            if (p >= end) return invalid("a chain runs past the graph");
            bad |= flag(!valid_letter(letter), bad_letter);
            skips[edge_count] = h & image::end_bit;
            targets[edge_count++] = static_cast<std::uint32_t>(p - graph);
        } else if (n > 0) {
            if (p >= end) return invalid("a state runs past the graph");
            const unsigned w = *p++;
            const unsigned lw = (w & 3) + 1, dw = ((w >> 2) & 3) + 1, sw = w >> 4;
            if (lw > 3 || sw > 7) return invalid("a bad record width");
            const std::uint64_t record = lw + dw + sw;
            const auto left = static_cast<std::uint64_t>(end - p);  // < 2^32: the product cannot overflow
            if (n > left || n * record > left) return invalid("a state's edges run past the graph");
            // Letters ascend: each above the one before (the first above -1).
            std::int64_t previous = -1;
            for (std::uint64_t i = 0; i < n; ++i, p += record) {
                const std::uint64_t letter = image::read_le(p, lw);
                const std::uint64_t field = image::read_le(p + lw, dw);
                bad |= flag(!valid_letter(letter) | (static_cast<std::int64_t>(letter) <= previous), bad_letter);
                previous = static_cast<std::int64_t>(letter);
                const std::uint64_t target = view.unchecked_target(at, field);
                // Every edge leads forward, so the graph has no cycle.
                bad |= flag((target <= at) | (target >= size), bad_target);
                skips[edge_count] = image::read_le(p + lw + dw, sw);
                targets[edge_count++] = static_cast<std::uint32_t>(target);
            }
        } else if (std::exchange(edgeless_seen, true)) {
            return invalid("more than one state without edges");
        }
        if (bad) [[unlikely]] {
            return invalid(bad & (1 << bad_letter) ? "bad or unsorted letters" : "an edge target out of range");
        }
    }
    states[state_count++] = {edge_count, 0};
    starts.count();
    // Pass 2, last state first (targets lie after their source): the words
    // and trie nodes below each state, and the skips checked against them.
    // Both saturate at `cap`; one pair a state, so an edge costs one miss.
    static constexpr std::uint32_t cap = std::numeric_limits<std::uint32_t>::max();
    auto capped = [](std::uint64_t sum) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(cap, sum)); };
    struct Below {
        std::uint32_t words;
        std::uint32_t trie_nodes;
    };
    static_assert(sizeof(Below) == sizeof(State));
    // Each target to the number of its state, so that pass 2 can fetch the
    // states it will need a few edges ahead. In a large graph every edge
    // of both loops is a cache miss; fetched ahead, the misses overlap (a
    // 10M-key image loads in 0.31 s instead of 0.49).
    constexpr std::uint32_t ahead = 16;
    for (std::size_t e = 0; e < edge_count; ++e) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        if (e + ahead < edge_count) starts.prefetch(targets[e + ahead]);
        std::uint32_t& at = targets[e];
        at = starts.number(at);
        if (at == StateNumbers::not_a_start) return invalid("an edge target is not a state");
    }
    // A state's Below takes its place in `states` once it is read: the
    // check needs half the memory for states, and the random reads of
    // the states below stay within one array.
    //
    // A state's edges are summed four at a time, the lanes past its last
    // edge masked off (they read the next state's edges, or the padding
    // after the last). Most states have one to four edges, so the loop
    // over them ends after one round, where a loop edge by edge would
    // mispredict its end at almost every state.
    for (std::uint32_t lane = 0; lane < lanes; ++lane) {
        targets[edge_count + lane] = 0;
        skips[edge_count + lane] = 0;
    }
    std::uint32_t end_edge = edge_count;
    bool skips_right = true;
    for (std::size_t s = state_count - 1; s-- > 0;) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        const State state = states[s];
        std::uint64_t words = state.end, nodes = 1;  // its own word ranks first
        std::uint64_t wrong_skips = 0;
        for (std::uint32_t e = state.first_edge; e < end_edge; e += lanes) {
            for (std::uint32_t lane = 0; lane < lanes; ++lane) {
                const std::uint32_t edge = e + lane;
                if (edge >= ahead) __builtin_prefetch(&states[targets[edge - ahead]]);
                const std::uint64_t in_state = std::uint64_t{0} - (edge < end_edge);
                const auto child = std::bit_cast<Below>(states[targets[edge]]);
                wrong_skips |= (skips[edge] ^ words) & in_state;
                words = capped(words + (child.words & in_state));
                nodes = capped(nodes + (child.trie_nodes & in_state));
            }
        }
        if (wrong_skips) {
            if (ranked) return invalid("a word rank does not match the words below");
            skips_right = false;
        }
        end_edge = state.first_edge;
        states[s] = std::bit_cast<State>(Below{static_cast<std::uint32_t>(words), static_cast<std::uint32_t>(nodes)});
    }
    const auto root = std::bit_cast<Below>(states[0]);
    const std::uint64_t words_total = root.words, trie_nodes_total = root.trie_nodes;
    if (trie_nodes_total >= cap) return invalid("more words than a lexicon can hold");
    return GraphTotals{words_total, trie_nodes_total, skips_right};
}

// The count levels that `levels` (the count, then a width a byte) lays out
// from `offset`, for `words` words and a table of `table_size` counts
// (none: the codes are the counts): every level inside the file, every
// directory right, every code an index into the table.
template <class InFile>
Result<RankedCounts> check_counts(const std::uint8_t* data, std::uint64_t offset, std::uint64_t levels,
                                  std::uint64_t words, std::uint64_t table_size, const std::uint8_t* table,
                                  const InFile& in_file) {
    const unsigned level_count = levels & 0xFF;
    if (level_count < 1 || level_count > RankedCounts::max_levels || (levels >> (8 + 8 * level_count)) != 0 ||
        (table_size == 0 && level_count != 1)) {
        return invalid("bad count levels");
    }
    RankedCounts::Level level[RankedCounts::max_levels];
    std::uint64_t at = 0, entries = words, base = 0;
    for (unsigned l = 0; l < level_count; ++l) {
        const unsigned w = static_cast<unsigned>((levels >> (8 + 8 * l)) & 0xFF);
        const bool last = l + 1 == level_count;
        if (last ? w > 64 : (w != 1 && w != 2 && w != 4 && w != 8)) return invalid("bad count width");
        const std::uint64_t codes = code_bytes(entries, w);
        const std::uint64_t bytes = level_bytes(entries, w, last);
        if (!in_file(at + bytes)) return invalid("count section out of bounds");
        level[l] = {data + offset + at, data + offset + at + codes, w};
        at += bytes;
        // Codes past the table's end: none can be when the level's codes
        // all fit it.
        const std::uint64_t escape = last ? 0 : (std::uint64_t{1} << w) - 1;
        const bool check_codes = table_size != 0 && (w >= 63 || base + (std::uint64_t{1} << w) - (last ? 0 : 1) > table_size);
        std::uint64_t escapes = 0;
        for (std::uint64_t i = 0; i < (last && !check_codes ? 0 : entries); ++i) {
            if (!last && i % RankedCounts::block == 0) {
                std::uint32_t before;
                std::memcpy(&before, level[l].directory + 4 * (i / RankedCounts::block), sizeof before);
                if (before != escapes) return invalid("a count directory does not match its codes");
            }
            const std::uint64_t code = RankedCounts::read_code(level[l].codes, i, w);
            if (!last && code == escape) {
                ++escapes;
            } else if (check_codes && base + code >= table_size) {
                return invalid("a count index out of range");
            }
        }
        entries = escapes;
        base += escape;
    }
    return RankedCounts(table, table_size, level, level_count);
}

}  // namespace

// ------------------------------------------------------------------ build ----

namespace {

// The bytes of an image of a laid-out graph and its counts.
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

}  // namespace

Result<std::unique_ptr<ImageBytes>> CompactImage::build(const NodeStore& nodes, LexiconKind kind,
                                                        std::uint64_t word_count, std::uint64_t length,
                                                        const DawgState* dawg, Cancel* cancel) {
    try {
        const CountColumns counts = pack_counts(counts_by_rank(nodes, cancel));
        const LaidOutGraph graph = lay_out(minimise(nodes, cancel), cancel);
        return assemble(graph, counts, kind, word_count, length, dawg);
    } catch (const BuildStopped&) {
        return std::unexpected(SorvanError::cancelled());
    }
}

Result<std::unique_ptr<ImageBytes>> CompactImage::build_sorted(SortableWords words, std::vector<std::uint64_t> counts,
                                                               Cancel* cancel) {
    try {
        std::uint64_t word_count = 0;
        for (const std::uint64_t c : counts) word_count += c;  // wraps at 2^64, as a Trie's does
        const CountColumns packed = pack_counts(counts);
        counts = {};
        std::uint64_t trie_nodes = 0;
        MinimalGraph minimal = minimise_sorted(words, trie_nodes, cancel);
        words = {};  // each goes as soon as the next step has what it needs
        const LaidOutGraph graph = lay_out(minimal, cancel);
        minimal = {};
        return assemble(graph, packed, LexiconKind::Trie, word_count, trie_nodes, nullptr);
    } catch (const BuildStopped&) {
        return std::unexpected(SorvanError::cancelled());
    }
}

// ------------------------------------------------------------------- open ----

Result<CompactImage> CompactImage::open(std::unique_ptr<ImageBytes> bytes, Cancel* cancel) {
    const std::uint8_t* data = bytes->data();
    const std::size_t size = bytes->size();
    if (size < sizeof magic || std::memcmp(data, magic, sizeof magic) != 0) {
        return invalid("not a lexicon image (bad magic)");
    }
    if (size < header_size + checksum_size) return invalid("truncated header");
    std::uint64_t fields[field_count];
    for (std::size_t i = 0; i < field_count; ++i) fields[i] = load_u64(data + sizeof magic + 8 * i);
    if (static_cast<std::uint32_t>(fields[version_and_kind]) != format_version) {
        return invalid("unsupported format version " + std::to_string(static_cast<std::uint32_t>(fields[version_and_kind])));
    }
    const std::uint64_t kind = fields[version_and_kind] >> 32;
    if (kind > 1) return invalid("unknown lexicon kind");
    if (fields[file_size] != size) {
        return invalid("size " + std::to_string(size) + " but the header says " + std::to_string(fields[file_size]) +
                       (size < fields[file_size] ? " (truncated)" : ""));
    }
    if (load_u64(data + size - checksum_size) != checksum(data, size - checksum_size)) {
        return invalid("checksum mismatch (corrupted)");
    }
    // Each section lies inside the body, followed by its padding.
    const std::uint64_t body_end = size - checksum_size;
    auto section = [&](Field offset, std::uint64_t bytes_needed) {
        const std::uint64_t at = fields[offset];
        return at >= header_size && at <= body_end && bytes_needed <= body_end - at &&
               body_end - at - bytes_needed >= padding;
    };
    const std::uint64_t table_entries = fields[table_size];
    const std::uint64_t words = fields[words_field];
    if (!section(graph_offset, fields[graph_size])) return invalid("graph section out of bounds");
    if (table_entries > body_end / 8 || !section(table_offset, 8 * table_entries)) {
        return invalid("count table out of bounds");
    }
    if (table_entries > words) return invalid("count table does not match its indices");
    if (words > max_trie_nodes) return invalid("count section out of bounds");
    if (!section(extras_offset, fields[extras_size])) return invalid("state section out of bounds");
    auto counts = check_counts(data, fields[index_offset], fields[count_levels_field], words, table_entries,
                               data + fields[table_offset],
                               [&](std::uint64_t bytes) { return section(index_offset, bytes); });
    if (!counts) return std::unexpected(std::move(counts.error()));

    const std::uint8_t* graph = data + fields[graph_offset];
    const std::uint64_t hubs = fields[hub_count_field];
    if (hubs > std::numeric_limits<std::uint32_t>::max() / 4 || !section(hub_offset, 4 * hubs)) {
        return invalid("hub table out of bounds");
    }
    auto totals = check_graph(graph, fields[graph_size], data + fields[hub_offset], static_cast<std::uint32_t>(hubs),
                              counts->by_rank(), cancel);
    if (!totals) return std::unexpected(std::move(totals.error()));
    if (totals->words != words) return invalid("word total does not match the graph");

    CompactImage image;
    image.graph_ = CompactGraph(graph, fields[graph_size], data + fields[hub_offset], static_cast<std::uint32_t>(hubs), *counts);
    image.graph_.index_root();
    // No count can be above the largest in the table, or above what the
    // codes can hold when they are the counts.
    const std::uint8_t* table = data + fields[table_offset];
    const unsigned direct_width = static_cast<unsigned>((fields[count_levels_field] >> 8) & 0xFF);
    image.max_count_ = direct_width >= 64 ? UINT64_MAX : (std::uint64_t{1} << direct_width) - 1;
    if (table_entries > 0) {
        image.max_count_ = 0;
        for (std::uint64_t i = 0; i < table_entries; ++i) {
            std::uint64_t value;
            std::memcpy(&value, table + 8 * i, sizeof value);
            image.max_count_ = std::max(image.max_count_, value);
        }
    }
    image.kind_ = static_cast<LexiconKind>(kind);
    image.word_count_ = fields[word_count_field];
    image.length_ = fields[length_field];
    image.node_count_ = totals->trie_nodes;
    image.ranked_ = totals->ranked;
    image.distinct_words_ = words;
    image.extras_offset_ = fields[extras_offset];
    image.extras_size_ = fields[extras_size];
    if (image.kind_ == LexiconKind::Trie) {
        if (image.length_ != image.node_count_) return invalid("node count does not match the graph");
        if (image.extras_size_ != 0) return invalid("a Trie image with a DAWG section");
    } else {
        if (image.length_ >= image.node_count_ && image.length_ != 0) {
            return invalid("registry size does not match the graph");
        }
        // The DAWG section: registered depth and previous word, the stale
        // keys sorted by node.
        const std::uint8_t* p = data + image.extras_offset_;
        const std::uint64_t left = image.extras_size_;
        if (left < 16) return invalid("truncated DAWG section");
        const std::uint64_t head = load_u64(p);
        const std::uint64_t word_size = head >> 32;
        if (word_size > left - 16 || align8(word_size) > left - 16) return invalid("truncated DAWG section");
        const std::string_view previous(reinterpret_cast<const char*>(p + 8), word_size);
        if (!utf8::is_valid(previous)) return invalid("the last word is not UTF-8");
        const auto at = walk(image.graph_, previous);
        if (!at || (!previous.empty() && !image.graph_.is_end(*at))) return invalid("the last word is not in the graph");
        std::uint64_t letters = 0;
        utf8::for_each(previous, [&letters](char32_t) { ++letters; });
        if ((head & 0xFFFFFFFFu) > letters) return invalid("bad registered depth");
        const std::uint8_t* q = p + 8 + align8(word_size);
        const std::uint64_t snapshots = load_u64(q);
        if (snapshots > (left - 16 - align8(word_size)) / 16 ||
            16 + align8(word_size) + 16 * snapshots != left) {
            return invalid("bad DAWG section size");
        }
        std::uint64_t previous_node = 0;
        for (std::uint64_t i = 0; i < snapshots; ++i) {
            const std::uint64_t node = load_u64(q + 8 + 16 * i) & 0xFFFFFFFFu;
            if (node <= previous_node || node >= image.node_count_) return invalid("bad stale key list");
            previous_node = node;
        }
    }
    image.bytes_ = std::move(bytes);
    return image;
}

namespace {

std::unique_ptr<OwnedBytes> owned_copy(const std::uint8_t* data, std::size_t size) {
    auto bytes = std::make_unique<OwnedBytes>(size, false);
    if (size) std::memcpy(bytes->mutable_data(), data, size);
    return bytes;
}

}  // namespace

Result<CompactImage> CompactImage::open_built(Result<std::unique_ptr<ImageBytes>> built, Cancel* cancel) {
    if (!built) return std::unexpected(std::move(built.error()));
    auto image = open(std::move(*built), cancel);
    if (!image && image.error().kind() != SorvanError::Kind::Cancelled) std::abort();
    return image;
}

Status CompactImage::expect(LexiconKind kind) const {
    if (kind == kind_) return {};
    return invalid(kind == LexiconKind::Trie ? "the image holds a DAWG, not a Trie"
                                             : "the image holds a Trie, not a DAWG");
}

Result<CompactImage> CompactImage::copy_of(const std::uint8_t* data, std::size_t size, Cancel* cancel) {
    return open(owned_copy(data, size), cancel);
}

std::unique_ptr<ImageBytes> CompactImage::copy_bytes() const { return owned_copy(data(), size()); }

Result<CompactImage> CompactImage::load(std::string_view path, bool map, Cancel* cancel) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(SorvanError::io("file name contained an unexpected NUL byte"));
    }
    const std::string terminated(path);
    int fd;
    do {
        fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(SorvanError::from_errno(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info;
    if (::fstat(fd, &info) != 0) return std::unexpected(SorvanError::from_errno(errno));
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(SorvanError::from_errno(S_ISDIR(info.st_mode) ? EISDIR : EINVAL));
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    if (map && size > 0) {
        void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (address == MAP_FAILED) return std::unexpected(SorvanError::from_errno(errno));
        return open(std::make_unique<MappedBytes>(address, size), cancel);
    }
    auto bytes = std::make_unique<OwnedBytes>(size, false);
    std::size_t done = 0;
    // In pieces, asking `cancel` between them: a file on a slow disk or a
    // network share may take long to read.
    constexpr std::size_t piece = std::size_t{16} << 20;
    while (done < size) {
        if (done != 0 && cancel && cancel->poll()) return std::unexpected(SorvanError::cancelled());
        const ssize_t got = ::read(fd, bytes->mutable_data() + done, std::min(piece, size - done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(SorvanError::from_errno(errno));
        if (got == 0) break;  // shrank while read: the checks see a short image
        done += static_cast<std::size_t>(got);
    }
    if (done < size) return copy_of(bytes->data(), done, cancel);
    return open(std::move(bytes), cancel);
}

void seal_image(std::uint8_t* data, std::size_t size) noexcept {
    store_u64(data + size - checksum_size, checksum(data, size - checksum_size));
}

// The bytes go to a new file beside `path`, renamed over it once complete:
// a reader never sees half an image, and a process that has the old file
// mapped keeps the old bytes.
Status write_file(std::string_view path, const std::uint8_t* data, std::size_t size) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(SorvanError::io("file name contained an unexpected NUL byte"));
    }
    static std::atomic<std::uint64_t> serial{0};
    const std::string target(path);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = target + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(serial++);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR) break;
    }
    if (fd < 0) return std::unexpected(SorvanError::from_errno(errno));
    auto fail = [&](int error) -> Status {
        ::close(fd);
        ::unlink(temporary.c_str());
        return std::unexpected(SorvanError::from_errno(error));
    };
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return fail(errno);
        done += static_cast<std::size_t>(put);
    }
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return std::unexpected(SorvanError::from_errno(error));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return std::unexpected(SorvanError::from_errno(error));
    }
    return {};
}

// ---------------------------------------------------------------- restore ----

Result<NodeStore> CompactImage::to_store(Cancel* cancel) const {
    Cancel::Countdown countdown(cancel);
    NodeStore store;
    // Legitimate images can stand for tries far bigger than themselves, so
    // room is made in advance only for a plausible size.
    if (node_count_ <= 64 * size()) store.reserve(node_count_);
    struct Frame {
        CompactGraph::Cursor edges;
        std::uint32_t left;
        NodeIndex node;
    };
    const auto root = CompactGraph::root();
    std::vector<Frame> stack;
    if (graph_.child_count(root) > 0) stack.push_back({graph_.edges(root), graph_.child_count(root), 0});
    while (!stack.empty()) {
        if (countdown.tick()) return std::unexpected(SorvanError::cancelled());
        Frame& frame = stack.back();
        const auto arc = graph_.next(frame.edges);
        const NodeIndex parent = frame.node;
        if (--frame.left == 0) stack.pop_back();
        const NodeIndex node = store.append_child(parent, arc.letter);
        if (graph_.is_end(arc.child)) {
            store[node].is_end = 1;
            store[node].count = graph_.count(arc.child);
        }
        if (const std::uint32_t n = graph_.child_count(arc.child); n > 0) {
            stack.push_back({graph_.edges(arc.child), n, node});
        }
    }
    return store;
}

std::string_view CompactImage::previous_word() const noexcept {
    if (kind_ != LexiconKind::Dawg) return {};
    const std::uint8_t* p = data() + extras_offset_;
    return {reinterpret_cast<const char*>(p + 8), static_cast<std::size_t>(load_u64(p) >> 32)};
}

std::uint32_t CompactImage::registered_depth() const noexcept {
    if (kind_ != LexiconKind::Dawg) return 0;
    return static_cast<std::uint32_t>(load_u64(data() + extras_offset_));
}

DawgState CompactImage::dawg_state() const {
    DawgState state;
    if (kind_ != LexiconKind::Dawg) return state;
    state.registered_depth = registered_depth();
    state.previous_word = previous_word();
    const std::uint8_t* q = data() + extras_offset_ + 8 + align8(state.previous_word.size());
    const std::uint64_t n = load_u64(q);
    state.snapshots.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t a = load_u64(q + 8 + 16 * i);
        state.snapshots.push_back({static_cast<NodeIndex>(a), static_cast<std::uint32_t>(a >> 32),
                                   load_u64(q + 16 + 16 * i)});
    }
    return state;
}

}  // namespace sorvan
