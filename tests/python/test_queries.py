"""Wildcard, prefix and Levenshtein search on both classes."""

import random

import numpy as np
import pytest

from query_model import ModelTrie
from sorvan import DAWG, Trie

EIGHT = ["a", "aa", "ab", "abc", "abz", "az", "b", "ba"]


def filled(cls, words, count=1):
    lexicon = cls()
    for w in sorted(set(words), key=lambda w: w.encode()):
        lexicon.add(w, count)
    if cls is DAWG:
        lexicon.reduce()
    return lexicon


@pytest.fixture
def eight(lexicon_class):
    return filled(lexicon_class, EIGHT)


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("*", EIGHT),
        ("a*", ["a", "aa", "ab", "abc", "abz", "az"]),
        ("?", ["a", "b"]),
        ("??", ["a", "b"]),
        ("*z", ["az", "abz"]),
        ("*a*", ["a", "aa", "ab", "abc", "abz", "az", "aa", "ba"]),
        ("a?*", ["a", "aa", "ab", "abc", "abz", "az"]),
        ("a*?", ["a", "aa", "ab", "abc", "abz", "az"]),
        ("", []),
        ("abc", ["abc"]),
        ("A", []),
        ("ab?", ["abc", "abz"]),
        ("x*", []),
    ],
)
def test_wildcard(eight, pattern, expected):
    assert eight.search(pattern) == expected


@pytest.mark.parametrize(
    "prefix, expected",
    [
        ("a", ["a", "aa", "ab", "abc", "abz", "az"]),
        ("ab", ["ab", "abc", "abz"]),
        ("q", []),
        ("", []),
        ("a*", []),
        ("abz", ["abz"]),
    ],
)
def test_prefix(eight, prefix, expected):
    assert eight.search_with_prefix(prefix) == expected


@pytest.mark.parametrize(
    "word, dist, expected",
    [
        ("ab", 1, ["a", "aa", "ab", "abc", "abz", "az", "b"]),
        ("ab", 0, ["ab"]),
        ("abd", 0, []),
        ("", 1, ["a", "b"]),
        ("", 0, []),
        ("ab", 6, EIGHT),
        ("ba", 1, ["a", "aa", "b", "ba"]),
    ],
)
def test_levenshtein(eight, word, dist, expected):
    assert eight.search_within_distance(word, dist) == expected


def test_dist_defaults_to_zero_and_takes_keywords(eight):
    assert eight.search_within_distance("ab") == ["ab"]
    assert eight.search_within_distance(word="ab", dist=1, with_count=False)[0] == "a"


def test_non_ascii_letters_count_as_one(lexicon_class):
    lexicon = filled(lexicon_class, ["café", "cafe", "\U0001F600x"])
    assert lexicon.search_within_distance("cafe", 1) == ["cafe", "café"]
    assert lexicon.search_within_distance("x", 1) == ["\U0001F600x"]
    assert lexicon.search("caf?") == ["cafe", "café"]
    assert lexicon.search("?x") == ["\U0001F600x"]


def test_stored_wildcard_characters_are_literal_in_prefixes(lexicon_class):
    lexicon = filled(lexicon_class, ["a*", "a*b", "a?", "ab"])
    assert lexicon.search_with_prefix("a*") == ["a*", "a*b"]
    assert lexicon.search("a?") == ["a*", "a?", "ab"]


@pytest.mark.parametrize(
    "method, args",
    [
        ("search", ("a*",)),
        ("search_with_prefix", ("a",)),
        ("search_within_distance", ("ab", 1)),
    ],
)
@pytest.mark.parametrize("flag", [True, np.bool_(True)])
def test_with_count_gives_pairs_in_the_same_order(lexicon_class, method, args, flag):
    lexicon = filled(lexicon_class, EIGHT, count=3)
    search = getattr(lexicon, method)
    pairs = search(*args, with_count=flag)
    assert pairs and all(type(p) is tuple and p[1] == 3 for p in pairs)
    assert [w for w, _ in pairs] == search(*args)


@pytest.mark.parametrize("flag", [1, 0, None, "yes", np.int8(1)])
def test_with_count_must_be_a_bool(eight, flag):
    with pytest.raises(TypeError, match=r"^argument 'with_count': "):
        eight.search("a*", with_count=flag)


def test_numpy_false_gives_words(eight):
    assert eight.search("a", np.False_) == ["a"]


@pytest.mark.parametrize("dist, error", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError)])
def test_dist_conversion(eight, dist, error):
    with pytest.raises(error):
        eight.search_within_distance("a", dist)


def test_empty_lexicon_finds_nothing(lexicon_class):
    empty = lexicon_class()
    assert empty.search("*") == empty.search("?") == []
    assert empty.search_with_prefix("a") == []
    assert empty.search_within_distance("a", 5) == []


def test_empty_word_is_never_reported():
    d = DAWG()
    d.add("", 3)
    d.add("a")
    d.reduce()
    assert d.search("*") == ["a"]
    assert d.search_within_distance("", 1) == ["a"]


@pytest.mark.parametrize("cls", [Trie, DAWG])
def test_million_letter_word(cls):
    long_word = "a" * 1_000_000
    lexicon = cls()
    lexicon.add(long_word)
    if cls is DAWG:
        lexicon.reduce()
    assert lexicon.search("*") == [long_word]
    assert lexicon.search_with_prefix("aaaaa") == [long_word]
    assert lexicon.search_within_distance("a", 2**63) == [long_word]


ALPHABET = "ab*?é\U0001F600"


def random_word(rng, longest):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(longest + 1)))


def test_differential_against_a_model():
    rng = random.Random(2024)
    for _ in range(200):
        words = [random_word(rng, 5) for _ in range(rng.randrange(1, 30))]
        model = ModelTrie()
        trie, dawg = Trie(), DAWG()
        for w in words:
            model.add(w)
            trie.add(w)
        for w in sorted(words, key=lambda w: w.encode()):
            dawg.add(w)
        if rng.random() < 0.5:
            dawg.reduce()
        for _ in range(5):
            pattern = "".join(rng.choice(ALPHABET + "**") for _ in range(rng.randrange(7)))
            expected = model.search(pattern)
            assert trie.search(pattern, with_count=True) == expected, pattern
            assert dawg.search(pattern) == [w for w, _ in expected], pattern
            prefix = random_word(rng, 3)
            expected = model.search_with_prefix(prefix)
            assert trie.search_with_prefix(prefix, True) == expected
            assert dawg.search_with_prefix(prefix) == [w for w, _ in expected]
            query, dist = random_word(rng, 4), rng.randrange(4)
            expected = model.search_within_distance(query, dist)
            assert trie.search_within_distance(query, dist, True) == expected
            assert dawg.search_within_distance(query, dist, True) == expected
