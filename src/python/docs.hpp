#pragma once
// The docstrings of the module's classes: one table per class,
// LexiconDocs<Trie> and LexiconDocs<Dawg>, each holding its class's text and
// one for each of its methods (what both classes share written once, in
// SharedDocs). Each begins with its text signature.

namespace sorvan {
class Trie;
class Dawg;
}  // namespace sorvan

namespace sorvan::python {

// --------------------------------------------------------- both classes ----

struct SharedDocs {
    // The queries.
    static constexpr char get_word_count[] =
        "get_word_count($self)\n--\n\nReturns the number of words stored.";
    static constexpr char search[] =
        "search($self, pattern, with_count=False)\n--\n\n"
        "Return all words matching the wildcard pattern.\n\n"
        "``?`` matches exactly one character; ``*`` matches zero or more.\n"
        "If ``with_count=True``, returns ``list[(word, count)]``.";
    static constexpr char search_with_prefix[] =
        "search_with_prefix($self, prefix, with_count=False)\n--\n\n"
        "Return all words sharing the given prefix.\n\n"
        "If ``with_count=True``, returns ``list[(word, count)]``.";
    static constexpr char search_within_distance[] =
        "search_within_distance($self, word, dist=0, with_count=False)\n--\n\n"
        "Return all words within Levenshtein ``dist`` of ``word``.\n\n"
        "If ``with_count=True``, returns ``list[(word, count)]``.";
    static constexpr char batch_contains[] =
        "batch_contains($self, words)\n--\n\n"
        "Check membership for a list of words in parallel.\n\n"
        "Returns ``list[bool]`` in the same order as the input.";
    static constexpr char batch_search[] =
        "batch_search($self, patterns)\n--\n\n"
        "Run wildcard search for each pattern in parallel.\n\n"
        "Returns ``list[list[str]]`` in the same order as the input.";
    static constexpr char batch_search_with_prefix[] =
        "batch_search_with_prefix($self, prefixes)\n--\n\n"
        "Run prefix search for each prefix in parallel.\n\n"
        "Returns ``list[list[str]]`` in the same order as the input.";
    static constexpr char batch_search_within_distance[] =
        "batch_search_within_distance($self, words, dist=0)\n--\n\n"
        "Run Levenshtein search for each word in parallel.\n\n"
        "Returns ``list[list[str]]`` in the same order as the input.";
    static constexpr char suggest[] =
        "suggest($self, word, max_distance=2, limit=10, *, transpositions=False, with_count=False)"
        "\n--\n\n"
        "Return the stored words nearest ``word``, nearest first.\n\n"
        "Returns ``list[(word, distance)]`` for the words within ``max_distance``\n"
        "edits, ordered by distance, then higher count, then code point; at most\n"
        "``limit`` of them (``None`` for all). With ``transpositions=True`` a swap\n"
        "of two adjacent characters costs one edit. If ``with_count=True``,\n"
        "returns ``list[(word, distance, count)]``.";
    static constexpr char batch_suggest[] =
        "batch_suggest($self, words, max_distance=2, limit=10, *, transpositions=False,"
        " with_count=False)\n--\n\n"
        "Run suggest for each word in parallel.\n\n"
        "Returns ``list[list[(word, distance)]]`` in the same order as the input.";
    static constexpr char complete[] =
        "complete($self, prefix, limit=10, *, max_distance=0, transpositions=False, with_count=False)"
        "\n--\n\n"
        "Return the most frequent stored words that start with ``prefix``.\n\n"
        "Returns at most ``limit`` words (``None`` for all), higher count first,\n"
        "then code point. With ``max_distance=d`` a word ``w`` completes\n"
        "``prefix`` at distance ``k``, the least edit distance between ``prefix``\n"
        "and any prefix of ``w`` (from the empty one to ``w`` itself), when\n"
        "``k <= d``; the words are ranked by ``k`` first, each once. Edits are\n"
        "those of ``suggest``. If ``with_count=True``, returns\n"
        "``list[(word, count)]``.";
    static constexpr char batch_complete[] =
        "batch_complete($self, prefixes, limit=10, *, max_distance=0, transpositions=False,"
        " with_count=False)\n--\n\n"
        "Run complete for each prefix in parallel.\n\n"
        "Returns ``list[list[str]]`` in the same order as the input.";
    static constexpr char prefixes[] =
        "prefixes($self, text, with_count=False)\n--\n\n"
        "Return every stored word that is a prefix of ``text``, shortest first.\n\n"
        "One walk along ``text``. If ``with_count=True``, returns\n"
        "``list[(word, count)]``.";
    static constexpr char longest_prefix[] =
        "longest_prefix($self, text, default=None, *, with_count=False)\n--\n\n"
        "Return the longest stored word that is a prefix of ``text``.\n\n"
        "``default`` when there is none. If ``with_count=True``, returns a\n"
        "``(word, count)`` pair.";
    static constexpr char batch_longest_prefix[] =
        "batch_longest_prefix($self, texts, default=None, *, with_count=False)\n--\n\n"
        "Run longest_prefix for each text in parallel.\n\n"
        "Returns a list in the same order as the input.";
    static constexpr char find_all[] =
        "find_all($self, text, *, overlapping=True, whole_words=False, with_count=False)\n--\n\n"
        "Return the stored words found in ``text``, as ``list[(start, end, word)]``.\n\n"
        "``start`` and ``end`` index ``text`` (``text[start:end] == word``); the\n"
        "matches are ordered by start, then end. ``overlapping=True`` reports every\n"
        "occurrence; ``overlapping=False`` the leftmost-longest ones, left to right,\n"
        "none overlapping. ``whole_words=True`` keeps the matches whose neighbours\n"
        "are not letters, digits or ``_``. If ``with_count=True``, each match is\n"
        "``(start, end, word, count)``. The empty word never matches.";
    static constexpr char batch_find_all[] =
        "batch_find_all($self, texts, *, overlapping=True, whole_words=False, with_count=False)"
        "\n--\n\n"
        "Run find_all for each text in parallel.\n\n"
        "Returns one list of matches per text, in the same order as the input.";

    // The dictionary protocol: lex[word] is the word's count.
    static constexpr char get[] =
        "get($self, word, default=None)\n--\n\n"
        "Return the count of ``word`` (taken literally), or ``default`` when it is\n"
        "not stored.";
    static constexpr char index[] =
        "index($self, word)\n--\n\n"
        "Return the rank of ``word``: its position among the stored words in\n"
        "code-point order, so that ``lex.keys()[lex.index(word)] == word``.\n\n"
        "Raises ValueError when it is not stored. Adding or removing a word shifts\n"
        "the ranks of the words after it. Takes time proportional to the word on a\n"
        "compact lexicon, to the words before it otherwise.";
    static constexpr char keys[] =
        "keys($self, prefix='')\n--\n\n"
        "Return a view of the stored words starting with ``prefix``, in code-point\n"
        "order.\n\n"
        "Iterating it is lazy; ``len()`` counts the words, ``word in view`` tests\n"
        "one, and ``view[i]`` is the word of rank ``i`` among them (negative ``i``\n"
        "counts from the end). A change to the lexicon while an iterator is live\n"
        "makes the iterator raise RuntimeError.";
    static constexpr char items[] =
        "items($self, prefix='')\n--\n\n"
        "Return a view of the ``(word, count)`` pairs of the stored words starting\n"
        "with ``prefix``, in code-point order (lazy, like ``keys()``).";
    static constexpr char values[] =
        "values($self, prefix='')\n--\n\n"
        "Return a view of the counts of the stored words starting with ``prefix``,\n"
        "in the words' code-point order (lazy, like ``keys()``).";

    // The compact form.
    static constexpr char compact[] =
        "compact($self)\n--\n\n"
        "Switch to a compact, read-only representation of the same lexicon.\n\n"
        "Queries answer exactly as before, in a fraction of the memory. The next\n"
        "change (add, add_all, add_from_file, reduce; a Trie's remove, discard,\n"
        "pop or del of a stored word) switches back first.";
    static constexpr char prepare[] =
        "prepare($self)\n--\n\n"
        "Build now what queries otherwise build in the background once it pays.\n\n"
        "A compact lexicon answers ``in`` through an index, and ranks through a\n"
        "copy with word ranks when its image has none; suggestions use the words\n"
        "spelled backwards, and ``complete()`` the maxima of the counts over\n"
        "ranges of ranks. Queries start these builds themselves, off the query\n"
        "path, and go on without them until they are ready; ``prepare()`` builds\n"
        "them at once, so that the first queries are as fast as the later ones.\n"
        "A change of the lexicon drops them. Ctrl-C or MemoryError stop it,\n"
        "leaving the lexicon as it was. RuntimeError when another call on the\n"
        "same object is building one of them (a signal handler's prepare()\n"
        "during a build): it never waits for that build.";
    static constexpr char save[] =
        "save($self, path)\n--\n\n"
        "Write the lexicon's compact image to the file at ``path`` (a str, bytes\n"
        "or os.PathLike, as open() takes).";
    static constexpr char load[] =
        "load($type, path, *, mmap=False)\n--\n\n"
        "Read a lexicon saved with ``save()`` from ``path`` (a str, bytes or\n"
        "os.PathLike); it comes back compact.\n\n"
        "With ``mmap=True`` the file is mapped read-only instead of read, so that\n"
        "processes loading the same file share its pages. The file must not be\n"
        "changed while it is mapped: replace it with a new file instead.\n\n"
        "A file read is checked whole before the call returns; a mapped one has\n"
        "its header and bounds checked, and the rest as queries read it: a query\n"
        "that meets damage raises ValueError, as does every later call.";

    // Building in bulk.
    static constexpr char from_words[] =
        "from_words($type, source, *, presorted=False)\n--\n\n"
        "Build a compact lexicon of ``source``'s words, never making the mutable form.\n\n"
        "Items are ``str`` (count 1) or ``(str, int)`` pairs; a mapping (a dict, a\n"
        "``Counter``) gives its items. Repeated words add their counts. The result\n"
        "answers as ``add()`` of every item followed by ``compact()`` would. With\n"
        "``presorted=True`` the items must come in ascending code-point order\n"
        "(equal words adjacent) and go straight into the graph; otherwise they are\n"
        "gathered in memory and sorted first. Out of order: ValueError naming the\n"
        "two words, and nothing is built.";
    static constexpr char from_file[] =
        "from_file($type, path, *, presorted=False, counts=False)\n--\n\n"
        "Build a compact lexicon of the words of the file at ``path`` (a str, bytes\n"
        "or os.PathLike), as ``from_words`` does.\n\n"
        "One word a line, as ``add_from_file`` reads them; with ``counts=True``,\n"
        "``word<TAB>count`` lines, and a line that is not one raises ValueError\n"
        "naming its number, with nothing built.";
    static constexpr char update[] =
        "update($self, source)\n--\n\n"
        "Add counts in bulk, as ``collections.Counter.update`` does.\n\n"
        "``source`` is a mapping of words to counts, or an iterable of ``str``\n"
        "(count 1) and ``(str, int)`` pairs; each word's count grows by its own.";
    static constexpr char reduce_ex[] = "__reduce_ex__($self, protocol, /)\n--\n\nPickling support.";
    static constexpr char setstate[] = "__setstate__($self, state, /)\n--\n\nPickling support.";
};

template <class Lexicon>
struct LexiconDocs;

// ----------------------------------------------------------------- Trie ----

template <>
struct LexiconDocs<Trie> : SharedDocs {
    static constexpr char type[] =
        "Trie()\n--\n\n"
        "A prefix tree (Trie) lexicon.\n\n"
        "Supports any insertion order. Search time is O(W) where W is word length.\n\n"
        "Example::\n\n"
        "    from sorvan import Trie\n"
        "    t = Trie()\n"
        "    t.add_all([\"apple\", \"apply\", \"application\"])\n"
        "    assert \"apple\" in t\n"
        "    print(t.search(\"app*\"))";
    static constexpr char add[] =
        "add($self, word, count=1)\n--\n\nAdd a word with an optional count (default 1).";
    static constexpr char add_all[] =
        "add_all($self, source)\n--\n\n"
        "Add words from any Python iterable (list, set, tuple, generator).";
    static constexpr char add_from_file[] =
        "add_from_file($self, path)\n--\n\nAdd words from a file (one word per line).";
    static constexpr char contains_prefix[] =
        "contains_prefix($self, prefix)\n--\n\n"
        "Returns True if prefix is a prefix of any word in the Trie.";
    static constexpr char remove[] =
        "remove($self, word)\n--\n\n"
        "Remove a word; raises KeyError if it is not stored.\n\n"
        "The nodes only it used are freed for later words.";
    static constexpr char discard[] =
        "discard($self, word)\n--\n\nRemove a word if it is stored.";
    static constexpr char pop[] =
        "pop($self, word, default=<unrepresentable>)\n--\n\n"
        "Remove a word and return its count.\n\n"
        "If it is not stored, return ``default`` if given, else raise KeyError.";
};

// ----------------------------------------------------------------- DAWG ----

template <>
struct LexiconDocs<Dawg> : SharedDocs {
    static constexpr char type[] =
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
        "    print(d.search_with_prefix(\"ash\"))";
    static constexpr char add[] =
        "add($self, word, count=1)\n--\n\n"
        "Add a word (must be >= the previous word alphabetically).\n\n"
        "Call ``reduce()`` when done with manual insertions.";
    static constexpr char add_all[] =
        "add_all($self, source)\n--\n\n"
        "Add words from any Python iterable. Sorts automatically.";
    static constexpr char add_from_file[] =
        "add_from_file($self, path)\n--\n\n"
        "Add words from a file (one word per line). Sorts automatically.";
    static constexpr char reduce[] =
        "reduce($self)\n--\n\nFinalize minimization. Call after all manual ``add()`` calls.";
    static constexpr char contains_prefix[] =
        "contains_prefix($self, prefix)\n--\n\n"
        "Returns True if prefix is a prefix of any word in the DAWG.";
    // A DAWG has the removal methods only to refuse them.
    static constexpr char remove[] =
        "remove($self, word)\n--\n\n"
        "A DAWG cannot remove words: raises TypeError. Use a Trie.";
    static constexpr char discard[] =
        "discard($self, word)\n--\n\n"
        "A DAWG cannot remove words: raises TypeError. Use a Trie.";
    static constexpr char pop[] =
        "pop($self, word, default=<unrepresentable>)\n--\n\n"
        "A DAWG cannot remove words: raises TypeError. Use a Trie.";
};

}  // namespace sorvan::python
