"""Spell-check a corpus on a Dask cluster, every worker holding the lexicon.

The corpus is split into partitions of lines; each partition is checked on
a worker with the batch methods (batch_contains for the known words,
batch_suggest for the others), and the partial reports are merged into one
report: every unknown word, how often it occurs, and its best suggestions.

The lexicon reaches the workers in one of two ways (--ship):

  pickle  the lexicon, compacted, is pickled once and broadcast to every
          worker (client.scatter(..., broadcast=True)); each worker process
          holds its own copy.
  mmap    the lexicon is saved once to an image file, and every worker
          process maps that file (load(path, mmap=True)); processes on one
          machine share its pages.

    python examples/dask_spellcheck.py CORPUS --words WORDS [--workers 2]
        [--ship pickle|mmap] [--partitions N] [--out report.tsv]
    python examples/dask_spellcheck.py CORPUS --words WORDS --local

--local checks the whole corpus in this process, without Dask; the report
is the same.
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import sys
import tempfile
import time

import sorvan

WORD = re.compile(r"[^\W\d_]+(?:'[^\W\d_]+)*")
SUGGESTIONS = 3


def tokens(line: str) -> list[str]:
    return WORD.findall(line)


def unknown_words(lines: list[str], lexicon) -> dict[str, int]:
    """The unknown words of `lines`, with how often each occurs.

    A word is known when the lexicon holds it as written or in lower case
    (a capital at the start of a sentence)."""
    counts = collections.Counter(t for line in lines for t in tokens(line))
    words = list(counts)
    known = lexicon.batch_contains(words)
    known_lower = lexicon.batch_contains([w.lower() for w in words])
    return {w: counts[w] for w, k, kl in zip(words, known, known_lower) if not (k or kl)}


def suggestions_for(words: list[str], lexicon) -> list[list[str]]:
    """The best suggestions for each word, nearest first."""
    found = lexicon.batch_suggest([w.lower() for w in words], 2, SUGGESTIONS, transpositions=True)
    return [[s for s, _ in near] for near in found]


def merge(counts) -> dict[str, int]:
    merged: dict[str, int] = collections.Counter()
    for part in counts:
        merged.update(part)
    return dict(merged)


def check_lines(lines: list[str], lexicon) -> dict[str, tuple[int, list[str]]]:
    """The report of `lines` in this process: word -> (occurrences, suggestions)."""
    unknown = unknown_words(lines, lexicon)
    words = sorted(unknown)
    return {w: (unknown[w], s) for w, s in zip(words, suggestions_for(words, lexicon))}


def format_report(report) -> str:
    """One line per unknown word, most frequent first: word, count, suggestions."""
    rows = sorted(report.items(), key=lambda item: (-item[1][0], item[0]))
    return "".join(f"{w}\t{n}\t{' '.join(s)}\n" for w, (n, s) in rows)


def partitions(items: list, n: int) -> list[list]:
    size = max(1, -(-len(items) // n))
    return [items[i : i + size] for i in range(0, len(items), size)]


def byte_ranges(path: str, n: int) -> list[tuple[int, int]]:
    """The file cut into `n` ranges of bytes, for the workers to read."""
    size = os.path.getsize(path)
    cuts = [size * i // n for i in range(n + 1)]
    return [(a, b) for a, b in zip(cuts, cuts[1:]) if b > a]


def read_lines(path: str, start: int, end: int) -> list[str]:
    """The lines of the file that begin in [start, end)."""
    with open(path, "rb") as f:
        if start > 0:
            f.seek(start - 1)
            f.readline()  # the rest of the line that began before
        begin = f.tell()
        end = min(end, os.fstat(f.fileno()).st_size)
        if begin >= end:
            return []
        data = f.read(end - begin)
        if not data.endswith(b"\n"):
            data += f.readline()  # the rest of the last line, which began before end
    return data.decode("utf-8").splitlines(keepends=True)


def unknown_in_range(path: str, start: int, end: int, lexicon) -> dict[str, int]:
    return unknown_words(read_lines(path, start, end), lexicon)


def on_worker(task, path: str | None, class_name: str, *args):
    """task(*args, lexicon) with the lexicon mapped from the image at `path`,
    once per worker process (the worker object keeps it between tasks), or
    with the lexicon itself as the last argument when `path` is None."""
    if path is None:
        return task(*args)
    from dask.distributed import get_worker

    worker = get_worker()
    mapped = worker.__dict__.setdefault("sorvan_lexicons", {})
    if path not in mapped:
        mapped[path] = getattr(sorvan, class_name).load(path, mmap=True)
    return task(*args, mapped[path])


def check_on_cluster(client, corpus: str, lexicon, ship: str, n_partitions: int, image_dir: str):
    """The report of the file `corpus`, checked on the cluster behind
    `client`, and the seconds spent shipping the lexicon. Each worker reads
    its own ranges of the file (the corpus never goes through this process),
    and the partitions' unknown words are merged first, so that each distinct
    word gets its suggestions once, from whichever worker takes its share."""
    import cloudpickle

    # The workers need not import this file: its functions travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    start = time.perf_counter()
    name = type(lexicon).__name__
    if ship == "pickle":
        shipped = client.scatter(lexicon, broadcast=True)
        path, extra = None, (shipped,)
    else:
        path = os.path.join(image_dir, "lexicon.img")
        lexicon.save(path)
        extra = ()
    shipping = time.perf_counter() - start

    def run(task, parts):
        futures = [client.submit(on_worker, task, path, name, *part, *extra, pure=False)
                   for part in parts]
        return client.gather(futures)

    ranges = [(corpus, a, b) for a, b in byte_ranges(corpus, n_partitions)]
    unknown = merge(run(unknown_in_range, ranges))
    words = sorted(unknown)
    suggested = [s for part in run(suggestions_for, [(p,) for p in partitions(words, n_partitions)])
                 for s in part]
    return {w: (unknown[w], s) for w, s in zip(words, suggested)}, shipping


def load_lexicon(words_path: str):
    lexicon = sorvan.Trie()
    lexicon.add_from_file(words_path)
    lexicon.compact()
    return lexicon


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", help="a UTF-8 text file")
    parser.add_argument("--words", required=True, help="the lexicon's word file")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--ship", choices=["pickle", "mmap"], default="pickle")
    parser.add_argument("--partitions", type=int, default=0, help="default: 4 per worker")
    parser.add_argument("--local", action="store_true", help="check in this process only")
    parser.add_argument("--out", help="write the report here (default: standard output)")
    args = parser.parse_args(argv)

    lexicon = load_lexicon(args.words)
    start = time.perf_counter()
    if args.local:
        with open(args.corpus, encoding="utf-8") as f:
            report = check_lines(f.readlines(), lexicon)
        shipping = 0.0
    else:
        from dask.distributed import Client, LocalCluster

        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client, \
                tempfile.TemporaryDirectory() as image_dir:
            start = time.perf_counter()
            report, shipping = check_on_cluster(
                client, args.corpus, lexicon, args.ship, args.partitions or 4 * args.workers,
                image_dir
            )
    seconds = time.perf_counter() - start
    text = format_report(report)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    print(f"{len(report)} distinct unknown words; {seconds:.2f} s "
          f"(shipping {shipping:.2f} s)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
