// The Python class Trie.

#include "python/compact_methods.hpp"
#include "python/lexicon_type.hpp"
#include "python/types.hpp"
#include "trie/trie.hpp"

namespace sorvan::python {

template <>
struct LexiconTraits<Trie> {
    static constexpr const char* name = "Trie";
    // len() of a Trie is its number of nodes, root included.
    static std::size_t length(const Trie& trie) noexcept { return trie.node_count(); }
    // Each word goes in as it comes, so the words before a failing item
    // stay.
    static bool add_all(Trie& trie, PyObject* source) {
        return for_each_item(source, [&trie](std::string_view word) {
            return (word.empty() || restore_mutable(trie)) && succeeded(trie.add(word, 1));
        });
    }
};

using PyTrie = LexiconObject<Trie>;

namespace {

PyDoc_STRVAR(trie__doc__,
             "Trie()\n--\n\n"
             "A prefix tree (Trie) lexicon.\n\n"
             "Supports any insertion order. Search time is O(W) where W is word length.\n\n"
             "Example::\n\n"
             "    from sorvan import Trie\n"
             "    t = Trie()\n"
             "    t.add_all([\"apple\", \"apply\", \"application\"])\n"
             "    assert \"apple\" in t\n"
             "    print(t.search(\"app*\"))");

PyDoc_STRVAR(trie_add__doc__,
             "add($self, word, count=1)\n--\n\nAdd a word with an optional count (default 1).");
PyDoc_STRVAR(trie_add_all__doc__,
             "add_all($self, source)\n--\n\n"
             "Add words from any Python iterable (list, set, tuple, generator).");
PyDoc_STRVAR(trie_add_from_file__doc__,
             "add_from_file($self, path)\n--\n\nAdd words from a file (one word per line).");
PyDoc_STRVAR(trie_contains_prefix__doc__,
             "contains_prefix($self, prefix)\n--\n\n"
             "Returns True if prefix is a prefix of any word in the Trie.");

PyMethodDef trie_methods[] = {
    {"add", as_method(&lexicon_add<Trie>), fastcall, trie_add__doc__},
    {"add_all", as_method(&lexicon_add_all<Trie>), fastcall, trie_add_all__doc__},
    {"add_from_file", as_method(&lexicon_add_from_file<Trie>), fastcall, trie_add_from_file__doc__},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Trie>), fastcall,
     trie_contains_prefix__doc__},
    SORVAN_LEXICON_QUERY_METHODS(Trie),
    SORVAN_COMPACT_METHODS(Trie),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trie_slots[] = {
    SORVAN_LEXICON_SLOTS(Trie),
    {Py_tp_doc, const_cast<char*>(trie__doc__)},
    {Py_tp_methods, trie_methods},
    {0, nullptr},
};

PyType_Spec trie_type_spec = {
    /* .name = */ "builtins.Trie",
    /* .basicsize = */ static_cast<int>(sizeof(PyTrie)),
    /* .itemsize = */ 0,
    /* .flags = */ Py_TPFLAGS_DEFAULT,
    /* .slots = */ trie_slots,
};

}  // namespace

PyType_Spec& trie_spec() noexcept { return trie_type_spec; }

}  // namespace sorvan::python
