#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace sorvan {

// Asks the system to back the 2 MiB-aligned inside of [data, data + bytes)
// with huge pages, where it can (Linux); call it before the memory is first
// touched. For large arrays read at random: fewer TLB misses and far fewer
// page faults while they fill.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// The allocator of a std::vector that is large and read at random: each
// block it hands out is advised as above before anyone touches it (a
// vector's reserve() copies into the new block at once, too early for the
// function alone).
template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        void* block = ::operator new(n * sizeof(T));
        advise_huge_pages(block, n * sizeof(T));
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { ::operator delete(block); }

    friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) noexcept { return true; }
};

}  // namespace sorvan
