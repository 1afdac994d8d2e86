"""The Python examples of the README and of docs/ run as written, the README's
use every method, and their links lead somewhere."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from sorvan import DAWG, Trie

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]


def examples(page):
    """(heading, code) of each ```python block, under its nearest heading;
    the code is padded with empty lines to keep the page's line numbers."""
    text = page.read_text()
    heading, found = "top", []
    for match in re.finditer(r"^(#+) ([^\n]*)$|^```python\n(.*?)^```$", text,
                             re.MULTILINE | re.DOTALL):
        if match[1]:
            heading = match[2]
        else:
            found.append((heading, "\n" * text.count("\n", 0, match.start(3)) + match[3]))
    return found


EXAMPLES = [(page, heading, code) for page in PAGES for heading, code in examples(page)]


@pytest.mark.parametrize("page, code", [(page, code) for page, _, code in EXAMPLES],
                         ids=[f"{page.stem}-{i}-{heading}" for i, (page, heading, _) in enumerate(EXAMPLES)])
def test_example_runs(page, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples may write files
    if 'if __name__ == "__main__":' not in code:
        exec(compile(code, str(page), "exec"), {"__name__": "readme"})
        return
    # A program with a main part runs as a script, as its reader would run
    # it: worker processes import its functions from the file.
    missing = [path for path in re.findall(r'"(/usr/share/dict/[^"]+)"', code)
               if not pathlib.Path(path).exists()]
    if missing:
        pytest.skip(f"no word list {missing[0]} here")
    script = tmp_path / f"{page.stem}_example.py"
    script.write_text(code)
    # Under the sanitizers the script's worker processes inherit the
    # preloaded runtime, and the leak checker reports what the interpreter
    # leaves unfreed as such processes exit; the module's own leaks are what
    # the rest of the suite checks, in its own process.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    out = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=600, env=env)
    assert out.returncode == 0, out.stderr


@pytest.mark.parametrize("page", [README, ROOT / "docs" / "guide.md"], ids=["README", "guide"])
@pytest.mark.parametrize("cls", [Trie, DAWG], ids=["Trie", "DAWG"])
def test_examples_call_every_method(cls, page):
    """The README, and the guide that says it shows every method at length."""
    code = "\n".join(code for _, code in examples(page))
    methods = [name for name in vars(cls) if not name.startswith("_")]
    assert [name for name in methods if f".{name}(" not in code] == []
    for operation in ["in ", "len(", "repr("]:
        assert operation in code


def anchor(heading):
    """The fragment a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_links_lead_to_a_file_and_heading(page):
    text = re.sub(r"^```.*?^```$", "", page.read_text(), flags=re.MULTILINE | re.DOTALL)
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, fragment = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        if not linked.exists():
            broken.append(target)
        elif fragment and linked.suffix == ".md":
            headings = re.findall(r"^#+ (.*)$", re.sub(r"^```.*?^```$", "", linked.read_text(),
                                                        flags=re.MULTILINE | re.DOTALL), re.MULTILINE)
            if fragment not in map(anchor, headings):
                broken.append(target)
    assert broken == []
