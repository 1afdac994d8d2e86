// Checking an image, any bytes at all, before anything reads it: the header,
// every section's bounds, every state, edge and count level, and the totals
// the header claims; then opening it.
#include "compact/check.hpp"

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

#include "compact/bytes.hpp"
#include "compact/format.hpp"
#include "compact/image.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

using namespace image;

std::unexpected<SorvanError> invalid_image(std::string what) {
    return std::unexpected(SorvanError::invalid_image(std::move(what)));
}

Status check_header(const std::uint8_t* data, std::size_t size, std::uint64_t (&fields)[field_count]) {
    if (size < sizeof magic || std::memcmp(data, magic, sizeof magic) != 0) {
        return invalid_image("not a lexicon image (bad magic)");
    }
    if (size < header_size + checksum_size) return invalid_image("truncated header");
    for (std::size_t i = 0; i < field_count; ++i) fields[i] = load_u64(data + sizeof magic + 8 * i);
    if (static_cast<std::uint32_t>(fields[version_and_kind]) != format_version) {
        return invalid_image("unsupported format version " + std::to_string(static_cast<std::uint32_t>(fields[version_and_kind])));
    }
    if (fields[version_and_kind] >> 32 > 1) return invalid_image("unknown lexicon kind");
    if (fields[file_size] != size) {
        return invalid_image("size " + std::to_string(size) + " but the header says " + std::to_string(fields[file_size]) +
                       (size < fields[file_size] ? " (truncated)" : ""));
    }
    return {};
}

namespace {

// ---------------------------------------------------------- validation ----

// Reads a LEB128 value of at most `most` bytes (as the reader takes them)
// from [p, end): nothing when it runs past the end or is longer.
bool read_varint_checked(const std::uint8_t*& p, const std::uint8_t* end, unsigned most, std::uint64_t& out) noexcept {
    out = 0;
    for (unsigned i = 0; i < most; ++i) {
        if (p >= end) return false;
        const std::uint64_t b = *p++;
        out |= (b & 0x7F) << (7 * i);
        if (b < 0x80) return true;
    }
    return false;
}

bool valid_letter(std::uint64_t c) noexcept { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }


// The counts below every state, and the trie size they stand for, checked
// against the skips the state's edges carry; bounded by max_trie_nodes.
struct GraphTotals {
    std::uint64_t words;
    std::uint64_t trie_nodes;
};

// Skips are checked when `ranked`; otherwise no walk reads them. Cancelled
// when `cancel` says stop (a graph of hundreds of megabytes takes seconds).
Result<GraphTotals> check_graph(const std::uint8_t* graph, std::uint64_t size, const std::uint8_t* hubs,
                                std::uint32_t hub_count, bool ranked, Cancel* cancel) {
    Cancel::Countdown countdown(cancel);
    if (size == 0) return invalid_image("the graph is empty");
    if (size >= std::numeric_limits<std::uint32_t>::max()) return invalid_image("the graph is too large");
    const std::uint8_t* end = graph + size;
    const CompactGraph view(graph, size, hubs, hub_count, RankedCounts{});
    for (std::uint32_t h = 0; h < hub_count; ++h) {  // where they are states is checked with the edges
        if (const std::uint32_t at = view.target(0, h); at == 0 || at >= size) return invalid_image("a hub out of range");
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
    std::unique_ptr<std::uint64_t[]> skips;  // when ranked
    if (ranked) skips = std::make_unique_for_overwrite<std::uint64_t[]>(size / 2 + lanes);
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
        } else if (!read_varint_checked(p, end, CompactGraph::header_bytes, h)) {
            return invalid_image("a state's header runs past the graph");
        }
        states[state_count++] = {edge_count, static_cast<std::uint32_t>(h & image::end_bit)};
        const std::uint64_t n = h >> image::count_shift;
        if (h & image::chain_bit) {
            std::uint64_t letter = *p;
            if (letter < 0x80) [[likely]] {
                ++p;
            } else if (!read_varint_checked(p, end, CompactGraph::letter_bytes, letter)) {
                return invalid_image("a bad letter");
            }
            if (n != 1) return invalid_image("a chain state with other than one child");
            if (p >= end) return invalid_image("a chain runs past the graph");
            bad |= flag(!valid_letter(letter), bad_letter);
            if (ranked) skips[edge_count] = h & image::end_bit;
            targets[edge_count++] = static_cast<std::uint32_t>(p - graph);
        } else if (n > 0) {
            if (p >= end) return invalid_image("a state runs past the graph");
            const unsigned w = *p++;
            const auto [lw, dw, sw] = record_widths(w);
            if (lw > 3 || sw > 7) return invalid_image("a bad record width");
            const std::uint64_t record = lw + dw + sw;
            const auto left = static_cast<std::uint64_t>(end - p);  // < 2^32: the product cannot overflow
            if (n > left || n * record > left) return invalid_image("a state's edges run past the graph");
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
                if (ranked) skips[edge_count] = image::read_le(p + lw + dw, sw);
                targets[edge_count++] = static_cast<std::uint32_t>(target);
            }
        } else {
            if (std::exchange(edgeless_seen, true)) return invalid_image("more than one state without edges");
            // A dead end: a prefix of no word. Only the root of no words
            // has neither edges nor a word.
            if (!(h & image::end_bit) && at != 0) return invalid_image("a state without edges ends no word");
        }
        if (bad) [[unlikely]] {
            return invalid_image(bad & (1 << bad_letter) ? "bad or unsorted letters" : "an edge target out of range");
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
        if (at == StateNumbers::not_a_start) return invalid_image("an edge target is not a state");
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
        if (ranked) skips[edge_count + lane] = 0;
    }
    std::uint32_t end_edge = edge_count;
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
                if (ranked) wrong_skips |= (skips[edge] ^ words) & in_state;
                words = capped(words + (child.words & in_state));
                nodes = capped(nodes + (child.trie_nodes & in_state));
            }
        }
        if (wrong_skips) return invalid_image("a word rank does not match the words below");
        end_edge = state.first_edge;
        states[s] = std::bit_cast<State>(Below{static_cast<std::uint32_t>(words), static_cast<std::uint32_t>(nodes)});
    }
    const auto root = std::bit_cast<Below>(states[0]);
    const std::uint64_t words_total = root.words, trie_nodes_total = root.trie_nodes;
    if (trie_nodes_total >= cap) return invalid_image("more words than a lexicon can hold");
    return GraphTotals{words_total, trie_nodes_total};
}

// The count levels that `levels` (the count, then a width a byte) lays out
// from `offset`, for `words` words and a table of `table_size` counts
// (none: the codes are the counts): every level inside the file, every
// directory right, every code an index into the table. Unless `total` is
// null, the sum of the counts (wrapped at 2^64, as get_word_count() is) is
// added to it, which takes a read of every code of the last level too.
// Unless `codes`, no code is read but those that size the levels (the
// escapes in each level's last block): a reader then checks each code it
// reads (RankedCounts::count).
template <class InFile>
Result<RankedCounts> check_counts(const std::uint8_t* data, std::uint64_t offset, std::uint64_t levels,
                                  std::uint64_t words, std::uint64_t table_size, const std::uint8_t* table,
                                  const InFile& in_file, std::uint64_t* total, bool codes) {
    const unsigned level_count = levels & 0xFF;
    if (level_count < 1 || level_count > RankedCounts::max_levels || (levels >> (8 + 8 * level_count)) != 0 ||
        (table_size == 0 && level_count != 1)) {
        return invalid_image("bad count levels");
    }
    RankedCounts::Level level[RankedCounts::max_levels];
    std::uint64_t at = 0, entries = words, base = 0;
    for (unsigned l = 0; l < level_count; ++l) {
        const unsigned w = static_cast<unsigned>((levels >> (8 + 8 * l)) & 0xFF);
        const bool last = l + 1 == level_count;
        if (last ? w > 64 : (w != 1 && w != 2 && w != 4 && w != 8)) return invalid_image("bad count width");
        const std::uint64_t code_size = code_bytes(entries, w);
        const std::uint64_t bytes = level_bytes(entries, w, last);
        if (!in_file(at + bytes)) return invalid_image("count section out of bounds");
        level[l] = {data + offset + at, data + offset + at + code_size, w, entries};
        at += bytes;
        // Codes past the table's end: none can be when the level's codes
        // all fit it.
        const std::uint64_t escape = last ? 0 : (std::uint64_t{1} << w) - 1;
        const bool check_codes = table_size != 0 && (w >= 63 || base + (std::uint64_t{1} << w) - (last ? 0 : 1) > table_size);
        std::uint64_t escapes = 0;
        // The count a code stands for: the code itself without a table.
        auto count_of = [&](std::uint64_t code) {
            std::uint64_t value = code;
            if (table_size != 0) std::memcpy(&value, table + 8 * (base + code), sizeof value);
            return value;
        };
        if (w == 0) {  // the last level, every code 0: no bits to read
            if (entries != 0) {
                if (table_size != 0 && base >= table_size) return invalid_image("a count index out of range");
                if (total) *total += entries * count_of(0);
            }
            break;
        }
        if (!codes) {
            // The next level holds this one's escapes: those before its
            // last code, by the directory, and the last code's.
            if (!last && entries != 0) {
                escapes = RankedCounts::escapes_before(level[l], entries - 1) +
                          (RankedCounts::read_code(level[l].codes, entries - 1, w) == escape);
            }
        }
        for (std::uint64_t i = 0; i < (!codes || (last && !check_codes && !total) ? 0 : entries); ++i) {
            if (!last && i % RankedCounts::block == 0) {
                std::uint32_t before;
                std::memcpy(&before, level[l].directory + 4 * (i / RankedCounts::block), sizeof before);
                if (before != escapes) return invalid_image("a count directory does not match its codes");
            }
            const std::uint64_t code = RankedCounts::read_code(level[l].codes, i, w);
            if (!last && code == escape) {
                ++escapes;
            } else if (check_codes && base + code >= table_size) {
                return invalid_image("a count index out of range");
            } else if (total) {
                *total += count_of(code);
            }
        }
        entries = escapes;
        base += escape;
    }
    return RankedCounts(table, table_size, level, level_count);
}
}  // namespace

// ------------------------------------------------------------------- open ----


namespace {

// Whether `word` (a word of the graph, or empty) is its greatest word: each
// edge of its path the last of its state, and no edge after it. (Every
// state leads to a word: the check of the graph refuses dead ends.)
bool is_greatest(const CompactGraph& graph, std::string_view word) noexcept {
    auto at = CompactGraph::root();
    const char* p = word.data();
    const char* end = p + word.size();
    while (p < end) {
        auto edges = graph.edges(at);
        CompactGraph::Arc last{};
        for (std::uint32_t n = edges.count; n > 0; --n) last = graph.next(edges);
        if (edges.count == 0 || last.letter != utf8::next(p)) return false;
        at = last.child;
    }
    return graph.child_count(at) == 0;
}

}  // namespace

Result<CompactImage> CompactImage::open(std::unique_ptr<ImageBytes> bytes, Cancel* cancel, Check check) {
    if (check == Check::full) return open_checked(std::move(bytes), cancel, check);
    // A lazy open refuses what the whole check refuses, for what it says.
    const ImageBytes& kept = *bytes;
    auto image = open_checked(std::make_unique<BorrowedBytes>(kept.data(), kept.size()), cancel, check);
    if (!image && image.error().kind() == SorvanError::Kind::InvalidImage) {
        return open_checked(std::move(bytes), cancel, Check::full);
    }
    if (!image) return image;
    image->bytes_ = std::move(bytes);
    return image;
}

Result<CompactImage> CompactImage::open_checked(std::unique_ptr<ImageBytes> bytes, Cancel* cancel, Check check) {
    const std::uint8_t* data = bytes->data();
    const std::size_t size = bytes->size();
    const bool full = check == Check::full;
    std::uint64_t fields[field_count];
    if (Status header = check_header(data, size, fields); !header) return std::unexpected(std::move(header.error()));
    const std::uint64_t kind = fields[version_and_kind] >> 32;
    if (full && load_u64(data + size - checksum_size) != checksum(data, size - checksum_size)) {
        return invalid_image("checksum mismatch (corrupted)");
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
    if (!section(graph_offset, fields[graph_size])) return invalid_image("graph section out of bounds");
    if (table_entries > body_end / 8 || !section(table_offset, 8 * table_entries)) {
        return invalid_image("count table out of bounds");
    }
    if (table_entries > words) return invalid_image("count table does not match its indices");
    if (words > max_trie_nodes) return invalid_image("count section out of bounds");
    if (!section(extras_offset, fields[extras_size])) return invalid_image("state section out of bounds");
    // A Trie's get_word_count() is the sum of its counts. A DAWG's is not
    // checked: it also holds what the empty word was added with, which no
    // word of the graph keeps.
    const bool trie = kind == static_cast<std::uint64_t>(LexiconKind::Trie);
    std::uint64_t count_total = 0;
    auto counts = check_counts(data, fields[index_offset], fields[count_levels_field], words, table_entries,
                               data + fields[table_offset],
                               [&](std::uint64_t bytes) { return section(index_offset, bytes); },
                               trie && full ? &count_total : nullptr, full);
    if (!counts) return std::unexpected(std::move(counts.error()));
    if (trie && full && count_total != fields[word_count_field]) {
        return invalid_image("word count does not match the counts");
    }

    const std::uint8_t* graph = data + fields[graph_offset];
    const std::uint64_t hubs = fields[hub_count_field];
    if (hubs > std::numeric_limits<std::uint32_t>::max() / 4 || !section(hub_offset, 4 * hubs)) {
        return invalid_image("hub table out of bounds");
    }
    // Unchecked, the graph's totals are the header's (a Trie's node count
    // is its len()).
    GraphTotals totals{words, fields[length_field]};
    if (full) {
        auto checked = check_graph(graph, fields[graph_size], data + fields[hub_offset], static_cast<std::uint32_t>(hubs),
                                   counts->by_rank(), cancel);
        if (!checked) return std::unexpected(std::move(checked.error()));
        if (checked->words != words) return invalid_image("word total does not match the graph");
        totals = *checked;
    } else if (fields[graph_size] == 0) {
        return invalid_image("the graph is empty");
    } else if (fields[graph_size] >= std::numeric_limits<std::uint32_t>::max()) {
        return invalid_image("the graph is too large");
    }

    CompactImage image;
    image.soundness_ = std::make_unique<Soundness>();
    if (full) {
        image.soundness_->trie_nodes.store(totals.trie_nodes, std::memory_order_relaxed);
        image.soundness_->state.store(Soundness::sound, std::memory_order_relaxed);
    }
    image.graph_ = CompactGraph(graph, fields[graph_size], data + fields[hub_offset], static_cast<std::uint32_t>(hubs),
                                *counts, &image.soundness_->fault);
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
    image.node_count_ = totals.trie_nodes;
    // Skips are written, and checked, only where counts differ by word:
    // an image whose words share one count has no ranks.
    image.ranked_ = counts->by_rank();
    image.distinct_words_ = words;
    image.extras_offset_ = fields[extras_offset];
    image.extras_size_ = fields[extras_size];
    if (image.kind_ == LexiconKind::Trie) {
        if (full && image.length_ != image.node_count_) return invalid_image("node count does not match the graph");
        if (image.extras_size_ != 0) return invalid_image("a Trie image with a DAWG section");
    } else {
        // The DAWG section: registered depth and previous word, the stale
        // keys sorted by node.
        const std::uint8_t* p = data + image.extras_offset_;
        const std::uint64_t left = image.extras_size_;
        if (left < 16) return invalid_image("truncated DAWG section");
        const std::uint64_t head = load_u64(p);
        const std::uint64_t word_size = head >> 32;
        if (word_size > left - 16 || align8(word_size) > left - 16) return invalid_image("truncated DAWG section");
        const std::string_view previous(reinterpret_cast<const char*>(p + 8), word_size);
        if (!utf8::is_valid(previous)) return invalid_image("the last word is not UTF-8");
        const auto at = walk(image.graph_, previous);
        if (!at || (!previous.empty() && !image.graph_.is_end(*at))) return invalid_image("the last word is not in the graph");
        // Words are added in order, so the next one attaches to its path.
        if (!is_greatest(image.graph_, previous)) return invalid_image("the last word is not the greatest word");
        std::uint64_t letters = 0;
        utf8::for_each(previous, [&letters](char32_t) { ++letters; });
        const std::uint64_t registered_depth = head & 0xFFFFFFFFu;
        if (registered_depth > letters) return invalid_image("bad registered depth");
        const std::uint8_t* q = p + 8 + align8(word_size);
        const std::uint64_t snapshots = load_u64(q);
        if (snapshots > (left - 16 - align8(word_size)) / 16 ||
            16 + align8(word_size) + 16 * snapshots != left) {
            return invalid_image("bad DAWG section size");
        }
        // What follows needs the graph's node count: checked with the
        // graph, before the mutable form is built from them.
        if (!full) return std::move(image).opened_lazily(std::move(bytes), cancel);
        // Every node is registered but the root and those of the last word
        // deeper than the registered depth; each has a key, and the keys
        // of registered nodes are one at least.
        const std::uint64_t registered = image.node_count_ - 1 - (letters - registered_depth);
        if (image.length_ > registered || (image.length_ == 0) != (registered == 0)) {
            return invalid_image("registry size does not match the graph");
        }
        std::uint64_t previous_node = 0;
        for (std::uint64_t i = 0; i < snapshots; ++i) {
            const std::uint64_t node = load_u64(q + 8 + 16 * i) & 0xFFFFFFFFu;
            if (node <= previous_node || node >= image.node_count_) return invalid_image("bad stale key list");
            previous_node = node;
        }
    }
    if (!full) return std::move(image).opened_lazily(std::move(bytes), cancel);
    image.bytes_ = std::move(bytes);
    return image;
}

Result<CompactImage> CompactImage::opened_lazily(std::unique_ptr<ImageBytes> bytes, Cancel* cancel) && {
    bytes_ = std::move(bytes);
    // The walks of the opening (the root's edges, a DAWG's last word) met
    // damage: the whole check says which.
    if (graph_.faulted()) {
        if (Status sound = check(cancel); !sound) return std::unexpected(std::move(sound.error()));
        return std::unexpected(SorvanError::internal("a walk met damage that the image check does not find"));
    }
    return std::move(*this);
}

Status CompactImage::check(Cancel* cancel) const {
    Soundness& s = *soundness_;
    switch (s.state.load(std::memory_order_acquire)) {
        case Soundness::sound: return {};
        case Soundness::damaged: return invalid_image(s.damage);
        default: break;
    }
    auto whole = open_checked(std::make_unique<BorrowedBytes>(data(), size()), cancel, Check::full);
    if (whole) {
        s.trie_nodes.store(whole->node_count_, std::memory_order_relaxed);
        s.state.store(Soundness::sound, std::memory_order_release);
        return {};
    }
    if (whole.error().kind() != SorvanError::Kind::InvalidImage) return std::unexpected(std::move(whole.error()));
    // The first thread to find the damage writes what it is; the others
    // find the same.
    int unknown = Soundness::unknown;
    if (s.state.compare_exchange_strong(unknown, Soundness::writing, std::memory_order_acquire)) {
        s.damage = whole.error().previous();
        s.fault.store(true, std::memory_order_relaxed);
        s.state.store(Soundness::damaged, std::memory_order_release);
    }
    return std::unexpected(std::move(whole.error()));
}

}  // namespace sorvan
