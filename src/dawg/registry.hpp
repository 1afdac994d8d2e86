#pragma once
// The DAWG's registry of node signatures: finds the node equal to a finished
// one, so that equal subtrees are stored once.

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "node/node.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

// Writes the signature of `node` to `sink`, the one place that defines it:
// the letter, the count in decimal, the digit 1 or 0 for is_end, then per
// child in letter order its letter and id in decimal, with no separators.
// A sink has letter(Letter), decimal(uint64_t) and digit(char). The second
// form writes the signature the node had when it had only its first
// `child_limit` children and count `count`.
//
// The first form is the others' core, for a node held anywhere: `children`
// edges, edge(i) giving the i-th's letter and child id as a pair.
template <class Sink, class EdgeAt>
void write_signature(Letter letter, std::uint64_t count, bool is_end, std::uint32_t children, EdgeAt&& edge,
                     Sink& sink) {
    sink.letter(letter);
    sink.decimal(count);
    sink.digit(is_end ? '1' : '0');
    for (std::uint32_t i = 0; i < children; ++i) {
        const auto [child_letter, id] = edge(i);
        sink.letter(child_letter);
        sink.decimal(id);
    }
}
template <class Sink>
void write_signature(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                     std::uint64_t count, Sink& sink) {
    write_signature(node.letter, count, node.is_end, child_limit, [&](std::uint32_t i) {
        const Edge edge = nodes.child_at(node, i);
        return std::pair{edge.letter, NodeStore::id(edge.child)};
    }, sink);
}
template <class Sink>
void write_signature(const Node& node, const NodeStore& nodes, Sink& sink) {
    write_signature(node, nodes, node.child_count, node.count, sink);
}

// The DAWG's registry: a hash map from node signature to node index.
//
// Signatures live one after the other in one arena, each entry laid out as
// [node: 4 bytes][length: LEB128][packed signature] and padded to 4 bytes.
// Signatures are mostly
// decimal digits, so they are packed four bits a digit (any other byte takes
// an escape nibble and its two halves, and an odd count ends with one more
// escape); the packing is a one-to-one function of the string, so keys
// still compare as whole strings. The open-addressing table
// holds for each entry its arena offset and 32 bits of its hash (which also
// pick its home slot), so a probe touches the arena only when they match and
// growing the table never reads the arena. About 8 bytes of table and
// 6.5 + about 0.7 x length bytes of arena per entry, and no allocation per
// entry.
class SignatureRegistry {
public:
    SignatureRegistry() = default;

    // A signature packed and hashed for enter().
    struct Key {
        std::string packed;
        std::uint64_t hash = 0;
    };

    // The signature sink that writes the packed form: each ASCII digit as
    // one nibble, any other byte as the escape nibble and its two halves,
    // and an odd count padded with the escape nibble (which can never end a
    // complete code, so the padding cannot be mistaken for a digit). The
    // packing is one-to-one, so packed keys compare as the strings would.
    class Packer {
    public:
        explicit Packer(std::string& out) : out_(out) { out_.clear(); }

        void bytes(std::string_view text) {
            for (char c : text) byte(static_cast<unsigned char>(c));
        }
        void byte(unsigned char b) {
            if (static_cast<unsigned>(b - '0') < 10) {
                put(b - '0', 1);
            } else {
                put(escape << 8 | b, 3);
            }
        }
        void digit(char d) { byte(static_cast<unsigned char>(d)); }
        void letter(Letter c) {
            if (c < 0x80) return byte(static_cast<unsigned char>(c));
            char encoded[4];
            bytes({encoded, utf8::encode(c, encoded)});
        }
        // The digits as nibbles, most significant first.
        void decimal(std::uint64_t value) {
            constexpr std::uint64_t sixteen_digits = 10'000'000'000'000'000ULL;
            if (value >= sixteen_digits) {
                decimal(value / sixteen_digits);
                put(digit_nibbles(value % sixteen_digits, 16), 16);
                return;
            }
            unsigned digits = 1;
            for (std::uint64_t rest = value / 10; rest != 0; rest /= 10) ++digits;
            put(digit_nibbles(value, digits), digits);
        }
        // Ends the key and returns its hash: hash() of what was written,
        // taken word by word as it went out.
        std::uint64_t finish() {
            if (used_ % 2 != 0) put(escape, 1);
            if (used_ != 0) {
                const std::uint64_t tail = std::byteswap(pending_ << (64 - 4 * used_));
                out_.append(reinterpret_cast<const char*>(&tail), used_ / 2);
                hash_ = hash_step(hash_, tail);
                used_ = 0;
            }
            return hash_end(hash_, out_.size());
        }

    private:
        static constexpr unsigned escape = 0xF;
        // The last `digits` decimal digits of `value`, one a nibble.
        static std::uint64_t digit_nibbles(std::uint64_t value, unsigned digits) noexcept {
            std::uint64_t nibbles = 0;
            for (unsigned i = 0; i < digits; ++i, value /= 10) nibbles |= (value % 10) << (4 * i);
            return nibbles;
        }
        // Appends the low `n` <= 16 nibbles of `nibbles`, the highest first.
        // They gather in a word, written out whole every 16 nibbles.
        void put(std::uint64_t nibbles, unsigned n) {
            if (used_ + n < 16) {
                pending_ = pending_ << (4 * n) | nibbles;
                used_ += n;
                return;
            }
            const unsigned rest = used_ + n - 16;  // what does not fit
            const std::uint64_t whole = (used_ == 0 ? 0 : pending_ << (4 * (16 - used_))) | nibbles >> (4 * rest);
            const std::uint64_t bytes = std::byteswap(whole);
            out_.append(reinterpret_cast<const char*>(&bytes), sizeof bytes);
            hash_ = hash_step(hash_, bytes);
            pending_ = rest == 0 ? 0 : nibbles & ((std::uint64_t{1} << (4 * rest)) - 1);
            used_ = rest;
        }

        std::string& out_;
        std::uint64_t pending_ = 0;  // `used_` nibbles, the last written lowest
        unsigned used_ = 0;          // below 16
        std::uint64_t hash_ = hash_seed;
    };

    // The hash of a packed key: its little-endian 8-byte words (the last
    // one zero-filled) folded in turn, then its length. Packer::finish()
    // computes it as it writes, so a key's bytes are not read back.
    static std::uint64_t hash(std::string_view packed) noexcept;

    // Makes the key of what write(Packer&) writes and starts loading its
    // table slot into the cache, so that preparing a batch before entering
    // it lets the cache misses overlap.
    template <class Write>
    void prepare(Write&& write, Key& key) const {
        Packer packer(key.packed);
        write(packer);
        key.hash = packer.finish();
        if (!slots_.empty()) __builtin_prefetch(&slots_[key.hash & (slots_.size() - 1)]);
    }
    // The key of `node`'s signature.
    void prepare(const Node& node, const NodeStore& nodes, Key& key) const {
        prepare([&](Packer& packer) { write_signature(node, nodes, packer); }, key);
    }
    // The key `node` had when it had only its first `child_limit` children
    // and count `count`.
    void prepare(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                 std::uint64_t count, Key& key) const {
        prepare([&](Packer& packer) { write_signature(node, nodes, child_limit, count, packer); }, key);
    }

    // Makes room for entering `keys`, and the keys waiting to be entered,
    // so that entering them cannot fail: std::bad_alloc, with the registry
    // unchanged, when there is none.
    void reserve(std::span<const Key> keys);
    // Grows the table (and the arena, by a guess) now, so that `entries`
    // more keys fit without growing it again: one table for a known run of
    // keys instead of every size on the way. std::bad_alloc, with the
    // registry unchanged, without room.
    void expect(std::size_t entries);

    // Enters `node` under the key. When the signature is already a key, the
    // key keeps its place and now maps to `node`.
    void enter(const Key& key, NodeIndex node);
    // The same, some keys later: the key (its contents taken, `key` left
    // with others to reuse) waits until `waiting_capacity` more have come,
    // so that a run of keys has its table slots loaded while the ones
    // before are entered, where one at a time each would wait for its own.
    // Keys are entered in the order they came; room for them is made by
    // reserve() beforehand, as for enter(). flush() enters the rest.
    void enter_later(Key& key, NodeIndex node);
    void flush() noexcept;

    // The keys entered; a key waiting to be entered is not counted yet.
    std::size_t size() const noexcept { return size_; }

    // Undo of a run of entries: after mark(), roll_back() forgets the keys
    // entered since and gives keys entered again their nodes back; keep()
    // ends the run. Neither allocates or fails.
    void mark() noexcept;
    void keep() noexcept;
    void roll_back() noexcept;

private:
    static constexpr std::uint64_t hash_seed = 0x9E3779B97F4A7C15ULL;
    static std::uint64_t hash_step(std::uint64_t h, std::uint64_t word) noexcept { return (h ^ word) * hash_seed; }
    static std::uint64_t hash_end(std::uint64_t h, std::size_t length) noexcept {
        h ^= length;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        return h ^ h >> 33;
    }

    // Entries start at multiples of `unit` bytes, and a slot holds the
    // entry's offset in units: 32 bits of them reach 16 GiB of arena, more
    // than a machine that could hold such an arena has beside it, for at
    // most unit - 1 bytes of padding an entry.
    static constexpr std::size_t unit = 4;
    struct Slot {
        std::uint32_t offset;  // of the entry in the arena, in units; empty_slot if free
        std::uint32_t tag;     // the low half of the signature's hash
    };
    static constexpr std::uint32_t empty_slot = 0xFFFFFFFFu;
    static constexpr std::size_t max_arena = std::size_t{empty_slot} * unit;

    // The packed key (count and nibbles) of the entry at `offset`.
    std::string_view key_at(std::uint32_t offset) const noexcept;
    // The slot holding the packed `key`, or the empty slot where it would go.
    std::size_t probe(std::string_view key, std::uint64_t h) const noexcept;
    // Grows the table, if need be, so that `entries` more keys than those
    // entered and waiting keep it at most 3/4 full.
    void grow_table(std::size_t entries);
    // Moves the entries to a table of `size` slots (a power of two).
    void rehash(std::size_t size);
    // The arena bytes of an entry with a packed key of `length` bytes, at most.
    static std::size_t entry_bytes(std::size_t length) noexcept {
        return sizeof(NodeIndex) + 10 + length + unit - 1;
    }

    std::vector<char> arena_;
    std::vector<Slot> slots_;  // a power of two in size, at most 3/4 full
    std::size_t size_ = 0;

    // Keys given to enter_later(), in a ring: the oldest at waiting_first_.
    static constexpr std::size_t waiting_capacity = 32;
    struct Waiting {
        Key key;
        NodeIndex node = 0;
    };
    std::array<Waiting, waiting_capacity> waiting_;
    std::size_t waiting_first_ = 0;
    std::size_t waiting_size_ = 0;
    std::size_t waiting_bytes_ = 0;  // their entry_bytes(), summed
    // Enters the oldest waiting key.
    void enter_oldest() noexcept;

    struct Remapped {
        std::size_t offset;  // in bytes
        NodeIndex node;      // before the key was entered again
    };
    bool marked_ = false;
    std::size_t marked_arena_ = 0;
    std::size_t marked_size_ = 0;
    std::vector<Remapped> remapped_;  // since mark(), of older keys only
};

}  // namespace sorvan
