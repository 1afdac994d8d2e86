// The Python class Trie.

#include "python/lexicon_type.hpp"
#include "python/types.hpp"
#include "trie/trie.hpp"

namespace sorvan::python {

using PyTrie = LexiconObject<Trie>;

template <>
struct LexiconTraits<Trie> {
    static constexpr const char* name = "Trie";
    // len() of a Trie is its number of nodes, root included.
    static std::size_t length(const Trie& trie) noexcept { return trie.node_count(); }
};

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
PyDoc_STRVAR(trie_contains_prefix__doc__,
             "contains_prefix($self, prefix)\n--\n\n"
             "Returns True if prefix is a prefix of any word in the Trie.");
PyDoc_STRVAR(trie_get_word_count__doc__,
             "get_word_count($self)\n--\n\nReturns the number of words stored.");

PyMethodDef trie_methods[] = {
    {"add", as_method(&lexicon_add<Trie>), fastcall, trie_add__doc__},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Trie>), fastcall,
     trie_contains_prefix__doc__},
    {"get_word_count", as_method(&lexicon_get_word_count<Trie>), METH_NOARGS,
     trie_get_word_count__doc__},
    {nullptr, nullptr, 0, nullptr},
};

auto trie_slots = lexicon_slots<Trie>(trie__doc__, trie_methods);

PyType_Spec trie_type_spec = {
    /* .name = */ "builtins.Trie",
    /* .basicsize = */ static_cast<int>(sizeof(PyTrie)),
    /* .itemsize = */ 0,
    /* .flags = */ Py_TPFLAGS_DEFAULT,
    /* .slots = */ trie_slots.data(),
};

}  // namespace

PyType_Spec& trie_spec() noexcept { return trie_type_spec; }

}  // namespace sorvan::python
