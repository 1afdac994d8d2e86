#pragma once
// Counts in bulk, shared by both classes: the class methods that build a
// compact lexicon straight from words and counts without its mutable form,
// from_words(source, *, presorted=False) and
// from_file(path, *, presorted=False, counts=False), and update(source).

#include "python/lexicon_type.hpp"
#include "utils/sortable_words.hpp"
#include "utils/word_file.hpp"

namespace sorvan::python {

// The word and count of an item: a str (count 1) or a (str, int) pair. The
// word's view lives as long as the item. False with an exception set.
inline bool to_counted_word(PyObject* item, std::string_view& word, std::uint64_t& count) noexcept {
    if (PyUnicode_Check(item)) {
        count = 1;
        return item_to_utf8_view(item, word);
    }
    if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2) {
        return item_to_utf8_view(PyTuple_GET_ITEM(item, 0), word) && to_u64(PyTuple_GET_ITEM(item, 1), "count", count);
    }
    PyErr_Format(PyExc_TypeError, "expected str or a (str, int) pair, got %T", item);
    return false;
}

// Calls f(word, count) for each item of `source` (see to_counted_word), or
// of its items() when it is a mapping (it has keys(), as dict.update asks).
// Runs the pending signal handlers as for_each_item does. False with an
// exception set, or when f returned false (having set one or not).
template <class F>
bool for_each_counted_item(PyObject* source, F&& f) {
    OwnedRef items;
    if (!PyUnicode_Check(source)) {
        const int mapping = PyDict_Check(source) ? 1 : PyObject_HasAttrStringWithError(source, "keys");
        if (mapping < 0) return false;
        if (mapping) {
            items = OwnedRef::steal(PyObject_CallMethod(source, "items", nullptr));
            if (!items) return false;
            source = items.get();
        }
    }
    Cancel cancel(&signal_raised, nullptr);
    Cancel::Countdown countdown(cancel);
    return for_each_object(source, [&f, &countdown](PyObject* item) {
        std::string_view word;
        std::uint64_t count = 1;
        if (!to_counted_word(item, word, count)) return false;
        countdown.spend(word.size());
        return !countdown.tick() && f(word, count);
    });
}

// Sorts `words` (each tagged with its count) and adds them to `builder` in
// that order; Cancelled when `cancel` stopped the sort.
template <class Builder>
Status add_in_order(Builder& builder, SortableWords words, Cancel& cancel) {
    if (!words.sort(&cancel)) return std::unexpected(SorvanError::cancelled());
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (Status added = builder.add(words[i], words.tag(i)); !added) return added;
    }
    return {};
}

// Builds a new lexicon of `type` from what gather(take) gives take(word,
// count): straight into the builder when `presorted`, else gathered and
// sorted first. gather returns false with an exception set, or the Status
// of its reading. Nothing is built on any failure.
template <class Lexicon, class Gather>
PyObject* build_lexicon(PyObject* type, bool presorted, Gather&& gather) {
    Cancel cancel(&signal_raised, nullptr);
    typename Lexicon::Builder builder(&cancel);
    SortableWords words{SortableWords::WithTags{}};
    Status added;
    auto take = [&](std::string_view word, std::uint64_t count) -> Status {
        if (presorted) return added = builder.add(word, count);
        words.push_back(word, count);
        return {};
    };
    const std::optional<Status> gathered = gather(take, cancel);
    if (!gathered) return nullptr;  // its exception is set
    if (*gathered && !presorted) added = add_in_order(builder, std::move(words), cancel);
    if (!*gathered) added = *gathered;
    if (!succeeded_unless_stopped(added, cancel)) return nullptr;
    auto lexicon = builder.finish();
    if (cancel.cancelled()) return nullptr;
    if (!lexicon) return raise_sorvan_error(lexicon.error());
    return adopt_lexicon(reinterpret_cast<PyTypeObject*>(type), std::move(*lexicon));
}

template <class Lexicon>
PyObject* lexicon_from_words(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"from_words", {"source", "presorted"}, 1, 1};  // presorted is keyword-only
    return guarded([&]() -> PyObject* {
        Arguments<2> argv{};
        if (!parse_args(sig, args, nargsf, kwnames, argv)) return nullptr;
        bool presorted = false;
        if (!to_bool(argv[1], "presorted", presorted)) return nullptr;
        return build_lexicon<Lexicon>(cls, presorted, [&](auto& take, Cancel&) -> std::optional<Status> {
            Status status;
            const bool done = for_each_counted_item(argv[0], [&](std::string_view word, std::uint64_t count) {
                status = take(word, count);
                return static_cast<bool>(status);
            });
            if (!done && status) return std::nullopt;
            return status;
        });
    });
}

template <class Lexicon>
PyObject* lexicon_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"from_file", {"path", "presorted", "counts"}, 1, 1};
    return guarded([&]() -> PyObject* {
        Arguments<3> argv{};
        if (!parse_args(sig, args, nargsf, kwnames, argv)) return nullptr;
        PathView path;
        bool presorted = false, counts = false;
        if (!to_path(argv[0], "path", path) || !to_bool(argv[1], "presorted", presorted) ||
            !to_bool(argv[2], "counts", counts)) {
            return nullptr;
        }
        return build_lexicon<Lexicon>(cls, presorted, [&](auto& take, Cancel& cancel) -> std::optional<Status> {
            if (counts) return for_each_counted_word(path.bytes, take, &cancel);
            return for_each_word(path.bytes, [&](std::string_view word) { return take(word, 1); }, &cancel);
        });
    });
}

template <class Lexicon>
PyObject* lexicon_update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"update", {"source"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, const auto& argv) -> PyObject* {
            if (!LexiconTraits<Lexicon>::update(lexicon, argv[0])) return nullptr;
            Py_RETURN_NONE;
        });
}

// The method-table rows of building in bulk, for a class's method table.
#define SORVAN_BULK_METHODS(Lexicon)                                                                              \
    {"from_words", as_method(&lexicon_from_words<Lexicon>), fastcall | METH_CLASS, LexiconDocs<Lexicon>::from_words}, \
    {"from_file", as_method(&lexicon_from_file<Lexicon>), fastcall | METH_CLASS, LexiconDocs<Lexicon>::from_file},    \
    {"update", as_method(&lexicon_update<Lexicon>), fastcall, LexiconDocs<Lexicon>::update}

}  // namespace sorvan::python
