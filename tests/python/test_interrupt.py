"""Ctrl-C stops a long call: a search, a bulk insertion, or making, opening
or undoing a compact image, polls for signals as it goes, and raises what
the handler raises, leaving the lexicon as it was (a Trie's bulk insertion
keeps the words it added)."""

import gc
import pickle
import random
import signal
import string
import time

import pytest

from sorvan import DAWG, Trie


@pytest.fixture
def alarm():
    """alarm(seconds): SIGALRM after `seconds`, its handler raising
    KeyboardInterrupt in the main thread as Ctrl-C would."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


LONG = 2000


@pytest.mark.parametrize(
    "call",
    [
        # Some 10**14 steps: 2000**5 / 5! ways to split the run of `a`s
        # among the stars, none of them matching.
        lambda lex: lex.search("*a*a*a*a*b"),
        lambda lex: lex.search("*a*a*a*a*b", with_count=True),
        lambda lex: lex.batch_search(["*a*a*a*a*b"] * 4),
        # 8 * 10**9 table entries: the query and the word are 80,000 letters
        # long and no bound prunes anything.
        lambda lex: lex.search_within_distance("b" * 80_000, 2**64 - 1),
        lambda lex: lex.batch_search_within_distance(["b" * 80_000] * 4, 2**64 - 1),
        lambda lex: lex.batch_suggest(["b" * 80_000] * 4, 2**64 - 1, None),
        lambda lex: lex.complete("b" * 80_000, None, max_distance=2**64 - 1),
        lambda lex: lex.batch_complete(["b" * 80_000] * 4, 3, max_distance=2**64 - 1),
        # Each item is quick, but there are so many that only polling
        # between chunks stops them.
        lambda lex: lex.batch_contains(["a" * LONG] * 5_000_000),  # some 15 s
        # 80,000 steps a position of a run of 10**7.
        lambda lex: lex.find_all("a" * 10**7),
        lambda lex: lex.batch_find_all(["a" * 10**6] * 8, overlapping=False),
    ],
    ids=["stars", "stars-with-count", "batch-stars", "levenshtein", "batch-levenshtein",
         "batch-suggest", "complete", "batch-complete", "batch-many-items", "find-all",
         "batch-find-all"],
)
def test_a_long_call_stops_at_ctrl_c(lexicon_class, alarm, call):
    lexicon = lexicon_class()
    lexicon.add_all(["a" * LONG, "a" * 80_000 + "c", "b"])
    before = repr(lexicon)
    alarm(0.2)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        call(lexicon)
        pytest.fail("the call ran to its end")  # an hour away
    assert time.monotonic() - start < 2
    assert repr(lexicon) == before
    # Any workers stopped, and the pool takes new batches.
    assert lexicon.batch_search(["?", "b*"] * 8) == [["b"], ["b"]] * 8
    lexicon.add("c")  # the shared borrow was released
    assert lexicon.search("?") == ["b", "c"]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda trie: trie.search("*a*a*b", with_count=True), []),  # a tenth of a second
        (lambda trie: trie.batch_search(["*a*a*b"] * 4), [[]] * 4),
    ],
    ids=["search", "batch"],
)
def test_a_handler_that_returns_lets_the_call_finish(alarm, call, expected):
    calls = []
    signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
    trie = Trie()
    trie.add_all(["a" * 400, "b"])
    alarm(0.02)
    assert call(trie) == expected  # 400**3 / 3! steps each
    assert calls == [signal.SIGALRM]


def test_batch_find_all_runs_the_handlers_while_it_makes_its_tuples(lexicon_class):
    # The workers find the matches, then the calling thread makes them into
    # tuples (400,000 here), polling for signals as it goes. The first
    # collection marks that second part: the walk makes no Python object.
    lexicon = lexicon_class()
    lexicon.add_all(["b"])
    making = [False]
    handled = []

    def collecting(phase, info):
        making[0] = True

    previous = signal.signal(signal.SIGALRM, lambda signum, frame: handled.append(making[0]))
    gc.collect()
    gc.callbacks.append(collecting)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        found = lexicon.batch_find_all(["b" * 100_000] * 4)
        signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        gc.callbacks.remove(collecting)
        signal.signal(signal.SIGALRM, previous)
    assert found == [[(i, i + 1, "b") for i in range(100_000)]] * 4
    # Without polls the handler runs once, maybe twice, after the call.
    assert handled.count(True) >= 4


@pytest.fixture(scope="module")
def long_words():
    """100,000 random words of 40 letters: some 3.6 million trie nodes.
    Making an image of the first 30,000 of them, or reducing a compact DAWG
    of the first 50,000, takes a good part of a second; undoing an image is
    quicker and takes them all, as adding them does (adding 40,000 could end
    before the alarm on a quiet machine). (The calls are stopped after
    0.02 s.)"""
    rng = random.Random(11)
    return ["".join(rng.choices(string.ascii_lowercase, k=40)) for _ in range(100_000)]


LAST = "z" * 41  # after every word: a DAWG takes it too


def _restore(lexicon, path):
    lexicon.compact()
    return lambda: lexicon.add(LAST)


@pytest.mark.parametrize(
    "prepare, count",
    [
        (lambda lexicon, path: lexicon.compact, 30_000),
        (lambda lexicon, path: lambda: lexicon.save(path), 30_000),
        (lambda lexicon, path: lambda: pickle.dumps(lexicon, 5), 30_000),
        (_restore, 100_000),  # the first change brings back the mutable form
        # What queries build on demand: the reversed words (and on the
        # compact form, a copy with ranks and the membership index).
        (lambda lexicon, path: lexicon.prepare, 30_000),
        (lambda lexicon, path: (lexicon.compact(), lexicon.prepare)[1], 30_000),
    ],
    ids=["compact", "save", "pickle", "restore", "prepare", "prepare-compact"],
)
def test_making_or_undoing_an_image_stops_at_ctrl_c(lexicon_class, alarm, long_words, tmp_path, prepare, count):
    words = long_words[:count]
    lexicon = lexicon_class()
    lexicon.add_all(words)
    _expect_stopped_then_done(lexicon, prepare(lexicon, str(tmp_path / "lexicon.img")), alarm, words, tmp_path)


def test_reduce_of_a_compact_dawg_stops_at_ctrl_c(alarm, long_words, tmp_path):
    words = long_words[:50_000]
    dawg = DAWG()
    for word in sorted(words):
        dawg.add(word)  # the last word's nodes stay unchecked
    dawg.compact()
    _expect_stopped_then_done(dawg, dawg.reduce, alarm, words, tmp_path)


def _expect_stopped(alarm, call):
    """Ctrl-C 0.02 s into call() stops it within a second."""
    alarm(0.02)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        call()
        pytest.fail("the call ran to its end")
    assert time.monotonic() - start < 1


def _expect_stopped_then_done(lexicon, call, alarm, words, tmp_path):
    before = repr(lexicon)
    _expect_stopped(alarm, call)
    # Nothing half made: no file, no leftover, the lexicon as it was, and
    # the same call then runs to its end.
    assert list(tmp_path.iterdir()) == []
    assert repr(lexicon) == before
    prefix = words[7][:3]
    assert lexicon.search_with_prefix(prefix) == sorted(w for w in words if w.startswith(prefix))
    assert LAST not in lexicon
    call()
    assert lexicon.contains_prefix(words[-1])


@pytest.mark.parametrize("method", ["add_all", "add_from_file"])
def test_bulk_insertion_stops_at_ctrl_c(lexicon_class, alarm, long_words, tmp_path, method):
    words = sorted(long_words)  # a sorted file: a Trie keeps its first words
    source = words
    if method == "add_from_file":
        source = str(tmp_path / "words.txt")
        with open(source, "w") as file:
            file.write("\n".join(words) + "\n")
    lexicon = lexicon_class()
    lexicon.add_all(["0", "00"])
    lexicon.add("01")  # a DAWG's path not reduced yet
    before = pickle.dumps(lexicon)  # a DAWG's building state and all
    add = getattr(lexicon, method)
    alarm(0.02)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        add(source)
        pytest.fail("the call ran to its end")  # or raised after it
    assert time.monotonic() - start < 1
    found = lexicon.search("*")
    assert found[:3] == ["0", "00", "01"]
    if lexicon_class is DAWG:
        assert pickle.dumps(lexicon) == before
        add(source)  # tried again, all of it goes in
        assert lexicon.search("*")[3:] == words
    else:
        assert found[3:] == words[:len(found) - 3]
        assert len(found) < len(words)
        assert lexicon.get_word_count() == len(found)
    lexicon.add(LAST)  # the borrow was released


@pytest.mark.parametrize("source", ["file", "presorted-file", "words"])
def test_building_in_bulk_stops_at_ctrl_c(lexicon_class, alarm, long_words, tmp_path, source):
    words = sorted(long_words)
    path = tmp_path / "words.txt"
    path.write_text("\n".join(words) + "\n")

    def build():
        if source == "words":
            return lexicon_class.from_words((w, 2) for w in words)
        return lexicon_class.from_file(str(path), presorted=source == "presorted-file")

    _expect_stopped(alarm, build)
    assert list(tmp_path.iterdir()) == [path]
    built = build()
    assert built.search_with_prefix(words[7][:3]) == [w for w in words if w.startswith(words[7][:3])]
