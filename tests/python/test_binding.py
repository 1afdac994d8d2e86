"""The binding conventions: argument parsing, conversions, borrows, errors."""

import numpy as np
import pytest

from sorvan import Trie


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("boom")


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.add(),
        lambda t: t.add("a", 1, 2),
        lambda t: t.add("a", cnt=1),
        lambda t: t.add("a", word="b"),
        lambda t: t.add(count=1),
        lambda t: t.contains_prefix(),
        lambda t: t.contains_prefix("a", "b"),
        lambda t: t.get_word_count(1),
    ],
)
def test_argument_list_errors(call):
    t = Trie()
    with pytest.raises(TypeError):
        call(t)
    assert len(t) == 1


def test_argument_error_messages_follow_cpython():
    t = Trie()
    with pytest.raises(TypeError, match=r"add\(\) missing required argument 'word' \(pos 1\)"):
        t.add()
    with pytest.raises(TypeError, match=r"add\(\) takes at most 2 positional arguments \(3 given\)"):
        t.add("a", 1, 2)
    with pytest.raises(TypeError, match=r"add\(\) got an unexpected keyword argument 'cnt'"):
        t.add("a", cnt=1)
    with pytest.raises(TypeError, match=r"given by name \('word'\) and position \(1\)"):
        t.add("a", word="b")


def test_keywords_are_accepted():
    t = Trie()
    t.add(word="a", count=2)
    t.add(count=3, word="b")
    assert t.get_word_count() == 5
    assert t.contains_prefix(prefix="a")


@pytest.mark.parametrize("word", [1, b"abc", None, ["a"]])
def test_non_str_word_is_a_type_error_naming_the_argument(word):
    t = Trie()
    with pytest.raises(TypeError, match=r"^argument 'word': ") as info:
        t.add(word)
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError):
        word in t
    with pytest.raises(TypeError, match=r"^argument 'prefix': "):
        t.contains_prefix(word)
    assert len(t) == 1


@pytest.mark.parametrize("count", [-1, 2**64, -(2**70)])
def test_out_of_range_count_is_overflow(count):
    t = Trie()
    with pytest.raises(OverflowError):
        t.add("a", count)
    assert (len(t), t.get_word_count()) == (1, 0)


@pytest.mark.parametrize("count", [1.5, None, "1", 1j])
def test_non_integer_count_is_a_type_error_naming_the_argument(count):
    t = Trie()
    with pytest.raises(TypeError, match=r"^argument 'count': "):
        t.add("a", count)
    assert (len(t), t.get_word_count()) == (1, 0)


@pytest.mark.parametrize(
    "count, expected",
    [(True, 1), (False, 0), (Index(7), 7), (np.uint64(2**64 - 1), 2**64 - 1), (np.int8(3), 3)],
)
def test_count_accepts_index_objects(count, expected):
    t = Trie()
    t.add("a", count)
    assert t.get_word_count() == expected
    assert "a" in t


def test_index_errors_pass_through_unchanged():
    t = Trie()
    with pytest.raises(ZeroDivisionError):
        t.add("a", BadIndex())
    with pytest.raises(OverflowError):
        t.add("a", Index(-1))
    assert len(t) == 1


def test_lone_surrogate_raises_unicode_encode_error():
    t = Trie()
    with pytest.raises(UnicodeEncodeError):
        t.add("a\ud800")
    with pytest.raises(UnicodeEncodeError):
        "\udfff" in t
    assert len(t) == 1


def test_borrow_conflicts_raise_runtime_error():
    # A modifying call holds the exclusive borrow while it converts its
    # arguments, so __index__ runs with the trie mutably borrowed.
    t = Trie()
    seen = {}

    class Reentrant:
        def __index__(self):
            for name, probe in [
                ("add", lambda: t.add("x")),
                ("len", lambda: len(t)),
                ("in", lambda: "x" in t),
                ("repr", lambda: repr(t)),
                ("prefix", lambda: t.contains_prefix("x")),
                ("count", lambda: t.get_word_count()),
            ]:
                with pytest.raises(RuntimeError) as info:
                    probe()
                seen[name] = str(info.value)
            return 1

    t.add("a", Reentrant())
    assert seen == {
        "add": "Already borrowed",
        "len": "Already mutably borrowed",
        "in": "Already mutably borrowed",
        "repr": "Already mutably borrowed",
        "prefix": "Already mutably borrowed",
        "count": "Already mutably borrowed",
    }
    # Every borrow was released: the trie works normally afterwards.
    t.add("b")
    assert t.get_word_count() == 2 and "a" in t and "x" not in t


def test_borrow_is_released_after_failed_conversion():
    t = Trie()
    for _ in range(3):
        with pytest.raises(TypeError):
            t.add("a", "bad")
    t.add("a")
    assert t.get_word_count() == 1
