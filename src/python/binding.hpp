#pragma once
// The binding conventions shared by every method of both classes: owned
// references, the borrow flag, argument parsing, converters, error mapping
// and the boundary between CPython and C++.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "query/find_words.hpp"
#include "query/word_list.hpp"
#include "utils/cancel.hpp"

namespace sorvan {
class CompactImage;
}

namespace sorvan::python {

// ---------------------------------------------------------------------------
// References

// A strong reference, released when the OwnedRef goes away. Move-only.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Adds a reference to a borrowed object.
    static OwnedRef new_ref(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }

    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        Py_XSETREF(object_, other.release());
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// The borrow flag: 0 free, n >= 1 readers, -1 one writer. A conflicting call
// fails at once with RuntimeError; nobody waits.

using BorrowFlag = std::atomic<std::int64_t>;

class SharedBorrow {
public:
    // The guard, or nothing with RuntimeError set.
    static std::optional<SharedBorrow> acquire(BorrowFlag& flag) noexcept;
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_) flag_->fetch_add(-1, std::memory_order_release);
    }

private:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {}
    BorrowFlag* flag_;
};

// For a read that holds the GIL from its check to its end and runs no
// Python code meanwhile: with the GIL, no writer can start before it ends,
// so checking that none is at work is enough (one load, where a shared
// borrow takes two atomic updates of a line that every reader shares).
// Without the GIL it is a shared borrow.
#ifdef Py_GIL_DISABLED
using GilHeldBorrow = SharedBorrow;
#else
class GilHeldBorrow {
public:
    // The guard, or nothing with RuntimeError set.
    static std::optional<GilHeldBorrow> acquire(const BorrowFlag& flag) noexcept;
};
#endif

class ExclusiveBorrow {
public:
    // The guard, or nothing with RuntimeError set.
    static std::optional<ExclusiveBorrow> acquire(BorrowFlag& flag) noexcept;
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (flag_) flag_->store(0, std::memory_order_release);
    }

private:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {}
    BorrowFlag* flag_;
};

// ---------------------------------------------------------------------------
// Arguments

// A method's N parameters as its text signature names them. The first
// `positional` may be passed by position or by keyword, the rest (after a
// `*` in the signature) by keyword only; the first `required` must be given.
template <std::size_t N>
struct Signature {
    const char* function;  // for messages: "add" gives "add() ..."
    const char* params[N];
    std::size_t required;
    std::size_t positional = N;
};
template <std::size_t N>
Signature(const char*, const char* const (&)[N], std::size_t) -> Signature<N>;
template <std::size_t N>
Signature(const char*, const char* const (&)[N], std::size_t, std::size_t) -> Signature<N>;

// A method's arguments matched to its parameters: borrowed references, or
// nullptr for those not passed. Sized by the signature, so a method cannot
// declare more parameters than there are slots.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

// Matches a vectorcall argument list to `params`, writing to out[i] for each
// parameter. Raises TypeError in CPython's wording for missing, surplus,
// unexpected or duplicated arguments. Only unpacks: converting is the
// converters' job.
bool parse_args(const char* function, std::span<const char* const> params, std::size_t required,
                std::size_t positional, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, std::span<PyObject*> out) noexcept;

template <std::size_t N>
bool parse_args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, Arguments<N>& out) noexcept {
    return parse_args(sig.function, sig.params, sig.required, sig.positional, args, nargsf,
                      kwnames, out);
}

// Converters: each turns one argument into a native value, returning false
// with an exception set. A TypeError is re-raised as "argument 'NAME': ..."
// with the original as its __cause__; other errors pass unchanged. An absent
// argument (nullptr) leaves `out` holding its default.

// A view of the string's UTF-8 text, owned by the str object.
bool to_utf8_view(PyObject* arg, const char* name, std::string_view& out) noexcept;
// A file name as open() takes it: a str (its UTF-8 text), bytes (as they
// are), or an os.PathLike giving either. `owner` keeps what the view points
// into: __fspath__ may return a new object.
struct PathView {
    OwnedRef owner;
    std::string_view bytes;
};
bool to_path(PyObject* arg, const char* name, PathView& out) noexcept;
// A non-negative int (or __index__) below 2^64; OverflowError otherwise.
bool to_u64(PyObject* arg, const char* name, std::uint64_t& out) noexcept;
// Exactly True or False, or a NumPy boolean scalar.
bool to_bool(PyObject* arg, const char* name, bool& out) noexcept;

// The items of a sequence of str (a list, a tuple, ...) as UTF-8 views. The
// views point into the str objects themselves, which `items` keeps alive
// (the caller's sequence may change meanwhile: signal handlers run while a
// batch waits). A str itself is refused: it is not taken as a sequence of
// words. The length only sizes the vector, up to a cap: it is a hint, and
// may be anything.
template <class View>
struct StrItems {
    OwnedRef items;
    std::vector<View> views;
};
using StrViews = StrItems<std::string_view>;
bool to_str_views(PyObject* arg, const char* name, StrViews& out) noexcept;
// The same, the items as their code points in place (find_all's texts),
// each with its str (borrowed from `items`), which the matches slice.
struct TextItem {
    TextUnits units;
    PyObject* text = nullptr;
    operator const TextUnits&() const noexcept { return units; }
};
using TextViews = StrItems<TextItem>;
bool to_str_views(PyObject* arg, const char* name, TextViews& out) noexcept;

// The code points of a str (a subclass too) as the str keeps them, lone
// surrogates included: no copy, and indices are the interpreter's.
bool to_text_units(PyObject* arg, const char* name, TextUnits& out) noexcept;
// Python's own judgement of a character that continues a word: a letter or
// a digit (str.isalnum), or '_'.
bool is_word_char(char32_t c) noexcept;

// The UTF-8 view of a str item, with no argument prefix on errors (add_all).
bool item_to_utf8_view(PyObject* item, std::string_view& out) noexcept;

// Iterates `source` and calls f(item) with each item, a borrowed reference
// that lives only during the call. Returns false with an exception set when
// `source` is not iterable, the iterator raises (its exception passes
// unchanged), or f returns false (having set one).
template <class F>
bool for_each_object(PyObject* source, F&& f) {
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(source));
    if (!iterator) return false;
    for (;;) {
        PyObject* next = nullptr;
        const int got = PyIter_NextItem(iterator.get(), &next);
        if (got <= 0) return got == 0;
        OwnedRef item = OwnedRef::steal(next);
        if (!f(item.get())) return false;
    }
}

// A Cancel poll for long searches on the calling thread: runs the pending
// signal handlers, and answers true when one raised (its exception is set).
inline bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

// for_each_object, calling f(word) with the UTF-8 view of each item, which
// lives only during the call; an item that is not a str fails. Before a
// word, every Cancel::interval letters or so, it runs the pending signal
// handlers (a list's iterator runs none), and fails when one raised.
template <class F>
bool for_each_item(PyObject* source, F&& f) {
    Cancel cancel(&signal_raised, nullptr);
    Cancel::Countdown countdown(cancel);
    return for_each_object(source, [&f, &countdown](PyObject* item) {
        std::string_view word;
        if (!item_to_utf8_view(item, word)) return false;
        countdown.spend(word.size());
        return !countdown.tick() && f(word);
    });
}

// ---------------------------------------------------------------------------
// Results and errors

// New references.
inline PyObject* new_str(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}
inline PyObject* new_u64(std::uint64_t value) noexcept {
    return PyLong_FromUnsignedLongLong(value);
}
inline PyObject* new_bool(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }
// A new (first, second) tuple that takes over both references; nullptr
// when either is null (its maker's exception set) or the tuple fails.
inline PyObject* new_pair(OwnedRef first, OwnedRef second) noexcept {
    if (!first || !second) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair, 0, first.release());
    PyTuple_SET_ITEM(pair, 1, second.release());
    return pair;
}
// A new str for a word a query found (valid UTF-8): new_str, quicker on
// the ASCII words that most are.
PyObject* new_result_str(std::string_view word) noexcept;

// A new list of True/False, one per byte.
PyObject* new_bool_list(const std::vector<std::uint8_t>& flags) noexcept;
// A new list holding one list of str per entry.
PyObject* new_word_lists(const std::vector<WordList>& lists) noexcept;

// A new list with one str per word, in order, or one (str, int) tuple per
// word when the list has counts.
PyObject* new_word_list(const WordList& words) noexcept;

// Raises ValueError with the error's display text (SystemError for an
// Internal one, a fault of this library). Returns nullptr.
PyObject* raise_sorvan_error(const SorvanError& error) noexcept;

// Raises what check() finds in `image`, whose walks met damage, in place of
// any exception set: its ValueError, or the exception of a signal handler
// that stopped it.
void raise_damage(const CompactImage& image) noexcept;

// Whether a lexicon operation succeeded; if not, its ValueError is raised.
inline bool succeeded(const Status& status) noexcept {
    if (status) return true;
    raise_sorvan_error(status.error());
    return false;
}

// None after a lexicon operation that succeeded, else its ValueError.
inline PyObject* none_or_raise(const Status& status) noexcept {
    if (!succeeded(status)) return nullptr;
    Py_RETURN_NONE;
}

// Whether an operation that `cancel` may have stopped succeeded: if it was
// stopped, the signal handler's exception is set; if it failed, its
// ValueError is raised.
inline bool succeeded_unless_stopped(const Status& status, const Cancel& cancel) noexcept {
    return !cancel.cancelled() && succeeded(status);
}

// None after an operation that `cancel` may have stopped, else nullptr with
// the exception of succeeded_unless_stopped.
inline PyObject* none_unless_stopped(const Status& status, const Cancel& cancel) noexcept {
    if (!succeeded_unless_stopped(status, cancel)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The C++/CPython boundary

template <class R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, bool>) {
        return false;
    } else {
        return R(-1);
    }
}

// Raises the Python exception for a C++ exception caught at the boundary.
void raise_from_exception(std::exception_ptr error) noexcept;

// Runs the body of a function handed to CPython. The core reports its
// errors as values, so the C++ exceptions that can reach here are those of
// allocation (std::bad_alloc, and std::length_error past a container's
// size limit), which become MemoryError; any other becomes SystemError
// rather than ending the process.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_from_exception(std::current_exception());
        return failure_value<decltype(body())>();
    }
}

}  // namespace sorvan::python
