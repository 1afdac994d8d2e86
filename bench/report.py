"""The reporting: the tables of one run's figures, each figure with its
ratio to a reference row's, the goals judged beside them (goals.py), and
the chart of the ratios."""

import math
import os

from goals import SUGGEST_ACCURACY, SUGGEST_ACCURACY_MORE, SUGGEST_BUILD, SUGGEST_TIME, judge_goals
from workers import LOOKUPS, MISSPELLINGS, MORE_MISSPELLINGS


def report_wide(wide):
    print(f"\n=== wide node: {wide['words']:,} code points as one-letter words ===")
    print_table("Descending insertion: each word a new first child of the root (best of 3)",
                wide["rows"], [("build s", "build_s")], "set")
    wide["goals"] = []
    judge_goals(wide["goals"], "wide", {"wide": wide["rows"]})


def figure(value):
    """A figure in at most 14 columns, with four significant digits."""
    if math.isnan(value):
        return "-"
    return f"{value:,.0f}" if value >= 1000 else f"{value:.4g}"


def ratio_text(ratio):
    if math.isnan(ratio):
        return "-"
    return f"{ratio:,.0f}" if ratio >= 100 else f"{ratio:.3g}"


def print_table(title, rows, columns, reference):
    """Prints rows with each figure and its ratio to the reference row."""
    ref = next((r for r in rows if r["name"] == reference and "error" not in r), None)
    width = max([14] + [len(r["name"]) + 1 for r in rows])
    print(f"\n{title}")
    header = f"{'':<{width}}" + "".join(f"{label:>14}{'ratio':>9}" for label, _ in columns)
    print(header)
    for row in rows:
        if "error" in row:
            print(f"{row['name']:<{width}}  unavailable: {' '.join(row['error'])}")
            continue
        if "skipped" in row:
            print(f"{row['name']:<{width}}  skipped: {row['skipped']}")
            continue
        line = f"{row['name']:<{width}}"
        for _, key in columns:
            value = row.get(key, float("nan"))  # (runs saved before a column came have none)
            ratio = value / ref[key] if ref and ref.get(key) else float("nan")
            line += f"{figure(value):>14}{ratio_text(ratio):>9}"
        print(line)
    print(f"(ratio: the figure divided by {reference}'s)")


def query_tables(queries):
    """The query rows grouped by table, in order: {title: rows}."""
    tables = {}
    for row in queries:
        tables.setdefault(row.get("table", "queries"), []).append(row)
    return tables


def reference_of(title):
    return "sorvan.Trie loop" if title.startswith("batch") else "sorvan.Trie"


def report(result):
    """Prints every table of one word list's results."""
    print(f"\n=== {result['path']}: {result['words']:,} words ===")
    print(f"{LOOKUPS} membership lookups in list order and in random order (best of 3)")
    print_table(
        "Build from a Python list, memory, membership with `in`",
        result["build"],
        [("build s", "build_s"), ("bytes/word", "bytes_per_word"), ("saved B/word", "saved_bytes_per_word"),
         ("lookup ns", "lookup_ns"), ("random ns", "random_lookup_ns"),
         ("B/word after", "bytes_per_word_after_lookups")],
        "sorvan.Trie",
    )
    kept = result["goals"] = []
    judge_goals(kept, "build", {"build": result["build"]})
    print_table(
        "Construction: sorvan from the file and from a list, the peers from a list"
        " (best of 3)",
        result["construction"],
        [("build s", "build_s")],
        "marisa-trie",
    )
    judge_goals(kept, "construction", {"construction": result["construction"]})
    tables = query_tables(result["queries"])
    for title, rows in tables.items():
        if "error" in rows[0]:
            print(f"\nqueries unavailable: {' '.join(rows[0]['error'])}")
            continue
        note = f" ({rows[0]['results']:,} results)" if "results" in rows[0] else ""
        if title in (SUGGEST_ACCURACY, SUGGEST_ACCURACY_MORE):
            cases = next((r["cases"] for r in rows if "cases" in r), 0)
            drawn = MISSPELLINGS if title == SUGGEST_ACCURACY else MORE_MISSPELLINGS
            print_table(f"{title} ({cases} of {drawn:,})", rows,
                        [("top-1 %", "accuracy"), ("one swap %", "one_swap"),
                         ("and 1 more %", "swap_and_more"), ("tie lost %", "tie")], "sorvan.Trie")
            if title == SUGGEST_ACCURACY:
                judge_goals(kept, title, tables)
            else:
                print("(tie lost: the word is among the nearest, but an equally near one comes first)")
        elif title == SUGGEST_BUILD:
            print_table(title, rows, [("build s", "build_s"), ("memory MiB", "mib")], "sorvan.Trie")
            for row in rows:
                if "after_calls" in row:
                    print(f"({row['name']}: built by suggest() itself, after {row['after_calls']:,} calls,"
                          f" {row['peak_mib']:.0f} MiB above the lexicon at the peak;"
                          " the times above are those after it)")
        else:
            per_query = title.startswith(("levenshtein", "suggest"))
            unit = rows[0].get("unit", "ms per query" if per_query else "ms")
            print_table(f"{title}{note}", rows, [(unit, "ms")],
                        rows[0].get("reference", reference_of(title)))
            if title == SUGGEST_TIME:
                print(f"({MISSPELLINGS} misspellings of words of the list, one or two edits each)")
                judge_goals(kept, title, tables)
    judge_goals(kept, "compact", tables)


# ------------------------------------------------------------------- plot --

# What the plot shows: (label, rows, figure key, reference row, peers).
# "rows" picks the rows: "build", or a query table's title, or a prefix of
# titles whose ratios are combined by their geometric mean.
PLOTTED = [
    ("build from a list", "build", "build_s", "sorvan.Trie",
     ["set + str", "marisa-trie", "datrie", "pygtrie"]),
    ("memory per word", "build", "bytes_per_word", "sorvan.Trie",
     ["set + str", "marisa-trie", "datrie", "pygtrie"]),
    ("membership, random order", "build", "random_lookup_ns", "sorvan.Trie",
     ["set + str", "marisa-trie", "datrie", "pygtrie"]),
    ("prefix search", "prefix", "ms", "sorvan.Trie", ["marisa-trie", "pyahocorasick", "datrie"]),
    ("wildcard search (6 patterns)", "wildcard ", "ms", "sorvan.Trie", ["fnmatch", "re"]),
    ("Levenshtein, d=1", "levenshtein d=1", "ms", "sorvan.Trie",
     ["cdist workers=1", "extract"]),
    ("Levenshtein, d=2", "levenshtein d=2", "ms", "sorvan.Trie",
     ["cdist workers=1", "extract"]),
    ("batch Levenshtein, d=2", "batch_search_within_distance, 2000 words, d=2", "ms",
     "sorvan.Trie batch", ["cdist workers=1", "cdist workers=-1"]),
    ("suggest, d=2, limit=5", SUGGEST_TIME, "ms", "sorvan.Trie",
     ["search + rapidfuzz", "symspellpy CLOSEST"]),
]


def plotted_ratios(result):
    """{(operation, peer): ratio}: each peer's figure over sorvan's, the
    geometric mean where one operation spans several tables."""
    tables = query_tables(result["queries"])
    tables["build"] = result["build"]
    out = {}
    for label, source, key, reference, peers in PLOTTED:
        chosen = [rows for title, rows in tables.items()
                  if title == source or (source.endswith(" ") and title.startswith(source))]
        for peer in peers:
            logs = []
            for rows in chosen:
                by_name = {r["name"]: r for r in rows if key in r}
                # A figure of 0 or less (RSS that did not grow) has no ratio.
                if (peer in by_name and reference in by_name
                        and min(by_name[peer][key], by_name[reference][key]) > 0):
                    logs.append(math.log(by_name[peer][key] / by_name[reference][key]))
            if logs and len(logs) == len(chosen):
                out[label, peer] = math.exp(sum(logs) / len(logs))
    return out


def plot(results, path):
    """A bar chart per word list: for each operation, each peer's figure
    divided by sorvan.Trie's, on a log scale, bars growing from 1."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = [plotted_ratios(result) for result in results]
    # The rows all panels share: a heading per operation, then its peers.
    rows = []
    for label, _, _, _, peers in PLOTTED:
        present = [p for p in peers if any((label, p) in r for r in ratios)]
        if present:
            rows += [(label, None)] + [(label, p) for p in present]
    fig, axes = plt.subplots(1, len(results), figsize=(5.2 * len(results) + 1.8,
                                                       0.24 * len(rows) + 1.4),
                             sharey=True, squeeze=False)
    for ax, result, found in zip(axes[0], results, ratios):
        bars = [(i, found[row]) for i, row in enumerate(rows) if row in found]
        values = [r for _, r in bars]
        ax.barh([i for i, _ in bars], [r - 1 for r in values], left=1, height=0.7,
                color=["#2e7d32" if r >= 1 else "#ef6c00" for r in values])
        ax.set_xscale("log")
        ax.axvline(1, color="black", linewidth=1)
        for i, r in bars:
            text = f"{r:,.0f}x" if r >= 100 else f"{r:.2g}x"
            ax.text(r * 1.1 if r >= 1 else r / 1.1, i, text, va="center",
                    ha="left" if r >= 1 else "right", fontsize=7.5)
        ax.set_xlim(min(values + [1]) / 5, max(values + [1]) * 8)
        ax.set_title(f"{os.path.basename(result['path'])}: {result['words']:,} words",
                     fontsize=10)
        ax.set_xlabel("peer's figure / sorvan.Trie's (log scale)", fontsize=9)
        ax.grid(axis="x", color="#e0e0e0", linewidth=0.6)
        ax.set_axisbelow(True)
    first = axes[0][0]
    first.set_yticks(range(len(rows)), [
        label if peer is None else
        f"rapidfuzz {peer}" if peer.startswith(("cdist", "extract")) else peer
        for label, peer in rows
    ], fontsize=8)
    for tick, (_, peer) in zip(first.get_yticklabels(), rows):
        if peer is None:
            tick.set_fontweight("bold")
    first.set_ylim(len(rows) - 0.5, -0.7)
    fig.suptitle("sorvan.Trie against its peers: green, sorvan is faster or smaller by that"
                 " factor; orange, the peer is", fontsize=10)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110, metadata={"Software": None})
    print(f"\nplot written to {path}")


