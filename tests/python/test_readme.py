"""The README's Python examples run as written and use every method."""

import pathlib
import re

import pytest

from sorvan import DAWG, Trie

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def examples():
    """(heading, code) of each ```python block, under its nearest heading;
    the code is padded with empty lines to keep the README's line numbers."""
    text = README.read_text()
    heading, found = "top", []
    for match in re.finditer(r"^(#+) ([^\n]*)$|^```python\n(.*?)^```$", text,
                             re.MULTILINE | re.DOTALL):
        if match[1]:
            heading = match[2]
        else:
            found.append((heading, "\n" * text.count("\n", 0, match.start(3)) + match[3]))
    return found


EXAMPLES = examples()


@pytest.mark.parametrize("code", [code for _, code in EXAMPLES],
                         ids=[f"{i}-{heading}" for i, (heading, _) in enumerate(EXAMPLES)])
def test_example_runs(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples may write files
    exec(compile(code, str(README), "exec"), {"__name__": "readme"})


@pytest.mark.parametrize("cls", [Trie, DAWG], ids=["Trie", "DAWG"])
def test_examples_call_every_method(cls):
    code = "\n".join(code for _, code in EXAMPLES)
    methods = [name for name in vars(cls) if not name.startswith("_")]
    assert [name for name in methods if f".{name}(" not in code] == []
    for operation in ["in ", "len(", "repr("]:
        assert operation in code
