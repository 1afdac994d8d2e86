"""The Dask example on a local cluster of two worker processes: both ways of
shipping the lexicon give the report that one process computes alone."""

import importlib.util
import random
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parents[2] / "examples" / "dask_spellcheck.py"


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A word file and a corpus of its words, some misspelt, some capitalised."""
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = sorted({"".join(rng.choices(letters, k=rng.randint(3, 9))) for _ in range(3000)})
    lines = []
    for _ in range(400):
        line = []
        for word in rng.choices(words, k=12):
            roll = rng.random()
            if roll < 0.1:  # a swap of two neighbours
                i = rng.randrange(len(word) - 1)
                word = word[:i] + word[i + 1] + word[i] + word[i + 2 :]
            elif roll < 0.15:  # a letter dropped
                i = rng.randrange(len(word))
                word = word[:i] + word[i + 1 :]
            elif roll < 0.2:
                word = word.capitalize()
            line.append(word)
        lines.append(" ".join(line) + ".\n")
    root = tmp_path_factory.mktemp("dask")
    (root / "words.txt").write_text("\n".join(words) + "\n")
    (root / "corpus.txt").write_text("".join(lines))
    return root


def report(corpus, *args):
    out = corpus / ("report-" + "-".join(a.strip("-") for a in args) + ".tsv")
    subprocess.run(
        [sys.executable, EXAMPLE, corpus / "corpus.txt", "--words", corpus / "words.txt",
         "--out", out, *args],
        check=True, capture_output=True, timeout=120,
    )
    return out.read_text()


@pytest.mark.slow
@pytest.mark.parametrize("ship", ["pickle", "mmap"])
def test_the_cluster_reports_what_one_process_does(corpus, ship):
    local = report(corpus, "--local")
    rows = [line.split("\t") for line in local.splitlines()]
    assert len(rows) > 50  # the corpus has misspellings to report
    assert all(int(count) >= 1 for _, count, _ in rows)
    assert any(suggested for _, _, suggested in rows)
    assert report(corpus, "--workers", "2", "--ship", ship) == local


def test_byte_ranges_read_every_line_once(tmp_path):
    """Cut anywhere, at a line's end or inside a letter of two bytes, the
    ranges' lines are the file's lines, in order."""
    spec = importlib.util.spec_from_file_location("dask_spellcheck", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    rng = random.Random(3)
    text = "".join(rng.choice(["ab\n", "\n", "été\n", "x y z\n", "ü"]) for _ in range(300)) + "no newline"
    path = tmp_path / "lines.txt"
    path.write_text(text, encoding="utf-8")
    size = path.stat().st_size
    expected = text.splitlines(keepends=True)
    for cuts in [1, 2, 7, 50, size]:
        ranges = example.byte_ranges(str(path), cuts)
        assert [line for a, b in ranges for line in example.read_lines(str(path), a, b)] == expected
    for _ in range(20):
        bounds = sorted({0, size, *rng.sample(range(1, size), 5)})
        read = [line for a, b in zip(bounds, bounds[1:]) for line in example.read_lines(str(path), a, b)]
        assert read == expected
    assert example.read_lines(str(path), 0, 10**15) == expected  # an end past the file


@pytest.mark.slow
def test_the_counting_example_of_the_docs_runs_on_a_cluster():
    """The docs' example that counts words on the workers and builds one
    lexicon from the merged counts (its asserts check the counts)."""
    page = (Path(__file__).parents[2] / "docs" / "processes.md").read_text()
    code = page.split("### The other direction", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    exec(compile(code, "processes.md", "exec"), {"__name__": "__main__"})
