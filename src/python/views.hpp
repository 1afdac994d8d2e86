#pragma once
// A lexicon used like a dictionary, for both classes: lex[word], get(),
// index(), and the views keys(prefix), items(prefix) and values(prefix)
// with their lazy iterator. The view and iterator classes are made once
// per process (class_object) and never added to the module.
//
// An iterator keeps positions in the lexicon's store or image between
// calls. It holds a strong reference to the lexicon, and the lexicon's
// change count (LexiconForm::changes) as it was when it started: every
// next() checks it first, and a lexicon that changed (words, counts, or
// form: compact() and the way back replace the storage) makes it raise
// RuntimeError from then on, as a dict's iterator does. It makes its items
// a batch at a time, in one walk step of many words (one dispatch on the
// form a batch), and hands them out one a next(): a few dozen ready
// objects, whatever the lexicon's size.

#include <array>
#include <optional>
#include <string>
#include <variant>

#include "python/lexicon_type.hpp"
#include "python/types.hpp"
#include "query/ordered.hpp"

namespace sorvan::python {

enum class ViewKind { keys, items, values };

// A view: the lexicon and the prefix, both strong references.
struct ViewObject {
    PyObject_HEAD
    PyObject* lexicon;
    PyObject* prefix;  // a str
};

// Items made ahead of next(), handed out in order.
struct ReadyItems {
    static constexpr std::size_t capacity = 64;
    std::array<PyObject*, capacity> items{};  // new references, [head, size)
    std::size_t head = 0;
    std::size_t size = 0;
    // The walk stands on a word not yet made into an item (making it
    // failed): the next refill starts with it rather than skip it.
    bool pending = false;
    bool done = false;  // the walk has passed the last word

    ReadyItems() noexcept = default;
    ReadyItems(const ReadyItems&) = delete;
    ReadyItems& operator=(const ReadyItems&) = delete;
    ~ReadyItems() {
        for (std::size_t i = head; i < size; ++i) Py_DECREF(items[i]);
    }
    bool empty() const noexcept { return head == size; }
    PyObject* take() noexcept { return items[head++]; }
};

template <class Lexicon>
struct IteratorObject {
    PyObject_HEAD
    PyObject* lexicon;  // strong
    ViewKind kind;
    std::uint64_t changes;  // the lexicon's, when the iterator started
    std::variant<OrderedWalk<StoreGraph>, OrderedWalk<CompactGraph>> walk;
    ReadyItems ready;
};

inline void view_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* view = reinterpret_cast<ViewObject*>(self);
    Py_XDECREF(view->lexicon);
    Py_XDECREF(view->prefix);
    PyObject_Free(self);
    Py_DECREF(type);
}

// The UTF-8 of a view's prefix (a str it holds).
inline std::string_view prefix_of(PyObject* self) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(reinterpret_cast<ViewObject*>(self)->prefix, &size);
    return {text, static_cast<std::size_t>(size)};  // converted when the view was made
}

// The new reference an iterator (or view) yields for its current word.
template <class Walk, class Graph>
PyObject* view_item(ViewKind kind, const Walk& walk, const Graph& graph) noexcept {
    if (kind == ViewKind::values) return new_u64(walk.count(graph));
    OwnedRef word = OwnedRef::steal(new_result_str(walk.word()));
    if (kind == ViewKind::keys || !word) return word.release();
    return new_pair(std::move(word), OwnedRef::steal(new_u64(walk.count(graph))));
}

// Fills `ready` (empty) with the items of the next words, up to its
// capacity. False with an exception set when not even one could be made;
// a failure after the first keeps those made and leaves the word pending.
template <class Walk, class Graph>
bool refill(ReadyItems& ready, ViewKind kind, Walk& walk, const Graph& graph) noexcept {
    ready.head = ready.size = 0;
    while (ready.size < ReadyItems::capacity) {
        if (!ready.pending && !walk.next(graph)) {
            ready.done = true;
            break;
        }
        PyObject* item = view_item(kind, walk, graph);
        ready.pending = item == nullptr;
        if (!item) {
            if (ready.size == 0) return false;
            PyErr_Clear();  // made again by the next refill, which reports it if it fails again
            break;
        }
        ready.items[ready.size++] = item;
    }
    return true;
}

// ------------------------------------------------------------- iterator ----

template <class Lexicon>
PyType_Spec& iterator_spec() noexcept;

template <class Lexicon>
void iterator_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* it = reinterpret_cast<IteratorObject<Lexicon>*>(self);
    using Walk = decltype(it->walk);
    it->walk.~Walk();
    it->ready.~ReadyItems();
    Py_XDECREF(it->lexicon);
    PyObject_Free(self);
    Py_DECREF(type);
}

// A new iterator over the words of `lexicon` (a borrowed instance)
// starting with `prefix`.
template <class Lexicon>
PyObject* new_iterator(PyObject* lexicon, std::string_view prefix, ViewKind kind) noexcept {
    return guarded([&]() -> PyObject* {
        // Made before the borrow: allocating may run a collection, and so
        // any Python code.
        OwnedRef type = OwnedRef::steal(class_object<iterator_spec<Lexicon>>());
        if (!type) return nullptr;
        auto* it = PyObject_New(IteratorObject<Lexicon>, reinterpret_cast<PyTypeObject*>(type.get()));
        if (!it) return nullptr;
        it->lexicon = Py_NewRef(lexicon);
        it->kind = kind;
        new (&it->walk) decltype(it->walk)();
        new (&it->ready) ReadyItems();
        OwnedRef self = OwnedRef::steal(reinterpret_cast<PyObject*>(it));
        auto* object = object_of<Lexicon>(lexicon);
        const auto borrow = SharedBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        const Lexicon& lex = object->lexicon;
        it->changes = lex.changes();
        lex.visit_graph([&](const auto& graph) {
            using Walk = OrderedWalk<std::remove_cvref_t<decltype(graph)>>;
            it->walk.template emplace<Walk>().start(graph, prefix);
        });
        return undamaged(lex, self.release());
    });
}

// The next item: a ready one, or the first of a new batch. The change
// count is checked on every call, so no item made before a change is
// handed out after it. Without the GIL, a critical section keeps two
// threads from stepping one iterator at once.
template <class Lexicon>
PyObject* iterator_step(PyObject* self) noexcept {
    auto* it = reinterpret_cast<IteratorObject<Lexicon>*>(self);
    return guarded([&]() -> PyObject* {
        auto* object = object_of<Lexicon>(it->lexicon);
        // No Python code runs from here to the end of the step.
        const auto borrow = GilHeldBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        const Lexicon& lexicon = object->lexicon;
        if (lexicon.changes() != it->changes) {
            PyErr_SetString(PyExc_RuntimeError, "lexicon changed during iteration");
            return nullptr;
        }
        ReadyItems& ready = it->ready;
        if (ready.empty()) {
            if (ready.done) return nullptr;  // StopIteration
            const bool made = lexicon.visit_graph([&](const auto& graph) {
                using Walk = OrderedWalk<std::remove_cvref_t<decltype(graph)>>;
                auto* walk = std::get_if<Walk>(&it->walk);  // the form is the one it started in
                if (!walk) {
                    ready.done = true;
                    return true;
                }
                return refill(ready, it->kind, *walk, graph);
            });
            if (!undamaged(lexicon, made)) return nullptr;
            if (ready.empty()) return nullptr;  // StopIteration
        }
        return ready.take();
    });
}

template <class Lexicon>
PyObject* iterator_next(PyObject* self) noexcept {
    PyObject* item;
    Py_BEGIN_CRITICAL_SECTION(self);
    item = iterator_step<Lexicon>(self);
    Py_END_CRITICAL_SECTION();
    return item;
}

template <class Lexicon>
PyType_Spec& iterator_spec() noexcept {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, as_slot(&iterator_dealloc<Lexicon>)},
        {Py_tp_iter, as_slot(&PyObject_SelfIter)},
        {Py_tp_iternext, as_slot(&iterator_next<Lexicon>)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        /* .name = */ LexiconTraits<Lexicon>::view_names[3],
        /* .basicsize = */ static_cast<int>(sizeof(IteratorObject<Lexicon>)),
        /* .itemsize = */ 0,
        /* .flags = */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        /* .slots = */ slots,
    };
    return spec;
}

// ---------------------------------------------------------------- views ----

template <class Lexicon, ViewKind Kind>
PyObject* view_iter(PyObject* self) noexcept {
    return new_iterator<Lexicon>(reinterpret_cast<ViewObject*>(self)->lexicon, prefix_of(self), Kind);
}

// The words under the prefix: along the prefix on a ranked compact image,
// by a walk of them otherwise (stopped by a signal handler that raises).
template <class Lexicon>
Py_ssize_t view_len(PyObject* self) noexcept {
    const std::string_view prefix = prefix_of(self);
    return read_lexicon<Lexicon>(reinterpret_cast<ViewObject*>(self)->lexicon,
                                 [&](const Lexicon& lexicon) -> Py_ssize_t {
                                     Cancel cancel(&signal_raised, nullptr);
                                     const std::uint64_t n = lexicon.words_under(prefix, &cancel);
                                     if (cancel.cancelled()) return -1;
                                     return static_cast<Py_ssize_t>(n);
                                 });
}

// `word in keys` and `(word, count) in items`: anything else is not in.
template <class Lexicon, ViewKind Kind>
int view_contains(PyObject* self, PyObject* operand) noexcept {
    PyObject* word = operand;
    if constexpr (Kind == ViewKind::items) {
        if (!PyTuple_Check(operand) || PyTuple_GET_SIZE(operand) != 2) return 0;
        word = PyTuple_GET_ITEM(operand, 0);
    }
    if (!PyUnicode_Check(word)) return 0;
    std::string_view text;
    if (!to_utf8_view(word, "word", text)) return -1;  // a lone surrogate
    if (!text.starts_with(prefix_of(self))) return 0;
    std::optional<std::uint64_t> count;
    {
        auto* object = object_of<Lexicon>(reinterpret_cast<ViewObject*>(self)->lexicon);
        const auto borrow = GilHeldBorrow::acquire(object->borrow);  // no Python code runs under it
        if (!borrow) return -1;
        count = object->lexicon.count_of(text);
        if (!undamaged(object->lexicon, true)) return -1;
    }
    if (!count) return 0;
    if constexpr (Kind == ViewKind::items) {
        OwnedRef stored = OwnedRef::steal(new_u64(*count));
        if (!stored) return -1;
        return PyObject_RichCompareBool(stored.get(), PyTuple_GET_ITEM(operand, 1), Py_EQ);
    }
    return 1;
}

// keys()[i]: the word of rank i under the prefix; negative i counts from
// the end. Only ints (and __index__ objects) index.
template <class Lexicon>
PyObject* keys_subscript(PyObject* self, PyObject* key) noexcept {
    if (!PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keys view indices must be integers, not %T", key);
        return nullptr;
    }
    const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    const std::string_view prefix = prefix_of(self);
    return read_lexicon<Lexicon>(reinterpret_cast<ViewObject*>(self)->lexicon, [&](const Lexicon& lexicon) -> PyObject* {
        Cancel cancel(&signal_raised, nullptr);
        const std::uint64_t n = lexicon.words_under(prefix, &cancel);
        if (cancel.cancelled()) return nullptr;
        std::uint64_t rank = static_cast<std::uint64_t>(i);
        if (i < 0) {
            const std::uint64_t back = static_cast<std::uint64_t>(-(i + 1)) + 1;  // no overflow at the minimum
            rank = back <= n ? n - back : n;
        }
        if (rank >= n) {
            PyErr_SetString(PyExc_IndexError, "keys view index out of range");
            return nullptr;
        }
        const std::string word = lexicon.word_at(prefix, rank, &cancel);
        if (cancel.cancelled()) return nullptr;
        return new_str(word);
    });
}

template <class Lexicon, ViewKind Kind>
PyType_Spec& view_spec() noexcept {
    static std::array<PyType_Slot, 6> slots = [] {
        std::array<PyType_Slot, 6> made{};  // the rest stays {0, nullptr}: the end
        std::size_t n = 0;
        made[n++] = {Py_tp_dealloc, as_slot(&view_dealloc)};
        made[n++] = {Py_tp_iter, as_slot(&view_iter<Lexicon, Kind>)};
        made[n++] = {Py_sq_length, as_slot(&view_len<Lexicon>)};
        // For values, `in` falls back to iterating, as a dict's values do.
        if (Kind != ViewKind::values) made[n++] = {Py_sq_contains, as_slot(&view_contains<Lexicon, Kind>)};
        if (Kind == ViewKind::keys) made[n++] = {Py_mp_subscript, as_slot(&keys_subscript<Lexicon>)};
        return made;
    }();
    static PyType_Spec spec = {
        /* .name = */ LexiconTraits<Lexicon>::view_names[static_cast<int>(Kind)],
        /* .basicsize = */ static_cast<int>(sizeof(ViewObject)),
        /* .itemsize = */ 0,
        /* .flags = */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        /* .slots = */ slots.data(),
    };
    return spec;
}

// keys(prefix=""), items(prefix="") and values(prefix="").
template <class Lexicon, ViewKind Kind>
PyObject* lexicon_view(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr const char* names[] = {"keys", "items", "values"};
    static constexpr Signature sig{names[static_cast<int>(Kind)], {"prefix"}, 0};
    return guarded([&]() -> PyObject* {
        Arguments<1> argv{};
        if (!parse_args(sig, args, nargsf, kwnames, argv)) return nullptr;
        std::string_view prefix;
        if (!to_utf8_view(argv[0], "prefix", prefix)) return nullptr;
        OwnedRef text = argv[0] ? OwnedRef::new_ref(argv[0]) : OwnedRef::steal(PyUnicode_FromStringAndSize("", 0));
        OwnedRef type = OwnedRef::steal(text ? class_object<view_spec<Lexicon, Kind>>() : nullptr);
        if (!type) return nullptr;
        auto* view = PyObject_New(ViewObject, reinterpret_cast<PyTypeObject*>(type.get()));
        if (!view) return nullptr;
        view->lexicon = Py_NewRef(self);
        view->prefix = text.release();
        return reinterpret_cast<PyObject*>(view);
    });
}

// iter(lex): iter(lex.keys()).
template <class Lexicon>
PyObject* lexicon_iter(PyObject* self) noexcept {
    return new_iterator<Lexicon>(self, {}, ViewKind::keys);
}

// ---------------------------------------------------------- single word ----

// lex[word]: its count; KeyError(word) when it is not stored.
template <class Lexicon>
PyObject* lexicon_getitem(PyObject* self, PyObject* key) noexcept {
    return guarded([&]() -> PyObject* {
        auto* object = object_of<Lexicon>(self);
        const auto borrow = GilHeldBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        std::string_view word;
        if (!to_utf8_view(key, "word", word)) return nullptr;
        const auto count = object->lexicon.count_of(word);
        if (!undamaged(object->lexicon, true)) return nullptr;
        if (count) return new_u64(*count);
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    });
}

// get(word, default=None)
template <class Lexicon>
PyObject* lexicon_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"get", {"word", "default"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view word;
            if (!to_utf8_view(argv[0], "word", word)) return nullptr;
            if (const auto count = lexicon.count_of(word)) return new_u64(*count);
            return Py_NewRef(argv[1] ? argv[1] : Py_None);
        });
}

// index(word): its rank; ValueError when it is not stored.
template <class Lexicon>
PyObject* lexicon_index(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"index", {"word"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view word;
            if (!to_utf8_view(argv[0], "word", word)) return nullptr;
            Cancel cancel(&signal_raised, nullptr);
            const auto rank = lexicon.rank_of(word, &cancel);
            if (cancel.cancelled()) return nullptr;
            if (rank) return new_u64(*rank);
            PyErr_Format(PyExc_ValueError, "%R is not in the %s", argv[0], LexiconTraits<Lexicon>::name);
            return nullptr;
        });
}

// The method-table rows and slots of the dictionary protocol.
#define SORVAN_DICTIONARY_METHODS(Lexicon)                                                              \
    {"get", as_method(&lexicon_get<Lexicon>), fastcall, LexiconDocs<Lexicon>::get},                     \
    {"index", as_method(&lexicon_index<Lexicon>), fastcall, LexiconDocs<Lexicon>::index},               \
    {"keys", as_method(&lexicon_view<Lexicon, ViewKind::keys>), fastcall, LexiconDocs<Lexicon>::keys},  \
    {"items", as_method(&lexicon_view<Lexicon, ViewKind::items>), fastcall, LexiconDocs<Lexicon>::items}, \
    {"values", as_method(&lexicon_view<Lexicon, ViewKind::values>), fastcall, LexiconDocs<Lexicon>::values}

#define SORVAN_DICTIONARY_SLOTS(Lexicon)                         \
    {Py_mp_subscript, as_slot(&lexicon_getitem<Lexicon>)},       \
    {Py_tp_iter, as_slot(&lexicon_iter<Lexicon>)}

}  // namespace sorvan::python
