"""Leaks and references: every method repeated, in its successful and its
failing forms, leaves the process's memory flat and the reference counts of
the object and of every argument as they were.

Each runs 100,000 times, except the batch methods, bulk insertion and file
reading, whose every call costs tens of microseconds: 10,000 times. A leak
of a single object per call shows up as more memory than the limit at
either count. Under AddressSanitizer (./dev check) the counts are
cut twentyfold and memory is not measured: the sanitizer's quarantine holds
freed memory, and its leak checker watches instead.
"""

import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

from conftest import UNDER_ASAN

PAGE = os.sysconf("SC_PAGE_SIZE")
GROWTH_LIMIT = 192 * 1024  # a 40-byte object per call would be >= 800 KiB


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fresh(text):
    """A str of its own, not interned: its reference count is its own."""
    return "".join(list(text))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise LookupError("no index")
        return self.value


class Grabby:
    """A count whose conversion tries to modify the lexicon being added to."""

    def __init__(self, lexicon):
        self.lexicon = lexicon

    def __index__(self):
        try:
            self.lexicon.add(fresh("zz"))
        except RuntimeError:
            return 1
        raise AssertionError("the exclusive borrow was not held")


def saved(lexicon, path):
    """The path of an image of `lexicon`, saved beside `path`."""
    lexicon.save(path + ".img")
    return fresh(path + ".img")


def failing_source(word):
    yield word
    raise LookupError("from the iterator")


# id, calls, call(lexicon, *args), args(lexicon, path), error raised or None.
# The calls that add use "pear", the lexicons' largest word, which a DAWG
# takes again and again.
CHEAP, SLOW = 100_000, 10_000
CASES = [
    ("add", CHEAP, lambda x, w, c: x.add(w, c), lambda x, p: (fresh("pear"), 10**18 + 1), None),
    ("in", CHEAP, lambda x, w: w in x, lambda x, p: (fresh("apple"),), None),
    ("len", CHEAP, len, lambda x, p: (), None),
    ("repr", CHEAP, repr, lambda x, p: (), None),
    ("get_word_count", CHEAP, lambda x: x.get_word_count(), lambda x, p: (), None),
    ("contains_prefix", CHEAP, lambda x, w: x.contains_prefix(w), lambda x, p: (fresh("app"),), None),
    ("search", CHEAP, lambda x, w, f: x.search(w, f), lambda x, p: (fresh("ap*"), True), None),
    ("search_with_prefix", CHEAP, lambda x, w: x.search_with_prefix(w, with_count=True),
     lambda x, p: (fresh("ap"),), None),
    ("search_within_distance", CHEAP, lambda x, w, d: x.search_within_distance(w, d, True),
     lambda x, p: (fresh("apply"), Index(2)), None),
    ("add_all", SLOW, lambda x, ws: x.add_all(ws), lambda x, p: ([fresh("pear")] * 3,), None),
    ("add_from_file", SLOW, lambda x, p: x.add_from_file(p), lambda x, p: (p,), None),
    ("batch_contains", SLOW, lambda x, ws: x.batch_contains(ws),
     lambda x, p: ([fresh("apple"), fresh("pear")] * 200,), None),
    ("batch_search", SLOW, lambda x, ws: x.batch_search(ws), lambda x, p: ([fresh("ap*")] * 8,), None),
    ("batch_search_with_prefix", SLOW, lambda x, ws: x.batch_search_with_prefix(ws),
     lambda x, p: ([fresh("ap")] * 8,), None),
    ("batch_search_within_distance", SLOW, lambda x, ws, d: x.batch_search_within_distance(ws, d),
     lambda x, p: ([fresh("apply")] * 8, 10**18), None),
    ("suggest", CHEAP, lambda x, w, d, n: x.suggest(w, d, n, transpositions=True, with_count=True),
     lambda x, p: (fresh("aplpy"), Index(2), None), None),
    ("batch_suggest", SLOW, lambda x, ws, d: x.batch_suggest(ws, d, with_count=True),
     lambda x, p: ([fresh("aplpy")] * 8, 2), None),
    ("find_all", CHEAP, lambda x, t: x.find_all(t, with_count=True),
     lambda x, p: (fresh("an apple, an apricot, apples " * 4),), None),
    ("batch_find_all", SLOW, lambda x, ts: x.batch_find_all(ts, overlapping=False, whole_words=True),
     lambda x, p: ([fresh("an apple, an apricot, apples " * 4)] * 8,), None),
    ("compact-then-add", SLOW, lambda x, w: (x.compact(), x.add(w)), lambda x, p: (fresh("pear"),), None),
    ("save", SLOW, lambda x, p: x.save(p), lambda x, p: (fresh(p + ".out"),), None),
    ("load", SLOW, lambda x, p: type(x).load(p), lambda x, p: (saved(x, p),), None),
    ("load-mmap", SLOW, lambda x, p, m: type(x).load(p, mmap=m), lambda x, p: (saved(x, p), True), None),
    ("pickle", SLOW, lambda x, m: m.loads(m.dumps(x, protocol=5)), lambda x, p: (__import__("pickle"),),
     None),
    ("deepcopy", SLOW, lambda x, m: m.deepcopy(x), lambda x, p: (__import__("copy"),), None),
    # Failing calls: conversions, values, the borrow, the iterator, the file.
    ("add-overflow", CHEAP, lambda x, w, c: x.add(w, c), lambda x, p: (fresh("apple"), -(10**20)),
     OverflowError),
    ("add-not-str", CHEAP, lambda x, w: x.add(w), lambda x, p: (b"bytes-word",), TypeError),
    ("add-surrogate", CHEAP, lambda x, w: x.add(w), lambda x, p: (fresh("ab\ud800"),), UnicodeEncodeError),
    ("add-index-raises", CHEAP, lambda x, w, c: x.add(w, c), lambda x, p: (fresh("pear"), Index(None)),
     LookupError),
    ("add-borrowed", CHEAP, lambda x, w, c: x.add(w, c), lambda x, p: (fresh("pear"), Grabby(x)), None),
    ("in-not-str", CHEAP, lambda x, w: w in x, lambda x, p: (10**18,), TypeError),
    ("search-bad-flag", CHEAP, lambda x, w, f: x.search(w, f), lambda x, p: (fresh("ap*"), 10**18),
     TypeError),
    ("search-unknown-keyword", CHEAP, lambda x, w: x.search(w, nope=1), lambda x, p: (fresh("ap*"),),
     TypeError),
    ("distance-negative", CHEAP, lambda x, w, d: x.search_within_distance(w, d),
     lambda x, p: (fresh("apply"), -(10**18)), OverflowError),
    ("suggest-positional-flag", CHEAP, lambda x, w: x.suggest(w, 2, 5, True),
     lambda x, p: (fresh("apply"),), TypeError),
    ("suggest-bad-limit", CHEAP, lambda x, w, n: x.suggest(w, 2, n), lambda x, p: (fresh("apply"), 2.5),
     TypeError),
    ("add_all-item", SLOW, lambda x, ws: x.add_all(ws), lambda x, p: ([fresh("pear"), 10**18],), TypeError),
    ("add_all-iterator", SLOW, lambda x, w: x.add_all(failing_source(w)), lambda x, p: (fresh("pear"),),
     LookupError),
    ("add_from_file-missing", SLOW, lambda x, p: x.add_from_file(p + ".missing"), lambda x, p: (p,),
     ValueError),
    ("load-missing", SLOW, lambda x, p: type(x).load(p + ".missing"), lambda x, p: (p,), ValueError),
    ("load-not-an-image", SLOW, lambda x, p: type(x).load(p), lambda x, p: (p,), ValueError),
    ("setstate-bad", SLOW, lambda x, b: x.__setstate__(b), lambda x, p: (b"\x89SRVLEX\n" * 30,), ValueError),
    ("find_all-bad-flag", CHEAP, lambda x, t: x.find_all(t, whole_words=1), lambda x, p: (fresh("apple"),),
     TypeError),
    ("batch-str", SLOW, lambda x, w: x.batch_search(w), lambda x, p: (fresh("apple"),), TypeError),
    ("batch-item", SLOW, lambda x, ws: x.batch_contains(ws), lambda x, p: ([fresh("apple"), 10**18],),
     TypeError),
]


def repeat(call, times, error):
    if error is None:
        for _ in range(times):
            call()
        return
    for _ in range(times):
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"no {error.__name__}")


@pytest.fixture
def scratch(tmp_path):
    """A folder for the files of the calls: in memory where the system has
    such a folder (/dev/shm), so that the fsync of each of 10,000 saves
    costs nothing and the calls, not the disk, are what the test times."""
    if not os.access("/dev/shm", os.W_OK):
        yield tmp_path
        return
    with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
        yield pathlib.Path(folder)


@pytest.mark.parametrize("name, calls, method, make_args, error", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(lexicon_class, scratch, name, calls, method, make_args, error):
    path = scratch / "words.txt"
    path.write_text("pear\npear\n")
    lexicon = lexicon_class()
    lexicon.add_all(["apple", "apply", "apricot", "pear"])
    args = make_args(lexicon, fresh(str(path)))
    if UNDER_ASAN:
        calls //= 20
    repeat(lambda: method(lexicon, *args), calls // 10, error)  # caches, free lists
    watched = [lexicon, *args]
    references = [sys.getrefcount(obj) for obj in watched]
    before = rss()
    repeat(lambda: method(lexicon, *args), calls, error)
    grown = rss() - before
    assert [sys.getrefcount(obj) for obj in watched] == references
    if not UNDER_ASAN:
        assert grown < GROWTH_LIMIT, f"{grown} bytes more after {calls} calls"


def test_batch_items_are_not_copied(tmp_path):
    # 500 references to one 10 MB str: 5 GB if each item were copied.
    # (Searches whose cost grows with the item are left out: they would be
    # slow, not wasteful.)
    script = tmp_path / "batch.py"
    script.write_text(
        "import resource, sorvan\n"
        "big = 'a' * 10_000_000\n"
        "t = sorvan.Trie(); t.add('a')\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "t.batch_contains([big] * 500)\n"
        "t.batch_search_with_prefix([big] * 500)\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n"
    )
    grown_kib = int(subprocess.run([sys.executable, str(script)], check=True,
                                   capture_output=True, text=True).stdout)
    assert grown_kib < 100_000
