"""The demo on a small word file: every answer it prints is checked against
a plain Python model of the same words."""

import collections
import pathlib
import re
import subprocess
import sys

import pytest

from query_model import ModelTrie, levenshtein

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"

# The tour's questions have answers here, near misses included; a few words
# come twice, so that counts decide between equally close suggestions.
WORDS = """
apple apples applet apply application lexicon lexicon lexical lexicons Lexikon
xylophone xylose xylem xyz zyzzyva Zürich cat cot cut coat quack quick
quicker quickly biology geology ology government governments governor
questionnaire questionable committee committees separate beginning
definitely occurred necessary the will discuss reports at of next week it
to us that a second meeting isn't
""".split()


def run_demo(tmp_path, *args):
    path = tmp_path / "words.txt"
    path.write_text("\n".join(WORDS) + "\n", encoding="utf-8")
    out = subprocess.run([sys.executable, DEMO, "--words", path, *args], capture_output=True,
                         text=True)
    return out


class Model:
    """What the demo should answer, from the word list alone."""

    def __init__(self, words):
        self.counts = collections.Counter(words)
        self.trie = ModelTrie(words)

    def within(self, query, dist):
        return [(w, c) for w, c in self.counts.items() if levenshtein(w, query) <= dist]

    @staticmethod
    def ranking(query, pairs):
        key = sorted((levenshtein(query, w), -c, w) for w, c in pairs)
        return [f"{w} ({d})" for d, _, w in key]


def listing(words, limit):
    return ", ".join(words[:limit]) + (", …" if len(words) > limit else "")


def check_membership(model, lines, limit):
    answers = {}
    for line in lines:
        word, rest = re.fullmatch(r"  '(.+?)'\s+(.*)", line).groups()
        if word in model.counts:
            assert rest == f"yes (count {model.counts[word]})"
        else:
            near = [s.split(" (")[0] for s in model.ranking(word, model.within(word, 1))[:5]]
            assert rest == ("no; did you mean " + ", ".join(near) + "?" if near else "no")
        answers[word] = rest.split(";")[0].split(" ")[0]
    return answers


def check_listing(search, lines, limit):
    """Lines "  QUERY  N  first words": N and the first words of search(QUERY)."""
    counts = {}
    for line in lines:
        query, n, shown = re.fullmatch(r"  (\S+)\s+(\d+)  (.*)", line).groups()
        found = search(query)
        assert (int(n), shown) == (len(found), listing(found, limit)), line
        counts[query] = len(found)
    return counts


def check_suggestions(model, lines, limit):
    counts = {}
    for line in lines:
        word, dist, n, shown = re.fullmatch(r"  (.+)~(\d+)\s+(\d+)  (.*)", line).groups()
        pairs = model.within(word, int(dist))
        assert int(n) == len(pairs)
        assert shown == ", ".join(model.ranking(word, pairs)[:5])
        counts[word] = len(pairs)
    return counts


def check_spelling(model, lines, limit):
    paragraph = " ".join(line[4:] for line in lines if line.startswith("  | "))
    text = paragraph.replace("[", "").replace("]", "")
    tokens = re.findall(r"\w+(?:'\w+)?", text)
    unknown = list(dict.fromkeys(
        t.lower() for t in tokens if t not in model.counts and t.lower() not in model.counts))
    assert sorted({m.lower() for m in re.findall(r"\[(.+?)\]", paragraph)}) == sorted(unknown)
    rest = [line for line in lines if not line.startswith("  | ")]
    if not unknown:
        assert rest == [f"  all {len(tokens)} words are in the list"]
        return {}
    assert rest[0].startswith(f"  {len(unknown)} of {len(tokens)} words are not in the list")
    suggested = {}
    for line in rest[1:]:
        word, n, shown = re.fullmatch(r"  (\S+)\s+(\d+)  (.*)", line).groups()
        # The batch form has no counts: ties go by name alone.
        pairs = [(w, 0) for w, _ in model.within(word, 2)]
        assert (int(n), shown) == (len(pairs), ", ".join(model.ranking(word, pairs)[:3]) or "-")
        suggested[word] = shown
    assert list(suggested) == unknown
    return suggested


def check_output(stdout, limit):
    """Checks every section of the demo's output; returns the answers by
    section for spot checks."""
    model = Model(WORDS)
    assert "disagree" not in stdout
    blocks = stdout.strip().split("\n\n")
    loading = blocks[0].splitlines()
    assert f"Trie(words={len(WORDS)}, nodes=" in loading[1]
    assert f"DAWG(words={len(WORDS)}, nodes=" in loading[2]
    checkers = {
        "Is it a word?": check_membership,
        "Auto-complete": lambda model, lines, limit: check_listing(
            lambda q: [w for w, _ in model.trie.search_with_prefix(q[:-3])], lines, limit),
        "Wildcard search": lambda model, lines, limit: check_listing(
            lambda q: [w for w, _ in model.trie.search(q)], lines, limit),
        "Spelling suggestions": check_suggestions,
        "Spell-check": check_spelling,
    }
    answers = {}
    for block in blocks[1:]:
        title, *lines, footer = block.splitlines()
        assert re.fullmatch(r"  \(\d+ calls? each: Trie [\d.]+ ms, DAWG [\d.]+ ms\)", footer)
        (section,) = [name for name in checkers if title.startswith(name)]
        answers[section] = checkers[section](model, lines, limit)
    return answers


def test_the_tour_answers_correctly(tmp_path):
    out = run_demo(tmp_path)
    assert out.returncode == 0, out.stderr
    answers = check_output(out.stdout, limit=8)
    # Each section was there and found something.
    assert list(answers) == ["Is it a word?", "Auto-complete", "Wildcard search",
                             "Spelling suggestions", "Spell-check"]
    assert {"yes", "no"} <= set(answers["Is it a word?"].values())
    assert answers["Is it a word?"]["Lexicon"] == "no"
    assert all(answers["Auto-complete"][p] for p in ("xylo...", "lexic..."))
    assert answers["Wildcard search"]["c?t"] == 3
    # lexicon (count 2) before Lexikon (count 1), both one edit away.
    assert answers["Spelling suggestions"]["lexikon"] >= 2
    assert "lexicon (1), Lexikon (1)" in out.stdout
    assert answers["Spell-check"]["occured"].startswith("occurred (1)")


def test_queries_from_the_command_line(tmp_path):
    out = run_demo(tmp_path, "--limit", "2", "--check", "Teh cat.", "apple", "appel", "app...",
                   "xy...", "c*t", "?", "goverment~1", "lexikon~")
    assert out.returncode == 0, out.stderr
    answers = check_output(out.stdout, limit=2)
    assert answers["Is it a word?"] == {"apple": "yes", "appel": "no"}
    assert answers["Auto-complete"] == {"app...": 5, "xy...": 4}
    assert answers["Wildcard search"] == {"c*t": 4, "?": 1}
    assert answers["Spelling suggestions"] == {"goverment": 1, "lexikon": 3}
    assert list(answers["Spell-check"]) == ["teh"]


@pytest.mark.parametrize("args", [[], ["--"]], ids=["plain", "after-dashes"])
def test_a_missing_word_file_is_reported(tmp_path, args):
    out = subprocess.run([sys.executable, DEMO, *args, "--words", tmp_path / "none.txt"],
                         capture_output=True, text=True)
    assert out.returncode == 2
    assert "IO error: No such file or directory (os error 2)" in out.stderr
