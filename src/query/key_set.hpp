#pragma once
// A growing set of 64-bit keys, for the searches' record of states already
// reported.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace sorvan {

// A set of 64-bit keys (any but the largest) that only grows. It starts as
// a hash table (open addressing, linear probing, at most half full) that
// allocates nothing until the first insertion, and becomes a bitmap while a
// bitmap up to the largest key takes no more room than the table would: a
// set of dense keys then costs a bit a key and stays in the caches. A key
// far past the bitmap turns it back into a table, so the room stays in
// proportion to the keys, however they are spread.
class KeySet {
public:
    bool contains(std::uint64_t key) const noexcept {
        if (dense_) return key / 64 < bits_.size() && (bits_[key / 64] >> (key % 64) & 1);
        if (slots_.empty()) return false;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask()) {
            if (slots_[i] == key + 1) return true;
            if (slots_[i] == 0) return false;
        }
    }
    void insert(std::uint64_t key) {
        largest_ = std::max(largest_, key);
        if (!dense_ && 2 * (size_ + 1) > slots_.size()) grow();  // may become a bitmap
        if (dense_ && key / 64 >= bits_.size()) {
            if (key / 64 < table_slots(size_ + 1)) {
                bits_.resize(std::min(std::max(key / 64 + 1, 2 * bits_.size()), table_slots(size_ + 1)), 0);
            } else {
                to_table();  // with room for this key
            }
        }
        if (dense_) {
            const std::uint64_t bit = std::uint64_t{1} << (key % 64);
            size_ += (bits_[key / 64] & bit) == 0;
            bits_[key / 64] |= bit;
        } else {
            place(key + 1);
        }
    }

private:
    // The slots of a table holding `keys` at most half full.
    static std::size_t table_slots(std::size_t keys) noexcept {
        return std::max<std::size_t>(1024, std::bit_ceil(2 * keys));
    }
    std::size_t mask() const noexcept { return slots_.size() - 1; }
    std::size_t slot_of(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>(((key + 1) * 0x9E3779B97F4A7C15ULL) >> 20) & mask();
    }
    void place(std::uint64_t stored) {
        for (std::size_t i = slot_of(stored - 1);; i = (i + 1) & mask()) {
            if (slots_[i] == stored) return;
            if (slots_[i] == 0) {
                slots_[i] = stored;
                ++size_;
                return;
            }
        }
    }
    // Twice the slots, or a bitmap when that is no larger.
    void grow() {
        const std::size_t slots = slots_.empty() ? 1024 : 2 * slots_.size();
        std::vector<std::uint64_t> old;
        old.swap(slots_);
        if (largest_ / 64 < slots) {
            dense_ = true;
            bits_.assign(largest_ / 64 + 1, 0);
            for (std::uint64_t stored : old) {
                if (stored != 0) bits_[(stored - 1) / 64] |= std::uint64_t{1} << ((stored - 1) % 64);
            }
            return;
        }
        slots_.assign(slots, 0);
        size_ = 0;
        for (std::uint64_t stored : old) {
            if (stored != 0) place(stored);
        }
    }
    void to_table() {
        std::vector<std::uint64_t> bits;
        bits.swap(bits_);
        dense_ = false;
        slots_.assign(table_slots(size_ + 1), 0);
        size_ = 0;
        for (std::size_t w = 0; w < bits.size(); ++w) {
            for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
                place(64 * w + static_cast<std::uint64_t>(std::countr_zero(word)) + 1);
            }
        }
    }

    std::vector<std::uint64_t> slots_;  // key + 1; 0 is free
    std::vector<std::uint64_t> bits_;   // once dense
    std::size_t size_ = 0;              // keys, either way
    std::uint64_t largest_ = 0;
    bool dense_ = false;
};

}  // namespace sorvan
