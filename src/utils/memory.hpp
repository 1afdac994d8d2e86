#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace sorvan {

// Asks the system to back the 2 MiB-aligned inside of [data, data + bytes)
// with huge pages, where it can (Linux); call it before the memory is first
// touched. For large arrays read at random: fewer TLB misses and far fewer
// page faults while they fill.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// The allocator of HugePageVector: plain operator new, with every block
// advised before the vector moves its elements in.
template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        void* block = ::operator new(n * sizeof(T));
        advise_huge_pages(block, n * sizeof(T));
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { ::operator delete(block); }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

// A vector for arrays of many megabytes read at random (a lexicon's nodes,
// a hash table): at that size, with small pages, nearly every access that
// misses the cache misses the TLB too.
template <class T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace sorvan
