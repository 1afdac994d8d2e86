"""Benchmarks of sorvan against the structures a user would pick instead.

Run with ``./dev bench``: the 663K-word English list, then the German list
(non-ASCII), or the lists given with --words, each followed by the goals of
the dictionary use (dictionary.py) and of removal and the prefixes of a
text (removal.py: removal on the first list only); then every code point added in
descending order as a one-letter word (--code-points limits it). Every structure is built in a
fresh interpreter (so that its RSS growth is its own), on the same words, in
the same run, and each table reports every figure with its ratio to a
reference row's. --json keeps the figures, --plot draws the ratios, and
--from-json prints and draws a saved run again without measuring.
"""

# The benchmarks read top-down: peers.py, the structures measured and how
# each is built; goals.py, what sorvan is held to; workers.py, the measuring,
# one fresh interpreter each; report.py, the tables and the chart; this file,
# the driver.

import argparse
import json
import os
import subprocess
import sys

from goals import SUGGEST_TIME
from report import plot, report, report_wide
from workers import BUILT, CONSTRUCTORS, WIDE_CONSTRUCTORS, WORKERS

DEFAULT_LISTS = ["/usr/share/dict/american-english-insane", "/usr/share/dict/ngerman"]
DEFAULT_PLOT = os.path.relpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                                            "bench.png"))


def sibling(name):
    """The module `name` of this folder (scale.py, dask_bench.py), however
    this file was started."""
    import importlib

    folder = os.path.dirname(os.path.abspath(__file__))
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module(name)


# ------------------------------------------------------------------ driver --


def run_worker(kind, name, path):
    out = subprocess.run(
        [sys.executable, __file__, "--worker", kind, name, "--words", path],
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        return {"name": name, "error": out.stderr.strip().splitlines()[-1:]}
    return json.loads(out.stdout)


def run_goal_script(script, args):
    """What one of the scripts that judge their own goals (dictionary.py,
    removal.py) printed, and the goals it judged, from a fresh interpreter:
    {"output", "goals"}, or {"error"}."""
    import tempfile

    folder = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as scratch:
        kept = os.path.join(scratch, "goals.json")
        out = subprocess.run([sys.executable, os.path.join(folder, script), *args, "--json", kept],
                             capture_output=True, text=True)
        if out.returncode != 0:
            return {"script": script, "error": out.stderr.strip().splitlines()[-1:]}
        with open(kept) as f:
            return {"script": script, "output": out.stdout, "goals": json.load(f)}


def report_goal_scripts(result):
    """Prints what the goal scripts of one list printed, and adds their goals
    to the list's (report() made the list's anew)."""
    for run in result.get("scripts", []):
        if "error" in run:
            print(f"\n{run['script']} unavailable: {' '.join(run['error'])}")
            continue
        print(run["output"], end="")
        result["goals"] += run["goals"]


def measure(path, first=True):
    """Every figure for one word list, each group from fresh interpreters."""
    print(f"measuring on {path} ...", file=sys.stderr, flush=True)
    build = [run_worker("build", name, path) for name in BUILT]
    construction = [run_worker("construct", name, path) for name in CONSTRUCTORS]
    queries = run_worker("queries", "all", path)
    queries = queries if isinstance(queries, list) else [queries]
    suggest = run_worker("suggest", "all", path)
    queries += suggest if isinstance(suggest, list) else [dict(suggest, table=SUGGEST_TIME)]
    compact = run_worker("compact", "all", path)
    queries += compact if isinstance(compact, list) else [compact]
    scripts = [run_goal_script("dictionary.py", [path]),
               run_goal_script("removal.py", [path] + ([] if first else ["--no-removal"]))]
    return {
        "scripts": scripts,
        "path": path,
        "words": next((r["words"] for r in build if "words" in r), 0),
        "build": build,
        "construction": construction,
        "queries": queries,
    }


def measure_wide(limit):
    # The worker gets the count where the others get a word list's path.
    print(f"measuring descending insertion of {limit or 'all'} code points ...",
          file=sys.stderr, flush=True)
    rows = [run_worker("wide", name, str(limit or "all")) for name in WIDE_CONSTRUCTORS]
    return {"words": next((r["words"] for r in rows if "words" in r), 0), "rows": rows}


def main():
    parser = argparse.ArgumentParser(description=__doc__, epilog=on_their_own_help(),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--words", action="append", metavar="PATH",
                        help="a word list to measure on; repeat for several"
                             " (default: the English and the German list)")
    parser.add_argument("--worker", nargs=2, metavar=("KIND", "NAME"), help=argparse.SUPPRESS)
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--plot", metavar="PNG", nargs="?", const=DEFAULT_PLOT,
                        help="draw the ratios as a bar chart (default docs/bench.png)")
    parser.add_argument("--code-points", metavar="N", type=int,
                        help="insert only the N highest code points in the wide-node"
                             " rows (default: all; 0 leaves the rows out)")
    parser.add_argument("--from-json", metavar="FILE",
                        help="measure nothing: print (and --plot) the results saved in FILE")
    args = parser.parse_args()

    if args.worker:
        kind, name = args.worker
        print(json.dumps(WORKERS[kind](name, args.words[0])))
        return

    if args.from_json:
        with open(args.from_json) as f:
            saved = json.load(f)
        results, wide = saved["lists"], saved.get("wide")
    else:
        results = [measure(path, i == 0) for i, path in enumerate(args.words or DEFAULT_LISTS)]
        wide = measure_wide(args.code_points) if args.code_points != 0 else None
    for result in results:
        report(result)
        report_goal_scripts(result)
    if wide:
        report_wide(wide)
    judged = [g for r in results for g in r.get("goals", [])] + (wide or {}).get("goals", [])
    missed = [g["goal"] for g in judged if not g["met"]]
    print(f"\n{len(judged) - len(missed)} of {len(judged)} goals met" + "".join(f"\nMISSED: {g}" for g in missed))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"lists": results, "wide": wide}, f, indent=2)
    if args.plot:
        plot(results, args.plot)


# The benchmarks that run on their own: the flag that picks one, its script,
# and what --help says of it (each script's own --help gives its options).
ON_THEIR_OWN = {
    "--scale": ("scale", "[--sizes ...] [--json F] [--plot [PNG]]: how the figures grow with the"
                         " number of keys"),
    "--find-all": ("find_all", "[--size MB]: a lexicon's words found in running text, against the peers"),
    "--latency": ("latency", "[--keys N] [--json F] [--before F]: the slowest query against the median"
                             " while builds start"),
    "--complete": ("complete", "[--keys N]: ranked completion against its goals"),
    "--dask": ("dask_bench", "[--words N] [--json F]: the Dask example on a corpus of millions of words"),
    "--opening": ("opening", "[--keys N] [--json F]: a mapped image's open, first queries and memory a"
                             " process, against the peers"),
}


def on_their_own_help():
    """The epilog of --help: the benchmarks that run on their own."""
    lines = [f"  {flag} {text}" for flag, (_, text) in ON_THEIR_OWN.items()]
    return ("other benchmarks, one a run (FLAG --help for its options):\n" + "\n".join(lines))


if __name__ == "__main__":
    chosen = [flag for flag in ON_THEIR_OWN if flag in sys.argv[1:]]
    if chosen:
        sys.argv.remove(chosen[0])
        sibling(ON_THEIR_OWN[chosen[0]][0]).main()
    else:
        main()
