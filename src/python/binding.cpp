#include "python/binding.hpp"

#include "compact/image.hpp"

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

#ifndef Py_GIL_DISABLED
std::optional<GilHeldBorrow> GilHeldBorrow::acquire(const BorrowFlag& flag) noexcept {
    if (flag.load(std::memory_order_acquire) == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
    }
    return GilHeldBorrow{};
}
#endif

std::optional<ExclusiveBorrow> ExclusiveBorrow::acquire(BorrowFlag& flag) noexcept {
    std::int64_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return std::nullopt;
    }
    return ExclusiveBorrow(flag);
}

bool parse_args(const char* function, std::span<const char* const> params, std::size_t required,
                std::size_t positional, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, std::span<PyObject*> out) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto maxpos = static_cast<Py_ssize_t>(positional);
    if (nargs > maxpos) {
        if (maxpos == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", function);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)",
                         function, static_cast<Py_ssize_t>(required) < maxpos ? "at most" : "exactly",
                         maxpos, maxpos == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = 0;
        while (slot < params.size() && PyUnicode_CompareWithASCIIString(key, params[slot]) != 0) {
            ++slot;
        }
        if (slot == params.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%U') and position (%zu)", function,
                         key, slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }

    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                         function, params[i], i + 1);
            return false;
        }
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

// Whether `text` is a str equal to `ascii`. A type's __module__ and
// __name__ are whatever its class body set them to, of any type, so they are
// checked before they are compared.
bool is_str_equal(PyObject* text, const char* ascii) noexcept {
    return text && PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, ascii) == 0;
}

bool is_numpy_bool_type(PyTypeObject* type) noexcept {
    OwnedRef module = OwnedRef::steal(PyType_GetModuleName(type));
    OwnedRef name = OwnedRef::steal(module ? PyType_GetName(type) : nullptr);
    if (!name) PyErr_Clear();  // no such attribute: not NumPy's
    return is_str_equal(module.get(), "numpy") &&
           (is_str_equal(name.get(), "bool_") || is_str_equal(name.get(), "bool"));
}

}  // namespace

bool item_to_utf8_view(PyObject* item, std::string_view& out) noexcept {
    return utf8_view(item, out);
}

namespace {

bool text_units(PyObject* arg, TextUnits& out) noexcept {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %T", arg);
        return false;
    }
    out = TextUnits{PyUnicode_DATA(arg), static_cast<std::size_t>(PyUnicode_GET_LENGTH(arg)),
                    static_cast<unsigned>(PyUnicode_KIND(arg))};
    return true;
}

}  // namespace

bool to_text_units(PyObject* arg, const char* name, TextUnits& out) noexcept {
    if (!arg || text_units(arg, out)) return true;
    name_type_error(name);
    return false;
}

bool is_word_char(char32_t c) noexcept {
    return c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c));
}

bool to_utf8_view(PyObject* arg, const char* name, std::string_view& out) noexcept {
    if (!arg) return true;
    if (utf8_view(arg, out)) return true;
    name_type_error(name);
    return false;
}

bool to_path(PyObject* arg, const char* name, PathView& out) noexcept {
    if (!arg) return true;
    out.owner = OwnedRef::steal(PyOS_FSPath(arg));
    PyObject* path = out.owner.get();
    bool converted = path != nullptr;
    if (converted && PyBytes_Check(path)) {
        out.bytes = std::string_view(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
    } else if (converted) {
        converted = utf8_view(path, out.bytes);
    }
    if (!converted) name_type_error(name);
    return converted;
}

namespace {

// Beyond this many items a length is not trusted for the up-front
// reservation; the vector grows as the items come.
constexpr Py_ssize_t max_reserved_items = Py_ssize_t{1} << 16;

// The view of a str item: its UTF-8 text, or its code points in place.
bool item_view(PyObject* item, std::string_view& out) noexcept { return utf8_view(item, out); }
bool item_view(PyObject* item, TextItem& out) noexcept {
    out.text = item;
    return text_units(item, out.units);
}

// Appends the view of `item` to out.views, and `item` to out.items.
template <class View>
bool keep_str_view(PyObject* item, StrItems<View>& out) {
    View view;
    if (!item_view(item, view) || PyList_Append(out.items.get(), item) < 0) return false;
    out.views.push_back(view);
    return true;
}

template <class View>
bool collect_str_views(PyObject* arg, StrItems<View>& out) {
    if (PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence of str, got %T", arg);
        return false;
    }
    // Only a missing length falls back to iterating unsized; an error of
    // __len__ itself (KeyboardInterrupt included) propagates.
    const Py_ssize_t hint = PyObject_LengthHint(arg, 0);
    if (hint < 0) return false;
    out.views.reserve(static_cast<std::size_t>(std::min(hint, max_reserved_items)));
    if (PyTuple_CheckExact(arg) || PyList_CheckExact(arg)) {
        // A tuple of the same items, which nobody else can change.
        out.items = OwnedRef::steal(PyTuple_CheckExact(arg) ? Py_NewRef(arg) : PyList_AsTuple(arg));
        if (!out.items) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(out.items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            View view;
            if (!item_view(PyTuple_GET_ITEM(out.items.get(), i), view)) return false;
            out.views.push_back(view);
        }
        return true;
    }
    out.items = OwnedRef::steal(PyList_New(0));
    if (!out.items) return false;
    return for_each_object(arg, [&out](PyObject* item) { return keep_str_view(item, out); });
}

template <class View>
bool to_views(PyObject* arg, const char* name, StrItems<View>& out) noexcept {
    return guarded([&] {
        if (collect_str_views(arg, out)) return true;
        name_type_error(name);
        return false;
    });
}

}  // namespace

bool to_str_views(PyObject* arg, const char* name, StrViews& out) noexcept { return to_views(arg, name, out); }
bool to_str_views(PyObject* arg, const char* name, TextViews& out) noexcept { return to_views(arg, name, out); }

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

}  // namespace

// Most words are ASCII, and for those the decoder's work comes down to one
// copy into a fresh compact string.
PyObject* new_result_str(std::string_view word) noexcept {
    if (!is_ascii(word)) return new_str(word);
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(word.size()), 127);
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), word.data(), word.size());
    return text;
}

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

void raise_from_exception(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const CapacityExceeded& limit) {
        PyErr_SetString(PyExc_MemoryError, limit.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        PyErr_Format(PyExc_SystemError, "sorvan: unexpected C++ exception: %s", other.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "sorvan: unexpected C++ exception");
    }
}

void raise_damage(const CompactImage& image) noexcept {
    PyErr_Clear();
    Cancel cancel(&signal_raised, nullptr);
    const Status sound = image.check(&cancel);
    if (cancel.cancelled()) return;
    if (!sound) {
        raise_sorvan_error(sound.error());
    } else {
        PyErr_SetString(PyExc_SystemError, "a walk met damage in an image that passes its check");
    }
}

PyObject* raise_sorvan_error(const SorvanError& error) noexcept {
    // Words may hold U+0000, so the text goes in with its length.
    return guarded([&]() -> PyObject* {
        OwnedRef message = OwnedRef::steal(new_str(error.display()));
        PyObject* type = error.kind() == SorvanError::Kind::Internal ? PyExc_SystemError
                         : error.kind() == SorvanError::Kind::Busy   ? PyExc_RuntimeError
                                                                     : PyExc_ValueError;
        if (message) PyErr_SetObject(type, message.get());
        return nullptr;
    });
}

}  // namespace sorvan::python
