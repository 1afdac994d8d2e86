"""The lexicon used as a dictionary, against its own queries and the peers.

Rows, each a ratio of times (best of three) with its goal marked met or
missed: lex[w] in random order against `w in lex` on the same form and, on
the compact form, against dawg2's IntDAWG d[w] and marisa-trie's RecordTrie
t[w]; iterating keys() and items() against search('*') and marisa-trie's
iterkeys(); index(w) and keys()[i] on the compact form against marisa-trie's
key_id and restore_key.

    python3 bench/dictionary.py [WORD_LIST ...] [--sample N]
"""

import argparse
import random

import sorvan
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


def row(name, ours, theirs, goal):
    ratio = ours / theirs
    print(f"  {name:<58} {ratio:6.2f}x  (goal <= {goal}: {'met' if ratio <= goal else 'MISSED'})")


def measure(path, sample_size):
    words = load_words(path)
    rng = random.Random(1)
    stored = sorted(set(words))
    sample = rng.sample(stored, min(sample_size, len(stored)))
    ranks = [rng.randrange(len(stored)) for _ in sample]
    others = peers(words)
    print(f"{path}: {len(stored)} distinct words, {len(sample)} lookups")

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
            row(f"{label}: lex[w] / w in lex", t_get, best_of(contains), 1.2)
            t_keys = best_of(lambda lex=lexicon: [w for w in lex.keys()])  # noqa: C416
            t_items = best_of(lambda lex=lexicon: [p for p in lex.items()])  # noqa: C416
            t_star = best_of(lambda lex=lexicon: lex.search("*"))
            row(f"{label}: iterate keys() / search('*')", t_keys, t_star, 1.0)
            t_star_counts = best_of(lambda lex=lexicon: lex.search("*", True))
            row(f"{label}: iterate items() / search('*', True)", t_items, t_star_counts, 1.0)
            if form == "mutable":
                continue
            for peer in ("dawg2 IntDAWG", "marisa RecordTrie"):
                if peer in others:
                    structure = others[peer]

                    def peer_get(s=structure):
                        for w in sample:
                            s[w]

                    row(f"{label}: lex[w] / {peer} [w]", t_get, best_of(peer_get), 1.0)
            if "marisa Trie" in others:
                marisa = others["marisa Trie"]
                row(f"{label}: iterate keys() / marisa iterkeys()", t_keys,
                    best_of(lambda: [w for w in marisa.iterkeys()]), 0.5)  # noqa: C416

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

                row(f"{label}: index(w) / marisa key_id", best_of(index), best_of(key_id), 1.0)
                row(f"{label}: keys()[i] / marisa restore_key", best_of(by_rank), best_of(restore_key), 1.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lists", nargs="*", default=DEFAULT_LISTS)
    parser.add_argument("--sample", type=int, default=200_000)
    args = parser.parse_args()
    for path in args.lists:
        measure(path, args.sample)


if __name__ == "__main__":
    main()
