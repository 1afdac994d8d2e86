// The Python class Trie.

#include "python/compact_methods.hpp"
#include "python/lexicon_type.hpp"
#include "python/types.hpp"
#include "python/views.hpp"
#include "trie/trie.hpp"

namespace sorvan::python {

template <>
struct LexiconTraits<Trie> {
    static constexpr const char* name = "Trie";
    // The classes of keys(), items() and values(), then of their iterator.
    static constexpr const char* view_names[] = {"sorvan.TrieKeys", "sorvan.TrieItems", "sorvan.TrieValues",
                                                  "sorvan.TrieIterator"};
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

PyMethodDef trie_methods[] = {
    {"add", as_method(&lexicon_add<Trie>), fastcall, LexiconDocs<Trie>::add},
    {"add_all", as_method(&lexicon_add_all<Trie>), fastcall, LexiconDocs<Trie>::add_all},
    {"add_from_file", as_method(&lexicon_add_from_file<Trie>), fastcall, LexiconDocs<Trie>::add_from_file},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Trie>), fastcall,
     LexiconDocs<Trie>::contains_prefix},
    SORVAN_LEXICON_QUERY_METHODS(Trie),
    SORVAN_DICTIONARY_METHODS(Trie),
    SORVAN_COMPACT_METHODS(Trie),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trie_slots[] = {
    SORVAN_LEXICON_SLOTS(Trie),
    SORVAN_DICTIONARY_SLOTS(Trie),
    {Py_tp_doc, const_cast<char*>(LexiconDocs<Trie>::type)},
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
