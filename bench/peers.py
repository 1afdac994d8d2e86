"""What the benchmarks measure: sorvan's lexicons and the structures a user
would pick instead, one entry each, saying how it is built from a word list
(the result answers `word in s`) and, where it can, how it lists the words
under a prefix, what its saved form is, and how it is saved and loaded.

Each function imports its module when called, so that a fresh interpreter
measuring one structure holds (and counts the memory of) that one only.
"""

import importlib.util
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Callable, Optional

Fn = Optional[Callable[..., Any]]


@dataclass(frozen=True)
class Peer:
    build: Callable[[list], Any]  # from a list of words
    module: str  # the module it needs: without it, its rows are left out
    sort: bool = False  # takes its words in code-point order (sorted before the timed build)
    counted: Fn = None  # (pairs): from (word, count) pairs (in code-point order if `sort`)
    lister: Fn = None  # (s): the function of a prefix that lists every word under it
    tobytes: Fn = None  # (s): its saved form, without a file
    save: Fn = None  # (s, path)
    load: Fn = None  # (path): a structure read from the file
    mmap: Fn = None  # (path): a structure that maps the file
    nearest: Fn = None  # (s): the function of a word giving the words nearest it (2 edits at most)

    def available(self):
        return importlib.util.find_spec(self.module) is not None

    def prepare(self, words):
        """The words as its build takes them (not part of the timed build)."""
        return sorted(words) if self.sort else list(words)

    def saved_size(self, structure):
        """The bytes of the structure's saved form, or None without one."""
        if self.tobytes is not None:
            return len(self.tobytes(structure))
        if self.save is None:
            return None
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "image")
            self.save(structure, path)
            return os.path.getsize(path)


# ------------------------------------------------------------------ sorvan --


def sorvan_class(name):
    import sorvan

    return getattr(sorvan, name)


def build_sorvan_trie(words):
    import sorvan

    t = sorvan.Trie()
    add = t.add
    for w in words:
        add(w)
    return t


def build_sorvan_dawg(words):
    import sorvan

    d = sorvan.DAWG()
    add = d.add
    for w in words:
        add(w)
    d.reduce()
    return d


def build_compact(build):
    def construct(words):
        lexicon = build(words)
        lexicon.compact()
        return lexicon

    return construct


def counted_sorvan(class_name, compact):
    def construct(pairs):
        lexicon = sorvan_class(class_name)()
        for w, c in pairs:
            lexicon.add(w, c)
        if class_name == "DAWG":
            lexicon.reduce()
        if compact:
            lexicon.compact()
        return lexicon

    return construct


def sorvan_nearest(lexicon):
    def nearest(q):  # every word at the least distance, in rank order
        found = lexicon.suggest(q, 2, None, transpositions=True)
        return [w for w, d in found if d == found[0][1]]

    return nearest


def sorvan_peer(class_name, build, compact=False):
    return Peer(
        build=build_compact(build) if compact else build,
        module="sorvan",
        sort=class_name == "DAWG",
        counted=counted_sorvan(class_name, compact),
        lister=lambda s: s.search_with_prefix,
        save=lambda s, path: s.save(path),
        load=lambda path: sorvan_class(class_name).load(path),
        mmap=lambda path: sorvan_class(class_name).load(path, mmap=True),
        nearest=sorvan_nearest,
    )


# ------------------------------------------------------------------- peers --


def build_set_fresh_str(words):
    # The set together with str objects of its own, as a user reading a
    # file into a set would have them.
    return {(w + ".")[:-1] for w in words}


def build_marisa(words):
    import marisa_trie

    return marisa_trie.Trie(words)


def build_marisa_counts(words):
    import marisa_trie

    return marisa_trie.RecordTrie("<I", ((w, (1,)) for w in words))


def counted_marisa(pairs):
    import marisa_trie

    return marisa_trie.RecordTrie("<I", ((w, (c,)) for w, c in pairs))


def marisa_file(method):
    def read(path):
        import marisa_trie

        return getattr(marisa_trie.Trie(), method)(path)

    return read


def build_dawg2(words):
    import dawg  # the dawg2 package

    return dawg.DAWG(words)


def build_dawg2_counts(words):
    import dawg

    return dawg.IntDAWG((w, 1) for w in words)


def counted_dawg2(pairs):
    import dawg

    return dawg.IntDAWG(pairs)


def load_dawg2(path):
    import dawg

    return dawg.DAWG().load(path)


def build_datrie(words):
    import datrie

    t = datrie.Trie("".join(sorted(set("".join(words)))))
    for w in words:
        t[w] = 1
    return t


def build_pygtrie(words):
    import pygtrie

    t = pygtrie.CharTrie()
    for w in words:
        t[w] = 1
    return t


def build_ahocorasick(words):
    import ahocorasick

    a = ahocorasick.Automaton()
    add = a.add_word
    for w in words:
        add(w, 1)
    a.make_automaton()
    return a


def build_symspell(words):
    from symspellpy import SymSpell

    sym = SymSpell(max_dictionary_edit_distance=2)
    for w in words:
        sym.create_dictionary_entry(w, 1)
    return sym


def symspell_nearest(sym):
    from symspellpy import Verbosity

    # CLOSEST: every word at the least distance, in its own order.
    return lambda q: [s.term for s in sym.lookup(q, Verbosity.CLOSEST, 2)]


PEERS = {
    "sorvan.Trie": sorvan_peer("Trie", build_sorvan_trie),
    "sorvan.DAWG": sorvan_peer("DAWG", build_sorvan_dawg),
    "sorvan.Trie compact": sorvan_peer("Trie", build_sorvan_trie, compact=True),
    "sorvan.DAWG compact": sorvan_peer("DAWG", build_sorvan_dawg, compact=True),
    "set + str": Peer(build_set_fresh_str, "builtins"),
    "set": Peer(set, "builtins"),
    "marisa-trie": Peer(build_marisa, "marisa_trie", lister=lambda s: s.keys,
                        tobytes=lambda s: s.tobytes(), save=lambda s, path: s.save(path),
                        load=marisa_file("load"), mmap=marisa_file("mmap")),
    "marisa RecordTrie": Peer(build_marisa_counts, "marisa_trie", counted=counted_marisa,
                              tobytes=lambda s: s.tobytes()),
    "dawg2 DAWG": Peer(build_dawg2, "dawg", sort=True, tobytes=lambda s: s.tobytes(),
                       save=lambda s, path: s.save(path), load=load_dawg2),
    "dawg2 IntDAWG": Peer(build_dawg2_counts, "dawg", sort=True, counted=counted_dawg2,
                          tobytes=lambda s: s.tobytes()),
    "datrie": Peer(build_datrie, "datrie", lister=lambda s: s.keys),
    "pygtrie": Peer(build_pygtrie, "pygtrie"),
    "pyahocorasick": Peer(build_ahocorasick, "ahocorasick",
                          lister=lambda s: lambda p: list(s.keys(p))),
    # Not a lexicon: it answers only which words are nearest.
    "symspellpy": Peer(build_symspell, "symspellpy", nearest=symspell_nearest),
}
