#include "dawg/registry.hpp"

#include "error/error.hpp"
#include "utils/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace sorvan {

namespace {

std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

constexpr const char* registry_full =
    "a DAWG's registry holds at most 16 GiB of node signatures";

}  // namespace

std::uint64_t SignatureRegistry::hash(std::string_view packed) noexcept {
    std::uint64_t h = hash_seed;
    const char* p = packed.data();
    std::size_t n = packed.size();
    for (; n >= 8; p += 8, n -= 8) h = hash_step(h, load64(p));
    if (n > 0) {
        std::uint64_t tail = 0;
        std::memcpy(&tail, p, n);
        h = hash_step(h, tail);
    }
    return hash_end(h, packed.size());
}

std::string_view SignatureRegistry::key_at(std::uint32_t offset) const noexcept {
    const char* p = arena_.data() + std::size_t{offset} * unit + sizeof(NodeIndex);
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

void SignatureRegistry::reserve(std::span<const Key> keys) {
    if (keys.empty()) return;
    const std::size_t entries = waiting_size_ + keys.size();
    std::size_t bytes = waiting_bytes_;
    for (const Key& key : keys) bytes += entry_bytes(key.packed.size());
    if (arena_.size() + bytes >= max_arena) throw CapacityExceeded(registry_full);
    if (arena_.size() + bytes > arena_.capacity()) {
        arena_.reserve(std::max(arena_.size() + bytes, 2 * arena_.capacity()));
    }
    if (marked_ && marked_arena_ > 0 && remapped_.capacity() - remapped_.size() < entries) {
        remapped_.reserve(std::max(remapped_.size() + entries, 2 * remapped_.capacity()));
    }
    grow_table(keys.size());
}

void SignatureRegistry::expect(std::size_t entries) {
    // The arena's room is a guess (it grows on as before past it): the
    // entry of a node with one child, whose id has up to 9 digits, takes
    // 16 bytes. Room not written to takes no memory, and room that cannot
    // be had is left to that growth.
    constexpr std::size_t typical_entry = 16;
    const std::size_t bytes = arena_.size() + waiting_bytes_ + entries * typical_entry;
    if (bytes < max_arena && bytes > arena_.capacity()) {
        try {
            arena_.reserve(bytes);
        } catch (const std::bad_alloc&) {
        }
    }
    grow_table(entries);
}

void SignatureRegistry::grow_table(std::size_t entries) {
    std::size_t slots = slots_.empty() ? 16 : slots_.size();
    while ((size_ + waiting_size_ + entries) * 4 > slots * 3) slots *= 2;
    if (slots != slots_.size()) rehash(slots);
}

void SignatureRegistry::enter_later(Key& key, NodeIndex node) {
    if (waiting_size_ == waiting_capacity) enter_oldest();
    Waiting& w = waiting_[(waiting_first_ + waiting_size_) % waiting_capacity];
    w.key.packed.swap(key.packed);
    w.key.hash = key.hash;
    w.node = node;
    waiting_bytes_ += entry_bytes(w.key.packed.size());
    ++waiting_size_;
}

void SignatureRegistry::enter_oldest() noexcept {
    const Waiting& w = waiting_[waiting_first_];
    waiting_first_ = (waiting_first_ + 1) % waiting_capacity;
    --waiting_size_;
    waiting_bytes_ -= entry_bytes(w.key.packed.size());
    enter(w.key, w.node);  // cannot fail: reserve() counted it
}

void SignatureRegistry::flush() noexcept {
    while (waiting_size_ > 0) enter_oldest();
}

void SignatureRegistry::enter(const Key& key, NodeIndex node) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : 2 * slots_.size());
    Slot& slot = slots_[probe(key.packed, key.hash)];
    if (slot.offset != empty_slot) {
        const std::size_t at = std::size_t{slot.offset} * unit;
        if (marked_ && at < marked_arena_) {
            NodeIndex old;
            std::memcpy(&old, arena_.data() + at, sizeof old);
            remapped_.push_back({at, old});  // room made by reserve()
        }
        std::memcpy(arena_.data() + at, &node, sizeof node);
        return;
    }
    const std::size_t offset = arena_.size();  // a multiple of `unit`
    if (offset + entry_bytes(key.packed.size()) >= max_arena) throw CapacityExceeded(registry_full);
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
    arena_.resize((arena_.size() + unit - 1) / unit * unit);
    slot = Slot{static_cast<std::uint32_t>(offset / unit), static_cast<std::uint32_t>(key.hash)};
    ++size_;
}

void SignatureRegistry::mark() noexcept {
    marked_ = true;
    marked_arena_ = arena_.size();
    marked_size_ = size_;
}

void SignatureRegistry::keep() noexcept {
    marked_ = false;
    std::vector<Remapped>().swap(remapped_);
}

void SignatureRegistry::roll_back() noexcept {
    waiting_size_ = 0;  // what was never entered needs no undoing
    waiting_bytes_ = 0;
    if (!marked_) return;
    for (auto it = remapped_.rbegin(); it != remapped_.rend(); ++it) {
        std::memcpy(arena_.data() + it->offset, &it->node, sizeof it->node);
    }
    arena_.resize(marked_arena_);
    size_ = marked_size_;
    // The table, whatever its size now, is refilled from the arena in
    // place: the entries follow one another, each padded to a unit, and the
    // tag is the low half of the hash of the packed key.
    std::fill(slots_.begin(), slots_.end(), Slot{empty_slot, 0});
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t units = 0; units * unit < arena_.size();) {
        const std::string_view key = key_at(static_cast<std::uint32_t>(units));
        const auto tag = static_cast<std::uint32_t>(hash(key));
        std::size_t i = tag & mask;
        while (slots_[i].offset != empty_slot) i = (i + 1) & mask;
        slots_[i] = Slot{static_cast<std::uint32_t>(units), tag};
        const auto end = static_cast<std::size_t>(key.data() + key.size() - arena_.data());
        units = (end + unit - 1) / unit;
    }
    keep();
}

void SignatureRegistry::rehash(std::size_t size) {
    // The new table is complete before the old one goes, so a failure to
    // allocate it leaves the registry as it was.
    std::vector<Slot> fresh;
    // Probes land anywhere in a table of many megabytes; with small pages
    // nearly every one would also miss the TLB.
    fresh.reserve(size);
    advise_huge_pages(fresh.data(), size * sizeof(Slot));
    fresh.assign(size, Slot{empty_slot, 0});
    const std::size_t mask = size - 1;
    for (const Slot& slot : slots_) {
        if (slot.offset == empty_slot) continue;
        // The tag holds the hash bits that choose the home slot, so moving
        // an entry needs no look at its signature.
        std::size_t i = slot.tag & mask;
        while (fresh[i].offset != empty_slot) i = (i + 1) & mask;
        fresh[i] = slot;
    }
    slots_ = std::move(fresh);
}

}  // namespace sorvan
