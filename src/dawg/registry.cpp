#include "dawg/registry.hpp"

#include "utils/memory.hpp"
#include "utils/utf8.hpp"

#include <cstdint>
#include <charconv>
#include <cstring>
#include <new>

namespace sorvan {

namespace {

std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

std::uint64_t SignatureRegistry::hash(std::string_view bytes) noexcept {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
    std::uint64_t h = bytes.size() * k;
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) h = (h ^ load64(p)) * k;
    if (n > 0) {
        std::uint64_t tail = 0;
        std::memcpy(&tail, p, n);
        h = (h ^ tail) * k;
    }
    return mix(h);
}

namespace {

// Writes the packed form of a signature: each ASCII digit as one nibble,
// any other byte as the escape nibble and its two halves, and an odd count
// padded with the escape nibble (which can never end a complete code, so the
// padding cannot be mistaken for a digit).
class KeyWriter {
public:
    explicit KeyWriter(std::string& out) : out_(out) { out_.clear(); }

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
    void letter(Letter c) {
        if (c < 0x80) {
            byte(static_cast<unsigned char>(c));
            return;
        }
        std::string encoded;  // at most 4 bytes: no allocation
        utf8::append(encoded, c);
        bytes(encoded);
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

}  // namespace

void SignatureRegistry::pack(std::string_view signature, std::string& out) {
    KeyWriter writer(out);
    writer.bytes(signature);
    writer.finish();
}

void SignatureRegistry::pack(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                              std::uint64_t count, std::string& out) {
    // The same bytes as pack(node.signature()), without the decimal string.
    KeyWriter writer(out);
    writer.letter(node.letter);
    writer.decimal(count);
    writer.byte(node.is_end ? '1' : '0');
    for (std::uint32_t i = 0; i < child_limit; ++i) {
        const Edge edge = nodes.child_at(node, i);
        writer.letter(edge.letter);
        writer.decimal(NodeStore::id(edge.child));
    }
    writer.finish();
}

std::string_view SignatureRegistry::key_at(std::uint32_t offset) const noexcept {
    const char* p = arena_.data() + offset + sizeof(NodeIndex);
    std::size_t length = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*p++);
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (byte < 0x80) break;
    }
    return {p, length};
}

std::size_t SignatureRegistry::probe(std::string_view key, std::uint64_t h) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(h);
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.offset == empty_slot) return i;
        if (slot.tag == tag && key_at(slot.offset) == key) return i;
    }
}

void SignatureRegistry::prepare(std::string_view signature, Key& key) const {
    pack(signature, key.packed);
    finish_key(key);
}

void SignatureRegistry::prepare(const Node& node, const NodeStore& nodes, Key& key) const {
    prepare(node, nodes, node.child_count, node.count, key);
}

void SignatureRegistry::prepare(const Node& node, const NodeStore& nodes, std::uint32_t child_limit,
                                std::uint64_t count, Key& key) const {
    pack(node, nodes, child_limit, count, key.packed);
    finish_key(key);
}

void SignatureRegistry::finish_key(Key& key) const noexcept {
    key.hash = hash(key.packed);
    if (!slots_.empty()) __builtin_prefetch(&slots_[key.hash & (slots_.size() - 1)]);
}

void SignatureRegistry::enter(std::string_view signature, NodeIndex node) {
    Key key;
    prepare(signature, key);
    enter(key, node);
}

void SignatureRegistry::enter(const Key& key, NodeIndex node) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    Slot& slot = slots_[probe(key.packed, key.hash)];
    if (slot.offset != empty_slot) {
        std::memcpy(arena_.data() + slot.offset, &node, sizeof node);
        return;
    }
    const std::size_t offset = arena_.size();
    if (offset + sizeof node + 10 + key.packed.size() >= empty_slot) throw std::bad_alloc();
    char header[sizeof node + 10];
    std::memcpy(header, &node, sizeof node);
    std::size_t used = sizeof node;
    for (std::size_t length = key.packed.size();; length >>= 7) {
        if (length < 0x80) {
            header[used++] = static_cast<char>(length);
            break;
        }
        header[used++] = static_cast<char>((length & 0x7F) | 0x80);
    }
    arena_.insert(arena_.end(), header, header + used);
    arena_.insert(arena_.end(), key.packed.begin(), key.packed.end());
    slot = Slot{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(key.hash)};
    ++size_;
}

std::optional<NodeIndex> SignatureRegistry::find(std::string_view signature) const {
    if (slots_.empty()) return std::nullopt;
    std::string key;
    pack(signature, key);
    const Slot& slot = slots_[probe(key, hash(key))];
    if (slot.offset == empty_slot) return std::nullopt;
    NodeIndex node;
    std::memcpy(&node, arena_.data() + slot.offset, sizeof node);
    return node;
}

void SignatureRegistry::grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t size = old.empty() ? 16 : old.size() * 2;
    // Probes land anywhere in a table of many megabytes; with small pages
    // nearly every one would also miss the TLB.
    slots_.reserve(size);
    advise_huge_pages(slots_.data(), size * sizeof(Slot));
    slots_.assign(size, Slot{empty_slot, 0});
    for (const Slot& slot : old) {
        if (slot.offset == empty_slot) continue;
        // The tag holds the hash bits that choose the home slot, so moving
        // an entry needs no look at its signature.
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = slot.tag & mask;
        while (slots_[i].offset != empty_slot) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

}  // namespace sorvan
