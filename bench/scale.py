"""How build time, memory, image size, loading and queries grow with the
number of keys, from 1M to 30M keys (100M where memory allows).

Besides the mutable lexicons and their compaction, the compact builder from
a sorted file (Trie.from_file with presorted=True, plain and with counts)
is measured beside the peers that build from sorted input: ducer's Map.build,
which streams to a file, and marisa-trie.

Run with ``./dev bench --scale`` (``--json`` keeps the figures, ``--plot``
draws them against N on log-log axes, ``--sizes`` picks the sizes). The
keys are word bigrams of the English list, drawn reproducibly: distinct
pairs of words in a shuffled order, so that they share prefixes and
suffixes the way real keys (n-grams, names) do. Each size's key file is made
once and kept under build/scale/. Every structure is built in a fresh
interpreter, so that its peak and steady memory are its own.
"""

import argparse
import ctypes
import gc
import json
import math
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

WORDS = "/usr/share/dict/american-english-insane"
HERE = os.path.dirname(os.path.abspath(__file__))
KEY_DIR = os.path.join(HERE, "..", "build", "scale")
DEFAULT_PLOT = os.path.relpath(os.path.join(HERE, "..", "docs", "scale.png"))
DEFAULT_SIZES = [1_000_000, 3_000_000, 10_000_000, 30_000_000, 100_000_000]
LOOKUPS = 100_000
# Fixed searches, the same at every size: a prefix, two patterns and a
# Levenshtein query, each finding a handful to some thousands of keys.
SEARCHES = [
    ("prefix 'overt'", lambda lex: lex.search_with_prefix("overt")),
    ("wildcard 'the ?a*s'", lambda lex: lex.search("the ?a*s")),
    ("wildcard '*ing ofs'", lambda lex: lex.search("*ing ofs")),
    ("distance 1 of 'hello world'", lambda lex: lex.search_within_distance("hello world", 1)),
]
# The bytes a structure needs per key at most, for deciding whether a size
# fits in memory (measured at 10M keys, with a margin).
BYTES_PER_KEY = {"sorvan.Trie": 260, "sorvan.DAWG": 420, "compact": 300, "from_file": 60,
                 "from_file counts": 70, "marisa-trie": 120, "marisa RecordTrie": 150, "ducer": 30}
STRUCTURES = list(BYTES_PER_KEY)

GOALS = {
    # The image of the compact form at 10M keys, against marisa's with a count.
    "image_per_key_vs_record_trie_10M": 1.0,
    # Trie.add_from_file against marisa-trie's build, at 10M keys.
    "trie_build_vs_marisa_10M": 0.6,
    # Compaction's peak at 10M keys against the mutable lexicon plus the image.
    "compact_peak_vs_mutable_plus_image_10M": 1.25,
    # Per-key build time and per-lookup time at 30M keys against 1M keys.
    "build_per_key_growth_30M_vs_1M": 1.5,
    "lookup_growth_30M_vs_1M": 1.5,
    # The builder from a sorted file against ducer's Map.build from the same
    # file: CPU time, and the peak against marisa-trie's, at 10M keys.
    "from_file_cpu_vs_ducer_10M": 1.0,
    "from_file_peak_vs_marisa_10M": 0.25,
    # add_from_file then compact() against ducer's CPU time, and compact()
    # against the fill before it.
    "compact_cpu_vs_ducer_10M": 2.0,
    "compact_vs_fill_10M": 2.0,
    # A word<TAB>count file against the plain one.
    "from_file_counts_vs_plain_10M": 1.2,
}


def cached_file(name, write):
    """build/scale/NAME, made by write(file, words of the English list) on
    first use."""
    path = os.path.join(KEY_DIR, name)
    if not os.path.exists(path):
        os.makedirs(KEY_DIR, exist_ok=True)
        with open(WORDS, encoding="utf-8") as f:
            words = [w for w in (line.strip() for line in f) if w]
        with open(path + ".partial", "w", encoding="utf-8") as out:
            write(out, words)
        os.replace(path + ".partial", path)
    return path


def key_file(n):
    """The path of the file of `n` distinct keys, made on first use."""
    return cached_file(f"keys-{n}.txt", lambda out, words: write_keys(out, words, n))


def sorted_key_file(n):
    """The keys of key_file(n) in ascending code-point order (byte order of
    UTF-8), made on first use."""
    path = os.path.join(KEY_DIR, f"keys-{n}.sorted.txt")
    if not os.path.exists(path):
        subprocess.run(["sort", "-o", path + ".partial", key_file(n)], check=True,
                       env={**os.environ, "LC_ALL": "C"})
        os.replace(path + ".partial", path)
    return path


def counts_file(n):
    """The sorted keys as word<TAB>count lines, the counts drawn from a Zipf
    law (most are 1 or 2, a few are large), made on first use."""
    path = os.path.join(KEY_DIR, f"keys-{n}.counts.tsv")
    if not os.path.exists(path):
        import numpy as np

        rng = np.random.default_rng(n)
        with open(sorted_key_file(n), encoding="utf-8") as f, open(path + ".partial", "w", encoding="utf-8") as out:
            while lines := f.readlines(1 << 24):
                counts = np.minimum(rng.zipf(1.3, size=len(lines)), 10**9).tolist()
                out.write("".join(f"{line[:-1]}\t{c}\n" for line, c in zip(lines, counts)))
        os.replace(path + ".partial", path)
    return path


def write_keys(out, words, n):
    import numpy as np

    # Distinct pairs (first, second) as numbers first * W + second, drawn
    # without bias and deduplicated, then put in a random order.
    w = len(words)
    rng = np.random.default_rng(n)
    pairs = np.unique(rng.integers(0, w * w, size=int(n * 1.02), dtype=np.int64))
    while len(pairs) < n:
        more = rng.integers(0, w * w, size=n - len(pairs) + 1000, dtype=np.int64)
        pairs = np.unique(np.concatenate([pairs, more]))
    pairs = rng.permutation(pairs)[:n]
    for start in range(0, n, 1_000_000):
        chunk = pairs[start : start + 1_000_000]
        out.write("".join(f"{words[p // w]} {words[p % w]}\n" for p in chunk.tolist()))


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def steady_rss():
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return status_kib("VmRSS") * 1024


def reset_peak():
    """Starts VmHWM again from the current VmRSS."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def timed_build(build, figures):
    """Runs build(), keeping its wall-clock, user and system time in
    `figures`: on some virtual machines the system's share, the first touch
    of fresh memory, varies more from run to run than the build's own work."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    structure, figures["build_s"] = timed(build)
    after = resource.getrusage(resource.RUSAGE_SELF)
    figures["build_user_s"] = after.ru_utime - before.ru_utime
    figures["build_system_s"] = after.ru_stime - before.ru_stime
    return structure


def sample_keys(path, count, seed):
    """`count` keys of the file, chosen at random, in random order. The file
    is read line by line: holding all its keys here and freeing them just
    before a build would hand that build gigabytes of memory the system had
    just taken back, whose first touch costs more on some virtual machines
    (at 30M keys the same build took 31 s after it and 18 s without)."""
    rng = random.Random(seed)
    with open(path, encoding="utf-8") as f:
        lines = sum(1 for _ in f)
    chosen = set(rng.sample(range(lines), min(count, lines)))
    with open(path, encoding="utf-8") as f:
        keys = [line[:-1] for i, line in enumerate(f) if i in chosen]
    rng.shuffle(keys)
    return keys


def lookup_ns(structure, keys):
    start = time.perf_counter()
    found = sum(1 for k in keys if k in structure)
    elapsed = time.perf_counter() - start
    assert found == len(keys), f"{len(keys) - found} keys missing"
    return elapsed / len(keys) * 1e9


def lookup_figures(structure, probe):
    """The time of a random lookup: over the first half of `probe`, the
    first lookups after the build, and over the second half, once those have
    warmed what any lookup uses. On this kind of virtual machine the first
    pass over a structure of gigabytes pays up to half again as much."""
    half = len(probe) // 2
    return {"first_lookup_ns": lookup_ns(structure, probe[:half]),
            "lookup_ns": lookup_ns(structure, probe[half:])}


def worker(name, path, n):
    """Builds `name` from the key file and prints its figures as JSON."""
    probe = sample_keys(path, 2 * LOOKUPS, seed=n)  # read before the baseline
    base = steady_rss()
    figures = {"structure": name, "keys": n}
    if name == "ducer":
        import ducer
        import mmap

        with tempfile.TemporaryDirectory() as d:
            image = os.path.join(d, "image")

            def build():
                with open(sorted_key_file(n), "rb") as f:
                    ducer.Map.build(image, ((line[:-1], 1) for line in f))

            timed_build(build, figures)
            figures["peak_kib"] = status_kib("VmHWM")
            figures["image_bytes"] = os.path.getsize(image)
            with open(image, "rb") as f:
                structure, figures["load_mmap_s"] = timed(
                    lambda: ducer.Map(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)))
            figures["steady_bytes"] = steady_rss() - base
            # Keys are bytes: the probe is encoded first, outside the timing.
            figures.update(lookup_figures(structure, [k.encode() for k in probe]))
        print(json.dumps(figures))
        return
    if name.startswith("from_file"):
        import sorvan

        counted = name == "from_file counts"
        source = counts_file(n) if counted else sorted_key_file(n)
        lexicon = timed_build(lambda: sorvan.Trie.from_file(source, presorted=True, counts=counted), figures)
        figures["peak_kib"] = status_kib("VmHWM")
        figures["peak_bytes"] = figures["peak_kib"] * 1024 - base
        figures["steady_bytes"] = steady_rss() - base
        with tempfile.TemporaryDirectory() as d:
            image = os.path.join(d, "image")
            lexicon.save(image)
            figures["image_bytes"] = os.path.getsize(image)
        figures.update(lookup_figures(lexicon, probe))
        print(json.dumps(figures))
        return
    if name.startswith("marisa"):
        import marisa_trie

        def build():
            with open(path, encoding="utf-8") as f:
                keys = f.read().split("\n")[:-1]
            if name == "marisa-trie":
                return marisa_trie.Trie(keys)
            return marisa_trie.RecordTrie("<I", ((k, (1,)) for k in keys))

        structure = timed_build(build, figures)
        figures["steady_bytes"] = steady_rss() - base
        figures["peak_kib"] = status_kib("VmHWM")
        figures["peak_bytes"] = figures["peak_kib"] * 1024 - base
        with tempfile.TemporaryDirectory() as d:
            image = os.path.join(d, "image")
            structure.save(image)
            figures["image_bytes"] = os.path.getsize(image)
            fresh = type(structure)() if name == "marisa-trie" else marisa_trie.RecordTrie("<I")
            _, figures["load_s"] = timed(lambda: fresh.load(image))
            mapped = type(structure)() if name == "marisa-trie" else marisa_trie.RecordTrie("<I")
            _, figures["load_mmap_s"] = timed(lambda: mapped.mmap(image))
        figures.update(lookup_figures(structure, probe))
    else:
        import sorvan

        cls = sorvan.DAWG if name == "sorvan.DAWG" else sorvan.Trie
        lexicon = cls()
        timed_build(lambda: lexicon.add_from_file(sorted_key_file(n) if name == "compact" else path), figures)
        if name == "compact":
            # Compaction's own peak: the mutable lexicon, the image it makes
            # and what it needs meanwhile, above the baseline.
            figures["mutable_bytes"] = steady_rss() - base
            figures["peak_kib"] = status_kib("VmHWM")
            reset_peak()
            before = resource.getrusage(resource.RUSAGE_SELF)
            _, figures["compact_s"] = timed(lexicon.compact)
            after = resource.getrusage(resource.RUSAGE_SELF)
            figures["compact_cpu_s"] = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
            figures["compact_peak_bytes"] = status_kib("VmHWM") * 1024 - base
            figures["peak_kib"] = max(figures["peak_kib"], status_kib("VmHWM"))
        else:
            figures["peak_kib"] = status_kib("VmHWM")
        figures["steady_bytes"] = steady_rss() - base
        if name == "compact":
            with tempfile.TemporaryDirectory() as d:
                image = os.path.join(d, "image")
                lexicon.save(image)
                figures["image_bytes"] = os.path.getsize(image)
                _, figures["load_s"] = timed(lambda: cls.load(image))
                _, figures["load_mmap_s"] = timed(lambda: cls.load(image, mmap=True))
        figures.update(lookup_figures(lexicon, probe))
        for label, search in SEARCHES:
            found, seconds = timed(lambda: search(lexicon))
            figures[f"search {label} ms"] = seconds * 1e3
            figures[f"search {label} found"] = len(found)
    print(json.dumps(figures))


def measure(name, path, n):
    out = subprocess.run([sys.executable, __file__, "--worker", name, path, str(n)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        print(f"  {name} at {n:,} keys failed:\n{out.stderr[-2000:]}", file=sys.stderr)
        return None
    return json.loads(out.stdout)


def available_bytes():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def run(sizes, structures):
    rows = []
    for n in sizes:
        path = key_file(n)
        for name in structures:
            if BYTES_PER_KEY[name] * n > 0.8 * available_bytes():
                print(f"  {name} at {n:,} keys: left out, it would not fit in memory",
                      file=sys.stderr)
                continue
            row = measure(name, path, n)
            if row:
                rows.append(row)
                print(f"  {name:<18} {n:>12,} keys  build {row['build_s']:7.2f} s  "
                      f"steady {row['steady_bytes'] / n:7.1f} B/key  "
                      f"in {row['lookup_ns']:6.0f} ns", file=sys.stderr)
    return rows


def find(rows, name, n):
    return next((r for r in rows if r["structure"] == name and r["keys"] == n), None)


def cpu_s(row):
    """A build's CPU time: user and system."""
    return row["build_user_s"] + row["build_system_s"]


def ratios(rows):
    """The figures the goals are about, with their goals."""
    out = {}
    compact, record = find(rows, "compact", 10_000_000), find(rows, "marisa RecordTrie", 10_000_000)
    if compact and record:
        out["image_per_key_vs_record_trie_10M"] = compact["image_bytes"] / record["image_bytes"]
    if compact and "compact_peak_bytes" in compact:
        out["compact_peak_vs_mutable_plus_image_10M"] = (
            compact["compact_peak_bytes"] / (compact["mutable_bytes"] + compact["image_bytes"]))
    trie, marisa = find(rows, "sorvan.Trie", 10_000_000), find(rows, "marisa-trie", 10_000_000)
    if trie and marisa:
        out["trie_build_vs_marisa_10M"] = trie["build_s"] / marisa["build_s"]
    built, counted, ducer = (find(rows, name, 10_000_000) for name in ("from_file", "from_file counts", "ducer"))
    if built and ducer:
        out["from_file_cpu_vs_ducer_10M"] = cpu_s(built) / cpu_s(ducer)
    if built and marisa:
        out["from_file_peak_vs_marisa_10M"] = built["peak_bytes"] / marisa["peak_bytes"]
    if compact and ducer and "compact_cpu_s" in compact:
        out["compact_cpu_vs_ducer_10M"] = (cpu_s(compact) + compact["compact_cpu_s"]) / cpu_s(ducer)
    if compact and "compact_s" in compact:
        out["compact_vs_fill_10M"] = compact["compact_s"] / compact["build_s"]
    if built and counted:
        out["from_file_counts_vs_plain_10M"] = cpu_s(counted) / cpu_s(built)
    small, large = find(rows, "sorvan.Trie", 1_000_000), find(rows, "sorvan.Trie", 30_000_000)
    if small and large:
        out["build_per_key_growth_30M_vs_1M"] = (large["build_s"] / 30) / small["build_s"]
        out["lookup_growth_30M_vs_1M"] = large["lookup_ns"] / small["lookup_ns"]
    return {k: {"value": v, "goal": GOALS[k], "met": v <= GOALS[k]} for k, v in out.items()}


def print_table(rows, goals):
    columns = [("build_s", "build s", 1), ("build_user_s", "user s", 1), ("build_system_s", "system s", 1),
               ("compact_s", "compact s", 1), ("peak_bytes", "peak MB", 1e-6),
               ("peak_kib", "peak B/key", 1024),
               ("compact_peak_bytes", "compact peak", 1),
               ("steady_bytes", "steady B/key", 1), ("image_bytes", "image B/key", 1),
               ("load_s", "load ms", 1e3), ("load_mmap_s", "mmap ms", 1e3),
               ("first_lookup_ns", "first in ns", 1), ("lookup_ns", "in ns", 1)]
    print(f"{'structure':<18} {'keys':>12} " + " ".join(f"{title:>12}" for _, title, _ in columns))
    for r in rows:
        cells = []
        for key, _, scale in columns:
            if key not in r:
                cells.append(f"{'-':>12}")
                continue
            value = r[key] * scale
            if key in ("peak_kib", "compact_peak_bytes", "steady_bytes", "image_bytes"):
                value /= r["keys"]
            cells.append(f"{value:>12.2f}")
        print(f"{r['structure']:<18} {r['keys']:>12,} " + " ".join(cells))
    for name, goal in goals.items():
        print(f"{name}: {goal['value']:.2f} (goal at most {goal['goal']}) "
              f"{'met' if goal['met'] else 'MISSED'}")
    small, large = find(rows, "sorvan.Trie", 1_000_000), find(rows, "sorvan.Trie", 30_000_000)
    if small and large and "build_user_s" in small and "build_user_s" in large:
        print(f"(sorvan.Trie's build, 30M keys against 1M: user time a key "
              f"{large['build_user_s'] / 30 / small['build_user_s']:.2f}, system time a key "
              f"{large['build_system_s'] / 30 / small['build_system_s']:.2f})")


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("build_s", "build time per key (µs)", lambda r: r["build_s"] / r["keys"] * 1e6),
              ("steady_bytes", "steady memory (B/key)", lambda r: r["steady_bytes"] / r["keys"]),
              ("peak_kib", "peak memory (B/key)", lambda r: r["peak_kib"] * 1024 / r["keys"]),
              ("lookup_ns", "random `in` (ns)", lambda r: r["lookup_ns"])]
    fig, axes = plt.subplots(2, 2, figsize=(11, 8))
    for ax, (key, title, value) in zip(axes.flat, panels):
        for name in STRUCTURES:
            points = [(r["keys"], value(r)) for r in rows if r["structure"] == name and key in r]
            if points:
                xs, ys = zip(*points)
                ax.plot(xs, ys, marker="o", label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(title)
        ax.set_xlabel("keys")
        ax.grid(True, which="both", alpha=0.3)
    axes.flat[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90, metadata={"Software": None})
    print(f"plot written to {path}", file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=lambda s: [int(float(x)) for x in s.split(",")],
                        default=DEFAULT_SIZES)
    parser.add_argument("--structures", type=lambda s: s.split(","), default=STRUCTURES)
    parser.add_argument("--json", help="write the figures here")
    parser.add_argument("--plot", nargs="?", const=DEFAULT_PLOT, help="draw docs/scale.png")
    args = parser.parse_args(argv)
    rows = run(args.sizes, args.structures)
    goals = ratios(rows)
    print_table(rows, goals)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine(), "rows": rows, "goals": goals}, f, indent=1)
    if args.plot:
        plot(rows, args.plot)


def machine():
    return {"cpus": os.cpu_count(), "memory_gib": round(os.sysconf("SC_PHYS_PAGES")
                                                         * os.sysconf("SC_PAGE_SIZE") / 2**30, 1)}


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
