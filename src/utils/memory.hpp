#pragma once
// Huge-page advice for large tables read at random (the registry, the
// membership index).

#include <cstddef>

namespace sorvan {

// Asks the system to back the 2 MiB-aligned inside of [data, data + bytes)
// with huge pages, where it can (Linux); call it before the memory is first
// touched. For large arrays read at random: fewer TLB misses and far fewer
// page faults while they fill.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace sorvan
