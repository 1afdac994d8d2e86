"""What the benchmarks hold sorvan to: every goal in one table, each judged
beside the table of figures it is about, printed as `goal ...: ratio, met`
(or MISSED) and kept in the JSON's "goals"."""

from typing import NamedTuple, Optional, Union

# The titles of the query tables that goals and the report name.
SUGGEST_TIME = "suggest, d=2, limit=5"
SUGGEST_ACCURACY = "suggest, top-1 on the misspellings with a swap"
# The same on a larger draw, where a few cases more or less no longer move
# the figure by points.
SUGGEST_ACCURACY_MORE = "suggest, top-1 on the misspellings with a swap, a larger draw"
SUGGEST_BUILD = "suggest: building the lexicon"
# Every search on the compact form is held to the same search on the
# mutable Trie.
SEARCH_TABLES = ("prefix", "wildcard ", "levenshtein ")
# complete(p, 10) on the mutable forms, 1-letter prefixes, at most this
# times heapq.nlargest over the prefix's words (complete.py judges it).
COMPLETE_MUTABLE = 0.01


class Goal(NamedTuple):
    """`row`'s figure `key` divided by `reference`'s: at most `bound` (or at
    least, with `at_least`).

    `beside` is the table it is printed after: "build", "construction",
    "wide", a query table's title, or "compact" (after every query table;
    `table` then says which query table, or which titles' prefixes, hold
    the rows). A tuple of rows takes the least of their figures; no
    reference judges the figure itself. `text` is what the goal line says,
    by default "row <= bound x reference"; a goal with the default text
    says "not measured" when a figure is missing, the others say nothing.
    """

    beside: str
    row: Union[str, tuple]
    reference: Optional[str]
    bound: float
    key: str = "ms"
    at_least: bool = False
    table: Union[str, tuple, None] = None
    text: Optional[str] = None
    digits: str = ".2f"


GOALS = [
    # Membership on the compact form.
    Goal("build", "sorvan.Trie compact", "dawg2 DAWG", 1.0, "random_lookup_ns",
         text="sorvan.Trie compact random_lookup_ns <= 1.0 x dawg2 DAWG", digits=".3g"),
    Goal("build", "sorvan.Trie compact", "set + str", 1.0, "lookup_ns",
         text="sorvan.Trie compact lookup_ns <= 1.0 x set + str", digits=".3g"),
    # Construction.
    Goal("construction", "Trie.add_from_file", "marisa-trie", 0.6, "build_s"),
    Goal("construction", "Trie.add_all", "marisa-trie", 0.8, "build_s"),
    Goal("construction", "DAWG.add_from_file", "Trie.add_from_file", 2.5, "build_s"),
    # Suggestions: the time, and the accuracy.
    Goal(SUGGEST_ACCURACY, "sorvan.Trie", "symspellpy CLOSEST", 1.0, "accuracy", at_least=True),
    Goal(SUGGEST_TIME, "sorvan.Trie", "search + rapidfuzz", 0.5),
    Goal(SUGGEST_TIME, "sorvan.Trie", "symspellpy CLOSEST", 1.0),
    # The compact form.
    Goal("compact", "sorvan.Trie compact", None, 3.0, table="compact image, counts all 1",
         text="image bytes a word, counts all 1, <= 3.0"),
    Goal("compact", "sorvan.Trie compact", "sorvan.Trie", 1.0, table=SEARCH_TABLES,
         text="{table}: sorvan.Trie compact <= 1.0 x sorvan.Trie", digits=".3f"),
    # The star search that needs no prefix, against the best of the
    # standard library: how many times faster, at least.
    Goal("compact", ("fnmatch", "re"), "sorvan.Trie compact", 3.0, at_least=True, table="wildcard *ing",
         text="{table}: the best of fnmatch and re >= 3.0 x sorvan.Trie compact"),
    *[Goal("compact", row, reference, most, table=table, text=f"{table}: {row} <= {most} x {reference}",
           digits=".3g")
      for table, row, reference, most in [
          ("compact image, Zipf counts", "sorvan.Trie compact", "marisa RecordTrie", 1.0),
          ("load, validation included", "Trie.load", "Trie.add_from_file", 0.02),
          ("load, validation included", "Trie.load mmap", "Trie.add_from_file", 0.02),
          ("compact(), against building", "Trie.compact()", "Trie.add_from_file", 2.0),
          ("pickle, bytes", "pickle protocol 5", "image", 1.05),
          ("4 processes mapping one image, bytes", "PSS of its mapping, summed", "image", 1.5),
      ]],
    # Every code point added in descending order.
    Goal("wide", "Trie.add loop", "set", 50, "build_s"),
    Goal("wide", "Trie.add_all", "set", 50, "build_s"),
]


def judge(kept, goal, ratio, bound, at_least=False, digits=".2f"):
    """Prints a goal's ratio and whether it is met (at most `bound`, or at
    least it), and keeps the verdict in `kept` (the JSON's "goals")."""
    met = ratio >= bound if at_least else ratio <= bound
    print(f"goal {goal}: {ratio:{digits}}, {'met' if met else 'MISSED'}")
    kept.append({"goal": goal, "ratio": ratio, "bound": bound, "at_least": at_least, "met": met})


def judge_goals(kept, beside, tables):
    """Judges the goals printed beside the table `beside`, on `tables`:
    {title: rows} (a table that is not a query table under its own name)."""
    for goal in GOALS:
        if goal.beside != beside:
            continue
        if goal.table is None:
            chosen = [beside]
        elif isinstance(goal.table, tuple):
            chosen = [title for title in tables if title.startswith(goal.table)]
        else:
            chosen = [goal.table]
        for title in chosen:
            judge_one(kept, goal, title, tables.get(title, []))


def judge_one(kept, goal, title, rows):
    figures = {r["name"]: r[goal.key] for r in rows if goal.key in r}
    names = goal.row if isinstance(goal.row, tuple) else (goal.row,)
    found = [figures[name] for name in names if name in figures]
    sign = ">=" if goal.at_least else "<="
    text = (goal.text or f"{goal.row} {sign} {goal.bound} x {goal.reference}").format(table=title)
    reference = 1 if goal.reference is None else figures.get(goal.reference)
    if not found or not reference:
        if goal.text is None:
            print(f"goal {text}: not measured")
        return
    judge(kept, text, min(found) / reference, goal.bound, goal.at_least, goal.digits)
