"""The type stubs: checked against the built module, and in use by mypy."""

import os
import pathlib
import re
import runpy
import subprocess
import sys
import types
import typing

import pytest

import sorvan

pytest.importorskip("mypy")

CASES = pathlib.Path(__file__).parent / "typed_usage"
# The build puts the stubs beside the module.
STUBS = pathlib.Path(sorvan.__file__).parent


def run_mypy_module(module, args, cwd):
    """Runs `python -m mypy<module> args` with the stubs on the search path."""
    env = dict(os.environ, MYPYPATH=str(STUBS), PYTHONPATH=str(STUBS))
    return subprocess.run(
        [sys.executable, "-m", "mypy" + module, *args],
        capture_output=True, text=True, cwd=cwd, env=env,
    )


def mypy_errors(output):
    """The (file name, line, code) of each error in mypy's output."""
    found = re.findall(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", output, re.MULTILINE)
    return {(pathlib.Path(name).name, int(line), code) for name, line, code in found}


def expected_errors(path):
    """The (file name, line, code) of each line marked "# E: CODE"."""
    lines = path.read_text().splitlines()
    return {
        (path.name, number, match.group(1))
        for number, line in enumerate(lines, 1)
        if (match := re.search(r"# E: ([\w-]+)$", line))
    }


def test_stubs_match_the_module(tmp_path):
    out = run_mypy_module(".stubtest", ["sorvan"], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_accepts_typed_use_and_reports_each_misuse(tmp_path):
    usage, misuse = CASES / "usage.py", CASES / "misuse.py"
    out = run_mypy_module(
        "", ["--strict", "--cache-dir", str(tmp_path / "cache"), str(usage), str(misuse)], tmp_path
    )
    assert "Cannot find implementation or library stub" not in out.stdout
    assert mypy_errors(out.stdout) == expected_errors(misuse), out.stdout
    assert len(expected_errors(misuse)) >= 10


def conforms(value, annotation):
    """Whether value is of the type annotation: exact classes (a bool is not
    an int), list[X], tuple[X, Y] and unions."""
    if isinstance(annotation, types.UnionType):
        return any(conforms(value, option) for option in annotation.__args__)
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin is list:
        return type(value) is list and all(conforms(item, args[0]) for item in value)
    if origin is tuple:
        return (type(value) is tuple and len(value) == len(args)
                and all(map(conforms, value, args)))
    return type(value) is annotation


def test_the_module_keeps_what_the_stubs_promise(monkeypatch):
    checked = []

    def assert_type(value, annotation):
        assert conforms(value, annotation), f"{value!r} is not {annotation}"
        if isinstance(value, list):
            checked.append(bool(value))
        return value

    assert not conforms([("a", True)], list[tuple[str, int]])  # the check can fail
    assert not conforms([["a"]], list[str] | list[tuple[str, int]])
    monkeypatch.setattr(typing, "assert_type", assert_type)
    runpy.run_path(str(CASES / "usage.py"), run_name="__main__")
    # Every list had items whose types were checked.
    assert checked and all(checked)
