#pragma once
// The error layer, below everything: the errors the core returns as values
// (never throws), each kind with its exact display text.

#include <expected>
#include <new>
#include <string>

namespace sorvan {

// A fixed limit of a structure reached (node indices are 32-bit, say): a
// std::bad_alloc, since like running out of memory it can happen anywhere
// a structure grows, but one that says which limit, for the binding to show
// rather than a bare MemoryError. `what` must be a string literal.
class CapacityExceeded : public std::bad_alloc {
public:
    explicit CapacityExceeded(const char* what) noexcept : what_(what) {}
    const char* what() const noexcept override { return what_; }

private:
    const char* what_;
};

// The error value of the lexicon operations. The core never throws it: an
// operation that can fail returns Result<T>, and only the Python binding
// turns the error into an exception (ValueError with display() as message).
class SorvanError {
public:
    enum class Kind {
        // Dawg insertion of a word below the previous one in byte-wise UTF-8
        // order. Payload: the previous word and the rejected word.
        OrderViolation,
        // A word file could not be opened or read. Payload: the error's own
        // text, such as "No such file or directory (os error 2)".
        Io,
        // The caller's Cancel stopped the operation; the binding raises what
        // its poll raised rather than this. No payload.
        Cancelled,
        // Bytes given as a lexicon image (a file to load, a pickle) that are
        // not a valid one. Payload: what is wrong, such as "bad checksum".
        InvalidImage,
        // A helper structure is being built by another call on the same
        // lexicon, on its caller's thread, which cannot be waited for (it
        // may be this thread's own). No payload. The binding raises
        // RuntimeError.
        Busy,
        // Input in a form this library reads that breaks the form (a line
        // of a counts file that is not a word, a tab and a count). Payload:
        // what is wrong, and where. The binding raises ValueError.
        BadInput,
        // A fault of this library, not of its input: what it made fails
        // its own check. Payload: what is wrong. The binding raises
        // SystemError.
        Internal,
    };

    static SorvanError order_violation(std::string previous, std::string current);
    static SorvanError io(std::string message);
    static SorvanError cancelled();
    static SorvanError invalid_image(std::string what);
    static SorvanError internal(std::string what);
    static SorvanError busy();
    static SorvanError bad_input(std::string what);
    // An Io error from an errno value: the system's text and "(os error N)".
    static SorvanError from_errno(int error_number);

    Kind kind() const noexcept { return kind_; }
    // OrderViolation: the previous word; Io, InvalidImage, BadInput, Internal: the
    // error's own text.
    const std::string& previous() const noexcept { return first_; }
    // OrderViolation: the rejected word; otherwise empty.
    const std::string& current() const noexcept { return second_; }

    // The whole message shown to the user, with nothing added around it.
    std::string display() const;

private:
    SorvanError(Kind kind, std::string first, std::string second)
        : kind_(kind), first_(std::move(first)), second_(std::move(second)) {}

    Kind kind_;
    std::string first_;
    std::string second_;
};

template <class T>
using Result = std::expected<T, SorvanError>;
using Status = Result<void>;

}  // namespace sorvan
