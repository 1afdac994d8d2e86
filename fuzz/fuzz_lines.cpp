// The word-file reader on any bytes.
//
// The bytes become a file in memory, read through read_lines_from_file, and
// the words must be exactly those of a plain reading: split at every "\n",
// drop the lines that are not well-formed UTF-8, trim White_Space from both
// ends (which takes a "\r" before the "\n" too), drop what is left empty;
// a byte order mark opening the file is dropped first.
// So every word is valid UTF-8, non-empty and trimmed, whatever the lines'
// lengths against the reader's buffer.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "utils/word_file.hpp"

namespace {

using sorvan::fuzz::decode_strict;
using sorvan::fuzz::encode;

// The Unicode White_Space property, as listed in the Unicode data files.
bool white_space(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::vector<std::string> plain_reading(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        if (auto letters = decode_strict(bytes.substr(start, end - start))) {
            std::u32string_view line = *letters;
            while (!line.empty() && white_space(line.front())) line.remove_prefix(1);
            while (!line.empty() && white_space(line.back())) line.remove_suffix(1);
            if (!line.empty()) words.push_back(encode(line));
        }
        start = end + 1;
    }
    return words;
}

// A file holding `bytes`, in memory; closed when this goes away.
class MemoryFile {
public:
    explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("words", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t wrote = ::write(fd_, bytes.data() + done, bytes.size() - done);
            FUZZ_CHECK(wrote > 0);
            done += static_cast<std::size_t>(wrote);
        }
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const MemoryFile file(bytes);
    std::vector<std::string> words;
    const sorvan::Status read = sorvan::for_each_word(file.path(), [&words](std::string_view word) {
        FUZZ_CHECK(!word.empty());
        const auto letters = decode_strict(word);
        FUZZ_CHECK(letters.has_value());
        FUZZ_CHECK(!white_space(letters->front()) && !white_space(letters->back()));
        words.emplace_back(word);
        return sorvan::Status{};
    });
    FUZZ_CHECK(read.has_value());
    FUZZ_CHECK(words == plain_reading(bytes));
    return 0;
}
