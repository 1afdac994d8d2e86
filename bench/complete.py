"""Ranked completion, complete(prefix, 10), against its goals.

Run with ``./dev bench --complete`` (or ``python3 bench/complete.py`` in the
build root). Prints, with each figure's ratio and whether its goal is met:

- on the English list with real corpus counts (symspellpy's frequency list)
  and the English word list with counts drawn from a Zipf law: complete(p,
  10) on the compact Trie for every 1-, 2- and 3-letter prefix that has
  completions, against heapq.nlargest over search_with_prefix(p,
  with_count=True) on the 1-letter ones (goal: at most 0.01 times) and an
  indexed SQLite table in memory (goal: at most 0.1 times); the mutable
  Trie and DAWG (which keep a bound of the counts below each node as words
  come) on the 1-letter ones against the same (goal: at most 0.01 times),
  and on every prefix against SQLite, for information;
- the time of add() for every word of the list, into a Trie and (in
  ascending order) into a DAWG, against counting them in a dict, for
  information: what keeping those bounds costs shows as this ratio
  against the same ratio at an earlier commit;
- complete(p, 10, max_distance=1) on 1,000 prefixes of 3 to 6 letters with
  one edit applied, against fast-autocomplete (goal: at most 0.05 times),
  every answer checked against a brute-force model (goal: all equal);
- the memory the completion structure adds, from the RSS before and after
  the first completion (goal: at most 1 byte a word on the Zipf list);
- on a lexicon of --keys keys (10M: the scale benchmark's word bigrams,
  Zipf counts), complete("", 10) and complete("a", 10) on the compact form
  (goal: under 50 microseconds each).
"""

import argparse
import bisect
import heapq
import json
import os
import random
import sqlite3
import string
import sys
import time

import sorvan
from goals import COMPLETE_MUTABLE, judge
from workers import best_of, load_words, steady_rss_bytes

ENGLISH = "/usr/share/dict/american-english-insane"
FUZZY_QUERIES = 1000
PEER_SAMPLE = 50


def verdict(ratio, goal):
    return "met" if ratio <= goal else "MISSED"


def row(label, seconds, reference=None, goal=None, unit="ms", scale=1e3):
    line = f"  {label:<62} {seconds * scale:10.3f} {unit}"
    if reference:
        ratio = seconds / reference
        line += f" {ratio:8.4f}x"
        if goal is not None:
            line += f"   goal <= {goal}x: {verdict(ratio, goal)}"
    print(line)


def symspell_counts():
    """symspellpy's English frequency list: {word: corpus count}."""
    import symspellpy

    path = os.path.join(os.path.dirname(symspellpy.__file__), "frequency_dictionary_en_82_765.txt")
    counts = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            word, count = line.split()
            counts[word] = int(count)
    return counts


def zipf_counts(words):
    """The counts the image benchmark draws (workers.py): a Pareto law."""
    return {w: min(int(random.Random(i).paretovariate(1.0)), 2**32 - 1) for i, w in enumerate(words)}


def build(counts, compact, kind=sorvan.Trie):
    lexicon = kind()
    items = sorted(counts.items(), key=lambda wc: wc[0].encode()) if kind is sorvan.DAWG else counts.items()
    for word, count in items:
        lexicon.add(word, count)
    if compact:
        lexicon.compact()
    return lexicon


def add_table(counts):
    """add() of every word with its count: into a new Trie in the list's
    order, into a new DAWG in ascending order, against counting the words
    in a dict the same way (one call a word)."""
    items = list(counts.items())
    ordered = sorted(items, key=lambda wc: wc[0].encode())

    def into(kind, pairs):
        def run():
            add = kind().add
            for word, count in pairs:
                add(word, count)
        return run

    def into_dict():
        seen = {}
        get = seen.get
        for word, count in items:
            seen[word] = get(word, 0) + count

    print("  add() of every word, total time:")
    plain = best_of(into_dict, repeat=5)
    row("dict: seen[w] = seen.get(w, 0) + count", plain)
    row("sorvan.Trie add (mutable)", best_of(into(sorvan.Trie, items), repeat=5), plain)
    row("sorvan.DAWG add, ascending (mutable)", best_of(into(sorvan.DAWG, ordered), repeat=5), plain)


def sqlite_table(counts):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE words (word TEXT PRIMARY KEY, count INTEGER) WITHOUT ROWID")
    db.executemany("INSERT INTO words VALUES (?, ?)", counts.items())
    db.execute("CREATE INDEX by_count ON words (count DESC, word)")
    db.execute("ANALYZE")
    query = "SELECT word FROM words WHERE word >= ? AND word < ? ORDER BY count DESC, word LIMIT 10"

    def complete(prefix):
        after = prefix[:-1] + chr(ord(prefix[-1]) + 1)
        return [w for (w,) in db.execute(query, (prefix, after))]

    return complete


def short_prefixes(words, length):
    return sorted({w[:length] for w in words if len(w) >= length})


def exact_table(name, counts, kept):
    words = sorted(counts)
    print(f"\nExact completion, {name} ({len(words):,} words), complete(p, 10)")
    compact, mutable = build(counts, True), build(counts, False)
    dawg = build(counts, False, sorvan.DAWG)
    before = steady_rss_bytes()
    compact.complete("", 1)  # builds the completion structure
    grown = steady_rss_bytes() - before
    sql = sqlite_table(counts)
    ones = short_prefixes(words, 1)
    every = ones + short_prefixes(words, 2) + short_prefixes(words, 3)

    def over(prefixes, fn):
        return lambda: [fn(p) for p in prefixes]

    for p in every[:: max(1, len(every) // 200)]:  # the same answers as SQLite
        assert compact.complete(p, 10) == mutable.complete(p, 10) == dawg.complete(p, 10) == sql(p), p
    nlargest = best_of(over(ones, lambda p: heapq.nlargest(
        10, compact.search_with_prefix(p, with_count=True), key=lambda wc: wc[1])), repeat=3)
    fast_ones = best_of(over(ones, lambda p: compact.complete(p, 10)), repeat=5)
    print(f"  1-letter prefixes ({len(ones)}), total time:")
    row("heapq.nlargest(search_with_prefix)", nlargest)
    row("sorvan.Trie compact complete", fast_ones, nlargest, 0.01)
    for label, lexicon in (("sorvan.Trie complete (mutable)", mutable), ("sorvan.DAWG complete (mutable)", dawg)):
        took = best_of(over(ones, lambda p: lexicon.complete(p, 10)), repeat=5)
        row(label, took, nlargest)
        judge(kept, f"{name}: {label} <= {COMPLETE_MUTABLE} x heapq.nlargest", took / nlargest, COMPLETE_MUTABLE,
              digits=".4f")
    print(f"  1-, 2- and 3-letter prefixes ({len(every):,}), total time:")
    sqlite_time = best_of(over(every, sql), repeat=3)
    row("sqlite3 (indexed, in memory)", sqlite_time)
    row("sorvan.Trie compact complete", best_of(over(every, lambda p: compact.complete(p, 10)), repeat=5),
        sqlite_time, 0.1)
    row("sorvan.Trie complete (mutable)", best_of(over(every, lambda p: mutable.complete(p, 10)), repeat=3),
        sqlite_time)
    per_word = grown / len(words)
    print(f"  completion structure: {grown / 1024:.0f} KiB by RSS, {per_word:.2f} bytes a word"
          f"   goal <= 1: {verdict(per_word, 1)}")
    add_table(counts)
    return compact, mutable


def typos(words, n, seed):
    """`n` prefixes of 3 to 6 letters of random words, each with one edit."""
    rng = random.Random(seed)
    letters = string.ascii_lowercase
    out = []
    while len(out) < n:
        word = rng.choice(words)
        if len(word) < 3:
            continue
        p = word[: rng.randint(3, min(6, len(word)))]
        i = rng.randrange(len(p))
        edit = rng.randrange(4)
        if edit == 0:
            p = p[:i] + rng.choice(letters) + p[i + 1:]
        elif edit == 1:
            p = p[:i] + rng.choice(letters) + p[i:]
        elif edit == 2:
            p = p[:i] + p[i + 1:]
        elif i + 1 < len(p):
            p = p[:i] + p[i + 1] + p[i] + p[i + 2:]
        out.append(p)
    return out


def model_answer(words, counts, alphabet, prefix, limit=10):
    """The brute-force answer of complete(prefix, limit, max_distance=1):
    every string one edit from `prefix` (and `prefix` itself) as a prefix,
    its words by bisection of the sorted list; distance 0 for the words that
    start with `prefix` itself."""
    near = {prefix}
    for i in range(len(prefix) + 1):
        near.update(prefix[:i] + c + prefix[i:] for c in alphabet)
        if i < len(prefix):
            near.add(prefix[:i] + prefix[i + 1:])
            near.update(prefix[:i] + c + prefix[i + 1:] for c in alphabet)
    found = {}
    for p in near:
        lo = bisect.bisect_left(words, p)
        hi = bisect.bisect_left(words, p + "\U0010ffff")
        for w in words[lo:hi]:
            found[w] = 0 if w.startswith(prefix) else 1
    ranked = heapq.nsmallest(limit, ((d, -counts[w], w) for w, d in found.items()))
    return [w for _, _, w in ranked]


def fuzzy_table(name, counts, compact, mutable):
    words = sorted(counts)
    queries = typos(words, FUZZY_QUERIES, seed=34)
    print(f"\nFuzzy completion, {name}, complete(p, 10, max_distance=1),"
          f" {len(queries):,} prefixes of 3-6 letters with one edit")
    alphabet = sorted({c for w in words for c in w})
    wrong = [q for q in queries if compact.complete(q, 10, max_distance=1) != model_answer(words, counts, alphabet, q)]
    wrong += [q for q in queries[:100] if mutable.complete(q, 10, max_distance=1) != compact.complete(q, 10, max_distance=1)]
    print(f"  equal to the brute-force model: {len(queries) - len(wrong)} of {len(queries)}"
          f"   goal all: {'met' if not wrong else 'MISSED'}" + (f" (first: {wrong[0]!r})" if wrong else ""))
    # Per query: the peer (pure Python, some milliseconds a query) on a
    # sample of them, sorvan on them all.
    peer = fast_autocomplete(counts)
    if peer is None:
        print("  fast-autocomplete: not installed")
        reference = None
    else:
        sample = queries[:PEER_SAMPLE]
        reference = best_of(lambda: [peer(q) for q in sample], repeat=1) / len(sample)
        row(f"fast-autocomplete (max_cost=2: one edit), a query, {len(sample)} of them", reference,
            unit="us", scale=1e6)
    row("sorvan.Trie compact complete, a query",
        best_of(lambda: [compact.complete(q, 10, max_distance=1) for q in queries]) / len(queries),
        reference, 0.05, unit="us", scale=1e6)
    row("sorvan.Trie complete (mutable), a query",
        best_of(lambda: [mutable.complete(q, 10, max_distance=1) for q in queries], repeat=1) / len(queries),
        reference, unit="us", scale=1e6)


def fast_autocomplete(counts):
    """fast-autocomplete's fuzzy completion of a prefix, its cache passed
    by: a function of the prefix, or None when it cannot be imported."""
    if "pkg_resources" not in sys.modules:  # it asks setuptools its version only
        import types

        stub = types.ModuleType("pkg_resources")
        stub.get_distribution = lambda name: types.SimpleNamespace(version="0")
        sys.modules["pkg_resources"] = stub
    try:
        from fast_autocomplete import AutoComplete
    except ImportError:
        return None
    auto = AutoComplete(words={w: {"count": c} for w, c in counts.items()})
    return lambda q: list(auto._find_and_sort(q, 2, 10))


def keys_table(n):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import scale

    path = scale.key_file(n)
    print(f"\n{n:,} keys (word bigrams), Zipf counts, compact Trie")
    trie = sorvan.Trie()
    with open(path, encoding="utf-8") as f:
        for i, line in enumerate(f):
            trie.add(line[:-1], min(int(random.Random(i).paretovariate(1.0)), 2**32 - 1))
    trie.compact()
    start = time.perf_counter()
    trie.complete("", 10)
    print(f"  first completion (builds the structure): {time.perf_counter() - start:.3f} s")
    for prefix in ("", "a"):
        took = best_of(lambda: trie.complete(prefix, 10), repeat=5)
        print(f"  complete({prefix!r}, 10){'':<35} {took * 1e6:10.2f} us"
              f"   goal < 50 us: {'met' if took < 50e-6 else 'MISSED'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=10_000_000,
                        help="the keys of the large lexicon (default 10M; 0 leaves it out)")
    parser.add_argument("--json", metavar="FILE", help="also write the goals judged there as JSON")
    args = parser.parse_args()
    kept = []
    real = symspell_counts()
    compact, mutable = exact_table("English, corpus counts", real, kept)
    fuzzy_table("English, corpus counts", real, compact, mutable)
    zipf = zipf_counts(load_words(ENGLISH))
    compact, mutable = exact_table("English list, Zipf counts", zipf, kept)
    fuzzy_table("English list, Zipf counts", zipf, compact, mutable)
    if args.keys:
        keys_table(args.keys)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(kept, f)


if __name__ == "__main__":
    main()
