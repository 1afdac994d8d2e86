#pragma once
// Reading words from a text file, one a line, through a fixed buffer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error/error.hpp"
#include "utils/cancel.hpp"
#include "utils/posix_file.hpp"
#include "utils/sortable_words.hpp"

namespace sorvan {

// The words of a text file, one per line, read lazily through a fixed
// buffer. A line ends at "\n" (or at the end of the file); one "\r" before
// the "\n" goes with it, and Unicode white space is trimmed from both ends.
// A line whose bytes are not valid UTF-8, or that is empty once trimmed, is
// skipped. One byte order mark at the very start of the file is dropped.
// The file is closed when the reader goes away.
class LineReader {
public:
    static constexpr std::size_t buffer_size = 8192;

    // The longest line a reader takes by default: a sixteenth of the
    // physical memory. As a word its letters would need twenty bytes of
    // node each (an ASCII letter is one byte), more than the machine has, so
    // a longer line (an endless one from /dev/zero, say) fails early as out
    // of memory instead of first filling the memory with one line.
    static std::size_t default_longest_line() noexcept;

    LineReader(LineReader&& other) noexcept = default;
    LineReader& operator=(LineReader&&) = delete;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next word, valid until the following call; nothing at the end of
    // the file. A failed read (other than one interrupted by a signal) is an
    // Io error, after which the reader is at its end: some errors, such as
    // reading a directory, would only repeat. Cancelled when the reader's
    // Cancel says stop; it is asked before every block is read and whenever
    // a signal interrupts a read, so a read that waits (a pipe, a terminal)
    // or never ends (/dev/urandom) still stops. std::bad_alloc for a line
    // longer than the reader's longest line.
    Result<std::optional<std::string_view>> next();

    // The next line as it is, for a reader of records: without its "\n",
    // one "\r" before it, and the first line's byte order mark; neither
    // trimmed nor checked. Nothing at the end; fails as next().
    Result<std::optional<std::string_view>> next_record();
    // The number of lines read so far (the last one returned is this one).
    std::uint64_t line_number() const noexcept { return line_number_; }

    // Calls f(word) for every word left, in file order, and returns the
    // first error of reading or of f (which returns Status).
    template <class F>
    Status for_each_word(F&& f) {
        for (;;) {
            auto word = next();
            if (!word) return std::unexpected(std::move(word.error()));
            if (!*word) return {};
            if (Status done = f(**word); !done) return done;
        }
    }

    // The size of the open file when it is a regular file, else 0: a hint
    // of how much text there is to read.
    std::size_t size_hint() const noexcept;

private:
    friend Result<LineReader> read_lines_from_file(std::string_view path, Cancel* cancel,
                                                   std::size_t longest_line);
    LineReader(FileDescriptor file, Cancel* cancel, std::size_t longest_line);

    // The next line without its "\n", untrimmed and unchecked.
    Result<std::optional<std::string_view>> next_line();

    FileDescriptor file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;  // the unread bytes of the buffer: [begin_, end_)
    std::size_t end_ = 0;
    bool at_end_ = false;
    bool at_start_ = true;  // no line handed out yet
    std::uint64_t line_number_ = 0;
    Cancel* cancel_;
    std::size_t longest_line_;
    // The part of a line read before the last refill. Most lines are
    // returned straight from the buffer; only a line that crosses a refill
    // is copied here.
    std::string carry_;
};

// Opens `path` read-only for a LineReader that polls `cancel` (when not
// null). Fails with an Io error when the system refuses to open it, or when
// the path holds a NUL byte (which no system call can take); Cancelled when
// `cancel` says stop while the opening waits (a pipe with no writer).
Result<LineReader> read_lines_from_file(
    std::string_view path, Cancel* cancel = nullptr,
    std::size_t longest_line = LineReader::default_longest_line());

// Calls f(word) for every word of the file at `path`, in file order, and
// returns the first error of opening, reading or f (which returns Status).
template <class F>
Status for_each_word(std::string_view path, F&& f, Cancel* cancel = nullptr) {
    auto reader = read_lines_from_file(path, cancel);
    if (!reader) return std::unexpected(std::move(reader.error()));
    return reader->for_each_word(std::forward<F>(f));
}

// A word and its count, as a line of a counts file gives them.
struct CountedWord {
    std::string_view word;
    std::uint64_t count;
};

// The word and count of `line`, line `number` of a counts file: the word
// (white space trimmed, as a word file's; it may be empty), a tab, and the
// count in decimal digits, from 0 to 2^64 - 1 (white space around it
// allowed). Nothing for a blank line (white space and no tab); a BadInput
// error naming the line for anything else: no tab, nothing after the last
// tab, a count that is not such a number, bytes that are not UTF-8.
Result<std::optional<CountedWord>> parse_counted_line(std::string_view line, std::uint64_t number);

// Calls f(word, count) for every line of the counts file at `path` (see
// parse_counted_line), in file order, and returns the first error of
// opening, reading, parsing or f (which returns Status).
template <class F>
Status for_each_counted_word(std::string_view path, F&& f, Cancel* cancel = nullptr) {
    auto reader = read_lines_from_file(path, cancel);
    if (!reader) return std::unexpected(std::move(reader.error()));
    for (;;) {
        auto line = reader->next_record();
        if (!line) return std::unexpected(std::move(line.error()));
        if (!*line) return {};
        auto counted = parse_counted_line(**line, reader->line_number());
        if (!counted) return std::unexpected(std::move(counted.error()));
        if (!*counted) continue;
        if (Status done = f((*counted)->word, (*counted)->count); !done) return done;
    }
}

// Gathers the words of the file at `path` for sorting, as for_each_word
// reads them, with room made for them at once.
inline Status read_sortable_words(std::string_view path, SortableWords& words, Cancel* cancel = nullptr) {
    auto reader = read_lines_from_file(path, cancel);
    if (!reader) return std::unexpected(std::move(reader.error()));
    words.expect_text(reader->size_hint());
    return reader->for_each_word([&words](std::string_view word) {
        words.push_back(word);
        return Status{};
    });
}

}  // namespace sorvan
