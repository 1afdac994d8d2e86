#pragma once
// The compact image's bytes in one place: the header's fields, how states,
// records, varints and count levels are encoded, and the checksum. The
// writer (build.cpp), the checker (check.cpp) and the reader (graph.hpp)
// all use it; docs/image-format.md describes the same bytes in prose.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "node/node.hpp"

namespace sorvan::image {

static_assert(std::endian::native == std::endian::little, "images are little-endian");

inline constexpr char magic[8] = {'\x89', 'S', 'R', 'V', 'L', 'E', 'X', '\n'};
inline constexpr std::uint32_t format_version = 2;

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
inline constexpr std::size_t header_size = sizeof magic + 8 * field_count;
// Every section is followed by this many readable bytes (the fixed-width
// readers load whole words), and the file ends with the checksum.
inline constexpr std::size_t padding = 16;
inline constexpr std::size_t checksum_size = 8;
// A trie can have no more nodes than a node store holds.
inline constexpr std::uint64_t max_trie_nodes = NodeStore::max_nodes;

// A word's count is kept by rank in levels of codes, each level but the
// last with a directory of its escapes before every block of this many codes.
inline constexpr std::uint64_t count_block = 256;

inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store_u64(std::uint8_t* p, std::uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// A 64-bit hash of the bytes: four independent multiply lanes, so that it
// runs at memory speed; it is for corruption, not for adversaries.
inline std::uint64_t checksum(const std::uint8_t* p, std::size_t n) noexcept {
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

inline unsigned byte_width(std::uint64_t v) noexcept { return static_cast<unsigned>((std::bit_width(v) + 7) / 8); }
inline unsigned varint_size(std::uint64_t v) noexcept {
    return v < 0x80 ? 1 : static_cast<unsigned>((std::bit_width(v) + 6) / 7);
}
inline void put_varint(std::uint8_t*& p, std::uint64_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<std::uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(v);
}
inline void put_le(std::uint8_t*& p, std::uint64_t v, unsigned width) noexcept {
    for (unsigned i = 0; i < width; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
}

// A little-endian value of `width` <= 8 bytes at p. The buffer always holds
// at least 8 readable bytes past any field (the sections are padded), so the
// load is one unaligned word, masked from a table (a mask made by a shift of
// a variable count costs the walks a tenth more).
inline constexpr std::uint64_t byte_masks[9] = {0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFF,
                                                0xFFFFFFFFFFFF, 0xFFFFFFFFFFFFFF, ~std::uint64_t{0}};
inline std::uint64_t read_le(const std::uint8_t* p, unsigned width) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v & byte_masks[width];
}

// A LEB128 value at p (at most 10 bytes, already validated).
inline std::uint64_t read_varint(const std::uint8_t*& p) noexcept {
    std::uint64_t v = *p++;
    if (v < 0x80) [[likely]] return v;
    v &= 0x7F;
    for (unsigned shift = 7;; shift += 7) {
        const std::uint64_t b = *p++;
        v |= (b & 0x7F) << shift;
        if (b < 0x80) return v;
    }
}

// The flag bits of a state's header varint; the rest is the child count.
inline constexpr std::uint64_t end_bit = 1;
inline constexpr std::uint64_t chain_bit = 2;
inline constexpr unsigned count_shift = 2;

// A state of more than one edge (not a chain) starts its records with one
// byte of their field widths: the letter's less one (bits 0-1), the
// target's less one (bits 2-3) and the skip's (bits 4-6).
struct RecordWidths {
    unsigned letter, target, skip;
};
inline RecordWidths record_widths(unsigned byte) noexcept {
    return {(byte & 3) + 1, ((byte >> 2) & 3) + 1, byte >> 4};
}
inline std::uint8_t widths_byte(RecordWidths w) noexcept {
    return static_cast<std::uint8_t>((w.letter - 1) | ((w.target - 1) << 2) | (w.skip << 4));
}

inline std::size_t align8(std::size_t n) noexcept { return (n + 7) & ~std::size_t{7}; }

// The bytes of `entries` codes of `width` bits, in whole 8-byte words.
inline std::uint64_t code_bytes(std::uint64_t entries, unsigned width) noexcept { return 8 * ((entries * width + 63) / 64); }

// The bytes of a count level of `entries` codes of `width` bits: its codes,
// then (but in the last level) the directory.
inline std::uint64_t level_bytes(std::uint64_t entries, unsigned width, bool last) noexcept {
    const std::uint64_t codes = code_bytes(entries, width);
    return last ? codes : codes + align8(4 * ((entries + count_block - 1) / count_block));
}

}  // namespace sorvan::image
