"""Removal and the prefixes of a text, against their goals.

Run inside the build root with the module built (``./dev shell``, then
``python3 bench/removal.py``). Prints, with each figure's ratio and whether
its goal is met:

- removing every word of the English Trie in random order against adding
  them one by one in that order (goal: at most 1.5 times);
- the Trie's steady memory after removing half its words and adding them
  back, against the original (goal: within 10%);
- prefixes(text) over 100,000 random 20-letter slices of the word list
  joined by spaces, against marisa-trie's and dawg2's prefixes (goal: at
  most 0.5 times), on the English and the German list.
"""

import os
import random
import sys
import time

import sorvan
from workers import best_of, load_words, steady_rss_bytes

ENGLISH = "/usr/share/dict/american-english-insane"
GERMAN = "/usr/share/dict/ngerman"
TEXTS = 100_000

def row(label, value, reference, goal, unit="s"):
    ratio = value / reference
    verdict = "met" if ratio <= goal else "MISSED"
    print(f"  {label:<48} {value:10.3f} {unit:<3} {ratio:6.2f}x   goal <= {goal:.2f}x: {verdict}")


def removal(words):
    print(f"Removal, English Trie ({len(words):,} words, random order)")
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
    row("remove one by one", removing, adding, 1.5)

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
    row("after removing half and adding it back", again / 2**20, original / 2**20, 1.10, "MiB")


def prefixes(name, words):
    print(f"prefixes(text), {name} ({TEXTS:,} random 20-letter slices)")
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
    ours = {"Trie.prefixes": trie.prefixes, "compact Trie.prefixes": compact.prefixes,
            "DAWG.prefixes": d.prefixes}

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
        for peer, reference in peer_times.items():
            row(f"{label} vs {peer.split()[0]}", took, reference, 0.5)
    start = time.perf_counter()
    trie.batch_longest_prefix(texts)
    print(f"  {'Trie.batch_longest_prefix (all texts, one call)':<48} {time.perf_counter() - start:10.3f} s")


def main():
    english = load_words(ENGLISH)
    removal(english)
    prefixes("English", english)
    if os.path.exists(GERMAN):
        prefixes("German", load_words(GERMAN))
    return 0


if __name__ == "__main__":
    sys.exit(main())
