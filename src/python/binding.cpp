#include "python/binding.hpp"

#include <algorithm>
#include <cstring>

namespace sorvan::python {

std::optional<SharedBorrow> SharedBorrow::acquire(BorrowFlag& flag) noexcept {
    std::int64_t seen = flag.load(std::memory_order_relaxed);
    do {
        if (seen == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
    } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
    return SharedBorrow(flag);
}

std::optional<ExclusiveBorrow> ExclusiveBorrow::acquire(BorrowFlag& flag) noexcept {
    std::int64_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return std::nullopt;
    }
    return ExclusiveBorrow(flag);
}

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, PyObject** out) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto maxpos = std::min(static_cast<Py_ssize_t>(sig.params.size()), sig.positional);
    if (nargs > maxpos) {
        if (maxpos == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", sig.function);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)",
                         sig.function, sig.required < maxpos ? "at most" : "exactly", maxpos,
                         maxpos == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sig.params.size()); ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* param : sig.params) {
            if (PyUnicode_CompareWithASCIIString(key, param) == 0) {
                slot = i;
                break;
            }
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%U') and position (%zd)",
                         sig.function, key, slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }

    Py_ssize_t i = 0;
    for (const char* param : sig.params) {
        if (i >= sig.required) break;
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         sig.function, param, i + 1);
            return false;
        }
        ++i;
    }
    return true;
}

namespace {

// Re-raises a pending TypeError as "argument 'NAME': <message>", the
// original becoming the new exception's cause. Other errors stay as they are.
void name_type_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, cause);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);  // steals `cause`
    PyErr_SetRaisedException(raised);
}

bool utf8_view(PyObject* arg, std::string_view& out) noexcept {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %T", arg);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!data) return false;  // lone surrogates: UnicodeEncodeError
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool is_numpy_bool_type(PyTypeObject* type) noexcept {
    OwnedRef module = OwnedRef::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool item_to_utf8_view(PyObject* item, std::string_view& out) noexcept {
    return utf8_view(item, out);
}

bool to_utf8_view(PyObject* arg, const char* name, std::string_view& out) noexcept {
    if (!arg) return true;
    if (utf8_view(arg, out)) return true;
    name_type_error(name);
    return false;
}

bool to_str_vector(PyObject* arg, const char* name, std::vector<std::string>& out) noexcept {
    return guarded([&] {
        if (PyUnicode_Check(arg)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        } else if (!PySequence_Check(arg)) {
            PyErr_Format(PyExc_TypeError, "expected a sequence of str, got %T", arg);
        } else {
            // The length only sizes the vector; the items come from iterating.
            const Py_ssize_t hint = PySequence_Size(arg);
            if (hint < 0) {
                PyErr_Clear();
            } else {
                out.reserve(static_cast<std::size_t>(hint));
            }
            if (for_each_item(arg, [&out](std::string_view text) {
                    out.emplace_back(text);
                    return true;
                })) {
                return true;
            }
        }
        name_type_error(name);
        return false;
    });
}

bool to_u64(PyObject* arg, const char* name, std::uint64_t& out) noexcept {
    if (!arg) return true;
    OwnedRef index;
    if (!PyLong_Check(arg)) {
        index = OwnedRef::steal(PyNumber_Index(arg));
        if (!index) {
            name_type_error(name);
            return false;
        }
        arg = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(arg);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_type_error(name);
        return false;
    }
    out = value;
    return true;
}

bool to_bool(PyObject* arg, const char* name, bool& out) noexcept {
    if (!arg) return true;
    if (arg == Py_True || arg == Py_False) {
        out = arg == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(arg);
    if (is_numpy_bool_type(type)) {
        auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
        if (truth) {
            const int value = truth(arg);
            if (value < 0) {
                name_type_error(name);
                return false;
            }
            out = value != 0;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got %T", arg);
    name_type_error(name);
    return false;
}

namespace {

bool is_ascii(std::string_view text) noexcept {
    unsigned char bits = 0;
    for (char c : text) bits |= static_cast<unsigned char>(c);
    return bits < 0x80;
}

// A new str for a result word. Most words are ASCII, and for those the
// decoder's work comes down to one copy into a fresh compact string.
PyObject* new_result_str(std::string_view word) noexcept {
    if (!is_ascii(word)) return new_str(word);
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(word.size()), 127);
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), word.data(), word.size());
    return text;
}

}  // namespace

PyObject* new_word_list(const WordList& words) noexcept {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < words.size(); ++i) {
        PyObject* item = new_result_str(words[i]);
        if (item && words.with_counts()) {
            OwnedRef word = OwnedRef::steal(item);
            OwnedRef count = OwnedRef::steal(new_u64(words.count(i)));
            item = count ? PyTuple_Pack(2, word.get(), count.get()) : nullptr;
        }
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* new_bool_list(const std::vector<std::uint8_t>& flags) noexcept {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(flags.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_bool(flags[i] != 0));
    }
    return list.release();
}

PyObject* new_word_lists(const std::vector<WordList>& lists) noexcept {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(lists.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        PyObject* words = new_word_list(lists[i]);
        if (!words) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), words);
    }
    return list.release();
}

PyObject* raise_sorvan_error(const SorvanError& error) noexcept {
    // Words may hold U+0000, so the text goes in with its length.
    return guarded([&]() -> PyObject* {
        OwnedRef message = OwnedRef::steal(new_str(error.display()));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    });
}

}  // namespace sorvan::python
