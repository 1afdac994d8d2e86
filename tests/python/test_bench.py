"""The benchmark report: a short run on two small lists, its JSON and plot."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

from query_model import levenshtein, osa_distance

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "bench.py"
sys.path.insert(0, str(BENCH.parent))
import goals  # noqa: E402
import report  # noqa: E402
import workers  # noqa: E402


def run_bench(*args):
    out = subprocess.run([sys.executable, BENCH, *map(str, args)], capture_output=True,
                         text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.slow
def test_a_run_reports_both_lists_and_keeps_them(tmp_path):
    pytest.importorskip("matplotlib")
    lists = []
    for name, words in [("english.txt", ["apple", "apply", "cat", "coat", "quick", "ring"]),
                        ("ngerman", ["Straße", "über", "übel", "Schön", "Zeitung", "Ära"])]:
        path = tmp_path / name
        path.write_text("\n".join(w + s for w in words for s in ["", "s", "ing", "en"]) + "\n")
        lists.append(path)
    saved, plot = tmp_path / "bench.json", tmp_path / "bench.png"
    printed = run_bench("--words", lists[0], "--words", lists[1], "--json", saved, "--plot", plot,
                        "--code-points", 300)

    saved_run = json.loads(saved.read_text())
    results = saved_run["lists"]
    assert [r["path"] for r in results] == [str(p) for p in lists]
    assert [r["words"] for r in results] == [24, 24]
    for result in results:
        rows = result["build"] + result["construction"] + result["queries"]
        assert [r for r in rows if "error" in r] == []
        tables = {row["table"] for row in result["queries"]}
        patterns = workers.patterns_for(result["path"])
        assert {"wildcard " + p for p in patterns} <= tables
        assert {"prefix", "levenshtein d=1", "levenshtein d=2", goals.SUGGEST_TIME,
                goals.SUGGEST_ACCURACY, goals.SUGGEST_ACCURACY_MORE, goals.SUGGEST_BUILD} <= tables
        timed = {r["name"]: r for r in result["queries"] if r["table"] == goals.SUGGEST_TIME}
        assert {"sorvan.Trie", "sorvan.DAWG", "search + rapidfuzz"} <= {
            name for name, row in timed.items() if row["ms"] > 0}
        # symspellpy is measured, or its rows say why not.
        assert "ms" in timed["symspellpy CLOSEST"] or "skipped" in timed["symspellpy CLOSEST"]
        assert {"compact image, counts all 1", "compact image, Zipf counts", "load, validation included",
                "compact(), against building", "pickle, bytes",
                "4 processes mapping one image, bytes"} <= tables
        sizes = {r["name"]: r["saved_bytes_per_word"] for r in result["build"]}
        assert sizes["sorvan.Trie compact"] > 0 and sizes["marisa-trie"] > 0
    # The German list gets its own, non-ASCII patterns.
    assert "wildcard über*" in printed and "wildcard app*" in printed
    # The wide-node rows: every builder measured on the highest code points,
    # each with its goal against set.
    wide = saved_run["wide"]
    assert wide["words"] == 300
    assert {r["name"] for r in wide["rows"] if "error" not in r} == set(workers.WIDE_CONSTRUCTORS)
    for goal in [g for g in goals.GOALS if g.beside == "wide"]:
        assert f"goal {goal.row} <= {goal.bound} x set: " in printed
    assert "goal sorvan.Trie <= 0.5 x search + rapidfuzz: " in printed
    assert "goal sorvan.Trie >= 1.0 x symspellpy CLOSEST: " in printed
    assert "goal load, validation included: Trie.load mmap <= 0.02 x Trie.add_from_file" in printed
    # The dictionary use, removal (first list only) and the prefixes of a
    # text: each goal judged on its list and kept with the others.
    for result, name in zip(results, ["english.txt", "ngerman"]):
        judged = [g["goal"] for g in result["goals"]]
        for form in ["Trie mutable", "DAWG mutable", "Trie compact", "DAWG compact"]:
            assert f"{form}: lex[w] <= 1.2 x w in lex" in judged
            assert f"{form}: iterating items() <= 1.0 x search('*', True)" in judged
        assert {"Trie compact: index(w) <= 1.0 x marisa key_id",
                "DAWG compact: keys()[i] <= 1.0 x marisa restore_key"} <= set(judged)
        assert f"prefixes, {name}: compact DAWG.prefixes <= 0.5 x dawg2 DAWG.prefixes" in judged
        assert ("remove one by one <= 1.5 x adding one by one" in judged) == (name == "english.txt")
    judged = [g for r in results for g in r["goals"]] + wide["goals"]
    missed = [g["goal"] for g in judged if not g["met"]]
    assert f"\n{len(judged) - len(missed)} of {len(judged)} goals met" in printed
    assert all(f"\nMISSED: {goal}" in printed for goal in missed)
    assert plot.read_bytes().startswith(b"\x89PNG")
    # The saved run prints the same tables again.
    assert run_bench("--from-json", saved) in printed


def test_misspellings_are_reproducible_and_not_words():
    words = ["apple", "banana", "cherry", "damson", "elder"]
    first = workers.misspellings(words, "abc", count=50)
    assert first == workers.misspellings(words, "abc", count=50)
    # A smaller draw is the start of a larger one (the bench times the start).
    assert first[:20] == workers.misspellings(words, "abc", count=20)
    assert not {wrong for wrong, _, _ in first} & set(words)
    # Every edit count occurs, and a swap among them is recorded.
    assert {edits for _, _, edits in first} == {0, 1, 2}
    # A lone swap is of two different neighbours: one edit with swaps, two
    # without.
    for wrong, original, edits in first:
        if edits == 1:
            assert (osa_distance(wrong, original), levenshtein(wrong, original)) == (1, 2)


def test_accuracy_counts_a_first_word_and_a_lost_tie():
    found = [(["tea", "the"], "the", 1), (["receive"], "receive", 1), (["tier", "tie"], "their", 2)]
    row = workers.accuracy_row(found)
    assert row["cases"] == 3
    # One right first of three, one of the two lone swaps; "the" lost a tie.
    assert (row["accuracy"], row["one_swap"], row["swap_and_more"]) == (100 / 3, 50, 0)
    assert row["tie"] == 100 / 3


def rows(table, **ms):
    return [{"table": table, "name": name.replace("_", "."), "ms": v} for name, v in ms.items()]


def test_plotted_ratios():
    queries = (rows("wildcard a*", sorvan_Trie=1.0, fnmatch=4.0, re=2.0)
               + rows("wildcard b?", sorvan_Trie=2.0, fnmatch=2.0, re=0.0)
               + rows("prefix", sorvan_Trie=2.0, datrie=1.0))
    result = {"path": "x", "words": 1, "build": [], "construction": [], "queries": queries}
    # The geometric mean over the patterns; a peer without a figure for
    # every pattern (0: nothing measured) and a peer not run are left out.
    assert report.plotted_ratios(result) == {
        ("wildcard search (6 patterns)", "fnmatch"): pytest.approx(2.0),
        ("prefix search", "datrie"): 0.5,
    }


def test_help_lists_every_mode_the_docs_name():
    pages = [BENCH.parents[1] / "README.md", *sorted((BENCH.parents[1] / "docs").glob("*.md"))]
    named = {flag for page in pages for flag in re.findall(r"dev bench (--[\w-]+)", page.read_text())}
    assert named >= {"--scale", "--complete", "--dask"}  # the pages still name modes
    shown = run_bench("--help")
    assert [flag for flag in sorted(named) if f"  {flag} " not in shown] == []
