// The compact image loader on any bytes: it must refuse them with an
// InvalidImage error or open them into a lexicon that works (see
// image_target.hpp), never read out of bounds, hang or allocate beyond
// what the bytes justify.

#include <cstddef>
#include <cstdint>

#include "image_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sorvan::fuzz::exercise_image(data, size);
    return 0;
}
