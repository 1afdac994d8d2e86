"""Ctrl-C stops a long search: the search polls for signals as it goes, and
raises what the handler raises, leaving the lexicon as it was."""

import signal
import time

import pytest

from sorvan import Trie


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
        # Each item is quick, but there are so many that only polling
        # between chunks stops them.
        lambda lex: lex.batch_contains(["a" * LONG] * 5_000_000),  # some 15 s
    ],
    ids=["stars", "stars-with-count", "batch-stars", "levenshtein", "batch-levenshtein",
         "batch-suggest", "batch-many-items"],
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
