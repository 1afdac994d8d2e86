"""Packaging: the sdist, the wheel built from it, and installs into fresh
virtual environments. Nothing is downloaded: the build tools come from the
system and pip runs with --no-index."""

import os
import pathlib
import subprocess
import sys
import tarfile
import textwrap
import tomllib
import zipfile

import pytest

pytestmark = pytest.mark.slow

SOURCE = pathlib.Path(__file__).resolve().parents[2]
STUBS = SOURCE / "src" / "python" / "sorvan.pyi"
VERSION = tomllib.loads((SOURCE / "pyproject.toml").read_text())["project"]["version"]


def run(args, cwd):
    # Without PYTHONPATH, which points at the build tree during the tests.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd,
                         env=env)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


STRAY = "stray-words-of-the-packaging-test.txt"


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist, and the wheel that `python -m build` makes from it."""
    pytest.importorskip("build")
    out = tmp_path_factory.mktemp("dist")
    stray = SOURCE / STRAY  # a file left beside the sources, as a user's word list is
    stray.write_text("apple\n")
    try:
        run([sys.executable, "-m", "build", "--no-isolation", "--outdir", out, SOURCE], out)
    finally:
        stray.unlink()
    (sdist,) = out.glob("sorvan-*.tar.gz")
    (wheel,) = out.glob("sorvan-*.whl")
    return sdist, wheel


def new_venv(path):
    """A fresh virtual environment that sees the system's build tools."""
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", path], path.parent)
    return path / "bin" / "python"


def pip_install(python, target):
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", target],
        python.parent)


def check_installed(python, cwd):
    """Imports sorvan in the environment of `python`, away from the checkout."""
    script = textwrap.dedent(
        f"""
        import importlib.metadata, pathlib, sys
        import sorvan
        here = pathlib.Path(sorvan.__file__).parent
        assert here.is_relative_to(sys.prefix), here
        assert (here / "sorvan.pyi").read_text() == (here / "sorvan-stubs" / "__init__.pyi").read_text()
        t = sorvan.Trie()
        t.add_all(["apple", "apply"])
        assert t.search("app*", with_count=True) == [("apple", 1), ("apply", 1)]
        assert importlib.metadata.version("sorvan") == {VERSION!r}
        print(here / "sorvan.pyi")
        """
    )
    return pathlib.Path(run([python, "-c", script], cwd).strip())


def test_sdist_holds_the_sources_only(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "src/python/sorvan.pyi",
            "src/python/module.cpp", "src/trie/trie.cpp"} <= names
    assert not any(name.startswith(("build/", ".ci/")) or name.endswith(".so") for name in names)
    assert STRAY not in names


def test_wheel_holds_the_module_and_its_stubs(dist):
    _, wheel = dist
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        modules = [n for n in names if n.startswith("sorvan.") and n.endswith(".so")]
        assert len(modules) == 1
        for stub in ("sorvan.pyi", "sorvan-stubs/__init__.pyi"):
            assert archive.read(stub) == STUBS.read_bytes()
        metadata = archive.read(f"sorvan-{VERSION}.dist-info/METADATA").decode()
    assert f"\nVersion: {VERSION}\n" in metadata
    assert "\nRequires-Python: >=3.14\n" in metadata


def test_wheel_installs_imports_and_type_checks(dist, tmp_path):
    pytest.importorskip("mypy")
    _, wheel = dist
    python = new_venv(tmp_path / "venv")
    pip_install(python, wheel)
    check_installed(python, tmp_path)
    # mypy finds the installed stubs by itself and accepts the typed use.
    usage = pathlib.Path(__file__).parent / "typed_usage" / "usage.py"
    run([sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
         "--cache-dir", tmp_path / "cache", usage], tmp_path)


def test_pip_install_from_the_checkout(tmp_path):
    python = new_venv(tmp_path / "venv")
    pip_install(python, SOURCE)
    stub = check_installed(python, tmp_path)
    assert stub.read_bytes() == STUBS.read_bytes()
