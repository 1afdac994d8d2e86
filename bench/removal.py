"""Removal and the prefixes of a text, against their goals.

Run inside the build root with the module built (``./dev shell``, then
``python3 bench/removal.py [WORD_LIST ...] [--no-removal] [--json FILE]``;
bench.py runs it on each list in a fresh interpreter). Prints the figures,
and a goal line (goals.judge) for each, its ratio marked met or MISSED:

- removing every word of the Trie of the first list (by default the English
  one) in random order against adding them one by one in that order (goal:
  at most 1.5 times);
- the Trie's steady memory after removing half its words and adding them
  back, against the original (goal: within 10%);
- prefixes(text) over 100,000 random 20-letter slices of the word list
  joined by spaces, against marisa-trie's and dawg2's prefixes (goal: at
  most 0.5 times), on every list.
"""

import argparse
import json
import os
import random
import sys
import time

import sorvan
from goals import judge
from workers import best_of, load_words, steady_rss_bytes

DEFAULT_LISTS = ["/usr/share/dict/american-english-insane", "/usr/share/dict/ngerman"]
TEXTS = 100_000


def row(kept, label, value, reference, goal, reference_label, unit="s"):
    """The figure, then its goal line; no goal line for a reference too
    small to divide by (the memory of a list of a few words)."""
    print(f"  {label:<48} {value:10.3f} {unit}")
    if reference > 0:
        judge(kept, f"{label} <= {goal} x {reference_label}", value / reference, goal)
    else:
        print(f"goal {label} <= {goal} x {reference_label}: not measured")


def removal(words, kept):
    print(f"\nRemoval, Trie ({len(words):,} words, random order)")
    order = words[:]
    random.Random(33).shuffle(order)

    def add_each():
        trie = sorvan.Trie()
        add = trie.add
        start = time.perf_counter()
        for w in order:
            add(w)
        return trie, time.perf_counter() - start

    adding = removing = float("inf")
    for _ in range(3):
        trie, took = add_each()
        adding = min(adding, took)
        remove = trie.remove
        start = time.perf_counter()
        for w in order:
            remove(w)
        removing = min(removing, time.perf_counter() - start)
        assert len(trie) == 1 and trie.get_word_count() == 0
    print(f"  {'add one by one':<48} {adding:10.3f} s")
    row(kept, "remove one by one", removing, adding, 1.5, "adding one by one")

    half = order[: len(order) // 2]
    base = steady_rss_bytes()
    trie = sorvan.Trie()
    trie.add_all(words)
    nodes = len(trie)
    original = steady_rss_bytes() - base
    for w in half:
        trie.remove(w)
    for w in half:
        trie.add(w)
    assert len(trie) == nodes
    again = steady_rss_bytes() - base
    print(f"  {'steady memory, built with add_all':<48} {original / 2**20:10.1f} MiB")
    row(kept, "steady memory after removing half and adding it back", again / 2**20, original / 2**20, 1.10,
        "built with add_all", "MiB")


def prefixes(name, words, kept):
    print(f"\nprefixes(text), {name} ({TEXTS:,} random 20-letter slices)")
    joined = " ".join(words)
    rng = random.Random(5)
    texts = [joined[i : i + 20] for i in (rng.randrange(len(joined) - 20) for _ in range(TEXTS))]

    peers = {}
    try:
        import marisa_trie

        peers["marisa-trie Trie.prefixes"] = marisa_trie.Trie(words).prefixes
    except ImportError:
        print("  (marisa-trie missing)")
    try:
        import dawg

        peers["dawg2 DAWG.prefixes"] = dawg.DAWG(words).prefixes
    except ImportError:
        print("  (dawg2 missing)")

    trie = sorvan.Trie()
    trie.add_all(words)
    compact = sorvan.Trie()
    compact.add_all(words)
    compact.compact()
    d = sorvan.DAWG()
    d.add_all(words)
    compact_dawg = sorvan.DAWG()
    compact_dawg.add_all(words)
    compact_dawg.compact()
    ours = {"Trie.prefixes": trie.prefixes, "compact Trie.prefixes": compact.prefixes,
            "DAWG.prefixes": d.prefixes, "compact DAWG.prefixes": compact_dawg.prefixes}

    def timing(f):
        def run():
            for t in texts:
                f(t)

        return best_of(run, 3, sample=0)  # one call a sample

    sample = texts[:2000]
    for label, f in peers.items():
        assert [sorted(f(t)) for t in sample] == [trie.prefixes(t) for t in sample], label
    peer_times = {label: timing(f) for label, f in peers.items()}
    for label, took in peer_times.items():
        print(f"  {label:<48} {took:10.3f} s")
    for label, f in ours.items():
        took = timing(f)
        print(f"  {label:<48} {took:10.3f} s")
        for peer, reference in peer_times.items():
            judge(kept, f"prefixes, {name}: {label} <= 0.5 x {peer}", took / reference, 0.5)
    start = time.perf_counter()
    trie.batch_longest_prefix(texts)
    print(f"  {'Trie.batch_longest_prefix (all texts, one call)':<48} {time.perf_counter() - start:10.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lists", nargs="*", default=DEFAULT_LISTS)
    parser.add_argument("--no-removal", action="store_true", help="only the prefixes of texts")
    parser.add_argument("--json", metavar="FILE", help="also write the goals judged as JSON")
    args = parser.parse_args()
    kept = []
    for i, path in enumerate(args.lists):
        words = load_words(path)
        if i == 0 and not args.no_removal:
            removal(words, kept)
        prefixes(os.path.basename(path), words, kept)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(kept, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
