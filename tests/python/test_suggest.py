"""suggest() and batch_suggest(): the ranking against a plain model, and the
binding's conventions for their arguments."""

import signal
import time

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from query_model import osa_distance, suggestions
from sorvan import DAWG, Trie

ALPHABET = "abc\x00é\U0001f600"


def lexicons(counts):
    trie, dawg = Trie(), DAWG()
    for word, count in counts.items():
        trie.add(word, count)
    for word in sorted(counts):
        dawg.add(word, counts[word])
    dawg.reduce()
    return trie, dawg


def shown(found, with_count):
    return found if with_count else [(w, d) for w, d, _ in found]


# Few letters and few counts, so that swaps, equal distances and equal counts
# are common; bounds below, at and far over the lengths; limits that cut
# among equals.
@settings(max_examples=300, deadline=None)
@given(
    counts=st.dictionaries(st.text(ALPHABET, min_size=1, max_size=6),
                           st.sampled_from([0, 1, 2, 2**64 - 1]), max_size=30),
    query=st.text(ALPHABET, max_size=7),
    max_distance=st.one_of(st.integers(0, 4), st.just(2**64 - 1)),
    limit=st.one_of(st.none(), st.integers(0, 6)),
    transpositions=st.booleans(),
    with_count=st.booleans(),
)
# A limit that cuts among equal distances and counts, a swap, and the
# extreme counts; and an unbounded distance with no limit.
@example(counts={"ab": 2, "ba": 2, "abc": 2, "a": 1, "b": 2**64 - 1, "c": 0}, query="ab", max_distance=1,
         limit=2, transpositions=True, with_count=True)
@example(counts={"a\x00": 1, "é\U0001f600": 2, "\U0001f600": 0}, query="", max_distance=2**64 - 1,
         limit=None, transpositions=False, with_count=True)
def test_ranks_as_sorting_every_word_does(counts, query, max_distance, limit, transpositions,
                                          with_count):
    expected = shown(suggestions(counts, query, max_distance, limit, transpositions), with_count)
    for lexicon in lexicons(counts):
        found = lexicon.suggest(query, max_distance, limit, transpositions=transpositions,
                                with_count=with_count)
        assert found == expected
        assert lexicon.batch_suggest([query, query[::-1]], max_distance, limit,
                                     transpositions=transpositions, with_count=with_count) == [
            expected, lexicon.suggest(query[::-1], max_distance, limit,
                                      transpositions=transpositions, with_count=with_count)]


# A lexicon asked many suggestions builds a graph of its words spelled
# backwards and answers from two walks instead of one; the answers stay the
# model's, in each form, and after a change (which drops that graph).
@settings(max_examples=60, deadline=None)
@given(
    # (Count 0 too: with a highest count of 1, such words make the listing
    # of the reversed words start again with counts.)
    counts=st.dictionaries(st.text(ALPHABET, min_size=1, max_size=8),
                           st.sampled_from([0, 1, 1, 2, 7]), min_size=1, max_size=40),
    data=st.data(),
    extra=st.text(ALPHABET, min_size=1, max_size=8),
)
def test_many_suggestions_rank_as_the_model(counts, data, extra):
    def near(word):  # the word with two neighbours swapped and a letter changed
        i = data.draw(st.integers(0, len(word)))
        j = data.draw(st.integers(0, len(word)))
        word = word[:i] + word[i + 1:i + 2] + word[i:i + 1] + word[i + 2:]
        return word[:j] + data.draw(st.sampled_from(ALPHABET)) + word[j + 1:]

    queries = [near(data.draw(st.sampled_from(sorted(counts)))) for _ in range(4)]

    def check(lexicon, counts):
        for query in queries:
            for max_distance, transpositions in [(1, False), (2, True), (3, False), (2, False)]:
                expected = suggestions(counts, query, max_distance, 5, transpositions)
                assert lexicon.suggest(query, max_distance, 5, transpositions=transpositions,
                                       with_count=True) == expected

    for lexicon in lexicons(counts):
        for _ in range(60):
            lexicon.batch_suggest(list(counts), 2, 3, transpositions=True)
        check(lexicon, counts)
        lexicon.compact()
        for _ in range(30):
            lexicon.batch_suggest(list(counts), 2, 3)
        check(lexicon, counts)
        if isinstance(lexicon, Trie):
            lexicon.add(extra, 3)
            changed = dict(counts, **{extra: counts.get(extra, 0) + 3})
            check(lexicon, changed)


def test_a_count_of_zero_survives_the_reversed_words():
    # With no count above 1, the reversed words are first listed without
    # counts, and must start again with them at the 0. "bacdef" is two
    # edits into its first half from "abcdef": only the walk over the
    # reversed words reaches it.
    counts = {"abcdef": 0, "abcxyz": 1, "ghijkl": 1, "bcdefg": 1}
    for lexicon in lexicons(counts):
        for compact in (False, True):
            if compact:
                lexicon.compact()  # (which drops the reversed words)
            for _ in range(60):
                lexicon.batch_suggest(list(counts), 2, 3)
            assert lexicon.suggest("bacdef", 2, with_count=True) == suggestions(counts, "bacdef", 2, 10, False)


@pytest.mark.parametrize("a, b, distance", [
    ("teh", "the", 1), ("recieve", "receive", 1), ("ab", "ba", 1), ("abc", "ca", 3),
    ("", "ab", 2), ("éa", "aé", 1), ("abcd", "badc", 2),
])
def test_the_model_distance(a, b, distance):
    # The model the property test trusts: a swap costs one, but a swapped
    # pair is not edited again ("abc" to "ca" is not two edits).
    assert osa_distance(a, b) == osa_distance(b, a) == distance


def test_defaults_and_keywords(lexicon_class):
    lexicon = lexicon_class()
    lexicon.add_all(["the", "the", "tea", "ten", "tech", "then", "thee", "these"])
    assert lexicon.suggest("teh") == lexicon.suggest("teh", 2, 10) == lexicon.suggest(
        word="teh", max_distance=2, limit=10, transpositions=False, with_count=False)
    assert lexicon.suggest("teh", 1, 1, with_count=True, transpositions=True) == [("the", 1, 2)]
    xs = lexicon_class()
    xs.add_all("x" * i for i in range(1, 13))
    assert len(xs.suggest("xxxxxx")) == 5  # 4 to 8 x's
    assert len(xs.suggest("xxxxxx", 6)) == 10
    assert len(xs.suggest("xxxxxx", 6, None)) == 12


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Word(str):
    pass


@pytest.mark.parametrize("call, expected", [
    (lambda x: x.suggest(Word("teh"), Index(1), Index(1), transpositions=True), [("the", 1)]),
    (lambda x: x.suggest("teh", True, True), [("tea", 1)]),  # bool is an int
    (lambda x: x.suggest("teh", 2**64 - 1, 2**64 - 1), [("tea", 1), ("the", 2)]),
    (lambda x: x.batch_suggest((Word("teh"),), 1, 1), [[("tea", 1)]]),
    (lambda x: x.batch_suggest([], 1, 1), []),
])
def test_odd_but_valid_arguments(lexicon_class, call, expected):
    lexicon = lexicon_class()
    lexicon.add_all(["tea", "the", "the"])
    assert call(lexicon) == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda x: x.suggest(), TypeError, r"suggest\(\) missing required argument 'word' \(pos 1\)"),
    (lambda x: x.suggest("a", 2, 5, True), TypeError,
     r"suggest\(\) takes at most 3 positional arguments \(4 given\)"),
    (lambda x: x.batch_suggest(["a"], 2, 5, False, True), TypeError,
     r"batch_suggest\(\) takes at most 3 positional arguments \(5 given\)"),
    (lambda x: x.suggest("a", limit=3, limt=3), TypeError, r"unexpected keyword argument 'limt'"),
    (lambda x: x.suggest("a", 1, max_distance=1), TypeError,
     r"given by name \('max_distance'\) and position \(2\)"),
    (lambda x: x.suggest(b"a"), TypeError, r"^argument 'word': expected str, got bytes$"),
    (lambda x: x.suggest("a", None), TypeError, r"^argument 'max_distance': "),
    (lambda x: x.suggest("a", 1.0), TypeError, r"^argument 'max_distance': "),
    (lambda x: x.suggest("a", limit=2.5), TypeError, r"^argument 'limit': "),
    (lambda x: x.suggest("a", limit="3"), TypeError, r"^argument 'limit': "),
    (lambda x: x.suggest("a", transpositions=1), TypeError, r"^argument 'transpositions': "),
    (lambda x: x.suggest("a", with_count=None), TypeError, r"^argument 'with_count': "),
    (lambda x: x.batch_suggest("a"), TypeError, r"^argument 'words': Can't extract `str` to `Vec`$"),
    (lambda x: x.batch_suggest({"a"}), TypeError, r"^argument 'words': "),
    (lambda x: x.batch_suggest(["a", 1]), TypeError, r"^argument 'words': "),
    (lambda x: x.batch_suggest(["a"], limit=-1), OverflowError, None),
    (lambda x: x.suggest("a", -1), OverflowError, None),
    (lambda x: x.suggest("a", 2**64), OverflowError, None),
    (lambda x: x.suggest("a", limit=-(2**70)), OverflowError, None),
    (lambda x: x.suggest("a\ud800"), UnicodeEncodeError, None),
])
def test_argument_errors(lexicon_class, call, error, message):
    lexicon = lexicon_class()
    lexicon.add_all(["a", "b"])
    with pytest.raises(error, match=message) as raised:
        call(lexicon)
    if message and message.startswith("^argument"):
        assert isinstance(raised.value.__cause__, TypeError)
    assert lexicon.suggest("a", 1) == [("a", 0), ("b", 1)]  # the borrow was released


def test_a_long_suggest_stops_at_ctrl_c(lexicon_class):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    lexicon = lexicon_class()
    lexicon.add_all(["a" * 80_000 + "c", "b"])
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            # 6.4 * 10**9 table entries, none pruned: minutes of work.
            lexicon.suggest("b" * 80_000, 2**64 - 1, None, transpositions=True)
        assert time.monotonic() - start < 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    lexicon.add("c")  # the shared borrow was released
    assert lexicon.suggest("c", 0) == [("c", 0)]
