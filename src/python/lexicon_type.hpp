#pragma once
// What both Python classes are made of: the instance layout, the slots and
// the methods whose behaviour is the same for a Trie and a DAWG, written
// once over the lexicon type. Each class file supplies LexiconTraits, its
// docstrings, and its method and slot tables.

#include <array>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "python/binding.hpp"

namespace sorvan::python {

template <class Lexicon>
struct LexiconObject {
    PyObject_HEAD
    Lexicon lexicon;
    BorrowFlag borrow;
};

// Specialised by each class file: `name` (the class name),
// `length(lexicon)` (what len() reports) and `add_all(lexicon, source)`
// (adds the str items of an iterable; false with an exception set).
template <class Lexicon>
struct LexiconTraits;

template <class Lexicon>
LexiconObject<Lexicon>* object_of(PyObject* self) noexcept {
    return reinterpret_cast<LexiconObject<Lexicon>*>(self);
}

// The most parameters any method takes.
inline constexpr std::size_t max_params = 3;

// The common steps of a method call: parse the arguments, take the borrow,
// then body(lexicon, argv) converts, calls the lexicon and builds the
// result. The borrow is released on every way out. (The receiver's type is
// checked by the method descriptor before the call reaches here.)
template <class Lexicon, class Borrow, class Body>
PyObject* call_method(PyObject* self, const Signature& sig, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, max_params> argv{};
        if (!parse_args(sig, args, nargsf, kwnames, argv.data())) return nullptr;
        auto* object = object_of<Lexicon>(self);
        auto borrow = Borrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        return body(object->lexicon, argv.data());
    });
}

// A call without arguments under a shared borrow: body(const lexicon&).
template <class Lexicon, class Body>
auto read_lexicon(PyObject* self, Body&& body) noexcept -> decltype(body(std::declval<const Lexicon&>())) {
    using R = decltype(body(std::declval<const Lexicon&>()));
    return guarded([&]() -> R {
        auto* object = object_of<Lexicon>(self);
        auto borrow = SharedBorrow::acquire(object->borrow);
        if (!borrow) return failure_value<R>();
        return body(std::as_const(object->lexicon));
    });
}

// ---------------------------------------------------------------- slots ----

// A new instance of `type` that takes over `lexicon` (built first, so that
// a failed allocation leaks nothing), or nullptr with an exception set.
template <class Lexicon>
PyObject* adopt_lexicon(PyTypeObject* type, Lexicon&& lexicon) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* object = object_of<Lexicon>(self);
    new (&object->lexicon) Lexicon(std::move(lexicon));
    new (&object->borrow) BorrowFlag(0);
    return self;
}

template <class Lexicon>
PyObject* lexicon_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments", LexiconTraits<Lexicon>::name);
            return nullptr;
        }
        return adopt_lexicon(type, Lexicon());
    });
}

template <class Lexicon>
void lexicon_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = object_of<Lexicon>(self);
    object->lexicon.~Lexicon();
    object->borrow.~BorrowFlag();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

template <class Lexicon>
int lexicon_contains(PyObject* self, PyObject* operand) noexcept {
    auto* object = object_of<Lexicon>(self);
    auto borrow = SharedBorrow::acquire(object->borrow);
    if (!borrow) return -1;
    std::string_view word;
    if (!to_utf8_view(operand, "word", word)) return -1;
    return object->lexicon.contains(word) ? 1 : 0;
}

template <class Lexicon>
Py_ssize_t lexicon_len(PyObject* self) noexcept {
    return read_lexicon<Lexicon>(self, [](const Lexicon& lexicon) {
        return static_cast<Py_ssize_t>(LexiconTraits<Lexicon>::length(lexicon));
    });
}

template <class Lexicon>
PyObject* lexicon_repr(PyObject* self) noexcept {
    return read_lexicon<Lexicon>(self, [](const Lexicon& lexicon) {
        return PyUnicode_FromFormat("%s(words=%llu, nodes=%zu)", LexiconTraits<Lexicon>::name,
                                    static_cast<unsigned long long>(lexicon.word_count()),
                                    static_cast<std::size_t>(LexiconTraits<Lexicon>::length(lexicon)));
    });
}

// -------------------------------------------------------------- methods ----

template <class Lexicon>
PyObject* lexicon_add(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) noexcept {
    static const Signature sig{"add", {"word", "count"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::string_view word;
            std::uint64_t count = 1;
            if (!to_utf8_view(argv[0], "word", word) || !to_u64(argv[1], "count", count)) {
                return nullptr;
            }
            return none_or_raise(lexicon.add(word, count));
        });
}

// add_all(source): how the words go in differs between the classes
// (LexiconTraits::add_all); the borrow is held for the whole iteration.
template <class Lexicon>
PyObject* lexicon_add_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    static const Signature sig{"add_all", {"source"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, PyObject** argv) -> PyObject* {
            if (!LexiconTraits<Lexicon>::add_all(lexicon, argv[0])) return nullptr;
            Py_RETURN_NONE;
        });
}

template <class Lexicon>
PyObject* lexicon_add_from_file(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
    static const Signature sig{"add_from_file", {"path"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::string_view path;
            if (!to_utf8_view(argv[0], "path", path)) return nullptr;
            return none_or_raise(lexicon.add_from_file(path));
        });
}

template <class Lexicon>
PyObject* lexicon_contains_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept {
    static const Signature sig{"contains_prefix", {"prefix"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::string_view prefix;
            if (!to_utf8_view(argv[0], "prefix", prefix)) return nullptr;
            return new_bool(lexicon.contains_prefix(prefix));
        });
}

template <class Lexicon>
PyObject* lexicon_get_word_count(PyObject* self, PyObject*) noexcept {
    return read_lexicon<Lexicon>(
        self, [](const Lexicon& lexicon) { return new_u64(lexicon.word_count()); });
}

// The end of the three searches: converts `with_count` (the last argument),
// runs the search, plain(cancel) or counted(cancel), and builds the list of
// words, or of (word, count) pairs when it is true. A search stops when a
// signal handler raises (Ctrl-C gives KeyboardInterrupt), and that exception
// is raised instead of a partial list.
template <class Plain, class Counted>
PyObject* search_result(PyObject* with_count, Plain&& plain, Counted&& counted) {
    bool pairs = false;
    if (!to_bool(with_count, "with_count", pairs)) return nullptr;
    Cancel cancel(&signal_raised, nullptr);
    const WordList found = pairs ? counted(&cancel) : plain(&cancel);
    if (cancel.cancelled()) return nullptr;
    return new_word_list(found);
}

template <class Lexicon>
PyObject* lexicon_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
    static const Signature sig{"search", {"pattern", "with_count"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::string_view pattern;
            if (!to_utf8_view(argv[0], "pattern", pattern)) return nullptr;
            return search_result(
                argv[1], [&](Cancel* c) { return lexicon.search(pattern, c); },
                [&](Cancel* c) { return lexicon.search_with_count(pattern, c); });
        });
}

template <class Lexicon>
PyObject* lexicon_search_with_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) noexcept {
    static const Signature sig{"search_with_prefix", {"prefix", "with_count"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::string_view prefix;
            if (!to_utf8_view(argv[0], "prefix", prefix)) return nullptr;
            return search_result(
                argv[1], [&](Cancel* c) { return lexicon.search_with_prefix(prefix, c); },
                [&](Cancel* c) { return lexicon.search_with_prefix_count(prefix, c); });
        });
}

template <class Lexicon>
PyObject* lexicon_search_within_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) noexcept {
    static const Signature sig{"search_within_distance", {"word", "dist", "with_count"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::string_view word;
            std::uint64_t dist = 0;
            if (!to_utf8_view(argv[0], "word", word) || !to_u64(argv[1], "dist", dist)) {
                return nullptr;
            }
            return search_result(
                argv[2], [&](Cancel* c) { return lexicon.search_within_distance(word, dist, c); },
                [&](Cancel* c) { return lexicon.search_within_distance_count(word, dist, c); });
        });
}

// The batch methods: the whole sequence is converted before any query runs,
// the queries run on the worker pool (this thread keeps the interpreter lock
// and only waits), and the result list is built afterwards. They run to
// their end: the workers may not look at the interpreter's signals.
template <class Lexicon>
PyObject* lexicon_batch_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept {
    static const Signature sig{"batch_contains", {"words"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::vector<std::string> words;
            if (!to_str_vector(argv[0], "words", words)) return nullptr;
            return new_bool_list(lexicon.batch_contains(words));
        });
}

// batch_search and batch_search_with_prefix: one sequence, one search each.
template <class Lexicon, auto Batch>
PyObject* lexicon_batch_search_each(const Signature& sig, PyObject* self, PyObject* const* args,
                                    Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [&](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::vector<std::string> items;
            if (!to_str_vector(argv[0], *sig.params.begin(), items)) return nullptr;
            std::vector<WordList> found = (lexicon.*Batch)(items);
            items = {};  // the inputs go before the result objects are made
            return new_word_lists(found);
        });
}

template <class Lexicon>
PyObject* lexicon_batch_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) noexcept {
    static const Signature sig{"batch_search", {"patterns"}, 1};
    return lexicon_batch_search_each<Lexicon, &Lexicon::batch_search>(sig, self, args, nargsf,
                                                                      kwnames);
}

template <class Lexicon>
PyObject* lexicon_batch_search_with_prefix(PyObject* self, PyObject* const* args,
                                           Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const Signature sig{"batch_search_with_prefix", {"prefixes"}, 1};
    return lexicon_batch_search_each<Lexicon, &Lexicon::batch_search_with_prefix>(
        sig, self, args, nargsf, kwnames);
}

template <class Lexicon>
PyObject* lexicon_batch_search_within_distance(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const Signature sig{"batch_search_within_distance", {"words", "dist"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, PyObject** argv) -> PyObject* {
            std::vector<std::string> words;
            std::uint64_t dist = 0;
            if (!to_str_vector(argv[0], "words", words) || !to_u64(argv[1], "dist", dist)) {
                return nullptr;
            }
            std::vector<WordList> found = lexicon.batch_search_within_distance(words, dist);
            words = {};
            return new_word_lists(found);
        });
}

// ------------------------------------------------------- table helpers ----

// Function pointers as the type tables want them.
template <class F>
PyCFunction as_method(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <class F>
void* as_slot(F* function) noexcept {
    return reinterpret_cast<void*>(function);
}

inline constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// Docstrings shared by both classes.
inline constexpr char get_word_count_doc[] =
    "get_word_count($self)\n--\n\nReturns the number of words stored.";
inline constexpr char search_doc[] =
    "search($self, pattern, with_count=False)\n--\n\n"
    "Return all words matching the wildcard pattern.\n\n"
    "``?`` matches exactly one character; ``*`` matches zero or more.\n"
    "If ``with_count=True``, returns ``list[(word, count)]``.";
inline constexpr char search_with_prefix_doc[] =
    "search_with_prefix($self, prefix, with_count=False)\n--\n\n"
    "Return all words sharing the given prefix.\n\n"
    "If ``with_count=True``, returns ``list[(word, count)]``.";
inline constexpr char batch_contains_doc[] =
    "batch_contains($self, words)\n--\n\n"
    "Check membership for a list of words in parallel.\n\n"
    "Returns ``list[bool]`` in the same order as the input.";
inline constexpr char batch_search_doc[] =
    "batch_search($self, patterns)\n--\n\n"
    "Run wildcard search for each pattern in parallel.\n\n"
    "Returns ``list[list[str]]`` in the same order as the input.";
inline constexpr char batch_search_with_prefix_doc[] =
    "batch_search_with_prefix($self, prefixes)\n--\n\n"
    "Run prefix search for each prefix in parallel.\n\n"
    "Returns ``list[list[str]]`` in the same order as the input.";
inline constexpr char batch_search_within_distance_doc[] =
    "batch_search_within_distance($self, words, dist=0)\n--\n\n"
    "Run Levenshtein search for each word in parallel.\n\n"
    "Returns ``list[list[str]]`` in the same order as the input.";
inline constexpr char search_within_distance_doc[] =
    "search_within_distance($self, word, dist=0, with_count=False)\n--\n\n"
    "Return all words within Levenshtein ``dist`` of ``word``.\n\n"
    "If ``with_count=True``, returns ``list[(word, count)]``.";

// What differs between the two classes' type objects.
struct ClassDocs {
    const char* type_name;  // the PyType_Spec name: "builtins.NAME"
    const char* doc;        // the class docstring
    const char* add;
    const char* add_all;
    const char* add_from_file;
    const char* contains_prefix;
};

// A lexicon class's method table, slots and PyType_Spec. The methods come in
// the order both classes share, with the class's own methods (`own`) after
// add_from_file and `more` (the compact form's) at the end. Instances are
// static: CPython keeps pointers into them.
template <class Lexicon>
class LexiconClass {
public:
    LexiconClass(const ClassDocs& docs, std::initializer_list<PyMethodDef> own,
                 std::span<const PyMethodDef> more = {}) {
        methods_ = {
            {"add", as_method(&lexicon_add<Lexicon>), fastcall, docs.add},
            {"add_all", as_method(&lexicon_add_all<Lexicon>), fastcall, docs.add_all},
            {"add_from_file", as_method(&lexicon_add_from_file<Lexicon>), fastcall,
             docs.add_from_file},
        };
        methods_.insert(methods_.end(), own);
        methods_.insert(methods_.end(), {
            {"contains_prefix", as_method(&lexicon_contains_prefix<Lexicon>), fastcall,
             docs.contains_prefix},
            {"get_word_count", as_method(&lexicon_get_word_count<Lexicon>), METH_NOARGS,
             get_word_count_doc},
            {"search", as_method(&lexicon_search<Lexicon>), fastcall, search_doc},
            {"search_with_prefix", as_method(&lexicon_search_with_prefix<Lexicon>), fastcall,
             search_with_prefix_doc},
            {"search_within_distance", as_method(&lexicon_search_within_distance<Lexicon>),
             fastcall, search_within_distance_doc},
            {"batch_contains", as_method(&lexicon_batch_contains<Lexicon>), fastcall,
             batch_contains_doc},
            {"batch_search", as_method(&lexicon_batch_search<Lexicon>), fastcall, batch_search_doc},
            {"batch_search_with_prefix", as_method(&lexicon_batch_search_with_prefix<Lexicon>),
             fastcall, batch_search_with_prefix_doc},
            {"batch_search_within_distance",
             as_method(&lexicon_batch_search_within_distance<Lexicon>), fastcall,
             batch_search_within_distance_doc},
        });
        methods_.insert(methods_.end(), more.begin(), more.end());
        methods_.push_back({nullptr, nullptr, 0, nullptr});
        slots_ = {{
            {Py_tp_new, as_slot(&lexicon_new<Lexicon>)},
            {Py_tp_dealloc, as_slot(&lexicon_dealloc<Lexicon>)},
            {Py_sq_contains, as_slot(&lexicon_contains<Lexicon>)},
            {Py_mp_length, as_slot(&lexicon_len<Lexicon>)},
            {Py_tp_repr, as_slot(&lexicon_repr<Lexicon>)},
            {Py_tp_doc, const_cast<char*>(docs.doc)},
            {Py_tp_methods, methods_.data()},
            {0, nullptr},
        }};
        spec_ = {
            /* .name = */ docs.type_name,
            /* .basicsize = */ static_cast<int>(sizeof(LexiconObject<Lexicon>)),
            /* .itemsize = */ 0,
            /* .flags = */ Py_TPFLAGS_DEFAULT,
            /* .slots = */ slots_.data(),
        };
    }
    LexiconClass(const LexiconClass&) = delete;
    LexiconClass& operator=(const LexiconClass&) = delete;

    PyType_Spec& spec() noexcept { return spec_; }

private:
    std::vector<PyMethodDef> methods_;
    std::array<PyType_Slot, 8> slots_{};
    PyType_Spec spec_{};
};

}  // namespace sorvan::python
