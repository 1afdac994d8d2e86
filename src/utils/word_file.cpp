#include "utils/word_file.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "utils/utf8.hpp"

namespace sorvan {

namespace {

// The Unicode White_Space property.
bool is_white_space(char32_t c) noexcept {
    if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// `text` (valid UTF-8) without the white space at either end.
std::string_view trim_white_space(std::string_view text) noexcept {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* next = p;
        if (!is_white_space(utf8::next(next))) break;
        p = next;
    }
    while (end > p) {
        const char* last = end - 1;
        while (utf8::is_continuation(*last)) --last;
        const char* at = last;
        if (!is_white_space(utf8::next(at))) break;
        end = last;
    }
    return {p, static_cast<std::size_t>(end - p)};
}

// True when the caller asks to stop.
bool stop(Cancel* cancel) noexcept { return cancel != nullptr && cancel->poll(); }

}  // namespace

std::size_t LineReader::default_longest_line() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::size_t{1} << 30;
    return static_cast<std::size_t>(pages) / 16 * static_cast<std::size_t>(page_size);
}

LineReader::LineReader(FileDescriptor file, Cancel* cancel, std::size_t longest_line)
    : file_(std::move(file)), buffer_(new char[buffer_size]), cancel_(cancel), longest_line_(longest_line) {}

Result<std::optional<std::string_view>> LineReader::next_line() {
    // A line handed out of carry_ has been used by now.
    carry_.clear();
    for (;;) {
        const std::size_t unread = end_ - begin_;
        if (unread > 0) {
            const char* start = buffer_.get() + begin_;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', unread));
            const std::size_t length = newline ? static_cast<std::size_t>(newline - start) : unread;
            if (length > longest_line_ - carry_.size()) {
                throw CapacityExceeded(
                    "a line of the word file is longer than a sixteenth of the machine's memory");
            }
            if (newline && carry_.empty()) {
                begin_ += length + 1;
                ++line_number_;
                return std::string_view(start, length);
            }
            if (carry_.size() + length > carry_.capacity()) {
                // Doubling, but never past the longest line: the last step
                // before failing on an endless line costs no more than it.
                carry_.reserve(std::min(std::max(carry_.size() + length, 2 * carry_.capacity()),
                                        longest_line_));
            }
            carry_.append(start, length);
            begin_ += newline ? length + 1 : length;
            if (newline) {
                ++line_number_;
                return std::string_view(carry_);
            }
        }
        if (at_end_) {
            if (carry_.empty()) return std::nullopt;
            ++line_number_;
            return std::string_view(carry_);  // the last line has no "\n"
        }
        ssize_t got;
        do {
            if (stop(cancel_)) {
                at_end_ = true;
                carry_.clear();
                return std::unexpected(SorvanError::cancelled());
            }
            got = ::read(file_.get(), buffer_.get(), buffer_size);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            const int error = errno;
            at_end_ = true;
            carry_.clear();
            return std::unexpected(SorvanError::from_errno(error));
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
        at_end_ = got == 0;
    }
}

Result<std::optional<std::string_view>> LineReader::next_record() {
    auto line = next_line();
    if (!line || !*line) return line;
    if (std::exchange(at_start_, false) && (**line).starts_with("\xEF\xBB\xBF")) {
        (*line)->remove_prefix(3);  // the byte order mark
    }
    if ((**line).ends_with('\r')) (*line)->remove_suffix(1);
    return line;
}

Result<std::optional<std::string_view>> LineReader::next() {
    for (;;) {
        auto line = next_record();
        if (!line || !*line) return line;
        if (!utf8::is_valid(**line)) continue;
        const std::string_view word = trim_white_space(**line);
        if (!word.empty()) return word;
    }
}

Result<std::optional<CountedWord>> parse_counted_line(std::string_view line, std::uint64_t number) {
    auto refuse = [number](const char* what) {
        return std::unexpected(SorvanError::bad_input("line " + std::to_string(number) + " of the counts file: " + what));
    };
    if (!utf8::is_valid(line)) return refuse("not valid UTF-8");
    const std::size_t tab = line.rfind('\t');
    if (tab == std::string_view::npos) {
        if (trim_white_space(line).empty()) return std::nullopt;
        return refuse("not a word, a tab and a count");
    }
    const std::string_view digits = trim_white_space(line.substr(tab + 1));
    if (digits.empty()) return refuse("not a word, a tab and a count");
    std::uint64_t count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (error != std::errc{} || end != digits.data() + digits.size()) {
        return refuse("the count is not an integer from 0 to 2**64 - 1");
    }
    return CountedWord{trim_white_space(line.substr(0, tab)), count};
}

std::size_t LineReader::size_hint() const noexcept {
    struct stat status;
    if (::fstat(file_.get(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return static_cast<std::size_t>(status.st_size);
}

Result<LineReader> read_lines_from_file(std::string_view path, Cancel* cancel,
                                        std::size_t longest_line) {
    // Opening a FIFO waits for a writer; a signal interrupts the wait.
    auto file = open_file(path, O_RDONLY, cancel);
    if (!file) return std::unexpected(std::move(file.error()));
    LineReader reader(std::move(*file), cancel, longest_line);
    return reader;
}

}  // namespace sorvan
