#pragma once
// What the compact layer's files share of the image check: the refusal of a
// bad image, and the check of a header alone (which load() runs before it
// reads the rest of a file).

#include <cstddef>
#include <cstdint>
#include <string>

#include "compact/format.hpp"
#include "error/error.hpp"

namespace sorvan {

// An InvalidImage error saying `what`.
std::unexpected<SorvanError> invalid_image(std::string what);

// Checks the header of an image of `size` bytes, of which `data` holds the
// first min(size, header_size), and reads its fields into `fields`.
Status check_header(const std::uint8_t* data, std::size_t size, std::uint64_t (&fields)[image::field_count]);

}  // namespace sorvan
