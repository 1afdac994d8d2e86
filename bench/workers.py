"""The measuring: what each fresh interpreter of the benchmarks measures (a
worker), on the structures of peers.py, and the rows it returns. The driver
(bench.py) starts one interpreter per worker, so that a structure's RSS
growth is its own."""

import gc
import os
import random
import subprocess
import sys
import time

from goals import SUGGEST_ACCURACY, SUGGEST_ACCURACY_MORE, SUGGEST_BUILD, SUGGEST_TIME
from peers import PEERS

LOOKUPS = 200_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


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


def asking(search, queries, *args):
    """A call that asks `search` each of `queries` (with `args`)."""
    return lambda: [search(q, *args) for q in queries]


def built(name, words):
    """PEERS[name] built on `words` (as it takes them)."""
    peer = PEERS[name]
    return peer.build(peer.prepare(words))


# ------------------------------------------------------------------- build --
# Each structure built from the list, its memory, and membership with `in`.

BUILT = ["sorvan.Trie", "sorvan.DAWG", "sorvan.Trie compact", "sorvan.DAWG compact", "set + str", "set",
         "marisa-trie", "marisa RecordTrie", "dawg2 DAWG", "dawg2 IntDAWG", "datrie", "pygtrie"]


def time_lookups(structure, sample, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for w in sample:
            if w not in structure:
                raise AssertionError(f"lookup of {w!r} failed")
        best = min(best, time.perf_counter() - start)
    return best / len(sample) * 1e9


def worker_build(name, path):
    peer = PEERS[name]
    words = peer.prepare(load_words(path))
    shuffled = random.Random(42).choices(words, k=LOOKUPS)
    in_order = words[:: max(1, len(words) // LOOKUPS)]
    before = steady_rss_bytes()
    start = time.perf_counter()
    structure = peer.build(words)
    build_s = time.perf_counter() - start
    kept = steady_rss_bytes() - before
    saved = peer.saved_size(structure)
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


def from_list(name):
    build = PEERS[name].build
    return lambda words, path: build(words)


CONSTRUCTORS = {
    "Trie.add_from_file": construct_sorvan("Trie", "add_from_file"),
    "Trie.add_all": construct_sorvan("Trie", "add_all"),
    "DAWG.add_from_file": construct_sorvan("DAWG", "add_from_file"),
    "DAWG.add_all": construct_sorvan("DAWG", "add_all"),
    "set": from_list("set"),
    "pyahocorasick": from_list("pyahocorasick"),
    "marisa-trie": from_list("marisa-trie"),
    "marisa + counts": from_list("marisa RecordTrie"),
    "datrie": from_list("datrie"),
    "pygtrie": from_list("pygtrie"),
}


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


# ------------------------------------------------------- wide insertion --
# Every scalar value as a one-letter word, added in descending order: each
# word is a new child of the root, placed before all the others.

WIDE_CONSTRUCTORS = {
    "Trie.add loop": PEERS["sorvan.Trie"].build,
    "Trie.add_all": lambda words: construct_sorvan("Trie", "add_all")(words, None),
    "DAWG.add_all": lambda words: construct_sorvan("DAWG", "add_all")(words, None),
    "set": PEERS["set"].build,
}


def code_point_words(limit=None):
    """The one-letter words of every scalar value, from U+10FFFF down (the
    first `limit` of them)."""
    points = (c for c in range(0x10FFFF, -1, -1) if not 0xD800 <= c <= 0xDFFF)
    return [chr(c) for c, _ in zip(points, range(limit if limit is not None else 0x110000))]


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


# ----------------------------------------------------------------- queries --

# Wildcard patterns by word list; the English ones for any other list. A run
# of several ? means one character to sorvan, so no pattern has one: the
# peers must be asked the same question.
PATTERNS = {
    "american-english-insane": ["c?t", "app*", "*ing", "a*b*c", "?a?e", "qu?ck*"],
    "ngerman": ["Stra?e", "über*", "*ung", "a*b*c", "?a?e", "Sch?n*"],
}
# The structures that list a prefix's words, and those searched by pattern
# and distance (sorvan's).
PREFIX_LISTERS = ["sorvan.Trie", "sorvan.DAWG", "sorvan.Trie compact", "marisa-trie", "pyahocorasick",
                  "datrie"]
SEARCHERS = ["sorvan.Trie", "sorvan.DAWG", "sorvan.Trie compact"]


def patterns_for(path):
    return PATTERNS.get(os.path.basename(path), PATTERNS["american-english-insane"])


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

    words = load_words(path)
    letters = sorted({c for w in words[::50] for c in w.lower() if c.isalpha()})
    rng = random.Random(7)
    structures = {name: built(name, words) for name in PREFIX_LISTERS}
    trie = structures["sorvan.Trie"]
    rows = []

    # Prefix search: every word for 1,000 prefixes of 2 to 4 letters.
    prefixes = []
    while len(prefixes) < 1000:
        w = rng.choice(words)
        if len(w) >= 2:
            prefixes.append(w[: rng.randint(2, min(4, len(w)))])
    found = sum(len(trie.search_with_prefix(p)) for p in prefixes)
    for name in PREFIX_LISTERS:
        listing = asking(PEERS[name].lister(structures[name]), prefixes)
        rows.append({"table": "prefix", "name": name, "ms": best_of(listing) * 1e3, "results": found})

    # Wildcard search, one pattern at a time.
    text = "\n".join(words)
    for pattern in patterns_for(path):
        regex = re.compile("(?m)^" + re.escape(pattern).replace(r"\?", ".").replace(r"\*", ".*") + "$")
        found = trie.search(pattern)
        if sorted(set(found)) != sorted(set(regex.findall(text))):
            raise AssertionError(f"sorvan and re disagree on {pattern!r}")
        for name, fn in [(name, structures[name].search) for name in SEARCHERS] + [
            ("fnmatch", lambda pattern: fnmatch.filter(words, pattern)),
            ("re", lambda pattern: regex.findall(text)),
        ]:
            rows.append({"table": "wildcard " + pattern, "name": name, "ms": best_of(lambda: fn(pattern)) * 1e3,
                         "results": len(found)})

    # Levenshtein search: 200 queries, half words of the list, half typos.
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    sample = [rng.choice(words) for _ in range(200)]
    queries = sample[:100] + [typo(rng, w, letters) for w in sample[100:]]
    for dist in (1, 2):
        for name, fn, count in [
            *[(name, asking(structures[name].search_within_distance, queries, dist), 200) for name in SEARCHERS],
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
MORE_MISSPELLINGS = 2000


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
    top1 = {"sorvan.Trie": PEERS["sorvan.Trie"].nearest(trie)}
    symspell = PEERS["symspellpy"]
    if not symspell.available():
        note = "symspellpy is not installed (./dev installs it into its build root from PyPI)"
        skipped = {"name": "symspellpy CLOSEST", "skipped": note}
        builds.append(dict(skipped, table=SUGGEST_BUILD, name="symspellpy"))
    else:
        from symspellpy import Verbosity

        sym = measure_build("symspellpy", lambda: symspell.build(words))
        timed.append(("symspellpy CLOSEST",
                      lambda: [sym.lookup(q, Verbosity.CLOSEST, 2) for q in queries]))
        top1["symspellpy CLOSEST"] = symspell.nearest(sym)
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
    import scale

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


# ------------------------------------------------------------ compact form --

# The rows of the image sizes: (row, peer, from the Zipf counts); a peer
# whose module is missing is left out.
COUNTS_ALL_1 = [("marisa-trie (no counts)", "marisa-trie"), ("marisa RecordTrie", "marisa RecordTrie"),
                ("dawg2 DAWG (no counts)", "dawg2 DAWG")]
ZIPF_COUNTS = [("sorvan.Trie compact", "sorvan.Trie compact"), ("marisa RecordTrie", "marisa RecordTrie"),
               ("dawg2 IntDAWG", "dawg2 IntDAWG")]
# The loads timed against a build from the file: (row, peer, how).
LOADS = [("Trie.load", "sorvan.Trie compact", "load"), ("Trie.load mmap", "sorvan.Trie compact", "mmap"),
         ("marisa-trie load", "marisa-trie", "load"), ("marisa-trie mmap", "marisa-trie", "mmap"),
         ("dawg2 DAWG load", "dawg2 DAWG", "load")]


def worker_compact(path):
    """The compact form: image sizes (counts all 1, and drawn from a Zipf
    law, against marisa's RecordTrie with the same counts), compact() and
    load() against add_from_file, and pickle size against image size."""
    import pickle
    import shutil
    import tempfile

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
    add("compact image, counts all 1", "sorvan.Trie compact", image_size / n, "bytes/word", "marisa RecordTrie")
    for table, sizes, counted in [("compact image, counts all 1", COUNTS_ALL_1, False),
                                  ("compact image, Zipf counts", ZIPF_COUNTS, True)]:
        for name, peer_name in sizes:
            peer = PEERS[peer_name]
            if not peer.available():
                continue
            structure = (peer.counted(peer.prepare(zip(words, zipf_counts))) if counted
                         else peer.build(peer.prepare(words)))
            add(table, name, peer.saved_size(structure) / n, "bytes/word", "marisa RecordTrie")

    title = "load, validation included"
    files = {"sorvan.Trie compact": image}
    for _, peer_name, _ in LOADS:
        peer = PEERS[peer_name]
        if peer_name not in files and peer.available():
            files[peer_name] = os.path.join(folder, "words." + peer.module)
            peer.save(built(peer_name, words), files[peer_name])
    add(title, "Trie.add_from_file", best_of(lambda: sorvan.Trie().add_from_file(path)) * 1e3, "ms",
        "Trie.add_from_file")
    for name, peer_name, how in LOADS:
        if peer_name in files:
            read, file = getattr(PEERS[peer_name], how), files[peer_name]
            add(title, name, best_of(lambda: read(file)) * 1e3, "ms", "Trie.add_from_file")

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


WORKERS = {
    "wide": lambda name, limit: worker_wide(name, None if limit == "all" else int(limit)),
    "build": worker_build,
    "construct": worker_construct,
    "queries": lambda name, path: worker_queries(path),
    "suggest": lambda name, path: worker_suggest(path),
    "compact": lambda name, path: worker_compact(path),
}
