#pragma once

#include <cstdint>
#include <vector>

namespace sorvan {

// A set of 64-bit keys (any but the largest) that only grows: open
// addressing with linear probing, kept at most half full. It starts empty
// and allocates nothing until the first insertion.
class KeySet {
public:
    bool contains(std::uint64_t key) const noexcept {
        if (slots_.empty()) return false;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask()) {
            if (slots_[i] == key + 1) return true;
            if (slots_[i] == 0) return false;
        }
    }
    void insert(std::uint64_t key) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        place(key + 1);
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
        std::vector<std::uint64_t> old(slots_.empty() ? 1024 : 2 * slots_.size(), 0);
        old.swap(slots_);
        size_ = 0;
        for (std::uint64_t stored : old) {
            if (stored != 0) place(stored);
        }
    }

    std::vector<std::uint64_t> slots_;  // key + 1; 0 is free
    std::size_t size_ = 0;
};

}  // namespace sorvan
