// The Python class DAWG.

#include "dawg/dawg.hpp"
#include "python/lexicon_type.hpp"
#include "python/types.hpp"

namespace sorvan::python {

using PyDAWG = LexiconObject<Dawg>;

template <>
struct LexiconTraits<Dawg> {
    static constexpr const char* name = "DAWG";
    // len() of a DAWG is the number of registry entries: the distinct
    // signatures of the nodes recorded so far.
    static std::size_t length(const Dawg& dawg) noexcept { return dawg.registry_size(); }
};

namespace {

PyObject* dawg_reduce(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto* object = object_of<Dawg>(self);
        auto borrow = ExclusiveBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
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
PyDoc_STRVAR(dawg_reduce__doc__,
             "reduce($self)\n--\n\nFinalize minimization. Call after all manual ``add()`` calls.");
PyDoc_STRVAR(dawg_contains_prefix__doc__,
             "contains_prefix($self, prefix)\n--\n\n"
             "Returns True if prefix is a prefix of any word in the DAWG.");
PyDoc_STRVAR(dawg_get_word_count__doc__,
             "get_word_count($self)\n--\n\nReturns the number of words stored.");

PyMethodDef dawg_methods[] = {
    {"add", as_method(&lexicon_add<Dawg>), fastcall, dawg_add__doc__},
    {"reduce", as_method(&dawg_reduce), METH_NOARGS, dawg_reduce__doc__},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Dawg>), fastcall,
     dawg_contains_prefix__doc__},
    {"get_word_count", as_method(&lexicon_get_word_count<Dawg>), METH_NOARGS,
     dawg_get_word_count__doc__},
    {nullptr, nullptr, 0, nullptr},
};

auto dawg_slots = lexicon_slots<Dawg>(dawg__doc__, dawg_methods);

PyType_Spec dawg_type_spec = {
    /* .name = */ "builtins.DAWG",
    /* .basicsize = */ static_cast<int>(sizeof(PyDAWG)),
    /* .itemsize = */ 0,
    /* .flags = */ Py_TPFLAGS_DEFAULT,
    /* .slots = */ dawg_slots.data(),
};

}  // namespace

PyType_Spec& dawg_spec() noexcept { return dawg_type_spec; }

}  // namespace sorvan::python
