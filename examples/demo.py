"""A short tour of sorvan on a real word list.

    ./dev demo [--words PATH]
"""

import argparse
import os
import time

from sorvan import DAWG, Trie

DEFAULT_WORDS = "/usr/share/dict/american-english-insane"


def rss_mib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    except OSError:
        return float("nan")


def main():
    parser = argparse.ArgumentParser(description="A short tour of sorvan.")
    parser.add_argument("--words", default=DEFAULT_WORDS, help="a UTF-8 file, one word per line")
    args = parser.parse_args()

    print(f"Loading {args.words} with add_from_file ...", flush=True)
    lexicons = []
    for cls in (Trie, DAWG):
        before = rss_mib()
        start = time.perf_counter()
        lexicon = cls()
        lexicon.add_from_file(args.words)  # the DAWG sorts the words itself
        took = time.perf_counter() - start
        print(f"  {lexicon!r}: {took:.2f} s, {rss_mib() - before:.0f} MiB")
        lexicons.append(lexicon)
    trie, dawg = lexicons

    print("\nMembership (Trie, DAWG)")
    for word in ["apple", "trie", "lexicon", "sorvan", "Zürich", ""]:
        answers = ", ".join("yes" if word in lexicon else "no" for lexicon in (trie, dawg))
        print(f"  {word!r:<12} {answers}")

    print("\nIs it the start of some word?")
    for prefix in ["appl", "xylo", "qz", "zyzz"]:
        print(f"  {prefix!r:<12} {'yes' if trie.contains_prefix(prefix) else 'no'}")

    print(f"\nTotal count of all words added: {trie.get_word_count():,}")


if __name__ == "__main__":
    main()
