"""A short tour of sorvan on a real word list.

    ./dev demo [--words PATH]
"""

import argparse
import os
import time

from sorvan import Trie

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

    print(f"Loading {args.words} ...", flush=True)
    with open(args.words, encoding="utf-8") as f:
        words = [w for w in (line.strip() for line in f) if w]

    before = rss_mib()
    start = time.perf_counter()
    trie = Trie()
    for word in words:
        trie.add(word)
    took = time.perf_counter() - start
    print(f"{trie!r}: {len(words):,} words in {took:.2f} s, {rss_mib() - before:.0f} MiB")

    print("\nMembership")
    for word in ["apple", "trie", "lexicon", "sorvan", "Zürich", ""]:
        print(f"  {word!r:<12} {'yes' if word in trie else 'no'}")

    print("\nIs it the start of some word?")
    for prefix in ["appl", "xylo", "qz", "zyzz"]:
        print(f"  {prefix!r:<12} {'yes' if trie.contains_prefix(prefix) else 'no'}")

    print(f"\nTotal count of all words added: {trie.get_word_count():,}")


if __name__ == "__main__":
    main()
