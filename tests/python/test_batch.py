"""Batch queries on the worker pool."""

import os
import random
import signal
import sys

import pytest

from sorvan import DAWG, Trie

WORDS = ["apple", "apply", "ash", "ashes", "ashley", "banana", "band", "bandana", "é", "\U0001F600"]


def filled(cls, words=WORDS):
    lexicon = cls()
    for w in sorted(set(words), key=lambda w: w.encode()):
        lexicon.add(w)
    if cls is DAWG:
        lexicon.reduce()
    return lexicon


@pytest.fixture
def lexicon(lexicon_class):
    return filled(lexicon_class)


def test_batch_contains_keeps_input_order(lexicon_class):
    lexicon = filled(lexicon_class, ["apple", "apply"])
    assert lexicon.batch_contains(["apply", "application", "apple"]) == [True, False, True]


@pytest.mark.parametrize("size", [0, 1, 3, 300, 5000])
def test_every_batch_equals_the_single_queries(lexicon, size):
    rng = random.Random(size)
    pool = WORDS + ["a", "as", "ba", "*", "?", "a*", "*a*", "??", "", "banda", "x"]
    items = [rng.choice(pool) for _ in range(size)]
    assert lexicon.batch_contains(items) == [w in lexicon for w in items]
    assert lexicon.batch_search(items) == [lexicon.search(p) for p in items]
    assert lexicon.batch_search_with_prefix(items) == [lexicon.search_with_prefix(p) for p in items]
    for dist in (0, 2):
        expected = [lexicon.search_within_distance(w, dist) for w in items]
        assert lexicon.batch_search_within_distance(items, dist) == expected
    assert lexicon.batch_search_within_distance(items) == [
        lexicon.search_within_distance(w) for w in items
    ]


def test_tuples_and_sequence_types_are_accepted(lexicon):
    class Words:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return ["ash", "nope"][i]

    assert lexicon.batch_contains(("ash", "nope")) == [True, False]
    assert lexicon.batch_contains(Words()) == [True, False]
    assert lexicon.batch_search_within_distance(words=("ash",), dist=2) == [["ash", "ashes"]]


@pytest.mark.parametrize(
    "method, name",
    [
        ("batch_contains", "words"),
        ("batch_search", "patterns"),
        ("batch_search_with_prefix", "prefixes"),
        ("batch_search_within_distance", "words"),
    ],
)
def test_a_str_is_not_a_list_of_words(lexicon, method, name):
    with pytest.raises(TypeError) as info:
        getattr(lexicon, method)("ash")
    assert str(info.value) == f"argument '{name}': Can't extract `str` to `Vec`"


@pytest.mark.parametrize("bad", [{"ash"}, {"ash": 1}, (w for w in ["ash"]), iter(["ash"]), 5, None])
@pytest.mark.parametrize("method", ["batch_contains", "batch_search", "batch_search_with_prefix"])
def test_non_sequences_are_refused(lexicon, method, bad):
    with pytest.raises(TypeError, match=r"^argument '"):
        getattr(lexicon, method)(bad)


def test_non_str_items_are_refused(lexicon):
    with pytest.raises(TypeError, match=r"^argument 'words': "):
        lexicon.batch_contains(["ash", 5])
    with pytest.raises(TypeError, match=r"^argument 'prefixes': "):
        lexicon.batch_search_with_prefix(["ash", b"x"])


@pytest.mark.parametrize("dist, error", [(-1, OverflowError), (1.5, TypeError), ("1", TypeError)])
def test_dist_is_converted_after_the_list(lexicon, dist, error):
    with pytest.raises(error):
        lexicon.batch_search_within_distance(["ash"], dist)
    # The list is converted first: its error wins.
    with pytest.raises(TypeError, match="argument 'words'"):
        lexicon.batch_search_within_distance("ash", dist)


def test_sequence_that_modifies_the_lexicon_sees_the_borrow():
    trie = filled(Trie)
    seen = []

    class Sneaky:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            with pytest.raises(RuntimeError) as info:
                trie.add("zzz")
            seen.append(str(info.value))
            return "ash"

    assert trie.batch_contains(Sneaky()) == [True]
    assert seen == ["Already borrowed"]
    assert "zzz" not in trie


def test_large_mixed_batch_on_both_classes():
    rng = random.Random(5)
    words = sorted({"".join(rng.choice("abcde") for _ in range(rng.randrange(1, 8))) for _ in range(3000)})
    trie, dawg = filled(Trie, words), filled(DAWG, words)
    queries = [rng.choice(words) + rng.choice(["", "x", "a"]) for _ in range(10000)]
    expected = [trie.search_within_distance(q, 1) for q in queries[:500]]
    assert dawg.batch_search_within_distance(queries[:500], 1) == expected
    assert trie.batch_contains(queries) == dawg.batch_contains(queries)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_batch_in_a_forked_child_after_the_pool_started():
    trie = filled(Trie)
    items = ["ash", "nope", "band"] * 400  # large enough to use the pool
    expected = trie.batch_contains(items)
    assert expected[:3] == [True, False, True]
    pid = os.fork()
    if pid == 0:  # the child: no worker threads survive the fork
        signal.alarm(20)
        ok = trie.batch_contains(items) == expected
        ok = ok and trie.batch_search_within_distance(["ash"] * 50, 2) == [["ash", "ashes"]] * 50
        os._exit(0 if ok else 1)
    for _ in range(600):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        import time

        time.sleep(0.05)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child hung in a batch call")
    assert os.waitstatus_to_exitcode(status) == 0


def test_interpreter_exits_cleanly_with_the_pool_alive(tmp_path):
    import subprocess

    script = (
        "import sorvan\n"
        "t = sorvan.Trie()\n"
        "t.add('ash')\n"
        "print(t.batch_contains(['ash', 'x'] * 1000)[:2])\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[True, False]"
