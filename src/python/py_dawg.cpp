// The Python class DAWG.

#include "dawg/dawg.hpp"
#include "python/compact_methods.hpp"
#include "python/lexicon_type.hpp"
#include "python/types.hpp"

namespace sorvan::python {

template <>
struct LexiconTraits<Dawg> {
    static constexpr const char* name = "DAWG";
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

PyDoc_STRVAR(dawg__doc__,
             "DAWG()\n--\n\n"
             "A Directed Acyclic Word Graph (DAWG) lexicon.\n\n"
             "Compresses both shared prefixes and shared suffixes.\n"
             "Words must be inserted in alphabetical order, or use ``add_all`` which\n"
             "sorts automatically. Call ``reduce()`` after manual insertions.\n\n"
             "Example::\n\n"
             "    from sorvan import DAWG\n"
             "    d = DAWG()\n"
             "    d.add_all([\"ash\", \"ashes\", \"ashley\"])\n"
             "    assert \"ash\" in d\n"
             "    print(d.search_with_prefix(\"ash\"))");

PyDoc_STRVAR(dawg_add__doc__,
             "add($self, word, count=1)\n--\n\n"
             "Add a word (must be >= the previous word alphabetically).\n\n"
             "Call ``reduce()`` when done with manual insertions.");
PyDoc_STRVAR(dawg_add_all__doc__,
             "add_all($self, source)\n--\n\n"
             "Add words from any Python iterable. Sorts automatically.");
PyDoc_STRVAR(dawg_add_from_file__doc__,
             "add_from_file($self, path)\n--\n\n"
             "Add words from a file (one word per line). Sorts automatically.");
PyDoc_STRVAR(dawg_reduce__doc__,
             "reduce($self)\n--\n\nFinalize minimization. Call after all manual ``add()`` calls.");
PyDoc_STRVAR(dawg_contains_prefix__doc__,
             "contains_prefix($self, prefix)\n--\n\n"
             "Returns True if prefix is a prefix of any word in the DAWG.");

PyMethodDef dawg_methods[] = {
    {"add", as_method(&lexicon_add<Dawg>), fastcall, dawg_add__doc__},
    {"add_all", as_method(&lexicon_add_all<Dawg>), fastcall, dawg_add_all__doc__},
    {"add_from_file", as_method(&lexicon_add_from_file<Dawg>), fastcall, dawg_add_from_file__doc__},
    {"reduce", as_method(&dawg_reduce), METH_NOARGS, dawg_reduce__doc__},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Dawg>), fastcall,
     dawg_contains_prefix__doc__},
    SORVAN_LEXICON_QUERY_METHODS(Dawg),
    SORVAN_COMPACT_METHODS(Dawg),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dawg_slots[] = {
    SORVAN_LEXICON_SLOTS(Dawg),
    {Py_tp_doc, const_cast<char*>(dawg__doc__)},
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
