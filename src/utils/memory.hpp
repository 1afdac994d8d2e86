#pragma once

#include <cstddef>
#include <new>

namespace sorvan {

// Asks the system to back the 2 MiB-aligned inside of [data, data + bytes)
// with huge pages, where it can (Linux); call it before the memory is first
// touched. For large arrays read at random: fewer TLB misses and far fewer
// page faults while they fill.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// An allocator for arrays that grow large and are read at random (a node
// store, an image, words being sorted): from 64 MiB up, memory aligned to
// 2 MiB and advised to be backed by huge pages before anything touches it;
// smaller ones as operator new gives them. (A huge page is resident whole
// once touched, so the unused end of an array can cost up to 2 MiB: at
// least 64 MiB keeps that under 3%, and smaller arrays gain little. For
// types of the default alignment.)
template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t huge_page = std::size_t{1} << 21;
    static constexpr std::size_t large = 32 * huge_page;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < large) return static_cast<T*>(::operator new(bytes));
        void* data = ::operator new(bytes, std::align_val_t{huge_page});
        advise_huge_pages(data, bytes);
        return static_cast<T*>(data);
    }
    void deallocate(T* data, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < large) {
            ::operator delete(data, bytes);
        } else {
            ::operator delete(data, bytes, std::align_val_t{huge_page});
        }
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace sorvan
