"""The lexicon used as a dictionary, against its own queries and the peers.

Goal lines (goals.judge), each a ratio of times (best of three) marked met
or MISSED: lex[w] in random order against `w in lex` on the same form and, on
the compact form, against dawg2's IntDAWG d[w] and marisa-trie's RecordTrie
t[w]; iterating keys() and items() against search('*') and marisa-trie's
iterkeys(); index(w) and keys()[i] on the compact form against marisa-trie's
key_id and restore_key.

    python3 bench/dictionary.py [WORD_LIST ...] [--sample N] [--json FILE]

bench.py runs it on each list in a fresh interpreter and keeps its goals
(--json) with the others.
"""

import argparse
import json
import random

import sorvan
from goals import judge
from workers import best_of, load_words

DEFAULT_LISTS = ["/usr/share/dict/american-english-insane", "/usr/share/dict/ngerman"]


def peers(words):
    """marisa-trie's RecordTrie and Trie, dawg2's IntDAWG, where installed."""
    found = {}
    try:
        import marisa_trie

        found["marisa RecordTrie"] = marisa_trie.RecordTrie("<I", ((w, (1,)) for w in words))
        found["marisa Trie"] = marisa_trie.Trie(words)
    except ImportError:
        pass
    try:
        import dawg

        found["dawg2 IntDAWG"] = dawg.IntDAWG((w, 1) for w in sorted(set(words)))
    except ImportError:
        pass
    return found


def measure(path, sample_size, kept):
    """Judges every goal of the dictionary use on one list into `kept`."""

    def row(name, ours, reference, theirs, goal):
        judge(kept, f"{name} <= {goal} x {reference}", ours / theirs, goal)

    words = load_words(path)
    rng = random.Random(1)
    stored = sorted(set(words))
    sample = rng.sample(stored, min(sample_size, len(stored)))
    ranks = [rng.randrange(len(stored)) for _ in sample]
    others = peers(words)
    print(f"\nDictionary use, {path}: {len(stored):,} distinct words, {len(sample):,} lookups (best of 3)")

    for cls in (sorvan.Trie, sorvan.DAWG):
        lexicon = cls()
        lexicon.add_all(words)
        for form in ("mutable", "compact"):
            if form == "compact":
                lexicon.compact()
                for _ in range(3):  # as long-running lookups do: the membership index gets built
                    for w in sample:
                        w in lexicon  # noqa: B015
            label = f"{cls.__name__} {form}"

            def getitem(lex=lexicon):
                for w in sample:
                    lex[w]

            def contains(lex=lexicon):
                for w in sample:
                    w in lex  # noqa: B015

            t_get = best_of(getitem)
            row(f"{label}: lex[w]", t_get, "w in lex", best_of(contains), 1.2)
            # Whole passes over every word, each side its least of five: on a
            # loaded machine three leave a pass or two of noise in the ratio.
            t_keys = best_of(lambda lex=lexicon: [w for w in lex.keys()], 5)  # noqa: C416
            t_items = best_of(lambda lex=lexicon: [p for p in lex.items()], 5)  # noqa: C416
            t_star = best_of(lambda lex=lexicon: lex.search("*"), 5)
            row(f"{label}: iterating keys()", t_keys, "search('*')", t_star, 1.0)
            t_star_counts = best_of(lambda lex=lexicon: lex.search("*", True), 5)
            row(f"{label}: iterating items()", t_items, "search('*', True)", t_star_counts, 1.0)
            if "marisa Trie" in others:
                marisa = others["marisa Trie"]
                row(f"{label}: iterating keys()", t_keys, "marisa iterkeys()",
                    best_of(lambda: [w for w in marisa.iterkeys()], 5), 0.5)  # noqa: C416
                row(f"{label}: iterating items()", t_items, "marisa iteritems()",
                    best_of(lambda: [p for p in marisa.iteritems()], 5), 0.5)  # noqa: C416
            if form == "mutable":
                continue
            for peer in ("dawg2 IntDAWG", "marisa RecordTrie"):
                if peer in others:
                    structure = others[peer]

                    def peer_get(s=structure):
                        for w in sample:
                            s[w]

                    row(f"{label}: lex[w]", t_get, f"{peer} [w]", best_of(peer_get), 1.0)
            if "marisa Trie" in others:
                marisa = others["marisa Trie"]

                def index(lex=lexicon):
                    for w in sample:
                        lex.index(w)

                def key_id():
                    for w in sample:
                        marisa.key_id(w)

                keys = lexicon.keys()

                def by_rank():
                    for i in ranks:
                        keys[i]

                def restore_key():
                    for i in ranks:
                        marisa.restore_key(i)

                row(f"{label}: index(w)", best_of(index), "marisa key_id", best_of(key_id), 1.0)
                row(f"{label}: keys()[i]", best_of(by_rank), "marisa restore_key", best_of(restore_key), 1.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lists", nargs="*", default=DEFAULT_LISTS)
    parser.add_argument("--sample", type=int, default=200_000)
    parser.add_argument("--json", metavar="FILE", help="also write the goals judged as JSON")
    args = parser.parse_args()
    kept = []
    for path in args.lists:
        measure(path, args.sample, kept)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(kept, f)


if __name__ == "__main__":
    main()
