"""The source tree reads top-down: each folder of src/ is a layer, includes
run only to lower layers, and only the binding layer sees the Python C API."""

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


# Lowest first; folders on one level do not include each other.
LAYERS = [{"error"}, {"utils"}, {"node"}, {"graph"}, {"compact"}, {"query"}, {"trie", "dawg"}, {"python"}]
LEVEL = {folder: level for level, folders in enumerate(LAYERS) for folder in folders}


def test_core_sources_exist_where_the_layout_puts_them():
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == set(LEVEL)
    for part in LEVEL:
        assert any((SRC / part).glob("*.hpp")), part


def test_includes_run_only_to_lower_layers():
    upward = []
    for path in SRC.rglob("*.[ch]pp"):
        folder = path.relative_to(SRC).parts[0]
        for target in re.findall(r'#\s*include\s*"(\w+)/', path.read_text()):
            if target != folder and LEVEL[target] >= LEVEL[folder]:
                upward.append(f"{path.relative_to(SRC)} -> {target}/")
    assert upward == []


def test_every_header_opens_with_its_purpose():
    silent = [str(p.relative_to(SRC)) for p in SRC.rglob("*.hpp")
              if not p.read_text().split("\n")[1].startswith("// ")]
    assert silent == []
