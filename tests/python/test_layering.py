"""Only the binding layer may see the Python C API."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"


def test_core_never_includes_python_h():
    offenders = [
        str(path.relative_to(SRC))
        for path in SRC.rglob("*.[ch]pp")
        if "python" not in path.relative_to(SRC).parts
        and re.search(r'#\s*include\s*[<"]Python\.h[>"]', path.read_text())
    ]
    assert offenders == []


def test_core_sources_exist_where_the_layout_puts_them():
    for part in ["node", "trie", "error", "utils", "python"]:
        assert any((SRC / part).glob("*.hpp")), part
