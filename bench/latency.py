"""The slowest query against the median while a compact lexicon builds what
it builds on demand (the membership index, the reversed words for
suggestions), and what building all of it up front with prepare() costs.

Run with ``./dev bench --latency --keys 1e6`` (the keys of bench/scale.py;
``--json`` keeps the figures, ``--before`` shows those of an earlier run
beside). Each operation runs on a freshly compacted
lexicon, so that its stream crosses the point where the build starts:
20,000 suggest(w, 2, limit=5) of misspelled keys, one at a time, and 2M
lookups with `in`, timed in groups of 1,000. The goal: the slowest call (or
group) at most 20 times the median.
"""

import argparse
import json
import os
import random
import resource
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scale import key_file, sample_keys, steady_rss  # noqa: E402

import sorvan  # noqa: E402

GOAL_MAX_OVER_MEDIAN = 20
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def misspell(word, rng):
    """`word` with one letter replaced, dropped, doubled or swapped."""
    i = rng.randrange(len(word))
    kind = rng.randrange(4)
    if kind == 0:
        return word[:i] + rng.choice(LETTERS) + word[i + 1 :]
    if kind == 1 and len(word) > 1:
        return word[:i] + word[i + 1 :]
    if kind == 2:
        return word[:i] + word[i] + word[i:]
    return word[:i] + word[i + 1 : i + 2] + word[i : i + 1] + word[i + 2 :]


def compacted(path):
    lexicon = sorvan.Trie()
    lexicon.add_from_file(path)
    lexicon.compact()
    return lexicon


def spread(samples):
    ordered = sorted(samples)
    return {
        "median_us": statistics.median(ordered) * 1e6,
        "p99_us": ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e6,
        "max_us": ordered[-1] * 1e6,
    }


def suggest_times(lexicon, typos):
    clock = time.perf_counter
    times = []
    for typo in typos:
        start = clock()
        lexicon.suggest(typo, 2, limit=5)
        times.append(clock() - start)
    return times


def lookup_times(lexicon, keys, lookups, group):
    clock = time.perf_counter
    rng = random.Random(2)
    times = []
    for _ in range(lookups // group):
        batch = rng.choices(keys, k=group)
        start = clock()
        for key in batch:
            key in lexicon  # noqa: B015
        times.append(clock() - start)
    return times


def complete_times(lexicon, keys):
    clock = time.perf_counter
    times = []
    for key in keys:
        start = clock()
        lexicon.complete(key[:4])
        times.append(clock() - start)
    return times


def prepare_figures(path, n):
    """Time and memory a key of prepare(), and how soon a signal raised
    during it (as Ctrl-C does) ends it."""
    lexicon = compacted(path)
    before = steady_rss()
    start = time.perf_counter()
    lexicon.prepare()
    seconds = time.perf_counter() - start
    figures = {"prepare_s": seconds, "prepare_bytes_per_key": (steady_rss() - before) / n}
    del lexicon
    lexicon = compacted(path)
    raised = []

    def interrupt(signum, frame):
        raised.append(time.perf_counter())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, seconds / 3)
    try:
        lexicon.prepare()
    except KeyboardInterrupt:
        figures["interrupt_s"] = time.perf_counter() - raised[0]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert ("x" in lexicon) is False
    return figures


def run(n, calls, lookups, group):
    path = key_file(n)
    keys = sample_keys(path, calls, seed=1)
    rng = random.Random(1)
    typos = [misspell(k, rng) for k in keys]
    rows = {}
    # After prepare() (where there is one): the helpers there from the start.
    for prepared in [False, True] if hasattr(sorvan.Trie, "prepare") else [False]:
        for name, measure in [
            ("suggest", lambda lex: suggest_times(lex, typos)),
            (f"in, {group} at a time", lambda lex: lookup_times(lex, keys, lookups, group)),
            ("complete", lambda lex: complete_times(lex, keys)),
        ]:
            lexicon = compacted(path)
            if name == "complete" and not hasattr(lexicon, "complete"):
                continue
            if prepared:
                lexicon.prepare()
            rows[name + (", after prepare()" if prepared else "")] = spread(measure(lexicon))
            del lexicon
    # An earlier build (for the figures before) has no prepare().
    return rows, prepare_figures(path, n) if hasattr(sorvan.Trie, "prepare") else None


def print_table(n, rows, prepared, before=None):
    print(f"\n{n:,} keys, compact Trie; microseconds")
    head = "| operation | median | p99 | max | max / median | goal |"
    if before:
        head = "| operation | before: median / p99 / max | after: median | p99 | max | max / median | goal |"
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for name, row in rows.items():
        ratio = row["max_us"] / row["median_us"]
        met = "met" if ratio <= GOAL_MAX_OVER_MEDIAN else "MISSED"
        cells = [name]
        if before:
            b = before.get(name)
            cells.append(f"{b['median_us']:,.1f} / {b['p99_us']:,.1f} / {b['max_us']:,.0f}" if b else "-")
        cells += [f"{row['median_us']:,.1f}", f"{row['p99_us']:,.1f}", f"{row['max_us']:,.1f}",
                  f"{ratio:,.1f}", f"<= {GOAL_MAX_OVER_MEDIAN}: {met}"]
        print("| " + " | ".join(cells) + " |")
    if prepared:
        print(f"\nprepare(): {prepared['prepare_s']:.2f} s, {prepared['prepare_bytes_per_key']:.1f} B/key kept;"
              f" a signal during it returned in {prepared.get('interrupt_s', float('nan')) * 1e3:.0f} ms"
              f" (goal 500 ms: {'met' if prepared.get('interrupt_s', 1) <= 0.5 else 'MISSED'})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=lambda s: int(float(s)), default=1_000_000)
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--lookups", type=int, default=2_000_000)
    parser.add_argument("--group", type=int, default=1_000)
    parser.add_argument("--json", help="write the figures here")
    parser.add_argument("--before", help="figures of an earlier run (--json) to show beside")
    args = parser.parse_args(argv)
    rows, prepared = run(args.keys, args.calls, args.lookups, args.group)
    before = None
    if args.before:
        with open(args.before) as f:
            before = json.load(f)["rows"]
    print_table(args.keys, rows, prepared, before)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"keys": args.keys, "rows": rows, "prepare": prepared,
                       "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}, f, indent=1)


if __name__ == "__main__":
    main()
