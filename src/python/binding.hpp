#pragma once
// The binding conventions shared by every method of both classes: owned
// references, the borrow flag, argument parsing, converters, error mapping
// and the boundary between CPython and C++.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "trie/word_list.hpp"
#include "utils/cancel.hpp"

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

// A method's parameters as its text signature names them. The first
// `positional` may be passed by position or by keyword, the rest (after a
// `*` in the signature) by keyword only; the first `required` must be given.
struct Signature {
    const char* function;  // for messages: "add" gives "add() ..."
    std::initializer_list<const char*> params;
    Py_ssize_t required;
    Py_ssize_t positional = PY_SSIZE_T_MAX;
};

// Matches a vectorcall argument list to `sig.params`, writing a borrowed
// reference (or nullptr when absent) to out[i] for each parameter. Raises
// TypeError in CPython's wording for missing, surplus, unexpected or
// duplicated arguments. Only unpacks: converting is the converters' job.
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, PyObject** out) noexcept;

// Converters: each turns one argument into a native value, returning false
// with an exception set. A TypeError is re-raised as "argument 'NAME': ..."
// with the original as its __cause__; other errors pass unchanged. An absent
// argument (nullptr) leaves `out` holding its default.

// A view of the string's UTF-8 text, owned by the str object.
bool to_utf8_view(PyObject* arg, const char* name, std::string_view& out) noexcept;
// A non-negative int (or __index__) below 2^64; OverflowError otherwise.
bool to_u64(PyObject* arg, const char* name, std::uint64_t& out) noexcept;
// Exactly True or False, or a NumPy boolean scalar.
bool to_bool(PyObject* arg, const char* name, bool& out) noexcept;

// The items of a sequence of str (a list, a tuple, ...) copied into owned
// strings. A str itself is refused: it is not taken as a sequence of words.
bool to_str_vector(PyObject* arg, const char* name, std::vector<std::string>& out) noexcept;

// The UTF-8 view of a str item, with no argument prefix on errors (add_all).
bool item_to_utf8_view(PyObject* item, std::string_view& out) noexcept;

// Iterates `source` and calls f(word) with the UTF-8 view of each item,
// which lives only during the call. Returns false with an exception set
// when `source` is not iterable, the iterator raises (its exception passes
// unchanged), an item does not convert, or f returns false (having set one).
template <class F>
bool for_each_item(PyObject* source, F&& f) {
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(source));
    if (!iterator) return false;
    for (;;) {
        PyObject* next = nullptr;
        const int got = PyIter_NextItem(iterator.get(), &next);
        if (got <= 0) return got == 0;
        OwnedRef item = OwnedRef::steal(next);
        std::string_view word;
        if (!item_to_utf8_view(item.get(), word) || !f(word)) return false;
    }
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

// A new list of True/False, one per byte.
PyObject* new_bool_list(const std::vector<std::uint8_t>& flags) noexcept;
// A new list holding one list of str per entry.
PyObject* new_word_lists(const std::vector<WordList>& lists) noexcept;

// A new list with one str per word, in order, or one (str, int) tuple per
// word when the list has counts.
PyObject* new_word_list(const WordList& words) noexcept;

// A Cancel poll for long searches on the calling thread: runs the pending
// signal handlers, and answers true when one raised (its exception is set).
inline bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

// Raises ValueError with the error's display text. Returns nullptr.
PyObject* raise_sorvan_error(const SorvanError& error) noexcept;

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

// Runs the body of a function handed to CPython. The core reports its
// errors as values, so the only C++ exception that can reach here is
// std::bad_alloc, which becomes MemoryError.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure_value<decltype(body())>();
    }
}

}  // namespace sorvan::python
