"""./dev's handling of the caller's command line: an unknown command, and
the paths it names, as the build root must see them."""

import pathlib
import re
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def bash(script, **env):
    """Runs `script` in bash with tools/build-root.sh sourced; its stdout lines."""
    setup = "".join(f"{name}={value!r}\n" for name, value in env.items())
    out = subprocess.run(["bash", "-c", f"set -euo pipefail\n{setup}source tools/build-root.sh\n{script}"],
                         cwd=ROOT, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def test_an_unknown_command_is_named():
    out = subprocess.run(["bash", ROOT / "dev", "frobnicate"], capture_output=True, text=True)
    assert out.returncode == 2
    assert out.stderr.startswith("dev: unknown command 'frobnicate'\nusage: ./dev COMMAND")


@pytest.fixture
def tree(tmp_path):
    """A checkout; the caller's folder, with a word list; another folder."""
    (tmp_path / "checkout" / "tests").mkdir(parents=True)
    (tmp_path / "checkout" / "tests" / "test_a.py").write_text("")
    (tmp_path / "mine" / "lists").mkdir(parents=True)
    (tmp_path / "mine" / "words.txt").write_text("apple\n")
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "freq.txt").write_text("apple 3\n")
    return tmp_path


# (argument, what the root is given (None: the argument), the other host
# folder it needs besides the caller's, which is always bound: the demo and
# the shell run there).
CASES = [
    ("words.txt", "/mnt/host{t}/mine/words.txt", None),
    ("--words=words.txt", "--words=/mnt/host{t}/mine/words.txt", None),
    ("./lists/../words.txt", "/mnt/host{t}/mine/words.txt", None),
    ("../other/freq.txt", "/mnt/host{t}/other/freq.txt", "{t}/other"),
    ("{t}/other/freq.txt", "/mnt/host{t}/other/freq.txt", "{t}/other"),
    ("--frequencies={t}/other", "--frequencies=/mnt/host{t}/other", "{t}/other"),
    ("../checkout/tests/test_a.py", "/src/tests/test_a.py", None),
    ("missing.txt", None, None),
    ("-k", None, None),
    ("--words=missing.txt", None, None),
]


@pytest.mark.parametrize("arg, seen, bound", CASES, ids=[case[0] for case in CASES])
def test_a_named_path_is_the_callers_and_is_bound(tree, arg, seen, bound):
    arg, seen, bound = (None if x is None else x.format(t=tree) for x in (arg, seen, bound))
    caller = str(tree / "mine")
    script = f'USE_ROOT=1 resolve_paths {arg!r}; printf "%s\\n" "${{ARGS[@]}}"; outermost_folders "${{BINDS[@]}}"'
    lines = bash(script, caller=caller, here=str(tree / "checkout"))
    assert lines == [seen or arg, *sorted({caller, bound or caller})]


def test_only_the_outermost_folders_are_bound(tree):
    here = tree / "checkout"
    folders = ["/a/b", "/a-c", "/a", "/a/b/c", str(here), f"{here}/tests", "/ab"]
    assert bash('outermost_folders "$@"'.replace('"$@"', " ".join(map(repr, folders))),
                here=str(here)) == ["/a", "/a-c", "/ab"]


def test_on_the_host_a_path_is_only_made_absolute(tree):
    lines = bash("USE_ROOT='' resolve_paths words.txt; echo \"${ARGS[0]}\"",
                 caller=str(tree / "mine"), here=str(tree / "checkout"))
    assert lines == [f"{tree}/mine/words.txt"]


@pytest.mark.parametrize("holds, command, message", [
    (None, "demo", "there is no build root at {root} yet; making it .* needs root: run ./dev demo as root once"),
    ("ROOT_PACKAGES[@]:1", "test", "the build root at {root} lacks packages this checkout needs: python3.14-dev - "
                                   "installing them needs root: run ./dev test as root once"),
    ("ROOT_PACKAGES[@]", "check", "the build root at {root} lacks packages this checkout needs: clang "),
])
def test_a_user_is_told_what_the_root_lacks(tmp_path, holds, command, message):
    """What another user than root hears when the root is not ready for it."""
    root = tmp_path / "root"
    script = "" if holds is None else f'mkdir -p "$ROOT"; sorted "${{{holds}}}" > "$ROOT/$MARKER"; '
    out = subprocess.run(["bash", "-c", f"source tools/build-root.sh; {script}root_is_ready {command}"],
                         cwd=ROOT, capture_output=True, text=True, env={"SORVAN_ROOT": str(root), "PATH": "/usr/bin:/bin"})
    assert out.returncode == 1
    assert re.match("dev: " + message.format(root=re.escape(str(root))), out.stderr)
