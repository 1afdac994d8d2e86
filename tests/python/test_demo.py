"""The demo on a small word file: every answer it prints is checked against
a plain Python model of the same words."""

import collections
import pathlib
import re
import subprocess
import sys

import pytest

from query_model import ModelTrie, completions, suggestions

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
DEFAULT_WORDS = "/usr/share/dict/american-english-insane"

# The tour's questions have answers here, near misses included; "lexicon"
# comes twice, so that its count puts it before the equally close "Lexikon".
WORDS = """
apple apples applet apply application lexicon lexicon lexical lexicons Lexikon
xylophone xylose xylem xyz zyzzyva Zürich cat cot cut coat quack quick
quicker quickly biology geology ology government governments governor
questionnaire questionable committee committees separate beginning
definitely occurred necessary the will discuss reports at of next week it
to us that a second meeting isn't
""".split()
# Corpus counts, which the listed words add to theirs; an unlisted word
# stays out. They reorder what a user sees: "quickly" before "quick".
FREQUENCIES = {"xylophone": 30, "quickly": 7, "the": 1000, "governor": 12, "unlisted": 99}
COUNTS = collections.Counter(WORDS) + collections.Counter(
    {w: c for w, c in FREQUENCIES.items() if w in WORDS})
MODEL = ModelTrie()
for word, count in COUNTS.items():
    MODEL.add(word, count)


def run_demo(tmp_path, *args, words=None):
    path = tmp_path / "words.txt"
    path.write_text("\n".join(WORDS) + "\n", encoding="utf-8")
    frequencies = tmp_path / "frequencies.txt"
    frequencies.write_text("".join(f"{w} {c}\n" for w, c in FREQUENCIES.items()) + "bad line\n")
    out = subprocess.run([sys.executable, DEMO, "--words", words or path, "--frequencies", frequencies,
                          *args], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout


def ranking(query, dist, transpositions=False):
    """'word (distance)' closest first, then by count, then by name."""
    return [f"{w} ({d})" for w, d, _ in suggestions(COUNTS, query, dist, None, transpositions)]


def listing(words, limit):
    return ", ".join(words[:limit]) + (", …" if len(words) > limit else "")


def columns(line):
    """'  QUERY   N  ANSWER' -> (QUERY, N, ANSWER)."""
    query, n, answer = re.fullmatch(r"  (\S+)\s+(\d+)  (.*)", line).groups()
    return query, int(n), answer


def check_membership(lines, limit):
    for line in lines:
        word, answer = re.fullmatch(r"  '(.+?)'\s+(.*)", line).groups()
        near = [s.split(" (")[0] for s in ranking(word, 1)[:5]]
        assert answer == (f"yes (count {COUNTS[word]})" if word in COUNTS else
                          f"no; did you mean {', '.join(near)}?" if near else "no")
        yield word, answer.split(";")[0].split(" ")[0]


def check_listing(search, lines, limit):
    for query, n, shown in map(columns, lines):
        found = [w for w, _ in search(query)]
        assert (n, shown) == (len(found), listing(found, limit))
        yield query, n


def check_suggestions(lines, limit):
    for line in lines:
        word, dist, n, shown = re.fullmatch(r"  (.+)~(\d+)\s+(\d+)  (.*)", line).groups()
        near = ranking(word, int(dist), transpositions=True)
        assert (int(n), shown) == (len(near), ", ".join(near[:5]))
        yield word, shown


def check_spelling(lines, limit):
    marked = " ".join(line[4:] for line in lines if line.startswith("  | "))
    tokens = re.findall(r"\w+(?:'\w+)?", marked.replace("[", "").replace("]", ""))
    unknown = list(dict.fromkeys(t.lower() for t in tokens if t not in COUNTS
                                 and t.lower() not in COUNTS))
    assert sorted({m.lower() for m in re.findall(r"\[(.+?)\]", marked)}) == sorted(unknown)
    rest = [line for line in lines if not line.startswith("  | ")]
    if not unknown:
        assert rest == [f"  all {len(tokens)} words are in the list"]
    else:
        assert rest[0].startswith(f"  {len(unknown)} of {len(tokens)} words are not in the list")
    answers = [re.fullmatch(r"  (\S+)\s+(.*)", line).groups() for line in rest[1:]]
    assert [word for word, _ in answers] == unknown
    for word, shown in answers:
        assert shown == (", ".join(ranking(word, 2, transpositions=True)[:3]) or "-")
        yield word, shown


def check_words_in_text(lines, limit):
    text = lines[0].removeprefix("  | ")
    for query, n, shown in map(columns, lines[1:]):
        found = MODEL.find_all(text, overlapping=query == "overlapping", whole_words=query == "whole-words")
        assert (n, shown) == (len(found), listing([w for _, _, w, _ in found], limit))
        yield query, n


def check_search_box(lines, limit):
    """Pairs of lines: the prefix's completions, then those within one edit."""
    for exact, near in zip(lines[::2], lines[1::2]):
        prefix, shown = re.fullmatch(r"  (\S+)\.\.\.\s+exact: (.*)", exact).groups()
        shown_near = re.fullmatch(r"\s+~1:\s+(.*)", near)[1]
        for dist, answer in ((0, shown), (1, shown_near)):
            words = [w for w, _ in completions(COUNTS, prefix, dist, limit, transpositions=True)]
            assert answer == (", ".join(words) or "-")
        yield prefix, shown_near


CHECKS = {
    "Is it a word?": check_membership,
    "Auto-complete": lambda lines, limit: check_listing(
        lambda q: MODEL.search_with_prefix(q[:-3]), lines, limit),
    "Search box": check_search_box,
    "Wildcard search": lambda lines, limit: check_listing(MODEL.search, lines, limit),
    "Spelling suggestions": check_suggestions,
    "Words in a text": check_words_in_text,
    "Spell-check": check_spelling,
}


def check_output(stdout, limit):
    """Checks every section of the demo's output; returns {section: {query:
    answer}} for spot checks."""
    assert "disagree" not in stdout
    loading, *sections = stdout.strip().split("\n\n")
    total = sum(COUNTS.values())
    assert f"Trie(words={total}, nodes=" in loading and f"DAWG(words={total}, nodes=" in loading
    answers = {}
    for block in sections:
        title, *lines, footer = block.splitlines()
        assert re.fullmatch(r"  \(\d+ calls? each: Trie [\d.]+ ms, DAWG [\d.]+ ms\)", footer)
        (name,) = [name for name in CHECKS if title.startswith(name)]
        answers[name] = dict(CHECKS[name](lines, limit))
    return answers


def test_the_tour_answers_correctly(tmp_path):
    stdout = run_demo(tmp_path)
    answers = check_output(stdout, limit=8)
    assert list(answers) == list(CHECKS)
    # Each section found something on this list.
    assert answers["Is it a word?"]["apple"] == "yes"
    assert answers["Is it a word?"]["Lexicon"] == "no"
    assert answers["Auto-complete"]["xylo..."] == 2
    assert answers["Wildcard search"]["c?t"] == 3
    assert answers["Spelling suggestions"]["lexikon"].startswith("lexicon (1), Lexikon (1)")
    assert answers["Spell-check"]["occured"].startswith("occurred (1)")
    # A swap of neighbours is one edit, and the header says it is used.
    assert answers["Spell-check"]["comittee"].startswith("committee (1)")
    assert re.search(r"^Search box .*transpositions=True", stdout, re.MULTILINE)
    # The corpus counts rank first: "quickly" is the most frequent.
    assert answers["Search box"]["qiuck"] == "quickly, quick, quicker"
    assert answers["Is it a word?"]["xylophone"] == "yes"
    assert "unlisted" not in stdout


@pytest.mark.skipif(not pathlib.Path(DEFAULT_WORDS).exists(), reason="no default word list here")
def test_the_check_example_of_the_help_flags_its_misspellings(tmp_path):
    helped = subprocess.run([sys.executable, DEMO, "--help"], capture_output=True, text=True).stdout
    text = re.search(r"--check '([^']+)'", helped)[1]
    stdout = subprocess.run([sys.executable, DEMO, "--check", text], capture_output=True,
                            text=True).stdout
    assert sorted(re.findall(r"\[(\w+)\]", stdout)) == ["comittee", "recieve", "teh"]
    assert re.search(r"^  teh +the \(1\)", stdout, re.MULTILINE)  # the common word first


def test_queries_from_the_command_line(tmp_path):
    stdout = run_demo(tmp_path, "--limit", "2", "--check", "Teh cat.", "apple", "appel",
                      "app...", "xy...", "c*t", "?", "goverment~1", "lexikon~")
    assert check_output(stdout, limit=2) == {
        "Is it a word?": {"apple": "yes", "appel": "no"},
        "Auto-complete": {"app...": 5, "xy...": 4},
        "Wildcard search": {"c*t": 4, "?": 1},
        "Spelling suggestions": {"goverment": "government (1)",
                                 "lexikon": "lexicon (1), Lexikon (1), lexicons (2)"},
        "Spell-check": {"teh": "the (1), to (2)"},
    }


@pytest.mark.parametrize("args", [[], ["--"]], ids=["plain", "after-dashes"])
def test_a_missing_word_file_is_reported(tmp_path, args):
    out = subprocess.run([sys.executable, DEMO, *args, "--words", tmp_path / "none.txt"],
                         capture_output=True, text=True)
    assert out.returncode == 2
    assert "IO error: No such file or directory (os error 2)" in out.stderr


def test_a_missing_frequency_file_is_reported(tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("apple\n")
    out = subprocess.run([sys.executable, DEMO, "--words", words, "--frequencies", tmp_path / "none.txt"],
                         capture_output=True, text=True)
    assert out.returncode == 2 and f"cannot read {tmp_path / 'none.txt'}" in out.stderr
