#include "dawg/registry.hpp"

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

void SignatureRegistry::pack(std::string_view signature, std::string& out) {
    constexpr unsigned escape = 0xF;
    std::size_t nibbles = 0;
    for (char c : signature) nibbles += (c >= '0' && c <= '9') ? 1 : 3;
    // Written through a raw pointer into a buffer sized for the worst case:
    // this runs once per recorded node.
    out.resize(10 + (nibbles + 1) / 2);
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    for (std::size_t n = nibbles;; n >>= 7) {
        if (n < 0x80) {
            *p++ = static_cast<unsigned char>(n);
            break;
        }
        *p++ = static_cast<unsigned char>((n & 0x7F) | 0x80);
    }
    unsigned pending = 0;
    bool half = false;
    auto put = [&](unsigned nibble) {
        if (half) {
            *p++ = static_cast<unsigned char>(pending | nibble);
        } else {
            pending = nibble << 4;
        }
        half = !half;
    };
    for (char c : signature) {
        if (c >= '0' && c <= '9') {
            put(static_cast<unsigned>(c - '0'));
        } else {
            const auto byte = static_cast<unsigned char>(c);
            put(escape);
            put(byte >> 4);
            put(byte & 0xF);
        }
    }
    if (half) *p++ = static_cast<unsigned char>(pending);
    out.resize(static_cast<std::size_t>(p - reinterpret_cast<unsigned char*>(out.data())));
}

std::string_view SignatureRegistry::key_at(std::uint32_t offset) const noexcept {
    const char* key = arena_.data() + offset + sizeof(NodeIndex);
    const char* p = key;
    std::size_t nibbles = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*p++);
        nibbles |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (byte < 0x80) break;
    }
    return {key, static_cast<std::size_t>(p - key) + (nibbles + 1) / 2};
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
    if (offset + sizeof node + key.packed.size() >= empty_slot) throw std::bad_alloc();
    const char* raw_node = reinterpret_cast<const char*>(&node);
    arena_.insert(arena_.end(), raw_node, raw_node + sizeof node);
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
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{empty_slot, 0});
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
