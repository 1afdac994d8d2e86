#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "node/node.hpp"

namespace sorvan {

// The DAWG's registry: a hash map from node signature to node index.
//
// Signatures live back to back in one arena, each entry laid out as
// [node: 4 bytes][length: LEB128][packed signature]. Signatures are mostly
// decimal digits, so they are packed four bits a digit (any other byte takes
// an escape nibble and its two halves, and an odd count ends with one more
// escape); the packing is a one-to-one function of the string, so keys
// still compare as whole strings. The open-addressing table
// holds for each entry its arena offset and 32 bits of its hash (which also
// pick its home slot), so a probe touches the arena only when they match and
// growing the table never reads the arena. About 8 bytes of table and
// 5 + about 0.7 x length bytes of arena per entry, and no allocation per entry.
class SignatureRegistry {
public:
    SignatureRegistry() = default;

    // A signature packed and hashed for enter().
    struct Key {
        std::string packed;
        std::uint64_t hash = 0;
    };
    // Makes the key of `signature` and starts loading its table slot into
    // the cache, so that preparing a batch before entering it lets the
    // cache misses overlap.
    void prepare(std::string_view signature, Key& key) const;
    // The key of `node`'s signature, made from the node without writing the
    // signature out first.
    void prepare(const Node& node, const NodeStore& nodes, Key& key) const;
    // The key `node` had when it had only its first `child_limit` children
    // and count `count`.
    void prepare(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                 std::uint64_t count, Key& key) const;

    // Enters `node` under the key. When the signature is already a key, the
    // key keeps its place and now maps to `node`.
    void enter(const Key& key, NodeIndex node);
    void enter(std::string_view signature, NodeIndex node);

    std::optional<NodeIndex> find(std::string_view signature) const;
    std::size_t size() const noexcept { return size_; }

private:
    struct Slot {
        std::uint32_t offset;  // of the entry in the arena; empty_slot if free
        std::uint32_t tag;     // the low half of the signature's hash
    };
    static constexpr std::uint32_t empty_slot = 0xFFFFFFFFu;

    // Packs `signature` into `out`, two nibbles a byte.
    static void pack(std::string_view signature, std::string& out);
    static void pack(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                     std::uint64_t count, std::string& out);
    void finish_key(Key& key) const noexcept;
    static std::uint64_t hash(std::string_view bytes) noexcept;
    // The packed key (count and nibbles) of the entry at `offset`.
    std::string_view key_at(std::uint32_t offset) const noexcept;
    // The slot holding the packed `key`, or the empty slot where it would go.
    std::size_t probe(std::string_view key, std::uint64_t h) const noexcept;
    void grow();

    std::vector<char> arena_;
    std::vector<Slot> slots_;  // a power of two in size, at most 3/4 full
    std::size_t size_ = 0;
};

}  // namespace sorvan
