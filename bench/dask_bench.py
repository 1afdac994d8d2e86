"""The Dask spell-checking example on a corpus of ten million words: two
worker processes against one process, the lexicon shipped both ways.

Run with ``./dev bench --dask`` (``--words N`` sets the corpus size, ``--json
FILE`` keeps the figures). The corpus is made reproducibly from the English
list: words drawn with Zipf frequencies, twelve to a line, one in fifty
replaced by one of 2,000 misspellings (real text repeats its typos). The
cluster's start-up is left out of its time; shipping the lexicon is in.
"""

import argparse
import json
import os
import random
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

import dask_spellcheck  # noqa: E402
import scale  # noqa: E402

WORDS = scale.WORDS
GOAL = 0.7  # the cluster's time at most this times one process's


def misspelt(rng, word):
    i = rng.randrange(max(len(word) - 1, 1))
    if len(word) > 3 and rng.random() < 0.5:
        return word[:i] + word[i + 1] + word[i] + word[i + 2 :]  # a swap
    return word[:i] + word[i + 1 :]  # a letter dropped


def corpus(n_words):
    """build/scale/corpus-N.txt, made on first use."""
    return scale.cached_file(f"corpus-{n_words}.txt", lambda out, words: write_corpus(out, words, n_words))


def write_corpus(out, words, n_words):
    words = [w for w in words if w.isalpha()]
    rng = random.Random(13)
    rng.shuffle(words)
    weights = [1 / (rank + 1) for rank in range(len(words))]
    typos = [misspelt(rng, w) for w in rng.choices(words[:20000], k=2000)]
    tokens = rng.choices(words, weights=weights, k=n_words)
    for i in range(0, n_words, 50):
        tokens[i] = rng.choice(typos)
    for start in range(0, n_words, 12):
        out.write(" ".join(tokens[start : start + 12]) + ".\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=10_000_000, help="corpus size in words")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--json", help="write the figures here")
    args = parser.parse_args(argv)

    path = corpus(args.words)
    with open(path, encoding="utf-8") as f:
        lines = sum(1 for _ in f)
    lexicon = dask_spellcheck.load_lexicon(WORDS)
    start = time.perf_counter()
    with open(path, encoding="utf-8") as f:
        local = dask_spellcheck.check_lines(f.readlines(), lexicon)
    one_process = time.perf_counter() - start
    figures = {"words": args.words, "lines": lines, "unknown": len(local),
               "one_process_s": one_process, "workers": args.workers}
    print(f"corpus: {args.words:,} words, {lines:,} lines, {len(local):,} distinct unknown words")
    print(f"one process: {one_process:.2f} s")

    from dask.distributed import Client, LocalCluster

    start = time.perf_counter()
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client, \
            tempfile.TemporaryDirectory() as image_dir:
        figures["cluster_start_s"] = time.perf_counter() - start
        print(f"cluster of {args.workers} worker processes started in "
              f"{figures['cluster_start_s']:.2f} s (not counted)")
        for ship in ["pickle", "mmap"]:
            start = time.perf_counter()
            report, shipping = dask_spellcheck.check_on_cluster(
                client, path, lexicon, ship, 4 * args.workers, image_dir)
            took = time.perf_counter() - start
            assert report == local, "the cluster's report differs from one process's"
            ratio = took / one_process
            figures[f"cluster_{ship}_s"] = took
            figures[f"shipping_{ship}_s"] = shipping
            figures[f"ratio_{ship}"] = ratio
            print(f"{args.workers} workers, lexicon by {ship}: {took:.2f} s, shipping "
                  f"{shipping:.3f} s; {ratio:.2f} x one process (goal at most {GOAL}: "
                  f"{'met' if ratio <= GOAL else 'MISSED'})")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
