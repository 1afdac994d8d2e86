#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.hpp"

namespace sorvan {

// The words of a text file, one per line, read lazily through a fixed
// buffer. A line ends at "\n" (or at the end of the file); one "\r" before
// the "\n" goes with it, and Unicode white space is trimmed from both ends.
// A line whose bytes are not valid UTF-8, or that is empty once trimmed, is
// skipped. The file is closed when the reader goes away.
class LineReader {
public:
    static constexpr std::size_t buffer_size = 8192;

    LineReader(LineReader&& other) noexcept;
    LineReader& operator=(LineReader&&) = delete;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // The next word, valid until the following call; nothing at the end of
    // the file. A failed read (other than one interrupted by a signal) is an
    // Io error, after which the reader is at its end: some errors, such as
    // reading a directory, would only repeat.
    Result<std::optional<std::string_view>> next();

private:
    friend Result<LineReader> read_lines_from_file(std::string_view path);
    LineReader();  // not open yet

    // The next line without its "\n", untrimmed and unchecked.
    Result<std::optional<std::string_view>> next_line();

    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;  // the unread bytes of the buffer: [begin_, end_)
    std::size_t end_ = 0;
    bool at_end_ = false;
    // The part of a line read before the last refill. Most lines are
    // returned straight from the buffer; only a line that crosses a refill
    // is copied here.
    std::string carry_;
};

// Opens `path` read-only for a LineReader. Fails with an Io error when the
// system refuses to open it, or when the path holds a NUL byte (which no
// system call can take).
Result<LineReader> read_lines_from_file(std::string_view path);

// Calls f(word) for every word of the file at `path`, in file order, and
// returns the first error of opening, reading or f (which returns Status).
template <class F>
Status for_each_word(std::string_view path, F&& f) {
    auto reader = read_lines_from_file(path);
    if (!reader) return std::unexpected(std::move(reader.error()));
    for (;;) {
        auto word = reader->next();
        if (!word) return std::unexpected(std::move(word.error()));
        if (!*word) return {};
        if (Status done = f(**word); !done) return done;
    }
}

}  // namespace sorvan
