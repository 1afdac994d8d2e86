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
        return for_each_item(
            source, [&trie](std::string_view word) { return succeeded(trie.add(word, 1)); });
    }
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
PyDoc_STRVAR(trie_add_all__doc__,
             "add_all($self, source)\n--\n\n"
             "Add words from any Python iterable (list, set, tuple, generator).");
PyDoc_STRVAR(trie_add_from_file__doc__,
             "add_from_file($self, path)\n--\n\nAdd words from a file (one word per line).");
PyDoc_STRVAR(trie_contains_prefix__doc__,
             "contains_prefix($self, prefix)\n--\n\n"
             "Returns True if prefix is a prefix of any word in the Trie.");

const auto trie_compact_rows = compact_method_rows<Trie>();

LexiconClass<Trie> trie_class(
    {
        /* .type_name = */ "builtins.Trie",
        /* .doc = */ trie__doc__,
        /* .add = */ trie_add__doc__,
        /* .add_all = */ trie_add_all__doc__,
        /* .add_from_file = */ trie_add_from_file__doc__,
        /* .contains_prefix = */ trie_contains_prefix__doc__,
    },
    {},
    trie_compact_rows);

}  // namespace

PyType_Spec& trie_spec() noexcept { return trie_class.spec(); }

}  // namespace sorvan::python
