"""The benchmark report: a short run on two small lists, its JSON and plot."""

import json
import pathlib
import runpy
import subprocess
import sys
import types

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "bench.py"
bench = types.SimpleNamespace(**runpy.run_path(str(BENCH)))


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
    printed = run_bench("--words", lists[0], "--words", lists[1], "--json", saved, "--plot", plot)

    results = json.loads(saved.read_text())["lists"]
    assert [r["path"] for r in results] == [str(p) for p in lists]
    assert [r["words"] for r in results] == [24, 24]
    for result in results:
        rows = result["build"] + result["construction"] + result["queries"]
        assert [r for r in rows if "error" in r] == []
        tables = {row["table"] for row in result["queries"]}
        patterns = bench.patterns_for(result["path"])
        assert {"wildcard " + p for p in patterns} <= tables
        assert {"prefix", "levenshtein d=1", "levenshtein d=2"} <= tables
        assert {"compact image, counts all 1", "compact image, Zipf counts", "load, validation included",
                "compact(), against building", "pickle, bytes",
                "4 processes mapping one image, bytes"} <= tables
        sizes = {r["name"]: r["saved_bytes_per_word"] for r in result["build"]}
        assert sizes["sorvan.Trie compact"] > 0 and sizes["marisa-trie"] > 0
    # The German list gets its own, non-ASCII patterns.
    assert "wildcard über*" in printed and "wildcard app*" in printed
    assert "goal load, validation included: Trie.load mmap <= 0.02 x Trie.add_from_file" in printed
    assert plot.read_bytes().startswith(b"\x89PNG")
    # The saved run prints the same tables again.
    assert run_bench("--from-json", saved) in printed


def rows(table, **ms):
    return [{"table": table, "name": name.replace("_", "."), "ms": v} for name, v in ms.items()]


def test_plotted_ratios():
    queries = (rows("wildcard a*", sorvan_Trie=1.0, fnmatch=4.0, re=2.0)
               + rows("wildcard b?", sorvan_Trie=2.0, fnmatch=2.0, re=0.0)
               + rows("prefix", sorvan_Trie=2.0, datrie=1.0))
    result = {"path": "x", "words": 1, "build": [], "construction": [], "queries": queries}
    # The geometric mean over the patterns; a peer without a figure for
    # every pattern (0: nothing measured) and a peer not run are left out.
    assert bench.plotted_ratios(result) == {
        ("wildcard search (6 patterns)", "fnmatch"): pytest.approx(2.0),
        ("prefix search", "datrie"): 0.5,
    }
