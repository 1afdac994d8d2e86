"""Benchmarks of sorvan against the structures a user would pick instead.

Run with ``./dev bench``: the 663K-word English list, then the German list
(non-ASCII), or the lists given with --words; then every code point added in
descending order as a one-letter word (--code-points limits it). Every structure is built in a
fresh interpreter (so that its RSS growth is its own), on the same words, in
the same run, and each table reports every figure with its ratio to a
reference row's. --json keeps the figures, --plot draws the ratios, and
--from-json prints and draws a saved run again without measuring.
"""

import argparse
import gc
import json
import math
import os
import random
import subprocess
import sys
import time

DEFAULT_LISTS = ["/usr/share/dict/american-english-insane", "/usr/share/dict/ngerman"]
DEFAULT_PLOT = os.path.relpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                                            "bench.png"))
LOOKUPS = 200_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def sibling(name):
    """The module `name` of this folder (scale.py, dask_bench.py), however
    this file was started."""
    import importlib

    folder = os.path.dirname(os.path.abspath(__file__))
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module(name)


def steady_rss_bytes():
    """The RSS once garbage is collected and the allocator has handed its
    free memory back: what a structure keeps, not what its build used."""
    import ctypes

    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except AttributeError:  # not glibc
        pass
    return rss_bytes()


def load_words(path):
    with open(path, encoding="utf-8") as f:
        return [w for w in (line.strip() for line in f) if w]


# ---------------------------------------------------------------- builders --
# Each takes the word list and returns a structure answering `word in s`.


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


def build_marisa_counts(words):
    import marisa_trie

    return marisa_trie.RecordTrie("<I", ((w, (1,)) for w in words))


def build_set_fresh_str(words):
    # The set together with str objects of its own, as a user reading a
    # file into a set would have them.
    return {(w + ".")[:-1] for w in words}


def build_marisa(words):
    import marisa_trie

    return marisa_trie.Trie(words)


def build_dawg2(words):
    import dawg  # the dawg2 package

    return dawg.DAWG(words)


def build_dawg2_counts(words):
    import dawg

    return dawg.IntDAWG((w, 1) for w in words)


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


BUILDERS = {
    "sorvan.Trie": build_sorvan_trie,
    "sorvan.DAWG": build_sorvan_dawg,
    "sorvan.Trie compact": build_compact(build_sorvan_trie),
    "sorvan.DAWG compact": build_compact(build_sorvan_dawg),
    "set + str": build_set_fresh_str,
    "set": set,
    "marisa-trie": build_marisa,
    "marisa RecordTrie": build_marisa_counts,
    "dawg2 DAWG": build_dawg2,
    "dawg2 IntDAWG": build_dawg2_counts,
    "datrie": build_datrie,
    "pygtrie": build_pygtrie,
}


# ------------------------------------------------------------ construction --
# Each takes the word list and the file it was read from, and builds a
# structure from one of them; the peers have no file loader, so they build
# from the list.


def construct_sorvan(class_name, method):
    """Builds a new sorvan class_name with add_from_file(path) or add_all(words).

    The list is in the file's order, which is not code-point order, so the
    DAWG sorts it either way.
    """

    def construct(words, path):
        import sorvan

        lexicon = getattr(sorvan, class_name)()
        getattr(lexicon, method)(path if method == "add_from_file" else words)
        return lexicon

    return construct


def construct_ahocorasick(words, path):
    import ahocorasick

    a = ahocorasick.Automaton()
    add = a.add_word
    for w in words:
        add(w, 1)
    a.make_automaton()
    return a


def construct_marisa_counts(words, path):
    import marisa_trie

    return marisa_trie.RecordTrie("<I", ((w, (1,)) for w in words))


CONSTRUCTORS = {
    "Trie.add_from_file": construct_sorvan("Trie", "add_from_file"),
    "Trie.add_all": construct_sorvan("Trie", "add_all"),
    "DAWG.add_from_file": construct_sorvan("DAWG", "add_from_file"),
    "DAWG.add_all": construct_sorvan("DAWG", "add_all"),
    "set": lambda words, path: set(words),
    "pyahocorasick": construct_ahocorasick,
    "marisa-trie": lambda words, path: build_marisa(words),
    "marisa + counts": construct_marisa_counts,
    "datrie": lambda words, path: build_datrie(words),
    "pygtrie": lambda words, path: build_pygtrie(words),
}

# ------------------------------------------------------- wide insertion --
# Every scalar value as a one-letter word, added in descending order: each
# word is a new child of the root, placed before all the others.

WIDE_CONSTRUCTORS = {
    "Trie.add loop": lambda words: build_sorvan_trie(words),
    "Trie.add_all": lambda words: construct_sorvan("Trie", "add_all")(words, None),
    "DAWG.add_all": lambda words: construct_sorvan("DAWG", "add_all")(words, None),
    "set": set,
}
WIDE_GOALS = [("Trie.add loop", "set", 50), ("Trie.add_all", "set", 50)]


def code_point_words(limit=None):
    """The one-letter words of every scalar value, from U+10FFFF down (the
    first `limit` of them)."""
    points = (c for c in range(0x10FFFF, -1, -1) if not 0xD800 <= c <= 0xDFFF)
    return [chr(c) for c, _ in zip(points, range(limit if limit is not None else 0x110000))]


# Construction goals: (row, reference row, largest ratio).
CONSTRUCTION_GOALS = [
    ("Trie.add_from_file", "marisa-trie", 0.6),
    ("Trie.add_all", "marisa-trie", 0.8),
    ("DAWG.add_from_file", "Trie.add_from_file", 2.5),
]


def time_lookups(structure, sample, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for w in sample:
            if w not in structure:
                raise AssertionError(f"lookup of {w!r} failed")
        best = min(best, time.perf_counter() - start)
    return best / len(sample) * 1e9


# Input preparation that is not part of the timed build.
PREPARE = {"sorvan.DAWG": sorted, "sorvan.DAWG compact": sorted, "dawg2 DAWG": sorted,
           "dawg2 IntDAWG": sorted}


def saved_size(structure):
    """The bytes of the structure's saved form, or None without one."""
    import tempfile

    if hasattr(structure, "tobytes"):  # marisa-trie
        return len(structure.tobytes())
    if hasattr(structure, "save") and hasattr(structure, "compact"):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "image")
            structure.save(path)
            return os.path.getsize(path)
    return None


def worker_build(name, path):
    words = PREPARE.get(name, list)(load_words(path))
    shuffled = random.Random(42).choices(words, k=LOOKUPS)
    in_order = words[:: max(1, len(words) // LOOKUPS)]
    before = steady_rss_bytes()
    start = time.perf_counter()
    structure = BUILDERS[name](words)
    build_s = time.perf_counter() - start
    kept = steady_rss_bytes() - before
    saved = saved_size(structure)
    lookup_ns = time_lookups(structure, in_order)
    random_lookup_ns = time_lookups(structure, shuffled)
    return {
        "name": name,
        "words": len(words),
        "build_s": build_s,
        "bytes_per_word": kept / len(words),
        "saved_bytes_per_word": float("nan") if saved is None else saved / len(words),
        "lookup_ns": lookup_ns,
        "random_lookup_ns": random_lookup_ns,
        # What the structure keeps once it has answered the lookups: the
        # compact form builds its membership index on the way.
        "bytes_per_word_after_lookups": (steady_rss_bytes() - before) / len(words),
    }


# ----------------------------------------------------------------- queries --

# Wildcard patterns by word list; the English ones for any other list. A run
# of several ? means one character to sorvan, so no pattern has one: the
# peers must be asked the same question.
PATTERNS = {
    "american-english-insane": ["c?t", "app*", "*ing", "a*b*c", "?a?e", "qu?ck*"],
    "ngerman": ["Stra?e", "über*", "*ung", "a*b*c", "?a?e", "Sch?n*"],
}


def patterns_for(path):
    return PATTERNS.get(os.path.basename(path), PATTERNS["american-english-insane"])


def best_of(fn, repeat=3, sample=0.005):
    """The least time of one call of `fn`, over `repeat` samples. A call
    quicker than `sample` seconds is timed in loops about that long: timed
    alone, a call of a few microseconds measures the timer and whatever
    else the machine did more than the call."""
    start = time.perf_counter()
    fn()
    best = time.perf_counter() - start
    calls = 1 if best >= sample else max(2, int(sample / max(best, 1e-7)))
    for _ in range(repeat if calls > 1 else repeat - 1):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def typo(rng, word, letters):
    for _ in range(rng.choice([1, 2])):
        i = rng.randrange(len(word) + 1)
        kind = rng.choice("isd") if word else "i"
        if kind == "i":
            word = word[:i] + rng.choice(letters) + word[i:]
        elif kind == "s" and i < len(word):
            word = word[:i] + rng.choice(letters) + word[i + 1 :]
        elif i < len(word):
            word = word[:i] + word[i + 1 :]
    return word


def worker_queries(path):
    import re
    import fnmatch

    import sorvan

    words = load_words(path)
    letters = sorted({c for w in words[::50] for c in w.lower() if c.isalpha()})
    rng = random.Random(7)
    trie = sorvan.Trie()
    for w in words:
        trie.add(w)
    compact = sorvan.Trie()
    compact.add_all(words)
    compact.compact()
    dawg = sorvan.DAWG()
    for w in sorted(words):
        dawg.add(w)
    dawg.reduce()
    rows = []

    # Prefix search: every word for 1,000 prefixes of 2 to 4 letters.
    import ahocorasick
    import datrie
    import marisa_trie

    prefixes = []
    while len(prefixes) < 1000:
        w = rng.choice(words)
        if len(w) >= 2:
            prefixes.append(w[: rng.randint(2, min(4, len(w)))])
    marisa = marisa_trie.Trie(words)
    automaton = ahocorasick.Automaton()
    for w in words:
        automaton.add_word(w, 1)
    dt = datrie.Trie("".join(sorted(set("".join(words)))))
    for w in words:
        dt[w] = 1
    found = sum(len(trie.search_with_prefix(p)) for p in prefixes)
    for name, fn in [
        ("sorvan.Trie", lambda: [trie.search_with_prefix(p) for p in prefixes]),
        ("sorvan.DAWG", lambda: [dawg.search_with_prefix(p) for p in prefixes]),
        ("sorvan.Trie compact", lambda: [compact.search_with_prefix(p) for p in prefixes]),
        ("marisa-trie", lambda: [marisa.keys(p) for p in prefixes]),
        ("pyahocorasick", lambda: [list(automaton.keys(p)) for p in prefixes]),
        ("datrie", lambda: [dt.keys(p) for p in prefixes]),
    ]:
        rows.append({"table": "prefix", "name": name, "ms": best_of(fn) * 1e3, "results": found})

    # Wildcard search, one pattern at a time.
    text = "\n".join(words)
    for pattern in patterns_for(path):
        regex = re.compile("(?m)^" + re.escape(pattern).replace(r"\?", ".").replace(r"\*", ".*") + "$")
        found = trie.search(pattern)
        if sorted(set(found)) != sorted(set(regex.findall(text))):
            raise AssertionError(f"sorvan and re disagree on {pattern!r}")
        for name, fn in [
            ("sorvan.Trie", lambda: trie.search(pattern)),
            ("sorvan.DAWG", lambda: dawg.search(pattern)),
            ("sorvan.Trie compact", lambda: compact.search(pattern)),
            ("fnmatch", lambda: fnmatch.filter(words, pattern)),
            ("re", lambda: regex.findall(text)),
        ]:
            rows.append({"table": "wildcard " + pattern, "name": name, "ms": best_of(fn) * 1e3,
                         "results": len(found)})

    # Levenshtein search: 200 queries, half words of the list, half typos.
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    sample = [rng.choice(words) for _ in range(200)]
    queries = sample[:100] + [typo(rng, w, letters) for w in sample[100:]]
    for dist in (1, 2):
        for name, fn, count in [
            ("sorvan.Trie", lambda: [trie.search_within_distance(q, dist) for q in queries], 200),
            ("sorvan.DAWG", lambda: [dawg.search_within_distance(q, dist) for q in queries], 200),
            ("sorvan.Trie compact", lambda: [compact.search_within_distance(q, dist) for q in queries],
             200),
            (
                "cdist workers=1",
                lambda: process.cdist(
                    queries[:20], words, scorer=Levenshtein.distance, score_cutoff=dist, workers=1
                ),
                20,
            ),
            (
                "extract",
                lambda: [
                    process.extract(q, words, scorer=Levenshtein.distance, score_cutoff=dist, limit=None)
                    for q in queries[:5]
                ],
                5,
            ),
        ]:
            per_query = best_of(fn, repeat=2 if count < 200 else 3) / count
            rows.append({"table": f"levenshtein d={dist}", "name": name, "ms": per_query * 1e3})
    # Batch forms on the worker pool against a Python loop over the single
    # queries on the same object.
    members = [rng.choice(words) + rng.choice(["", "", "s", "x"]) for _ in range(20_000)]
    fuzzy = [typo(rng, rng.choice(words), letters) for _ in range(2_000)]
    for title, loop, batch in [
        (
            "batch_contains, 20000 words",
            lambda: [w in trie for w in members],
            lambda: trie.batch_contains(members),
        ),
        (
            "batch_search_within_distance, 2000 words, d=2",
            lambda: [trie.search_within_distance(w, 2) for w in fuzzy],
            lambda: trie.batch_search_within_distance(fuzzy, 2),
        ),
    ]:
        rows.append({"table": title, "name": "sorvan.Trie loop", "ms": best_of(loop) * 1e3})
        rows.append({"table": title, "name": "sorvan.Trie batch", "ms": best_of(batch) * 1e3})
    for workers in (1, -1):
        rows.append(
            {
                "table": "batch_search_within_distance, 2000 words, d=2",
                "name": f"cdist workers={workers}",
                "ms": 10
                * best_of(
                    lambda: process.cdist(
                        fuzzy[:200], words, scorer=Levenshtein.distance, score_cutoff=2,
                        workers=workers,
                    ),
                    repeat=2,
                )
                * 1e3,
            }
        )
    return rows


# ------------------------------------------------------------- suggestions --

MISSPELLINGS = 200
SUGGEST_TIME = "suggest, d=2, limit=5"
SUGGEST_ACCURACY = "suggest, top-1 on the misspellings with a swap"
# The same on a larger draw, where a few cases more or less no longer move
# the figure by points.
MORE_MISSPELLINGS = 2000
SUGGEST_ACCURACY_MORE = "suggest, top-1 on the misspellings with a swap, a larger draw"
SUGGEST_BUILD = "suggest: building the lexicon"
# (row, reference row, largest ratio) of the times, and of the accuracies
# the smallest.
SUGGEST_GOALS = [("sorvan.Trie", "search + rapidfuzz", 0.5),
                 ("sorvan.Trie", "symspellpy CLOSEST", 1.0)]
ACCURACY_GOALS = [("sorvan.Trie", "symspellpy CLOSEST", 1.0)]


def misspell(rng, word, letters):
    """One or two random edits of word: insert, delete or substitute a
    letter, or swap two neighbours. Returns the result and the number of
    edits if a swap was among them, else 0."""
    swapped = False
    edits = rng.choice([1, 2])
    for _ in range(edits):
        kind = rng.choice("isdt") if word else "i"
        i = rng.randrange(len(word) + 1)
        j = max(i, 2)  # a swap takes the letters j - 2 and j - 1
        if kind == "i":
            word = word[:i] + rng.choice(letters) + word[i:]
        elif kind == "t" and len(word) >= 2 and word[j - 1] != word[j - 2]:
            word = word[: j - 2] + word[j - 1] + word[j - 2] + word[j:]
            swapped = True
        elif kind == "s" and i < len(word):
            word = word[:i] + rng.choice(letters) + word[i + 1 :]
        elif i < len(word):
            word = word[:i] + word[i + 1 :]
    return word, edits if swapped else 0


def misspellings(words, letters, count=MISSPELLINGS):
    """(misspelling, original, edits if one was a swap else 0):
    reproducible, none of them a word of the list."""
    rng = random.Random(14)
    known = set(words)
    out = []
    while len(out) < count:
        original = rng.choice(words)
        wrong, edits = misspell(rng, original, letters)
        if wrong not in known:
            out.append((wrong, original, edits))
    return out


def worker_suggest(path):
    """suggest() against ranking search_within_distance's words with
    rapidfuzz, and against symspellpy's lookup after its dictionary is built
    (its build time and memory beside the Trie's)."""
    import sorvan
    from rapidfuzz.distance import Levenshtein

    words = load_words(path)
    letters = sorted({c for w in words[::50] for c in w.lower() if c.isalpha()})
    # One draw: its first MISSPELLINGS cases are the timed queries and the
    # goal's accuracy table, the whole of it the larger table.
    drawn = misspellings(words, letters, MORE_MISSPELLINGS)
    every_query = [wrong for wrong, _, _ in drawn]
    queries = every_query[:MISSPELLINGS]
    swaps = [case for case in drawn if case[2]]
    swaps_timed = sum(1 for case in drawn[:MISSPELLINGS] if case[2])
    rows, builds = [], []

    def measure_build(name, build):
        gc.collect()
        before = rss_bytes()
        start = time.perf_counter()
        built = build()
        took = time.perf_counter() - start
        gc.collect()
        builds.append({"table": SUGGEST_BUILD, "name": name, "build_s": took,
                       "mib": (rss_bytes() - before) / 2**20})
        return built

    trie = measure_build("sorvan.Trie", lambda: fill(sorvan.Trie(), words))
    dawg = sorvan.DAWG()
    dawg.add_all(words)
    # A lexicon builds the graph of its words spelled backwards once its
    # suggestions have done about as much work as that takes; the rows time
    # what comes after, and its own row reports the building.
    builds.append(dict(build_reversed_words(trie, every_query),
                       table=SUGGEST_BUILD, name="sorvan.Trie: reversed words"))
    build_reversed_words(dawg, every_query)

    def ranked(q):
        found = trie.search_within_distance(q, 2)
        return sorted(found, key=lambda w: (Levenshtein.distance(q, w), w))[:5]

    timed = [
        ("sorvan.Trie", lambda: [trie.suggest(q, 2, 5) for q in queries]),
        ("sorvan.DAWG", lambda: [dawg.suggest(q, 2, 5) for q in queries]),
        ("sorvan.Trie swaps", lambda: [trie.suggest(q, 2, 5, transpositions=True) for q in queries]),
        ("search + rapidfuzz", lambda: [ranked(q) for q in queries]),
    ]
    def nearest(q):  # every word at the least distance, in rank order
        found = trie.suggest(q, 2, None, transpositions=True)
        return [w for w, d in found if d == found[0][1]]

    top1 = {"sorvan.Trie": nearest}
    try:
        from symspellpy import SymSpell, Verbosity
    except ImportError:
        note = "symspellpy is not installed (./dev installs it into its build root from PyPI)"
        skipped = {"name": "symspellpy CLOSEST", "skipped": note}
        builds.append(dict(skipped, table=SUGGEST_BUILD, name="symspellpy"))
    else:
        def build_symspell():
            sym = SymSpell(max_dictionary_edit_distance=2)
            for w in words:
                sym.create_dictionary_entry(w, 1)
            return sym

        sym = measure_build("symspellpy", build_symspell)
        timed.append(("symspellpy CLOSEST",
                      lambda: [sym.lookup(q, Verbosity.CLOSEST, 2) for q in queries]))
        # CLOSEST: every word at the least distance, in its own order.
        top1["symspellpy CLOSEST"] = lambda q: [s.term for s in sym.lookup(q, Verbosity.CLOSEST, 2)]
        skipped = None
    # Without the collector: symspellpy's table holds millions of objects,
    # and a collection set off by anyone's result lists would walk them all.
    gc.disable()
    try:
        for name, fn in timed:
            rows.append({"table": SUGGEST_TIME, "name": name,
                         "ms": best_of(fn) / len(queries) * 1e3})
    finally:
        gc.enable()
    for name, nearest_words in top1.items():
        found = [(nearest_words(wrong), original, edits) for wrong, original, edits in swaps]
        for table, cases in [(SUGGEST_ACCURACY, found[:swaps_timed]), (SUGGEST_ACCURACY_MORE, found)]:
            rows.append(dict(accuracy_row(cases), table=table, name=name))
    if skipped:
        rows += [dict(skipped, table=table)
                 for table in (SUGGEST_TIME, SUGGEST_ACCURACY, SUGGEST_ACCURACY_MORE)]
    return rows + builds


def build_reversed_words(lexicon, queries, passes=4):
    """Asks suggest() of `queries` until one call takes far longer than the
    others: that call built the reversed words. Its time beyond the usual
    call's, the number of calls before it, the memory they hold, and the
    most they held meanwhile, all above the lexicon's."""
    scale = sibling("scale")
    before = steady_rss_bytes()
    scale.reset_peak()
    times = []
    for _ in range(passes):
        for q in queries:
            start = time.perf_counter()
            lexicon.suggest(q, 2, 5)
            times.append(time.perf_counter() - start)
        usual = sorted(times)[len(times) // 2]
        slowest = max(range(len(times)), key=times.__getitem__)
        if times[slowest] > 100 * usual:
            return {"build_s": times[slowest] - usual, "after_calls": slowest,
                    "mib": (steady_rss_bytes() - before) / 2**20,
                    "peak_mib": (scale.status_kib("VmHWM") * 1024 - before) / 2**20}
    return {"skipped": f"not built after {len(times):,} calls"}


def accuracy_row(found):
    """Over (nearest words, original, edits) cases: how often the first of
    the nearest words is the misspelled one, and, as "tie", how often it is
    among them but another, equally near, comes first (the order of such
    ties is each tool's own)."""
    row = {"cases": len(found)}
    for key, kept in [("accuracy", (1, 2)), ("one_swap", (1,)), ("swap_and_more", (2,))]:
        hits = [near[:1] == [original] for near, original, edits in found if edits in kept]
        row[key] = 100 * sum(hits) / max(len(hits), 1)
    lost = [original in near[1:] for near, original, _ in found]
    row["tie"] = 100 * sum(lost) / max(len(lost), 1)
    return row


def fill(lexicon, words):
    lexicon.add_all(words)
    return lexicon
def worker_compact(path):
    """The compact form: image sizes (counts all 1, and drawn from a Zipf
    law, against marisa's RecordTrie with the same counts), compact() and
    load() against add_from_file, and pickle size against image size."""
    import pickle
    import tempfile

    import marisa_trie
    import sorvan

    words = load_words(path)
    n = len(words)
    rows = []
    folder = tempfile.mkdtemp()
    image = os.path.join(folder, "words.img")
    zipf_counts = [min(int(random.Random(i).paretovariate(1.0)), 2**32 - 1) for i in range(n)]

    def add(table, name, value, unit, reference):
        rows.append({"table": table, "name": name, "ms": value, "unit": unit, "reference": reference})

    trie = sorvan.Trie()
    trie.add_from_file(path)
    trie.compact()
    trie.save(image)
    image_size = os.path.getsize(image)
    title = "compact image, counts all 1"
    add(title, "sorvan.Trie compact", image_size / n, "bytes/word", "marisa RecordTrie")
    add(title, "marisa-trie (no counts)", len(marisa_trie.Trie(words).tobytes()) / n, "bytes/word",
        "marisa RecordTrie")
    add(title, "marisa RecordTrie", len(build_marisa_counts(words).tobytes()) / n, "bytes/word",
        "marisa RecordTrie")
    zipf = sorvan.Trie()
    for w, c in zip(words, zipf_counts):
        zipf.add(w, c)
    zipf.compact()
    title = "compact image, Zipf counts"
    zipf.save(image + ".zipf")
    add(title, "sorvan.Trie compact", os.path.getsize(image + ".zipf") / n, "bytes/word",
        "marisa RecordTrie")
    record = marisa_trie.RecordTrie("<I", zip(words, ((c,) for c in zipf_counts)))
    add(title, "marisa RecordTrie", len(record.tobytes()) / n, "bytes/word", "marisa RecordTrie")
    try:
        import dawg  # the dawg2 package
    except ImportError:
        dawg = None
    if dawg is not None:
        ordered = sorted(zip(words, zipf_counts))
        add("compact image, counts all 1", "dawg2 DAWG (no counts)", len(dawg.DAWG(sorted(words)).tobytes()) / n,
            "bytes/word", "marisa RecordTrie")
        add(title, "dawg2 IntDAWG", len(dawg.IntDAWG(ordered).tobytes()) / n, "bytes/word",
            "marisa RecordTrie")

    title = "load, validation included"
    marisa_file = os.path.join(folder, "words.marisa")
    marisa_trie.Trie(words).save(marisa_file)
    if dawg is not None:
        dawg_file = os.path.join(folder, "words.dawg")
        dawg.DAWG(sorted(words)).save(dawg_file)
    for name, fn in [
        ("Trie.add_from_file", lambda: sorvan.Trie().add_from_file(path)),
        ("Trie.load", lambda: sorvan.Trie.load(image)),
        ("Trie.load mmap", lambda: sorvan.Trie.load(image, mmap=True)),
        ("marisa-trie load", lambda: marisa_trie.Trie().load(marisa_file)),
        ("marisa-trie mmap", lambda: marisa_trie.Trie().mmap(marisa_file)),
    ] + ([("dawg2 DAWG load", lambda: dawg.DAWG().load(dawg_file))] if dawg else []):
        add(title, name, best_of(fn) * 1e3, "ms", "Trie.add_from_file")

    def build_and_compact():
        t = sorvan.Trie()
        t.add_from_file(path)
        start = time.perf_counter()
        t.compact()
        return time.perf_counter() - start

    title = "compact(), against building"
    add(title, "Trie.add_from_file", best_of(lambda: sorvan.Trie().add_from_file(path)) * 1e3, "ms",
        "Trie.add_from_file")
    add(title, "Trie.compact()", min(build_and_compact() for _ in range(3)) * 1e3, "ms",
        "Trie.add_from_file")

    title = "4 processes mapping one image, bytes"
    add(title, "image", image_size, "bytes", "image")
    add(title, "PSS of its mapping, summed", mapped_pss(image, 4), "bytes", "image")

    title = "pickle, bytes"
    add(title, "image", image_size, "bytes", "image")
    add(title, "pickle protocol 5", len(pickle.dumps(trie, protocol=5)), "bytes", "image")
    add(title, "pickle protocol 2", len(pickle.dumps(trie, protocol=2)), "bytes", "image")
    import shutil

    shutil.rmtree(folder)
    return rows


def mapped_pss(image, processes):
    """The proportional set size of the image's mapping summed over
    `processes` interpreters that each load(mmap=True) it and walk it whole
    (the interpreters' own memory is not counted)."""
    import sorvan

    script = ("import sys, sorvan\n"
              "t = sorvan.Trie.load(sys.argv[1], mmap=True)\n"
              "assert t.search('*')\n"
              "print('ready', flush=True)\n"
              "sys.stdin.readline()\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(sorvan.__file__)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    workers = [subprocess.Popen([sys.executable, "-c", script, image], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=env) for _ in range(processes)]
    total = 0
    try:
        for worker in workers:
            if worker.stdout.readline().strip() != "ready":
                raise RuntimeError("a mapping process failed")
        for worker in workers:
            with open(f"/proc/{worker.pid}/smaps") as f:
                inside = False
                for line in f:
                    if line[:1].isalnum() and "-" in line.split(" ", 1)[0] and ":" not in line.split(" ", 1)[0]:
                        inside = line.rstrip().endswith(image)
                    elif inside and line.startswith("Pss:"):
                        total += int(line.split()[1]) * 1024
    finally:
        for worker in workers:
            worker.stdin.close()
            worker.wait()
    return total


# The compact form's goals: (table, row, reference row, largest ratio).
COMPACT_GOALS = [
    ("compact image, Zipf counts", "sorvan.Trie compact", "marisa RecordTrie", 1.0),
    ("load, validation included", "Trie.load", "Trie.add_from_file", 0.02),
    ("load, validation included", "Trie.load mmap", "Trie.add_from_file", 0.02),
    ("compact(), against building", "Trie.compact()", "Trie.add_from_file", 2.0),
    ("pickle, bytes", "pickle protocol 5", "image", 1.05),
    ("4 processes mapping one image, bytes", "PSS of its mapping, summed", "image", 1.5),
]


# Every search on the compact form against the same search on the mutable
# Trie, and the star search that needs no prefix against the best of the
# standard library (how many times faster, at least).
SEARCH_TABLES = ("prefix", "wildcard ", "levenshtein ")
STAR_SEARCH = ("wildcard *ing", 3.0)


def print_compact_goals(kept, queries):
    tables = query_tables(queries)
    figures = {(r.get("table"), r["name"]): r["ms"] for r in queries if "ms" in r}
    image = figures.get(("compact image, counts all 1", "sorvan.Trie compact"))
    if image is not None:
        judge(kept, "image bytes a word, counts all 1, <= 3.0", image, 3.0)
    for table in tables:
        compact, mutable = figures.get((table, "sorvan.Trie compact")), figures.get((table, "sorvan.Trie"))
        if table.startswith(SEARCH_TABLES) and compact and mutable:
            judge(kept, f"{table}: sorvan.Trie compact <= 1.0 x sorvan.Trie", compact / mutable, 1.0, digits=".3f")
    table, fewest = STAR_SEARCH
    library = [figures[(table, name)] for name in ("fnmatch", "re") if (table, name) in figures]
    if library and figures.get((table, "sorvan.Trie compact")):
        judge(kept, f"{table}: the best of fnmatch and re >= {fewest} x sorvan.Trie compact",
              min(library) / figures[(table, "sorvan.Trie compact")], fewest, at_least=True)
    for table, name, reference, most in COMPACT_GOALS:
        if table not in tables or (table, name) not in figures or (table, reference) not in figures:
            continue
        judge(kept, f"{table}: {name} <= {most} x {reference}", figures[(table, name)] / figures[(table, reference)],
              most, digits=".3g")


def worker_construct(name, path, repeat=3):
    words = load_words(path)
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        structure = CONSTRUCTORS[name](words, path)
        best = min(best, time.perf_counter() - start)
        del structure
    return {"name": name, "words": len(words), "build_s": best}


def worker_wide(name, limit, repeat=3):
    words = code_point_words(limit)
    best = float("inf")
    for _ in range(repeat):
        # Fresh strings each time, so that no structure finds their hashes
        # already computed.
        fresh = [(w + ".")[:-1] for w in words]
        gc.collect()
        start = time.perf_counter()
        structure = WIDE_CONSTRUCTORS[name](fresh)
        best = min(best, time.perf_counter() - start)
        del structure, fresh
    return {"name": name, "words": len(words), "build_s": best}


WORKERS = {
    "wide": lambda name, limit: worker_wide(name, None if limit == "all" else int(limit)),
    "build": worker_build,
    "construct": worker_construct,
    "queries": lambda name, path: worker_queries(path),
    "suggest": lambda name, path: worker_suggest(path),
    "compact": lambda name, path: worker_compact(path),
}


# ------------------------------------------------------------------ driver --


def run_worker(kind, name, path):
    out = subprocess.run(
        [sys.executable, __file__, "--worker", kind, name, "--words", path],
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        return {"name": name, "error": out.stderr.strip().splitlines()[-1:]}
    return json.loads(out.stdout)


def measure(path):
    """Every figure for one word list, each group from fresh interpreters."""
    print(f"measuring on {path} ...", file=sys.stderr, flush=True)
    build = [run_worker("build", name, path) for name in BUILDERS]
    construction = [run_worker("construct", name, path) for name in CONSTRUCTORS]
    queries = run_worker("queries", "all", path)
    queries = queries if isinstance(queries, list) else [queries]
    suggest = run_worker("suggest", "all", path)
    queries += suggest if isinstance(suggest, list) else [dict(suggest, table=SUGGEST_TIME)]
    compact = run_worker("compact", "all", path)
    queries += compact if isinstance(compact, list) else [compact]
    return {
        "path": path,
        "words": next((r["words"] for r in build if "words" in r), 0),
        "build": build,
        "construction": construction,
        "queries": queries,
    }


def measure_wide(limit):
    # The worker gets the count where the others get a word list's path.
    print(f"measuring descending insertion of {limit or 'all'} code points ...",
          file=sys.stderr, flush=True)
    rows = [run_worker("wide", name, str(limit or "all")) for name in WIDE_CONSTRUCTORS]
    return {"words": next((r["words"] for r in rows if "words" in r), 0), "rows": rows}


def report_wide(wide):
    print(f"\n=== wide node: {wide['words']:,} code points as one-letter words ===")
    print_table("Descending insertion: each word a new first child of the root (best of 3)",
                wide["rows"], [("build s", "build_s")], "set")
    wide["goals"] = []
    print_goals(wide["goals"], wide["rows"], WIDE_GOALS)


def figure(value):
    """A figure in at most 14 columns, with four significant digits."""
    if math.isnan(value):
        return "-"
    return f"{value:,.0f}" if value >= 1000 else f"{value:.4g}"


def ratio_text(ratio):
    if math.isnan(ratio):
        return "-"
    return f"{ratio:,.0f}" if ratio >= 100 else f"{ratio:.3g}"


def print_table(title, rows, columns, reference):
    """Prints rows with each figure and its ratio to the reference row."""
    ref = next((r for r in rows if r["name"] == reference and "error" not in r), None)
    width = max([14] + [len(r["name"]) + 1 for r in rows])
    print(f"\n{title}")
    header = f"{'':<{width}}" + "".join(f"{label:>14}{'ratio':>9}" for label, _ in columns)
    print(header)
    for row in rows:
        if "error" in row:
            print(f"{row['name']:<{width}}  unavailable: {' '.join(row['error'])}")
            continue
        if "skipped" in row:
            print(f"{row['name']:<{width}}  skipped: {row['skipped']}")
            continue
        line = f"{row['name']:<{width}}"
        for _, key in columns:
            value = row.get(key, float("nan"))  # (runs saved before a column came have none)
            ratio = value / ref[key] if ref and ref.get(key) else float("nan")
            line += f"{figure(value):>14}{ratio_text(ratio):>9}"
        print(line)
    print(f"(ratio: the figure divided by {reference}'s)")


def judge(kept, goal, ratio, bound, at_least=False, digits=".2f"):
    """Prints a goal's ratio and whether it is met (at most `bound`, or at
    least it), and keeps the verdict in `kept` (the JSON's "goals")."""
    met = ratio >= bound if at_least else ratio <= bound
    print(f"goal {goal}: {ratio:{digits}}, {'met' if met else 'MISSED'}")
    kept.append({"goal": goal, "ratio": ratio, "bound": bound, "at_least": at_least, "met": met})


def print_goals(kept, rows, goals, key="build_s", at_least=False):
    """Judges each goal's ratio of the figures `key` (build times unless
    told): at most the goal's ratio, or at least it."""
    figures = {r["name"]: r[key] for r in rows if key in r}
    sign = ">=" if at_least else "<="
    for name, reference, bound in goals:
        if name not in figures or not figures.get(reference):
            print(f"goal {name} {sign} {bound} x {reference}: not measured")
            continue
        judge(kept, f"{name} {sign} {bound} x {reference}", figures[name] / figures[reference], bound, at_least)


def query_tables(queries):
    """The query rows grouped by table, in order: {title: rows}."""
    tables = {}
    for row in queries:
        tables.setdefault(row.get("table", "queries"), []).append(row)
    return tables


def reference_of(title):
    return "sorvan.Trie loop" if title.startswith("batch") else "sorvan.Trie"


# Membership on the compact form: (row, figure, reference row, largest ratio).
LOOKUP_GOALS = [
    ("sorvan.Trie compact", "random_lookup_ns", "dawg2 DAWG", 1.0),
    ("sorvan.Trie compact", "lookup_ns", "set + str", 1.0),
]


def print_lookup_goals(kept, rows):
    by_name = {r["name"]: r for r in rows if "error" not in r}
    for name, key, reference, most in LOOKUP_GOALS:
        if name in by_name and reference in by_name:
            judge(kept, f"{name} {key} <= {most} x {reference}", by_name[name][key] / by_name[reference][key],
                  most, digits=".3g")


def report(result):
    """Prints every table of one word list's results."""
    print(f"\n=== {result['path']}: {result['words']:,} words ===")
    print(f"{LOOKUPS} membership lookups in list order and in random order (best of 3)")
    print_table(
        "Build from a Python list, memory, membership with `in`",
        result["build"],
        [("build s", "build_s"), ("bytes/word", "bytes_per_word"), ("saved B/word", "saved_bytes_per_word"),
         ("lookup ns", "lookup_ns"), ("random ns", "random_lookup_ns"),
         ("B/word after", "bytes_per_word_after_lookups")],
        "sorvan.Trie",
    )
    kept = result["goals"] = []
    print_lookup_goals(kept, result["build"])
    print_table(
        "Construction: sorvan from the file and from a list, the peers from a list"
        " (best of 3)",
        result["construction"],
        [("build s", "build_s")],
        "marisa-trie",
    )
    print_goals(kept, result["construction"], CONSTRUCTION_GOALS)
    for title, rows in query_tables(result["queries"]).items():
        if "error" in rows[0]:
            print(f"\nqueries unavailable: {' '.join(rows[0]['error'])}")
            continue
        note = f" ({rows[0]['results']:,} results)" if "results" in rows[0] else ""
        if title in (SUGGEST_ACCURACY, SUGGEST_ACCURACY_MORE):
            cases = next((r["cases"] for r in rows if "cases" in r), 0)
            drawn = MISSPELLINGS if title == SUGGEST_ACCURACY else MORE_MISSPELLINGS
            print_table(f"{title} ({cases} of {drawn:,})", rows,
                        [("top-1 %", "accuracy"), ("one swap %", "one_swap"),
                         ("and 1 more %", "swap_and_more"), ("tie lost %", "tie")], "sorvan.Trie")
            if title == SUGGEST_ACCURACY:
                print_goals(kept, rows, ACCURACY_GOALS, "accuracy", at_least=True)
            else:
                print("(tie lost: the word is among the nearest, but an equally near one comes first)")
        elif title == SUGGEST_BUILD:
            print_table(title, rows, [("build s", "build_s"), ("memory MiB", "mib")], "sorvan.Trie")
            for row in rows:
                if "after_calls" in row:
                    print(f"({row['name']}: built by suggest() itself, after {row['after_calls']:,} calls,"
                          f" {row['peak_mib']:.0f} MiB above the lexicon at the peak;"
                          " the times above are those after it)")
        else:
            per_query = title.startswith(("levenshtein", "suggest"))
            unit = rows[0].get("unit", "ms per query" if per_query else "ms")
            print_table(f"{title}{note}", rows, [(unit, "ms")],
                        rows[0].get("reference", reference_of(title)))
            if title == SUGGEST_TIME:
                print(f"({MISSPELLINGS} misspellings of words of the list, one or two edits each)")
                print_goals(kept, rows, SUGGEST_GOALS, "ms")
    print_compact_goals(kept, result["queries"])


# ------------------------------------------------------------------- plot --

# What the plot shows: (label, rows, figure key, reference row, peers).
# "rows" picks the rows: "build", or a query table's title, or a prefix of
# titles whose ratios are combined by their geometric mean.
PLOTTED = [
    ("build from a list", "build", "build_s", "sorvan.Trie",
     ["set + str", "marisa-trie", "datrie", "pygtrie"]),
    ("memory per word", "build", "bytes_per_word", "sorvan.Trie",
     ["set + str", "marisa-trie", "datrie", "pygtrie"]),
    ("membership, random order", "build", "random_lookup_ns", "sorvan.Trie",
     ["set + str", "marisa-trie", "datrie", "pygtrie"]),
    ("prefix search", "prefix", "ms", "sorvan.Trie", ["marisa-trie", "pyahocorasick", "datrie"]),
    ("wildcard search (6 patterns)", "wildcard ", "ms", "sorvan.Trie", ["fnmatch", "re"]),
    ("Levenshtein, d=1", "levenshtein d=1", "ms", "sorvan.Trie",
     ["cdist workers=1", "extract"]),
    ("Levenshtein, d=2", "levenshtein d=2", "ms", "sorvan.Trie",
     ["cdist workers=1", "extract"]),
    ("batch Levenshtein, d=2", "batch_search_within_distance, 2000 words, d=2", "ms",
     "sorvan.Trie batch", ["cdist workers=1", "cdist workers=-1"]),
    ("suggest, d=2, limit=5", SUGGEST_TIME, "ms", "sorvan.Trie",
     ["search + rapidfuzz", "symspellpy CLOSEST"]),
]


def plotted_ratios(result):
    """{(operation, peer): ratio}: each peer's figure over sorvan's, the
    geometric mean where one operation spans several tables."""
    tables = query_tables(result["queries"])
    tables["build"] = result["build"]
    out = {}
    for label, source, key, reference, peers in PLOTTED:
        chosen = [rows for title, rows in tables.items()
                  if title == source or (source.endswith(" ") and title.startswith(source))]
        for peer in peers:
            logs = []
            for rows in chosen:
                by_name = {r["name"]: r for r in rows if key in r}
                # A figure of 0 or less (RSS that did not grow) has no ratio.
                if (peer in by_name and reference in by_name
                        and min(by_name[peer][key], by_name[reference][key]) > 0):
                    logs.append(math.log(by_name[peer][key] / by_name[reference][key]))
            if logs and len(logs) == len(chosen):
                out[label, peer] = math.exp(sum(logs) / len(logs))
    return out


def plot(results, path):
    """A bar chart per word list: for each operation, each peer's figure
    divided by sorvan.Trie's, on a log scale, bars growing from 1."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = [plotted_ratios(result) for result in results]
    # The rows all panels share: a heading per operation, then its peers.
    rows = []
    for label, _, _, _, peers in PLOTTED:
        present = [p for p in peers if any((label, p) in r for r in ratios)]
        if present:
            rows += [(label, None)] + [(label, p) for p in present]
    fig, axes = plt.subplots(1, len(results), figsize=(5.2 * len(results) + 1.8,
                                                       0.24 * len(rows) + 1.4),
                             sharey=True, squeeze=False)
    for ax, result, found in zip(axes[0], results, ratios):
        bars = [(i, found[row]) for i, row in enumerate(rows) if row in found]
        values = [r for _, r in bars]
        ax.barh([i for i, _ in bars], [r - 1 for r in values], left=1, height=0.7,
                color=["#2e7d32" if r >= 1 else "#ef6c00" for r in values])
        ax.set_xscale("log")
        ax.axvline(1, color="black", linewidth=1)
        for i, r in bars:
            text = f"{r:,.0f}x" if r >= 100 else f"{r:.2g}x"
            ax.text(r * 1.1 if r >= 1 else r / 1.1, i, text, va="center",
                    ha="left" if r >= 1 else "right", fontsize=7.5)
        ax.set_xlim(min(values + [1]) / 5, max(values + [1]) * 8)
        ax.set_title(f"{os.path.basename(result['path'])}: {result['words']:,} words",
                     fontsize=10)
        ax.set_xlabel("peer's figure / sorvan.Trie's (log scale)", fontsize=9)
        ax.grid(axis="x", color="#e0e0e0", linewidth=0.6)
        ax.set_axisbelow(True)
    first = axes[0][0]
    first.set_yticks(range(len(rows)), [
        label if peer is None else
        f"rapidfuzz {peer}" if peer.startswith(("cdist", "extract")) else peer
        for label, peer in rows
    ], fontsize=8)
    for tick, (_, peer) in zip(first.get_yticklabels(), rows):
        if peer is None:
            tick.set_fontweight("bold")
    first.set_ylim(len(rows) - 0.5, -0.7)
    fig.suptitle("sorvan.Trie against its peers: green, sorvan is faster or smaller by that"
                 " factor; orange, the peer is", fontsize=10)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110, metadata={"Software": None})
    print(f"\nplot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--words", action="append", metavar="PATH",
                        help="a word list to measure on; repeat for several"
                             " (default: the English and the German list)")
    parser.add_argument("--worker", nargs=2, metavar=("KIND", "NAME"), help=argparse.SUPPRESS)
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--plot", metavar="PNG", nargs="?", const=DEFAULT_PLOT,
                        help="draw the ratios as a bar chart (default docs/bench.png)")
    parser.add_argument("--code-points", metavar="N", type=int,
                        help="insert only the N highest code points in the wide-node"
                             " rows (default: all; 0 leaves the rows out)")
    parser.add_argument("--from-json", metavar="FILE",
                        help="measure nothing: print (and --plot) the results saved in FILE")
    args = parser.parse_args()

    if args.worker:
        kind, name = args.worker
        print(json.dumps(WORKERS[kind](name, args.words[0])))
        return

    if args.from_json:
        with open(args.from_json) as f:
            saved = json.load(f)
        results, wide = saved["lists"], saved.get("wide")
    else:
        results = [measure(path) for path in args.words or DEFAULT_LISTS]
        wide = measure_wide(args.code_points) if args.code_points != 0 else None
    for result in results:
        report(result)
    if wide:
        report_wide(wide)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"lists": results, "wide": wide}, f, indent=2)
    if args.plot:
        plot(results, args.plot)


if __name__ == "__main__":
    if "--scale" in sys.argv[1:]:
        # ./dev bench --scale [--sizes ...] [--json F] [--plot [PNG]]: how the
        # figures grow with the number of keys (bench/scale.py).
        sys.argv.remove("--scale")
        sibling("scale").main()
    elif "--dask" in sys.argv[1:]:
        # ./dev bench --dask [--words N] [--json F]: the Dask example on a
        # corpus of millions of words (bench/dask_bench.py).
        sys.argv.remove("--dask")
        sibling("dask_bench").main()
    else:
        main()
