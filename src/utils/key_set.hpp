#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace sorvan {

// A set of 64-bit keys (any but the largest) that only grows. It starts as
// a hash table (open addressing, linear probing, at most half full) that
// allocates nothing until the first insertion, and becomes a bitmap once a
// bitmap up to the largest key takes no more room than the table would: a
// set of dense keys then costs a bit a key and stays in the caches.
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
        if (!dense_ && 2 * (size_ + 1) > slots_.size()) grow();
        if (dense_) {
            if (key / 64 >= bits_.size()) bits_.resize(std::max(key / 64 + 1, 2 * bits_.size()), 0);
            bits_[key / 64] |= std::uint64_t{1} << (key % 64);
        } else {
            place(key + 1);
        }
    }

private:
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
    void grow() {
        const std::size_t slots = slots_.empty() ? 1024 : 2 * slots_.size();
        std::vector<std::uint64_t> old;
        old.swap(slots_);
        if (largest_ / 64 < slots) {  // a bitmap is no larger
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

    std::vector<std::uint64_t> slots_;  // key + 1; 0 is free
    std::size_t size_ = 0;
    std::vector<std::uint64_t> bits_;  // once dense
    std::uint64_t largest_ = 0;
    bool dense_ = false;
};

}  // namespace sorvan
