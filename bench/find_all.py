"""Finding the lexicon's words in running text (find_all), against the
libraries a user would pick for it, each goal printed met or MISSED.

Run with ``./dev bench --find-all [--size MB]`` (or ``python3
bench/find_all.py`` in the build root). Texts: words of the English and
German lists drawn at random, joined with spaces and punctuation, and a
licence file of the machine repeated, each --size MB (10 by default).
Lexicons: the full English list, and 10,000 terms of two or three English
words. Every call gets the text in pieces of --piece characters (each
piece's list of matches made, then dropped), so that the overlapping matches
of the full list (several a character) never all live at once.
"""

import argparse
import gc
import os
import random
import sys
import tempfile
import time

import sorvan
from goals import judge
from workers import load_words, steady_rss_bytes

ENGLISH = "/usr/share/dict/american-english-insane"
GERMAN = "/usr/share/dict/ngerman"
LICENCE = "/usr/share/common-licenses/GPL-3"
PUNCTUATION = ["", "", "", ",", ".", ";", "!", "?", " -", ":"]
TERMS = 10_000


def words_text(words, size, rng):
    out, n = [], 0
    while n < size:
        piece = rng.choice(words) + rng.choice(PUNCTUATION)
        out.append(piece)
        n += len(piece) + 1
    return " ".join(out)[:size]


def licence_text(size):
    with open(LICENCE, encoding="utf-8") as f:
        text = f.read()
    return (text * (size // len(text) + 1))[:size]


def timed(call, pieces, repeat):
    """The least time over `repeat` runs of call(piece) for every piece, and
    the number of matches it gave."""
    best, found = float("inf"), 0
    for _ in range(repeat):
        gc.collect()
        found = 0
        start = time.perf_counter()
        for piece in pieces:
            found += len(call(piece))
        best = min(best, time.perf_counter() - start)
    return best, found


def peers_for(words):
    """{name: (overlapping(text), whole_words(text))} of the peers that are
    installed: each builds the same list as find_all."""
    found = {}
    try:
        import ahocorasick

        automaton = ahocorasick.Automaton()
        for w in words:
            automaton.add_word(w, w)
        automaton.make_automaton()
        found["pyahocorasick Automaton.iter"] = (
            lambda text: [(end - len(w) + 1, end + 1, w) for end, w in automaton.iter(text)], None)
    except ImportError:
        pass
    try:
        import ahocorasick_rs

        matcher = ahocorasick_rs.AhoCorasick(words)
        found["ahocorasick-rs"] = (
            lambda text: [(s, e, words[i]) for i, s, e in matcher.find_matches_as_indexes(text, overlapping=True)],
            None)
    except ImportError:
        pass
    try:
        from flashtext import KeywordProcessor

        processor = KeywordProcessor(case_sensitive=True)
        for w in words:
            processor.add_keyword(w)
        found["flashtext extract_keywords"] = (
            None, lambda text: [(s, e, w) for w, s, e in processor.extract_keywords(text, span_info=True)])
    except ImportError:
        pass
    return found


def compare(kept, title, ours, peers, pieces, repeat, bounds):
    """Times our rows and the peers' on the pieces, and judges each
    (row, peer, bound) of `bounds`."""
    print(f"{title}")
    times = {}
    for name, call in list(ours.items()) + list(peers.items()):
        if call is None:
            continue
        took, found = timed(call, pieces, repeat)
        times[name] = took
        print(f"  {name:<40} {took:8.3f} s  {found:>10,} matches")
    for row, peer, bound in bounds:
        if row in times and peer in times:
            judge(kept, f"{title}: {row} <= {bound} x {peer}", times[row] / times[peer], bound)


def agreement(ours, peer, pieces):
    """The share of pieces on which a peer's matches equal ours (flashtext
    sees only ASCII letters and digits as word characters)."""
    same = sum(sorted(ours(p)) == sorted(peer(p)) for p in pieces)
    return same / len(pieces)


def lexicons(words):
    trie = sorvan.Trie()
    trie.add_all(words)
    compact = sorvan.Trie()
    compact.add_all(words)
    compact.compact()
    return trie, compact


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=float, default=10, help="MB of each text (default 10)")
    parser.add_argument("--piece", type=int, default=1 << 20, help="characters a call (default 2**20)")
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args(argv)
    size = int(args.size * 1e6)
    rng = random.Random(35)
    english = load_words(ENGLISH)
    drawn = english + (load_words(GERMAN) if os.path.exists(GERMAN) else [])
    texts = {"random words": words_text(drawn, size, rng)}
    if os.path.exists(LICENCE):
        texts["licence"] = licence_text(size)
    terms = sorted({" ".join(rng.choice(english) for _ in range(rng.choice((2, 3)))) for _ in range(TERMS)})
    # The terms text holds them: every tenth piece of the words text is one.
    texts_for = {"English list": texts,
                 "10,000 terms": {"random words with terms": " ".join(
                     rng.choice(terms) if i % 10 == 0 else w
                     for i, w in enumerate(texts["random words"].split(" ")))}}
    kept = []
    for lexicon_name, words in (("English list", english), ("10,000 terms", terms)):
        trie, compact = lexicons(words)
        peers = peers_for(words)
        for text_name, text in texts_for[lexicon_name].items():
            pieces = [text[i:i + args.piece] for i in range(0, len(text), args.piece)]
            label = f"{lexicon_name}, {text_name} ({len(text) / 1e6:.0f} MB)"
            overlapping = {"sorvan.Trie find_all": trie.find_all, "sorvan.Trie compact find_all": compact.find_all}
            compare(kept, f"find_all(text), {label}", overlapping,
                    {name: calls[0] for name, calls in peers.items()}, pieces, args.repeat,
                    [("sorvan.Trie compact find_all", "pyahocorasick Automaton.iter", 1.0),
                     ("sorvan.Trie compact find_all", "ahocorasick-rs", 1.5)])
            whole = {name: (lambda f: lambda t: f(t, overlapping=False, whole_words=True))(f)
                     for name, f in overlapping.items()}
            compare(kept, f"find_all(text, overlapping=False, whole_words=True), {label}", whole,
                    {name: calls[1] for name, calls in peers.items()}, pieces[:2], 1,
                    [("sorvan.Trie compact find_all", "flashtext extract_keywords", 0.1)])
            if "flashtext extract_keywords" in peers:
                sample = [p[:20_000] for p in pieces[:4]]
                share = agreement(whole["sorvan.Trie compact find_all"], peers["flashtext extract_keywords"][1],
                                  sample)
                print(f"  flashtext's matches equal ours on {share:.0%} of {len(sample)} 20,000-character pieces")
        del trie, compact, peers
        gc.collect()

    # The batch on the worker pool, against a loop: the walks run in
    # parallel, the tuples are made on the calling thread (under the GIL).
    for lexicon_name, words in (("English list", english), ("10,000 terms", terms)):
        trie, compact = lexicons(words)
        text = next(iter(texts_for[lexicon_name].values()))
        documents = [text[i * 10_000:(i + 1) * 10_000] for i in range(1000)]
        print(f"batch_find_all over {len(documents):,} documents of 10,000 characters, {lexicon_name},"
              f" {os.cpu_count()} CPUs")
        for name, lexicon in (("sorvan.Trie", trie), ("sorvan.Trie compact", compact)):
            loop, _ = timed(lambda docs: [lexicon.find_all(d) for d in docs], [documents], args.repeat)
            found = sum(len(lexicon.find_all(d)) for d in documents)
            batch, _ = timed(lexicon.batch_find_all, [documents], args.repeat)
            assert lexicon.batch_find_all(documents[:20]) == [lexicon.find_all(d) for d in documents[:20]]
            print(f"  {name:<40} loop {loop:8.3f} s, batch {batch:8.3f} s, {found:,} matches")
            judge(kept, f"{lexicon_name}: {name} batch_find_all >= 1.7 x faster than a loop of find_all",
                  loop / batch, 1.7, at_least=True)
        del trie, compact
        gc.collect()

    # The memory the compact form needs to answer: the loaded image, and
    # nothing beside it after a find_all.
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "english.img")
        built = sorvan.Trie()
        built.add_all(english)
        built.save(path)
        del built
        image = os.path.getsize(path)
        before = steady_rss_bytes()
        loaded = sorvan.Trie.load(path)
        loaded.find_all(texts["random words"][:1_000_000])
        grown = steady_rss_bytes() - before
        print("Memory to answer find_all, English list (steady RSS growth)")
        print(f"  {'image file':<40} {image / 2**20:8.1f} MiB")
        print(f"  {'sorvan.Trie.load + find_all':<40} {grown / 2**20:8.1f} MiB")
        del loaded
        try:
            import ahocorasick

            before = steady_rss_bytes()
            automaton = ahocorasick.Automaton()
            for w in english:
                automaton.add_word(w, w)
            automaton.make_automaton()
            grown_peer = steady_rss_bytes() - before
            print(f"  {'pyahocorasick automaton':<40} {grown_peer / 2**20:8.1f} MiB")
        except ImportError:
            pass
        judge(kept, "compact form's memory to answer <= 1.5 x its image", grown / image, 1.5)
    missed = [g for g in kept if not g["met"]]
    print(f"{len(kept) - len(missed)} of {len(kept)} goals met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
