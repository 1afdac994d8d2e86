#pragma once
// The two homes of an image's bytes, for the compact layer's own files: a
// buffer it owns, or a read-only mapping of a file.

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "compact/image.hpp"

namespace sorvan {

class OwnedBytes final : public ImageBytes {
public:
    // Zeroed, or left as it comes for a buffer about to be filled.
    explicit OwnedBytes(std::size_t size, bool zeroed = true)
        : buffer_(zeroed ? new std::uint8_t[size]() : new std::uint8_t[size]) {
        data_ = buffer_.get();
        size_ = size;
    }
    std::uint8_t* mutable_data() noexcept { return buffer_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> buffer_;
};

class MappedBytes final : public ImageBytes {
public:
    MappedBytes(void* address, std::size_t size) noexcept {
        data_ = static_cast<const std::uint8_t*>(address);
        size_ = size;
    }
    ~MappedBytes() override { ::munmap(const_cast<std::uint8_t*>(data_), size_); }
};

// Bytes owned by another, who keeps them while these are in use.
class BorrowedBytes final : public ImageBytes {
public:
    BorrowedBytes(const std::uint8_t* data, std::size_t size) noexcept {
        data_ = data;
        size_ = size;
    }
};

// A copy of `size` bytes at `data`, owned.
inline std::unique_ptr<OwnedBytes> owned_copy(const std::uint8_t* data, std::size_t size) {
    auto bytes = std::make_unique<OwnedBytes>(size, false);
    if (size) std::memcpy(bytes->mutable_data(), data, size);
    return bytes;
}

}  // namespace sorvan
