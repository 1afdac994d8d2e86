#pragma once

#include <charconv>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
template <class Sink>
void write_signature(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                     std::uint64_t count, Sink& sink) {
    sink.letter(node.letter);
    sink.decimal(count);
    sink.digit(node.is_end ? '1' : '0');
    for (std::uint32_t i = 0; i < child_limit; ++i) {
        const Edge edge = nodes.child_at(node, i);
        sink.letter(edge.letter);
        sink.decimal(NodeStore::id(edge.child));
    }
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
            if (b >= '0' && b <= '9') {
                put(b - '0');
            } else {
                put(escape);
                put(b >> 4);
                put(b & 0xF);
            }
        }
        void digit(char d) { byte(static_cast<unsigned char>(d)); }
        void letter(Letter c) {
            char encoded[4];
            bytes({encoded, utf8::encode(c, encoded)});
        }
        void decimal(std::uint64_t value) {
            char digits[20];
            const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
            for (const char* d = digits; d != end; ++d) put(static_cast<unsigned>(*d - '0'));
        }
        void finish() {
            if (half_) put(escape);
        }

    private:
        static constexpr unsigned escape = 0xF;
        void put(unsigned nibble) {
            if (half_) {
                out_.push_back(static_cast<char>(pending_ | nibble));
            } else {
                pending_ = nibble << 4;
            }
            half_ = !half_;
        }

        std::string& out_;
        unsigned pending_ = 0;
        bool half_ = false;
    };

    // Makes the key of what write(Packer&) writes and starts loading its
    // table slot into the cache, so that preparing a batch before entering
    // it lets the cache misses overlap.
    template <class Write>
    void prepare(Write&& write, Key& key) const {
        Packer packer(key.packed);
        write(packer);
        packer.finish();
        finish_key(key);
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

    // Makes room for entering `keys`, so that entering them cannot fail:
    // std::bad_alloc, with the registry unchanged, when there is none.
    void reserve(std::span<const Key> keys);

    // Enters `node` under the key. When the signature is already a key, the
    // key keeps its place and now maps to `node`.
    void enter(const Key& key, NodeIndex node);

    std::size_t size() const noexcept { return size_; }

    // Undo of a run of entries: after mark(), roll_back() forgets the keys
    // entered since and gives keys entered again their nodes back; keep()
    // ends the run. Neither allocates or fails.
    void mark() noexcept;
    void keep() noexcept;
    void roll_back() noexcept;

private:
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

    void finish_key(Key& key) const noexcept;
    static std::uint64_t hash(std::string_view bytes) noexcept;
    // The packed key (count and nibbles) of the entry at `offset`.
    std::string_view key_at(std::uint32_t offset) const noexcept;
    // The slot holding the packed `key`, or the empty slot where it would go.
    std::size_t probe(std::string_view key, std::uint64_t h) const noexcept;
    // Moves the entries to a table of `size` slots (a power of two).
    void rehash(std::size_t size);
    // The arena bytes of an entry with a packed key of `length` bytes, at most.
    static std::size_t entry_bytes(std::size_t length) noexcept {
        return sizeof(NodeIndex) + 10 + length + unit - 1;
    }

    std::vector<char> arena_;
    std::vector<Slot> slots_;  // a power of two in size, at most 3/4 full
    std::size_t size_ = 0;

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
