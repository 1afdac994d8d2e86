#pragma once
// What both Python classes are made of: the instance layout, and the slots
// and methods whose behaviour is the same for a Trie and a DAWG, written
// once over the lexicon type. Each class file (py_trie.cpp, py_dawg.cpp)
// supplies LexiconTraits, its own methods, and its method table, slots and
// type spec; the docstrings are in docs.hpp.

#include <algorithm>
#include <utility>
#include <vector>

#include "compact/image.hpp"
#include "python/binding.hpp"
#include "python/docs.hpp"
#include "query/prefixes.hpp"
#include "query/suggest.hpp"

namespace sorvan::python {

template <class Lexicon>
struct LexiconObject {
    PyObject_HEAD
    Lexicon lexicon;
    BorrowFlag borrow;
};

// Specialised by each class file: `name` (the class name),
// `length(lexicon)` (what len() reports) and `add_all(lexicon, source)`
// (adds the str items of an iterable; false with an exception set).
template <class Lexicon>
struct LexiconTraits;

template <class Lexicon>
LexiconObject<Lexicon>* object_of(PyObject* self) noexcept {
    return reinterpret_cast<LexiconObject<Lexicon>*>(self);
}

// What a call that read `lexicon` returns: `result`, unless the
// lexicon's image, opened without a full check, met damage meanwhile: then
// the answer is dropped and the check's ValueError set in its place.
template <class Lexicon, class R>
R undamaged(const Lexicon& lexicon, R result) noexcept {
    const CompactImage* image = lexicon.image();
    if (image == nullptr || !image->damaged()) [[likely]] return result;
    if constexpr (std::is_pointer_v<R>) Py_XDECREF(result);
    raise_damage(*image);
    return failure_value<R>();
}

// The common steps of a method call: parse the arguments, take the borrow,
// then body(lexicon, argv) converts, calls the lexicon and builds the
// result. The borrow is released on every way out. (The receiver's type is
// checked by the method descriptor before the call reaches here.)
template <class Lexicon, class Borrow, std::size_t N, class Body>
PyObject* call_method(PyObject* self, const Signature<N>& sig, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Arguments<N> argv{};
        if (!parse_args(sig, args, nargsf, kwnames, argv)) return nullptr;
        auto* object = object_of<Lexicon>(self);
        auto borrow = Borrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        return undamaged(object->lexicon, body(object->lexicon, argv));
    });
}

// A call without arguments under a shared borrow: body(const lexicon&).
template <class Lexicon, class Body>
auto read_lexicon(PyObject* self, Body&& body) noexcept -> decltype(body(std::declval<const Lexicon&>())) {
    using R = decltype(body(std::declval<const Lexicon&>()));
    return guarded([&]() -> R {
        auto* object = object_of<Lexicon>(self);
        auto borrow = SharedBorrow::acquire(object->borrow);
        if (!borrow) return failure_value<R>();
        return undamaged(object->lexicon, body(std::as_const(object->lexicon)));
    });
}

// ---------------------------------------------------------------- slots ----

// A new instance of `type` that takes over `lexicon` (built first, so that
// a failed allocation leaks nothing), or nullptr with an exception set.
template <class Lexicon>
PyObject* adopt_lexicon(PyTypeObject* type, Lexicon&& lexicon) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* object = object_of<Lexicon>(self);
    new (&object->lexicon) Lexicon(std::move(lexicon));
    new (&object->borrow) BorrowFlag(0);
    return self;
}

template <class Lexicon>
PyObject* lexicon_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments", LexiconTraits<Lexicon>::name);
            return nullptr;
        }
        return adopt_lexicon(type, Lexicon());
    });
}

template <class Lexicon>
void lexicon_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = object_of<Lexicon>(self);
    object->lexicon.~Lexicon();
    object->borrow.~BorrowFlag();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

template <class Lexicon>
int lexicon_contains(PyObject* self, PyObject* operand) noexcept {
    auto* object = object_of<Lexicon>(self);
    // From the check to the end of the walk no Python code runs (the
    // conversion calls none). Without the GIL the guard is a shared borrow,
    // held to the end.
    const auto borrow = GilHeldBorrow::acquire(object->borrow);
    if (!borrow) return -1;
    std::string_view word;
    if (!to_utf8_view(operand, "word", word)) return -1;
    return undamaged(object->lexicon, object->lexicon.contains(word) ? 1 : 0);
}

template <class Lexicon>
Py_ssize_t lexicon_len(PyObject* self) noexcept {
    return read_lexicon<Lexicon>(self, [](const Lexicon& lexicon) {
        return static_cast<Py_ssize_t>(LexiconTraits<Lexicon>::length(lexicon));
    });
}

template <class Lexicon>
PyObject* lexicon_repr(PyObject* self) noexcept {
    return read_lexicon<Lexicon>(self, [](const Lexicon& lexicon) {
        return PyUnicode_FromFormat("%s(words=%llu, nodes=%zu)", LexiconTraits<Lexicon>::name,
                                    static_cast<unsigned long long>(lexicon.word_count()),
                                    static_cast<std::size_t>(LexiconTraits<Lexicon>::length(lexicon)));
    });
}

// -------------------------------------------------------------- methods ----

// A change to a compact lexicon first brings back its mutable form, which
// for tens of millions of words takes seconds: the methods that change it
// do that here first, where a signal handler that raises (Ctrl-C) stops it
// and the lexicon stays compact. False, with that exception set, when
// stopped, or with ValueError when the image was mapped and its check
// finds damage.
template <class Lexicon>
bool restore_mutable(Lexicon& lexicon) {
    if (!lexicon.image()) return true;
    Cancel cancel(&signal_raised, nullptr);
    return succeeded_unless_stopped(lexicon.make_mutable(&cancel), cancel);
}

template <class Lexicon>
PyObject* lexicon_add(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) noexcept {
    static constexpr Signature sig{"add", {"word", "count"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view word;
            std::uint64_t count = 1;
            if (!to_utf8_view(argv[0], "word", word) || !to_u64(argv[1], "count", count)) {
                return nullptr;
            }
            // The core refuses a word before it switches forms, so that a
            // refused call changes nothing; the switch polls for Ctrl-C.
            Cancel cancel(&signal_raised, nullptr);
            return none_unless_stopped(lexicon.add(word, count, &cancel), cancel);
        });
}

// add_all(source): how the words go in differs between the classes
// (LexiconTraits::add_all); the borrow is held for the whole iteration.
template <class Lexicon>
PyObject* lexicon_add_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    static constexpr Signature sig{"add_all", {"source"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, const auto& argv) -> PyObject* {
            if (!LexiconTraits<Lexicon>::add_all(lexicon, argv[0])) return nullptr;
            Py_RETURN_NONE;
        });
}

template <class Lexicon>
PyObject* lexicon_add_from_file(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
    static constexpr Signature sig{"add_from_file", {"path"}, 1};
    return call_method<Lexicon, ExclusiveBorrow>(
        self, sig, args, nargsf, kwnames, [](Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view path;
            if (!to_utf8_view(argv[0], "path", path)) return nullptr;
            // A pipe or a terminal may wait forever; the file is read before
            // the form switches back, so a missing one changes nothing.
            Cancel cancel(&signal_raised, nullptr);
            return none_unless_stopped(lexicon.add_from_file(path, &cancel), cancel);
        });
}

template <class Lexicon>
PyObject* lexicon_contains_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept {
    static constexpr Signature sig{"contains_prefix", {"prefix"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view prefix;
            if (!to_utf8_view(argv[0], "prefix", prefix)) return nullptr;
            return new_bool(lexicon.contains_prefix(prefix));
        });
}

template <class Lexicon>
PyObject* lexicon_get_word_count(PyObject* self, PyObject*) noexcept {
    return read_lexicon<Lexicon>(
        self, [](const Lexicon& lexicon) { return new_u64(lexicon.word_count()); });
}

// The end of the three searches: converts `with_count` (the last argument),
// runs search(with_count, cancel), and builds the list of words, or of
// (word, count) pairs. A search stops when a signal handler raises (Ctrl-C
// gives KeyboardInterrupt), and that exception is raised instead of a
// partial list.
template <class Search>
PyObject* search_result(PyObject* with_count, Search&& search) {
    bool pairs = false;
    if (!to_bool(with_count, "with_count", pairs)) return nullptr;
    Cancel cancel(&signal_raised, nullptr);
    const WordList found = search(pairs, &cancel);
    if (cancel.cancelled()) return nullptr;
    return new_word_list(found);
}

template <class Lexicon>
PyObject* lexicon_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
    static constexpr Signature sig{"search", {"pattern", "with_count"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view pattern;
            if (!to_utf8_view(argv[0], "pattern", pattern)) return nullptr;
            return search_result(argv[1], [&](bool pairs, Cancel* cancel) {
                return lexicon.search(pattern, pairs, cancel);
            });
        });
}

template <class Lexicon>
PyObject* lexicon_search_with_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) noexcept {
    static constexpr Signature sig{"search_with_prefix", {"prefix", "with_count"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view prefix;
            if (!to_utf8_view(argv[0], "prefix", prefix)) return nullptr;
            return search_result(argv[1], [&](bool pairs, Cancel* cancel) {
                return lexicon.search_with_prefix(prefix, pairs, cancel);
            });
        });
}

template <class Lexicon>
PyObject* lexicon_search_within_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) noexcept {
    static constexpr Signature sig{"search_within_distance", {"word", "dist", "with_count"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view word;
            std::uint64_t dist = 0;
            if (!to_utf8_view(argv[0], "word", word) || !to_u64(argv[1], "dist", dist)) {
                return nullptr;
            }
            return search_result(argv[2], [&](bool pairs, Cancel* cancel) {
                return lexicon.search_within_distance(word, dist, pairs, cancel);
            });
        });
}

// The batch methods: the whole sequence is converted before any query runs
// (to views into the items, which stay referenced), the queries run on the
// worker pool while this thread keeps the interpreter lock, waits, and
// polls for signals, and the result list is built afterwards. A signal
// handler that raises stops the workers, and its exception is raised.
//
// run(lexicon, views, argv, cancel) runs the batch; the signature's first
// parameter is the sequence.
// Items: the views taken (StrViews, or TextViews for find_all).
template <class Lexicon, class Items = StrViews, std::size_t N, class Run>
PyObject* batch_method(PyObject* self, const Signature<N>& sig, PyObject* const* args,
                       Py_ssize_t nargsf, PyObject* kwnames, Run&& run) noexcept {
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [&](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            Items items;
            if (!to_str_views(argv[0], sig.params[0], items)) return nullptr;
            Cancel cancel(&signal_raised, nullptr);
            return run(lexicon, items.views, argv, cancel);
        });
}

// The answers of a batch of searches, or nullptr when it was cancelled.
inline PyObject* batch_result(const std::vector<WordList>& found, const Cancel& cancel) noexcept {
    if (cancel.cancelled()) return nullptr;
    return new_word_lists(found);
}

template <class Lexicon>
PyObject* lexicon_batch_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept {
    static constexpr Signature sig{"batch_contains", {"words"}, 1};
    return batch_method<Lexicon>(
        self, sig, args, nargsf, kwnames,
        [](const Lexicon& lexicon, const auto& words, const auto&, Cancel& cancel) -> PyObject* {
            const auto found = lexicon.batch_contains(words, &cancel);
            if (cancel.cancelled()) return nullptr;
            return new_bool_list(found);
        });
}

template <class Lexicon>
PyObject* lexicon_batch_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) noexcept {
    static constexpr Signature sig{"batch_search", {"patterns"}, 1};
    return batch_method<Lexicon>(
        self, sig, args, nargsf, kwnames,
        [](const Lexicon& lexicon, const auto& patterns, const auto&, Cancel& cancel) {
            return batch_result(lexicon.batch_search(patterns, &cancel), cancel);
        });
}

template <class Lexicon>
PyObject* lexicon_batch_search_with_prefix(PyObject* self, PyObject* const* args,
                                           Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"batch_search_with_prefix", {"prefixes"}, 1};
    return batch_method<Lexicon>(
        self, sig, args, nargsf, kwnames,
        [](const Lexicon& lexicon, const auto& prefixes, const auto&, Cancel& cancel) {
            return batch_result(lexicon.batch_search_with_prefix(prefixes, &cancel), cancel);
        });
}

template <class Lexicon>
PyObject* lexicon_batch_search_within_distance(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static constexpr Signature sig{"batch_search_within_distance", {"words", "dist"}, 1};
    return batch_method<Lexicon>(
        self, sig, args, nargsf, kwnames,
        [](const Lexicon& lexicon, const auto& words, const auto& argv, Cancel& cancel) -> PyObject* {
            std::uint64_t dist = 0;
            if (!to_u64(argv[1], "dist", dist)) return nullptr;
            return batch_result(lexicon.batch_search_within_distance(words, dist, &cancel), cancel);
        });
}

// ----------------------------------------------------------- suggestions ----

// The options suggest and complete share: max_distance, limit (None: no
// limit), and the keyword-only transpositions and with_count.
struct RankedArgs {
    std::uint64_t max_distance = 2;
    std::size_t limit = 10;
    bool transpositions = false;
    bool with_counts = false;
};

inline bool to_limit(PyObject* arg, std::size_t& out) noexcept {
    if (arg == Py_None) {
        out = all_suggestions;
        return true;
    }
    std::uint64_t limit = out;
    if (!to_u64(arg, "limit", limit)) return false;
    out = static_cast<std::size_t>(std::min<std::uint64_t>(limit, all_suggestions));
    return true;
}

// A new list of n items, make(i) making each (a new reference, or nullptr
// with an exception set).
template <class Make>
PyObject* new_list(std::size_t n, Make&& make) noexcept {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// suggest(word, max_distance=2, limit=10, *, transpositions=False,
// with_count=False): (word, distance) tuples, or (word, distance, count).
struct SuggestQuery {
    static constexpr std::uint64_t max_distance = 2;
    static constexpr Signature<5> single{
        "suggest", {"word", "max_distance", "limit", "transpositions", "with_count"}, 1, 3};
    static constexpr Signature<5> batch{
        "batch_suggest", {"words", "max_distance", "limit", "transpositions", "with_count"}, 1, 3};

    static constexpr bool limit_first = false;
    static constexpr auto ask = [](const auto& lexicon, auto&&... args) { return lexicon.suggest(args...); };
    static constexpr auto ask_batch = [](const auto& lexicon, auto&&... args) {
        return lexicon.batch_suggest(args...);
    };
    static PyObject* item(const Suggestion& s, bool with_counts) noexcept {
        OwnedRef word = OwnedRef::steal(new_str(s.word));
        OwnedRef distance = OwnedRef::steal(word ? new_u64(s.distance) : nullptr);
        if (!distance) return nullptr;
        if (!with_counts) return PyTuple_Pack(2, word.get(), distance.get());
        OwnedRef count = OwnedRef::steal(new_u64(s.count));
        return count ? PyTuple_Pack(3, word.get(), distance.get(), count.get()) : nullptr;
    }
};

// complete(prefix, limit=10, *, max_distance=0, transpositions=False,
// with_count=False): words, or (word, count) pairs, whatever the distance.
struct CompleteQuery {
    static constexpr Signature<5> single{
        "complete", {"prefix", "limit", "max_distance", "transpositions", "with_count"}, 1, 2};
    static constexpr Signature<5> batch{
        "batch_complete", {"prefixes", "limit", "max_distance", "transpositions", "with_count"}, 1, 2};

    static constexpr bool limit_first = true;
    static constexpr std::uint64_t max_distance = 0;
    static constexpr auto ask = [](const auto& lexicon, auto&&... args) { return lexicon.complete(args...); };
    static constexpr auto ask_batch = [](const auto& lexicon, auto&&... args) {
        return lexicon.batch_complete(args...);
    };
    static PyObject* item(const Suggestion& s, bool with_counts) noexcept {
        OwnedRef word = OwnedRef::steal(new_str(s.word));
        if (!word || !with_counts) return word.release();
        OwnedRef count = OwnedRef::steal(new_u64(s.count));
        return count ? PyTuple_Pack(2, word.get(), count.get()) : nullptr;
    }
};

// The options of a Query from argv (after its first argument): max_distance
// and limit in the order it takes them, then transpositions and with_count.
template <class Query>
bool to_ranked_args(PyObject* const* argv, RankedArgs& out) noexcept {
    out.max_distance = Query::max_distance;
    return to_u64(argv[Query::limit_first ? 1 : 0], "max_distance", out.max_distance) &&
           to_limit(argv[Query::limit_first ? 0 : 1], out.limit) &&
           to_bool(argv[2], "transpositions", out.transpositions) && to_bool(argv[3], "with_count", out.with_counts);
}

// A new list of a query's ranked words, each made by Query::item.
template <class Query>
PyObject* new_ranked_list(const Suggestions& found) noexcept {
    return new_list(found.items.size(),
                    [&](std::size_t i) { return Query::item(found.items[i], found.with_counts); });
}

// suggest and complete, and their batch forms: a word (or a sequence of
// them) and options, answered by a ranking; interrupted like the searches
// and the batches.
template <class Lexicon, class Query, bool Batch>
PyObject* lexicon_ranked(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    if constexpr (Batch) {
        return batch_method<Lexicon>(
            self, Query::batch, args, nargsf, kwnames,
            [](const Lexicon& lexicon, const auto& words, const auto& argv, Cancel& cancel) -> PyObject* {
                RankedArgs opt;
                if (!to_ranked_args<Query>(argv.data() + 1, opt)) return nullptr;
                const std::vector<Suggestions> found = Query::ask_batch(
                    lexicon, words, opt.max_distance, opt.limit, opt.transpositions, opt.with_counts, &cancel);
                if (cancel.cancelled()) return nullptr;
                return new_list(found.size(), [&](std::size_t i) { return new_ranked_list<Query>(found[i]); });
            });
    } else {
        return call_method<Lexicon, SharedBorrow>(
            self, Query::single, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
                RankedArgs opt;
                std::string_view word;
                if (!to_utf8_view(argv[0], Query::single.params[0], word) ||
                    !to_ranked_args<Query>(argv.data() + 1, opt)) {
                    return nullptr;
                }
                Cancel cancel(&signal_raised, nullptr);
                const Suggestions found = Query::ask(lexicon, word, opt.max_distance, opt.limit, opt.transpositions,
                                                     opt.with_counts, &cancel);
                if (cancel.cancelled()) return nullptr;
                return new_ranked_list<Query>(found);
            });
    }
}

// ------------------------------------------------------------ prefixes ----

// The result for a match: `word` (a new reference, or nullptr after a
// failure), or (word, count).
inline PyObject* new_match(OwnedRef word, const PrefixMatch& match, bool with_count) noexcept {
    if (!word || !with_count) return word.release();
    return new_pair(std::move(word), OwnedRef::steal(new_u64(match.count)));
}

// The word of `match` in `text`, a str: its first match.letters
// characters, copied with no decoding (one-letter words are the cached
// strs).
inline OwnedRef matched_word(PyObject* text, const PrefixMatch& match) noexcept {
    return OwnedRef::steal(PyUnicode_Substring(text, 0, static_cast<Py_ssize_t>(match.letters)));
}

// new_match, or a new reference to `fallback` (None when not passed) when
// nothing matched; word() makes the word.
template <class Word>
PyObject* new_match_or(const PrefixMatch& match, bool with_count, PyObject* fallback, Word&& word) noexcept {
    if (match.letters == 0) return Py_NewRef(fallback ? fallback : Py_None);
    return new_match(word(), match, with_count);
}

// prefixes(text, with_count=False): every stored word that begins `text`,
// shortest first. The walk runs no Python code, so a check that no writer
// is at work guards it (GilHeldBorrow, as for `in`); the list is built
// after it from the text alone.
template <class Lexicon>
PyObject* lexicon_prefixes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
    static constexpr Signature sig{"prefixes", {"text", "with_count"}, 1};
    return call_method<Lexicon, GilHeldBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            std::string_view text;
            bool pairs = false;
            if (!to_utf8_view(argv[0], "text", text) || !to_bool(argv[1], "with_count", pairs)) return nullptr;
            // Most texts begin with a few words: those stay on the stack.
            std::array<PrefixMatch, 16> first;
            std::vector<PrefixMatch> more;
            std::size_t n = 0;
            lexicon.prefixes(text, [&](const PrefixMatch& match) {
                if (n < first.size()) {
                    first[n] = match;
                } else {
                    more.push_back(match);
                }
                ++n;
            });
            return new_list(n, [&](std::size_t i) {
                const PrefixMatch& match = i < first.size() ? first[i] : more[i - first.size()];
                return new_match(matched_word(argv[0], match), match, pairs);
            });
        });
}

// longest_prefix(text, default=None, *, with_count=False) and its batch
// form over a sequence of texts.
template <class Lexicon, bool Batch>
PyObject* lexicon_longest_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept {
    static constexpr Signature sig{Batch ? "batch_longest_prefix" : "longest_prefix",
                                   {Batch ? "texts" : "text", "default", "with_count"}, 1, 2};
    if constexpr (Batch) {
        return batch_method<Lexicon>(
            self, sig, args, nargsf, kwnames,
            [](const Lexicon& lexicon, const auto& texts, const auto& argv, Cancel& cancel) -> PyObject* {
                bool pairs = false;
                if (!to_bool(argv[2], "with_count", pairs)) return nullptr;
                const std::vector<PrefixMatch> found = lexicon.batch_longest_prefix(texts, &cancel);
                if (cancel.cancelled()) return nullptr;
                return new_list(found.size(), [&](std::size_t i) {
                    return new_match_or(found[i], pairs, argv[1], [&] {
                        return OwnedRef::steal(new_result_str(texts[i].substr(0, found[i].bytes)));
                    });
                });
            });
    } else {
        return call_method<Lexicon, GilHeldBorrow>(  // as prefixes
            self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
                std::string_view text;
                bool pairs = false;
                if (!to_utf8_view(argv[0], "text", text) || !to_bool(argv[2], "with_count", pairs)) {
                    return nullptr;
                }
                const PrefixMatch longest = lexicon.longest_prefix(text);
                return new_match_or(longest, pairs, argv[1], [&] { return matched_word(argv[0], longest); });
            });
    }
}

// ------------------------------------------------------------ find_all ----

// find_all's keyword-only options after the text(s): overlapping,
// whole_words, with_count.
inline bool to_find_options(PyObject* const* argv, FindOptions& out) noexcept {
    out.word_char = &is_word_char;
    return to_bool(argv[0], "overlapping", out.overlapping) &&
           to_bool(argv[1], "whole_words", out.whole_words) && to_bool(argv[2], "with_count", out.with_counts);
}

// The words of a call's matches, each short one made once: texts repeat
// their words, and finding a str here costs less than making it again. A
// slot per hash of the word's code points; a collision makes the word anew.
// The slots are fewer for a short text (none below 8 characters), which
// would not repay clearing them.
class MatchWords {
public:
    explicit MatchWords(std::size_t text_length) : slots_(std::min<std::size_t>(text_length / 8, max_slots)) {}
    MatchWords(const MatchWords&) = delete;
    MatchWords& operator=(const MatchWords&) = delete;
    ~MatchWords() {
        for (PyObject* word : slots_) Py_XDECREF(word);
    }

    // A new reference to text[start:end], an exact str (for a subclass too).
    PyObject* get(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
        const Py_ssize_t length = end - start;
        if (length > max_length || slots_.empty()) return PyUnicode_Substring(text, start, end);
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a over the code points
        for (Py_ssize_t i = start; i < end; ++i) hash = (hash ^ PyUnicode_READ(kind, data, i)) * 1099511628211ULL;
        PyObject*& slot = slots_[hash % slots_.size()];
        if (slot && PyUnicode_GET_LENGTH(slot) == length) {
            const int slot_kind = PyUnicode_KIND(slot);
            const void* slot_data = PyUnicode_DATA(slot);
            Py_ssize_t i = 0;
            while (i < length && PyUnicode_READ(slot_kind, slot_data, i) == PyUnicode_READ(kind, data, start + i)) ++i;
            if (i == length) return Py_NewRef(slot);
        }
        PyObject* word = PyUnicode_Substring(text, start, end);
        if (word) Py_XSETREF(slot, Py_NewRef(word));
        return word;
    }

private:
    static constexpr Py_ssize_t max_length = 64;
    static constexpr std::size_t max_slots = 4093;
    std::vector<PyObject*> slots_;
};

// (start, end, word) for a match in `text`, or (start, end, word, count):
// the word is the slice of the text, from `words`.
inline PyObject* new_text_match(PyObject* text, const TextMatch& match, bool with_count,
                                MatchWords& words) noexcept {
    const auto start = static_cast<Py_ssize_t>(match.start);
    const auto end = static_cast<Py_ssize_t>(match.end);
    OwnedRef word = OwnedRef::steal(words.get(text, start, end));
    OwnedRef first = OwnedRef::steal(word ? PyLong_FromSsize_t(start) : nullptr);
    OwnedRef last = OwnedRef::steal(first ? PyLong_FromSsize_t(end) : nullptr);
    if (!last) return nullptr;
    if (!with_count) return PyTuple_Pack(3, first.get(), last.get(), word.get());
    OwnedRef count = OwnedRef::steal(new_u64(match.count));
    return count ? PyTuple_Pack(4, first.get(), last.get(), word.get(), count.get()) : nullptr;
}

// find_all(text, *, overlapping=True, whole_words=False, with_count=False).
// The matches go straight into the list as the walk finds them: the list is
// the only thing of their number the call builds (a text with quadratically
// many overlapping matches fills memory with it, and a failed allocation
// raises MemoryError). Ctrl-C stops the walk. Making the tuples may run a
// collection, and its finalizers any Python code, so a shared borrow guards
// the walk.
template <class Lexicon>
PyObject* lexicon_find_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
    static constexpr Signature sig{"find_all", {"text", "overlapping", "whole_words", "with_count"}, 1, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            TextUnits text;
            FindOptions options;
            if (!to_text_units(argv[0], "text", text) || !to_find_options(argv.data() + 1, options)) {
                return nullptr;
            }
            OwnedRef list = OwnedRef::steal(PyList_New(0));
            if (!list) return nullptr;
            MatchWords words(text.length);
            Cancel cancel(&signal_raised, nullptr);
            const bool done = lexicon.find_all(text, options, &cancel, [&](const TextMatch& match) {
                OwnedRef item = OwnedRef::steal(new_text_match(argv[0], match, options.with_counts, words));
                return item && PyList_Append(list.get(), item.get()) == 0;
            });
            return done ? list.release() : nullptr;
        });
}

// batch_find_all(texts, ...): each text's matches are kept by the workers
// and made into tuples afterwards.
template <class Lexicon>
PyObject* lexicon_batch_find_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept {
    static constexpr Signature sig{
        "batch_find_all", {"texts", "overlapping", "whole_words", "with_count"}, 1, 1};
    return batch_method<Lexicon, TextViews>(
        self, sig, args, nargsf, kwnames,
        [](const Lexicon& lexicon, const auto& texts, const auto& argv, Cancel& cancel) -> PyObject* {
            FindOptions options;
            if (!to_find_options(argv.data() + 1, options)) return nullptr;
            const auto found = lexicon.batch_find_all(texts, options, &cancel);
            if (cancel.cancelled()) return nullptr;
            std::size_t length = 0;
            for (const TextItem& text : texts) length += text.units.length;
            MatchWords words(length);
            // Millions of tuples take seconds: Ctrl-C stops their making too.
            Cancel::Countdown countdown(cancel);
            return new_list(found.size(), [&](std::size_t i) {
                return new_list(found[i].size(), [&](std::size_t j) -> PyObject* {
                    if (countdown.tick()) return nullptr;
                    return new_text_match(texts[i].text, found[i][j], options.with_counts, words);
                });
            });
        });
}

// ------------------------------------------------------------- removal ----

// lex[word] = value: a word's count is changed by add(), not set.
template <class Lexicon>
int refuse_assignment() noexcept {
    PyErr_Format(PyExc_TypeError,
                 "%s does not support item assignment: add(word, count) adds to a word's count",
                 LexiconTraits<Lexicon>::name);
    return -1;
}

// ------------------------------------------------------- table helpers ----

// Function pointers as the type tables want them.
template <class F>
PyCFunction as_method(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <class F>
void* as_slot(F* function) noexcept {
    return reinterpret_cast<void*>(function);
}

inline constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// The method-table rows both classes share, after their own methods.
#define SORVAN_LEXICON_QUERY_METHODS(Lexicon)                                                    \
    {"get_word_count", as_method(&lexicon_get_word_count<Lexicon>), METH_NOARGS,                  \
     LexiconDocs<Lexicon>::get_word_count},                                                       \
    {"search", as_method(&lexicon_search<Lexicon>), fastcall, LexiconDocs<Lexicon>::search},      \
    {"search_with_prefix", as_method(&lexicon_search_with_prefix<Lexicon>), fastcall,             \
     LexiconDocs<Lexicon>::search_with_prefix},                                                   \
    {"search_within_distance", as_method(&lexicon_search_within_distance<Lexicon>), fastcall,     \
     LexiconDocs<Lexicon>::search_within_distance},                                               \
    {"batch_contains", as_method(&lexicon_batch_contains<Lexicon>), fastcall,                     \
     LexiconDocs<Lexicon>::batch_contains},                                                       \
    {"batch_search", as_method(&lexicon_batch_search<Lexicon>), fastcall,                         \
     LexiconDocs<Lexicon>::batch_search},                                                         \
    {"batch_search_with_prefix", as_method(&lexicon_batch_search_with_prefix<Lexicon>), fastcall, \
     LexiconDocs<Lexicon>::batch_search_with_prefix},                                             \
    {"batch_search_within_distance", as_method(&lexicon_batch_search_within_distance<Lexicon>),   \
     fastcall, LexiconDocs<Lexicon>::batch_search_within_distance},                               \
    {"suggest", as_method(&lexicon_ranked<Lexicon, SuggestQuery, false>), fastcall,               \
     LexiconDocs<Lexicon>::suggest},                                                              \
    {"batch_suggest", as_method(&lexicon_ranked<Lexicon, SuggestQuery, true>), fastcall,          \
     LexiconDocs<Lexicon>::batch_suggest},                                                        \
    {"complete", as_method(&lexicon_ranked<Lexicon, CompleteQuery, false>), fastcall,             \
     LexiconDocs<Lexicon>::complete},                                                             \
    {"batch_complete", as_method(&lexicon_ranked<Lexicon, CompleteQuery, true>), fastcall,        \
     LexiconDocs<Lexicon>::batch_complete},                                                       \
    {"prefixes", as_method(&lexicon_prefixes<Lexicon>), fastcall, LexiconDocs<Lexicon>::prefixes}, \
    {"longest_prefix", as_method(&lexicon_longest_prefix<Lexicon, false>), fastcall,              \
     LexiconDocs<Lexicon>::longest_prefix},                                                       \
    {"batch_longest_prefix", as_method(&lexicon_longest_prefix<Lexicon, true>), fastcall,         \
     LexiconDocs<Lexicon>::batch_longest_prefix},                                                 \
    {"find_all", as_method(&lexicon_find_all<Lexicon>), fastcall, LexiconDocs<Lexicon>::find_all}, \
    {"batch_find_all", as_method(&lexicon_batch_find_all<Lexicon>), fastcall,                     \
     LexiconDocs<Lexicon>::batch_find_all}

// The slots both classes share, besides their docstring and method table.
#define SORVAN_LEXICON_SLOTS(Lexicon)                             \
    {Py_tp_new, as_slot(&lexicon_new<Lexicon>)},                  \
    {Py_tp_dealloc, as_slot(&lexicon_dealloc<Lexicon>)},          \
    {Py_sq_contains, as_slot(&lexicon_contains<Lexicon>)},        \
    {Py_mp_length, as_slot(&lexicon_len<Lexicon>)},               \
    {Py_tp_repr, as_slot(&lexicon_repr<Lexicon>)}

}  // namespace sorvan::python
