// The Python class DAWG.

#include "dawg/dawg.hpp"
#include "python/bulk_methods.hpp"
#include "python/compact_methods.hpp"
#include "python/lexicon_type.hpp"
#include "python/types.hpp"
#include "python/views.hpp"

namespace sorvan::python {

template <>
struct LexiconTraits<Dawg> {
    static constexpr const char* name = "DAWG";
    // The classes of keys(), items() and values(), then of their iterator.
    static constexpr const char* view_names[] = {"sorvan.DAWGKeys", "sorvan.DAWGItems", "sorvan.DAWGValues",
                                                  "sorvan.DAWGIterator"};
    // len() of a DAWG is the number of registry entries: the distinct
    // signatures of the nodes recorded so far.
    static std::size_t length(const Dawg& dawg) noexcept { return dawg.registry_size(); }
    // The words must be sorted before the first goes in, so every item is
    // converted first: a failing item leaves the DAWG as it was, and so
    // does a signal handler that raises while they go in.
    static bool add_all(Dawg& dawg, PyObject* source) {
        SortableWords words;
        const bool converted = for_each_item(source, [&words](std::string_view word) {
            words.push_back(word);
            return true;
        });
        if (!converted) return false;
        // The order is checked before the form switches back (which polls).
        Cancel cancel(&signal_raised, nullptr);
        return succeeded_unless_stopped(dawg.sort_and_add(std::move(words), &cancel), cancel);
    }
    // The same for update(), each word tagged with its count.
    static bool update(Dawg& dawg, PyObject* source) {
        SortableWords words{SortableWords::WithTags{}};
        const bool converted = for_each_counted_item(source, [&words](std::string_view word, std::uint64_t count) {
            words.push_back(word, count);
            return true;
        });
        if (!converted || !restore_mutable(dawg)) return false;
        Cancel cancel(&signal_raised, nullptr);
        return succeeded_unless_stopped(dawg.sort_and_add(std::move(words), &cancel), cancel);
    }
};

using PyDAWG = LexiconObject<Dawg>;

namespace {

PyObject* dawg_reduce(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto* object = object_of<Dawg>(self);
        auto borrow = ExclusiveBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        if (object->lexicon.reduce_restores(0) && !restore_mutable(object->lexicon)) return nullptr;
        object->lexicon._reduce(0);
        Py_RETURN_NONE;
    });
}

// remove, discard, pop and del: a DAWG's nodes are shared by the words
// that end alike, and its len() counts their signatures as they were
// recorded, which taking a word out would not give back.
PyObject* dawg_refuse_removal() noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "a DAWG cannot remove words (it only grows, in ascending order): use a Trie to remove words");
    return nullptr;
}

PyObject* dawg_remove(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return dawg_refuse_removal(); }

int dawg_ass_subscript(PyObject*, PyObject*, PyObject* value) noexcept {
    if (value) return refuse_assignment<Dawg>();
    dawg_refuse_removal();
    return -1;
}

PyMethodDef dawg_methods[] = {
    {"add", as_method(&lexicon_add<Dawg>), fastcall, LexiconDocs<Dawg>::add},
    {"add_all", as_method(&lexicon_add_all<Dawg>), fastcall, LexiconDocs<Dawg>::add_all},
    {"add_from_file", as_method(&lexicon_add_from_file<Dawg>), fastcall, LexiconDocs<Dawg>::add_from_file},
    {"reduce", as_method(&dawg_reduce), METH_NOARGS, LexiconDocs<Dawg>::reduce},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Dawg>), fastcall,
     LexiconDocs<Dawg>::contains_prefix},
    SORVAN_LEXICON_QUERY_METHODS(Dawg),
    {"remove", as_method(&dawg_remove), fastcall, LexiconDocs<Dawg>::remove},
    {"discard", as_method(&dawg_remove), fastcall, LexiconDocs<Dawg>::discard},
    {"pop", as_method(&dawg_remove), fastcall, LexiconDocs<Dawg>::pop},
    SORVAN_DICTIONARY_METHODS(Dawg),
    SORVAN_COMPACT_METHODS(Dawg),
    SORVAN_BULK_METHODS(Dawg),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dawg_slots[] = {
    SORVAN_LEXICON_SLOTS(Dawg),
    {Py_mp_ass_subscript, as_slot(&dawg_ass_subscript)},
    SORVAN_DICTIONARY_SLOTS(Dawg),
    {Py_tp_doc, const_cast<char*>(LexiconDocs<Dawg>::type)},
    {Py_tp_methods, dawg_methods},
    {0, nullptr},
};

PyType_Spec dawg_type_spec = {
    /* .name = */ "builtins.DAWG",
    /* .basicsize = */ static_cast<int>(sizeof(PyDAWG)),
    /* .itemsize = */ 0,
    /* .flags = */ Py_TPFLAGS_DEFAULT,
    /* .slots = */ dawg_slots,
};

}  // namespace

PyType_Spec& dawg_spec() noexcept { return dawg_type_spec; }

}  // namespace sorvan::python
