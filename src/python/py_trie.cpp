// The Python class Trie.

#include "python/bulk_methods.hpp"
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
    // The same for update(), each with its count.
    static bool update(Trie& trie, PyObject* source) {
        return for_each_counted_item(source, [&trie](std::string_view word, std::uint64_t count) {
            return (word.empty() || restore_mutable(trie)) && succeeded(trie.add(word, count));
        });
    }
};

using PyTrie = LexiconObject<Trie>;

namespace {

// ------------------------------------------------------------- removal ----

// Takes `word` (a str) out of the trie: its count, or nothing when it was
// not stored (the empty word never is), with nothing changed. False, with
// an exception set, when it is not a str or the switch back from the
// compact form was stopped.
bool take_word(Trie& trie, PyObject* word, std::optional<std::uint64_t>& count) {
    std::string_view text;
    if (!to_utf8_view(word, "word", text)) return false;
    count.reset();
    // A compact trie switches back only for a word it holds.
    if (text.empty() || (trie.image() && !trie.contains(text))) return true;
    if (!restore_mutable(trie)) return false;
    count = trie.remove(text);
    return true;
}

// The count of the word taken out, or KeyError(word) when absent, unless a
// fallback is given (pop's default; discard's None).
PyObject* removed(PyObject* word, const std::optional<std::uint64_t>& count, PyObject* fallback) noexcept {
    if (count) return new_u64(*count);
    if (fallback) return Py_NewRef(fallback);
    PyErr_SetObject(PyExc_KeyError, word);
    return nullptr;
}

// remove(word) answers None, discard(word) None whether or not it was
// stored, pop(word[, default]) the count.
enum class Removal { remove, discard, pop };

template <Removal How>
PyObject* trie_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr const char* name = How == Removal::remove ? "remove" : How == Removal::discard ? "discard" : "pop";
    static constexpr Signature sig{name, {"word", "default"}, 1, How == Removal::pop ? 2 : 1};
    return call_method<Trie, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Trie& trie, const auto& argv) -> PyObject* {
            std::optional<std::uint64_t> count;
            if (!take_word(trie, argv[0], count)) return nullptr;
            if constexpr (How == Removal::pop) return removed(argv[0], count, argv[1]);
            if (count || How == Removal::discard) Py_RETURN_NONE;
            return removed(argv[0], count, nullptr);
        });
}

// del trie[word]; trie[word] = value is refused.
int trie_ass_subscript(PyObject* self, PyObject* word, PyObject* value) noexcept {
    if (value) return refuse_assignment<Trie>();
    return guarded([&]() -> int {
        auto* object = object_of<Trie>(self);
        auto borrow = ExclusiveBorrow::acquire(object->borrow);
        if (!borrow) return -1;
        std::optional<std::uint64_t> count;
        if (!take_word(object->lexicon, word, count)) return -1;
        if (count) return 0;
        PyErr_SetObject(PyExc_KeyError, word);
        return -1;
    });
}

PyMethodDef trie_methods[] = {
    {"add", as_method(&lexicon_add<Trie>), fastcall, LexiconDocs<Trie>::add},
    {"add_all", as_method(&lexicon_add_all<Trie>), fastcall, LexiconDocs<Trie>::add_all},
    {"add_from_file", as_method(&lexicon_add_from_file<Trie>), fastcall, LexiconDocs<Trie>::add_from_file},
    {"contains_prefix", as_method(&lexicon_contains_prefix<Trie>), fastcall,
     LexiconDocs<Trie>::contains_prefix},
    SORVAN_LEXICON_QUERY_METHODS(Trie),
    {"remove", as_method(&trie_remove<Removal::remove>), fastcall, LexiconDocs<Trie>::remove},
    {"discard", as_method(&trie_remove<Removal::discard>), fastcall, LexiconDocs<Trie>::discard},
    {"pop", as_method(&trie_remove<Removal::pop>), fastcall, LexiconDocs<Trie>::pop},
    SORVAN_DICTIONARY_METHODS(Trie),
    SORVAN_COMPACT_METHODS(Trie),
    SORVAN_BULK_METHODS(Trie),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trie_slots[] = {
    SORVAN_LEXICON_SLOTS(Trie),
    {Py_mp_ass_subscript, as_slot(&trie_ass_subscript)},
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
