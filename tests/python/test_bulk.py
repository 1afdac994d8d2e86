"""Bulk insertion: add_all from iterables and add_from_file from word files."""

import pathlib

import pytest

from sorvan import DAWG, Trie

ORDER = "Words must be inserted in alphabetical order. Previous: '{}', Current: '{}'"


@pytest.fixture
def write(tmp_path):
    def write(data):
        path = tmp_path / "words.txt"
        path.write_bytes(data)
        return str(path)

    return write


def test_docstrings_and_signatures():
    for cls in (Trie, DAWG):
        assert cls.add_all.__text_signature__ == "($self, source)"
        assert cls.add_from_file.__text_signature__ == "($self, path)"
    assert Trie.add_all.__doc__ == (
        "Add words from any Python iterable (list, set, tuple, generator)."
    )
    assert DAWG.add_all.__doc__ == "Add words from any Python iterable. Sorts automatically."
    assert Trie.add_from_file.__doc__ == "Add words from a file (one word per line)."
    assert DAWG.add_from_file.__doc__ == (
        "Add words from a file (one word per line). Sorts automatically."
    )


@pytest.mark.parametrize(
    "data, words, absent",
    [
        (b"  apple \r\n\n\t\napply", ["apple", "apply"], ["  apple ", "apple \r", "\t"]),
        (b"ice cream\n", ["ice cream"], ["ice", "cream"]),
        # One byte order mark at the start of the file is not part of a word.
        ("\ufeffword\n\ufeffnext\n".encode(), ["word", "\ufeffnext"], ["\ufeffword", "next"]),
        ("\u3000x\u00a0\n".encode(), ["x"], ["\u3000x", "x\u00a0"]),
        (b"first\n\xc0\xaf\n\xed\xa0\x80\n\xf4\x90\x80\x80\nlast\nok\xe2\x82", ["first", "last"],
         ["ok"]),
        (b"\n \r\n", [], [" "]),
    ],
    ids=["padded", "inner-space", "bom", "unicode-space", "invalid-utf8", "blank"],
)
def test_file_lines_become_trimmed_words(lexicon_class, write, data, words, absent):
    lex = lexicon_class()
    assert lex.add_from_file(write(data)) is None
    assert lex.get_word_count() == len(words)
    assert all(w in lex for w in words)
    assert not any(w in lex for w in absent)


def test_dawg_sorts_by_code_point(write):
    d = DAWG()
    d.add_from_file(write(b"b\nB\na\n"))
    assert all(w in d for w in "Bab")
    with pytest.raises(ValueError, match=f"^{ORDER.format('b', 'a')}$"):
        d.add("a")  # the order check stands at the largest word


@pytest.mark.parametrize(
    "path, message",
    [
        ("", "IO error: No such file or directory (os error 2)"),
        ("no/such/file", "IO error: No such file or directory (os error 2)"),
        ("a\0b", "IO error: file name contained an unexpected NUL byte"),
        (".", "IO error: Is a directory (os error 21)"),
    ],
)
def test_file_errors_are_value_errors(lexicon_class, path, message):
    lex = lexicon_class()
    lex.add("keep")
    before = repr(lex), len(lex)
    with pytest.raises(ValueError) as info:
        lex.add_from_file(path)
    assert str(info.value) == message
    assert (repr(lex), len(lex)) == before


@pytest.mark.parametrize("path", [b"words.txt", pathlib.Path("words.txt"), None])
def test_path_must_be_a_str(lexicon_class, path):
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        lexicon_class().add_from_file(path)


def gen(*words):
    yield from words


@pytest.mark.parametrize(
    "source, counts",
    [
        (lambda: ["apple", "apple", "pear"], {"apple": 2, "pear": 1}),
        (lambda: ("b", "a"), {"a": 1, "b": 1}),
        (lambda: {"x", "y"}, {"x": 1, "y": 1}),
        (lambda: {"k1": 0, "k2": 0}, {"k1": 1, "k2": 1}),
        (lambda: "abc", {"a": 1, "b": 1, "c": 1}),
        (lambda: gen("é", "e", "é"), {"e": 1, "é": 2}),
    ],
    ids=["list", "tuple", "set", "dict", "str", "generator"],
)
def test_add_all_accepts_iterables(lexicon_class, source, counts):
    lex = lexicon_class()
    assert lex.add_all(source()) is None
    assert lex.get_word_count() == sum(counts.values())
    assert all(w in lex for w in counts)


def test_dawg_add_all_order_violation_adds_nothing():
    d = DAWG()
    d.add_all(["apply", "apple"])
    assert "apple" in d and "apply" in d
    with pytest.raises(ValueError) as info:
        d.add_all(["zebra", "application"])
    assert str(info.value) == ORDER.format("apply", "application")
    assert "zebra" not in d and d.get_word_count() == 2


def test_empty_input_still_reduces_a_dawg(write):
    for fill in (lambda d: d.add_all([]), lambda d: d.add_from_file(write(b""))):
        d = DAWG()
        d.add("ash")
        d.add("ashes")
        assert len(d) == 0
        fill(d)
        assert len(d) == 5


class Boom(Exception):
    pass


BOOM = Boom("from the iterator")


def failing(*words):
    yield from words
    raise BOOM


@pytest.mark.parametrize(
    "items, error, message",
    [
        (lambda: ["ok", 5], TypeError, "expected str, got int"),
        (lambda: ["ok", b"bytes"], TypeError, "expected str, got bytes"),
        (lambda: ["ok", "bad\ud800"], UnicodeEncodeError, None),
        (lambda: failing("ok"), Boom, "from the iterator"),
    ],
    ids=["int", "bytes", "surrogate", "iterator-raises"],
)
def test_add_all_item_failures(lexicon_class, items, error, message):
    lex = lexicon_class()
    with pytest.raises(error) as info:
        lex.add_all(items())
    # Items are not arguments: no "argument 'source': " in front.
    assert message is None or str(info.value) == message
    assert error is not Boom or info.value is BOOM  # passed on unchanged
    # The trie keeps the words before the failure; the DAWG adds nothing.
    assert lex.get_word_count() == (1 if lexicon_class is Trie else 0)


@pytest.mark.parametrize(
    "probe, message",
    [
        (lambda lex: lex.add_all(["x"]), "Already borrowed"),
        (lambda lex: lex.add_from_file(5), "Already borrowed"),
        (lambda lex: "x" in lex, "Already mutably borrowed"),
    ],
)
def test_generator_touching_the_lexicon_sees_the_borrow(lexicon_class, probe, message):
    lex = lexicon_class()

    def source():
        yield "a"
        probe(lex)
        yield "b"

    with pytest.raises(RuntimeError, match=f"^{message}$"):
        lex.add_all(source())
    lex.add_all(["z"])  # the borrow was released
    assert "z" in lex


# ------------------------------------------------------ building in bulk ----

LINE = "line {} of the counts file: "
NOT_A_RECORD = LINE + "not a word, a tab and a count"
BAD_COUNT = LINE + "the count is not an integer from 0 to 2**64 - 1"


@pytest.mark.parametrize(
    "data, pairs, empty_count, error",
    [
        ("\ufeffa\t3\r\nb\t0\r\n".encode(), [("a", 3), ("b", 0)], 0, None),
        (b"b\t2\n\n  \na\t1\nb\t5\n", [("a", 1), ("b", 7)], 0, None),  # blank lines, repeats
        (b"\t5\nz z\t 18446744073709551615 \n", [("z z", 2**64 - 1)], 5, None),  # the empty word
        (b"a\tb\t3\n", [("a\tb", 3)], 0, None),  # the count follows the last tab
        (b"a\t1\nb 2\n", None, 0, NOT_A_RECORD.format(2)),  # a missing tab
        (b"a\t1\nb\t\n", None, 0, NOT_A_RECORD.format(2)),  # a trailing tab
        (b"a\t1\n\t\n", None, 0, NOT_A_RECORD.format(2)),
        (b"a\t-1\n", None, 0, BAD_COUNT.format(1)),
        (b"a\t+1\n", None, 0, BAD_COUNT.format(1)),
        (b"\n\na\t18446744073709551616\n", None, 0, BAD_COUNT.format(3)),
        (b"a\t1x\n", None, 0, BAD_COUNT.format(1)),
        (b"a\t1.0\n", None, 0, BAD_COUNT.format(1)),
        (b"a\t1\n\xff\t1\n", None, 0, LINE.format(2) + "not valid UTF-8"),
    ],
    ids=["bom-crlf", "blank-repeats", "empty-word", "tab-in-word", "missing-tab", "trailing-tab",
         "lone-tab", "negative", "plus", "past-2**64", "junk", "float", "utf8"],
)
@pytest.mark.parametrize("presorted", [False, True])
def test_counts_files(lexicon_class, write, data, pairs, empty_count, error, presorted):
    path = write(data)
    if error:
        with pytest.raises(ValueError) as info:
            lexicon_class.from_file(path, presorted=presorted, counts=True)
        assert str(info.value) == error
        return
    if presorted and data.startswith(b"b\t2"):
        with pytest.raises(ValueError) as info:
            lexicon_class.from_file(path, presorted=True, counts=True)
        assert str(info.value) == ORDER.format("b", "a")
        return
    lex = lexicon_class.from_file(path, presorted=presorted, counts=True)
    assert list(lex.items()) == pairs
    # A Trie ignores the empty word; a DAWG counts it, as add() does.
    extra = empty_count if lexicon_class is DAWG else 0
    assert lex.get_word_count() == (sum(c for _, c in pairs) + extra) % 2**64
    expected = lexicon_class.from_words([("", empty_count)] + pairs)
    assert lex.__reduce_ex__(2)[2] == expected.__reduce_ex__(2)[2]


def test_from_file_of_words_is_add_from_file_then_compact(lexicon_class, write):
    path = write("pear\n  apple\r\n\xe9t\xe9\napple\n".encode() + b"\xed\xa0\x80\n")  # a surrogate: skipped
    built = lexicon_class.from_file(path)
    filled = lexicon_class()
    filled.add_from_file(path)
    filled.compact()
    assert built.__reduce_ex__(2)[2] == filled.__reduce_ex__(2)[2]
    assert list(built.items()) == [("apple", 2), ("pear", 1), ("\xe9t\xe9", 1)]
    with pytest.raises(ValueError, match="Previous: 'pear', Current: 'apple'"):
        lexicon_class.from_file(path, presorted=True)


class Word(str):
    pass


@pytest.mark.parametrize(
    "items, error, message",
    [
        (lambda: ["ok", 5], TypeError, "expected str or a (str, int) pair, got int"),
        (lambda: ["ok", ("a", 1, 2)], TypeError, "expected str or a (str, int) pair, got tuple"),
        (lambda: ["ok", ["a", 1]], TypeError, "expected str or a (str, int) pair, got list"),
        (lambda: ["ok", (b"a", 1)], TypeError, "expected str, got bytes"),
        (lambda: ["ok", ("a", 1.5)], TypeError, None),
        (lambda: ["ok", ("a", -1)], OverflowError, None),
        (lambda: ["ok", ("a", 2**64)], OverflowError, None),
        (lambda: ["ok", "bad\ud800"], UnicodeEncodeError, None),
        (lambda: ["ok", ("p", 1), "a"], ValueError, ORDER.format("p", "a")),  # presorted only
        (lambda: failing("ok", ("p", 2)), Boom, "from the iterator"),
    ],
    ids=["int", "triple", "list-pair", "bytes", "float-count", "negative", "past-2**64", "surrogate",
         "disorder", "iterator-raises"],
)
def test_bulk_item_failures(lexicon_class, items, error, message):
    presorted = error is ValueError
    with pytest.raises(error) as info:
        lexicon_class.from_words(items(), presorted=presorted)
    assert message is None or str(info.value) == message
    assert error is not Boom or info.value is BOOM
    if error in (ValueError, Boom):
        return  # a generator is spent
    lex = lexicon_class()
    lex.add("0")
    with pytest.raises(error):
        lex.update(items())
    # The trie keeps the items before the failure; the DAWG adds nothing.
    assert lex.search("*", True) == ([("0", 1), ("ok", 1)] if lexicon_class is Trie else [("0", 1)])


@pytest.mark.parametrize(
    "source, pairs",
    [
        (lambda: {"b": 2, "a": 0}, [("a", 0), ("b", 2)]),
        (lambda: __import__("collections").Counter("the cat the".split()), [("cat", 1), ("the", 2)]),
        (lambda: [Word("w"), (Word("w"), 2**64 - 1), ("v", True)], [("v", 1), ("w", 0)]),  # counts wrap
        (lambda: (("a", 2**63), ("a", 2**63), "b"), [("a", 0), ("b", 1)]),
        (lambda: iter([]), []),
        (lambda: "aba", [("a", 2), ("b", 1)]),  # a str gives its letters, as add_all takes them
    ],
    ids=["dict", "counter", "subclasses", "wrapping", "empty", "str"],
)
def test_sources_in_bulk(lexicon_class, source, pairs):
    built = lexicon_class.from_words(source())
    assert list(built.items()) == pairs
    updated = lexicon_class()
    updated.update(source())
    assert list(updated.items()) == pairs
    assert repr(built) == repr(updated.compact() or updated)
    for call in [lexicon_class.from_words, updated.update]:
        with pytest.raises(TypeError, match="not iterable"):
            call(5)
