"""Hostile input: huge words, pathological patterns, big batches, misbehaving
arguments and files. Each must give the right answer or a clear error, with
nothing lost that is to be kept."""

import gc
import pickle
import random

import pytest

from query_model import ModelTrie
from sorvan import DAWG, Trie

MILLION = 1_000_000


def filled(cls, words):
    lexicon = cls()
    lexicon.add_all(words)
    return lexicon


# ------------------------------------------------------------ huge words --


def test_million_letter_words_through_every_method(lexicon_class, tmp_path):
    long = "ab" * (MILLION // 2)
    near = long[:-1] + "c"  # one substitution away, and after `long`
    path = tmp_path / "long.txt"
    path.write_text(f"  {long}x \r\n")
    lexicon = lexicon_class()  # in ascending order, for the DAWG
    lexicon.add(long)
    lexicon.add_from_file(str(path))
    lexicon.add(near, 2**64 - 1)
    lexicon.add_all([near + "y"])
    words = [long, long + "x", near, near + "y"]

    assert all(w in lexicon for w in words) and long[:-1] not in lexicon
    assert lexicon.contains_prefix(long[: MILLION // 2]) and not lexicon.contains_prefix("b")
    assert lexicon.get_word_count() == 2  # 1 + (2**64 - 1) + 1 + 1, wrapped
    assert repr(lexicon) == f"{type(lexicon).__name__}(words=2, nodes={len(lexicon)})"
    assert lexicon.search(long) == [long]
    assert lexicon.search(long[:-1] + "?") == [long, near]
    assert lexicon.search("?" * MILLION) == []  # one `?`: one-letter words
    assert lexicon.search("*y") == [near + "y"]
    assert lexicon.search_with_prefix(long[:-1], True) == [
        (long, 1), (long + "x", 1), (near, 2**64 - 1), (near + "y", 1)
    ]
    # The query and the stored words both a million letters long.
    assert lexicon.search_within_distance(long, 0) == [long]
    assert lexicon.search_within_distance(long, 1) == [long, long + "x", near]
    assert lexicon.search_within_distance("a" + long, 2) == [long, long + "x", near]
    items = [long, near + "y", "ab", "*y"]
    assert lexicon.batch_contains(items) == [True, True, False, False]
    assert lexicon.batch_search(items) == [[long], [near + "y"], [], [near + "y"]]
    assert lexicon.batch_search_with_prefix(items[:2]) == [[long, long + "x"], [near + "y"]]
    assert lexicon.batch_search_within_distance(items[:2], 1) == [
        [long, long + "x", near], [near, near + "y"]
    ]
    # Ranked: the highest count first among equals.
    assert lexicon.suggest("a" + long, 2) == [(long, 1), (near, 2), (long + "x", 2)]
    assert lexicon.suggest(long[:-2] + "ba", 1, transpositions=True) == [(long, 1)]
    assert lexicon.batch_suggest(items[:2], 1, 1, with_count=True) == [
        [(long, 0, 1)], [(near + "y", 0, 1)]
    ]
    assert lexicon.complete(long[:-1]) == [near, long, long + "x", near + "y"]
    assert lexicon.complete("b" + long[1:], 2, max_distance=1) == [long, long + "x"]
    assert lexicon.complete(long[:-2] + "ba", 1, max_distance=1, transpositions=True) == [near]
    assert lexicon.batch_complete(items[:2], with_count=True) == [
        [(long, 1), (long + "x", 1)], [(near + "y", 1)]
    ]


# ------------------------------------------------------ pathological patterns --
# Stars are matched without memoisation, and a word is reported once per way
# the stars divide it: k stars over a run of n equal letters cost about
# n**k / k! steps, and may give as many answers. These stay in the millions.


@pytest.mark.parametrize(
    "length, pattern, matches",
    [
        (2000, "*a*b", 0),
        (300, "*a*a*b", 0),
        (100, "*a*a*a*b", 0),
        (200, "*a*a*", 200 * 199 // 2),  # once per pair of `a`s
        (2000, "?" * 1500 + "*" + "a" * 499, 1),  # normalised to `?*` and the `a`s
    ],
    ids=["2-stars", "3-stars", "4-stars", "reports", "long-pattern"],
)
def test_many_stars_over_long_words(lexicon_class, length, pattern, matches):
    word = "a" * length
    lexicon = filled(lexicon_class, [word, "b"])
    found = lexicon.search(pattern)
    assert len(found) == matches and set(found) <= {word}


# -------------------------------------------------------------- big batches --


def test_ten_thousand_item_mixed_batches(lexicon_class):
    rng = random.Random(10)
    letters = "abcé\U0001f600\x00"
    words = ["".join(rng.choices(letters, k=rng.randrange(1, 9))) for _ in range(3000)]
    lexicon = filled(lexicon_class, words)
    hostile = ["", "*", "?", "**??", "a" * 5000, "\U0001f600" * 300, "\x00", "*\x00*", "é?*c"]
    items = [rng.choice(words) + rng.choice(["", "a", "?", "*"]) for _ in range(9900)]
    items += [rng.choice(hostile) for _ in range(100)]
    rng.shuffle(items)
    assert lexicon.batch_contains(items) == [w in lexicon for w in items]
    assert lexicon.batch_search_with_prefix(items) == [lexicon.search_with_prefix(w) for w in items]
    assert lexicon.batch_search_within_distance(items, 1) == [
        lexicon.search_within_distance(w, 1) for w in items
    ]
    patterns = [p for p in items if p != "*"]  # each `*` lists all 3000 words
    assert lexicon.batch_search(patterns) == [lexicon.search(p) for p in patterns]


# ------------------------------------------------------------ bad arguments --


class Boom(Exception):
    pass


def raising_after(n):
    for i in range(n):
        yield f"w{i:05d}"
    raise Boom


def test_iterator_raising_midway_through_add_all():
    trie = Trie()
    with pytest.raises(Boom):
        trie.add_all(raising_after(1000))
    assert trie.get_word_count() == 1000 and "w00999" in trie  # the trie keeps them

    dawg = DAWG()
    dawg.add("w00500")  # building: one unchecked path
    with pytest.raises(Boom):
        dawg.add_all(raising_after(1000))
    # Nothing added and nothing reduced; the order check still stands at
    # the last word added, not at any word of the failed call.
    assert (dawg.get_word_count(), len(dawg)) == (1, 0) and "w00999" not in dawg
    with pytest.raises(ValueError, match="Previous: 'w00500', Current: 'w00499'"):
        dawg.add("w00499")
    dawg.add("w00501")
    assert "w00501" in dawg


class Sly(str):
    """A str subclass that lies through every Python-level hook."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0

    def __str__(self):
        return "lie"

    def __len__(self):
        return 0

    def __iter__(self):
        return iter("lie")

    def encode(self, *args, **kwargs):
        return b"lie"


def test_str_subclasses_are_read_for_their_characters(lexicon_class, tmp_path):
    path = tmp_path / "w.txt"
    path.write_text("from-file\n")
    lexicon = lexicon_class()
    lexicon.add_all([Sly("apple"), Sly("apricot")])
    lexicon.add_from_file(Sly(str(path)))
    lexicon.add(Sly("zebra"), 2)
    assert Sly("apple") in lexicon and Sly("lie") not in lexicon and "lie" not in lexicon
    assert lexicon.contains_prefix(Sly("apr"))
    assert lexicon.search(Sly("ap*")) == ["apple", "apricot"]
    assert lexicon.search_with_prefix(Sly("ap")) == ["apple", "apricot"]
    assert lexicon.search_within_distance(Sly("zebr"), 1) == ["zebra"]
    assert lexicon.batch_contains([Sly("from-file"), Sly("lie")]) == [True, False]
    assert lexicon.batch_search_with_prefix((Sly("z"),)) == [["zebra"]]
    assert lexicon.suggest(Sly("zebr"), 1) == [("zebra", 1)]
    assert lexicon.batch_suggest([Sly("zbera")], transpositions=True) == [[("zebra", 1)]]
    assert lexicon.find_all(Sly("an apple")) == lexicon.batch_find_all([Sly("an apple")])[0] == [(3, 8, "apple")]
    assert type(lexicon.find_all(Sly("apple"))[0][2]) is str
    assert lexicon.complete(Sly("zb"), max_distance=1) == ["zebra"]
    assert lexicon.get_word_count() == 5
    # A prefix of a text is cut from its characters: a plain str, even when
    # it is the whole text.
    found = [*lexicon.prefixes(Sly("apricots")), lexicon.longest_prefix(Sly("apple")),
             lexicon.longest_prefix(Sly("zebra"), with_count=True)[0]]
    assert found == ["apricot", "apple", "zebra"] and {type(w) for w in found} == {str}
    assert lexicon.prefixes(Sly("zebras"), True) == [("zebra", 2)]


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


@pytest.mark.parametrize(
    "value, error",
    [
        (Index(Boom()), Boom),  # passed on unchanged
        (Index(-1), OverflowError),
        (Index(2**64), OverflowError),
        (Index(1.5), TypeError),  # __index__ returning a non-int
    ],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda lex, v: lex.add("zzz", v),
        lambda lex, v: lex.search_within_distance("apple", v),
        lambda lex, v: lex.batch_search_within_distance(["apple"], v),
        lambda lex, v: lex.suggest("apple", v),
        lambda lex, v: lex.suggest("apple", 2, v),
        lambda lex, v: lex.batch_suggest(["apple"], limit=v),
        lambda lex, v: lex.complete("app", v),
        lambda lex, v: lex.complete("app", max_distance=v),
        lambda lex, v: lex.batch_complete(["app"], v),
    ],
    ids=["add-count", "distance-dist", "batch-dist", "suggest-distance", "suggest-limit",
         "batch-suggest-limit", "complete-limit", "complete-distance", "batch-complete-limit"],
)
def test_index_objects_that_fail(lexicon_class, call, value, error):
    lexicon = filled(lexicon_class, ["apple"])
    before = repr(lexicon)
    with pytest.raises(error):
        call(lexicon, value)
    assert repr(lexicon) == before and "zzz" not in lexicon
    lexicon.add("zzz")  # the borrow was released
    assert "zzz" in lexicon


# ------------------------------------------------- misbehaving arguments --


def fake_bool_type(module):
    """A class whose __module__ is `module`, named like NumPy's boolean."""
    return type("bool_", (), {"__module__": module, "__bool__": lambda self: True})


@pytest.mark.parametrize("module", [0, b"numpy", None, ["numpy"]], ids=repr)
def test_with_count_of_a_type_with_an_odd_module(lexicon_class, module):
    lexicon = filled(lexicon_class, ["a"])
    with pytest.raises(TypeError, match="^argument 'with_count': expected bool, got bool_$"):
        lexicon.search("a", fake_bool_type(module)())
    assert lexicon.search("a", True) == [("a", 1)]


class Sized(list):
    """A list that reports the length it is given, not its own."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


BATCHES = {
    "contains": (lambda lex, items: lex.batch_contains(items), [True]),
    "search": (lambda lex, items: lex.batch_search(items), [["apple"]]),
    "prefix": (lambda lex, items: lex.batch_search_with_prefix(items), [["apple"]]),
    "distance": (lambda lex, items: lex.batch_search_within_distance(items, 1), [["apple"]]),
    "suggest": (lambda lex, items: lex.batch_suggest(items, 1), [[("apple", 0)]]),
    "complete": (lambda lex, items: lex.batch_complete(items, max_distance=1), [["apple"]]),
    "longest_prefix": (lambda lex, items: lex.batch_longest_prefix(items), ["apple"]),
    "find_all": (lambda lex, items: lex.batch_find_all(items), [[(0, 5, "apple")]]),
}


@pytest.mark.parametrize("length", [2**62, 10**15, 2**63 - 1, 0])
@pytest.mark.parametrize("batch", BATCHES.values(), ids=BATCHES.keys())
def test_a_length_is_only_a_hint(lexicon_class, batch, length):
    call, expected = batch
    lexicon = filled(lexicon_class, ["apple"])
    assert call(lexicon, Sized(["apple"], length)) == expected


@pytest.mark.parametrize("batch", BATCHES.values(), ids=BATCHES.keys())
def test_a_huge_range_is_refused_for_its_items(lexicon_class, batch):
    with pytest.raises(TypeError, match="expected str, got int"):
        batch[0](lexicon_class(), range(2**62))


@pytest.mark.parametrize("error", [KeyboardInterrupt(), ValueError("bad length"), OverflowError()])
@pytest.mark.parametrize("batch", BATCHES.values(), ids=BATCHES.keys())
def test_errors_of_len_propagate(lexicon_class, batch, error):
    lexicon = filled(lexicon_class, ["apple"])
    with pytest.raises(type(error)) as info:
        batch[0](lexicon, Sized(["apple"], error))
    assert info.value is error
    assert batch[0](lexicon, ["apple"]) == batch[1]


def test_items_removed_from_the_list_by_their_own_iterator_stay_alive(lexicon_class):
    class Draining(list):
        def __iter__(self):
            while self:
                yield self.pop()  # the list drops its reference at once

    words = Draining(["".join(["apple", str(i)]) for i in range(1000)])
    lexicon = filled(lexicon_class, ["apple7"])
    assert lexicon.batch_contains(words).count(True) == 1


# -------------------------------------------------------------------- files --


@pytest.mark.parametrize(
    "data, words, count",
    [
        (b"a\x00b\n\x00\nc", ["\x00", "a\x00b", "c"], 3),  # NUL is an ordinary letter
        (b"\r\n".join([b" \t\x0b\x0c\r", "\u3000\u2028\xa0".encode()] * 2000), [], 0),
        (b"one\r\ntw\ro\r\n\r\r\n", ["one", "tw\ro"], 2),  # a lone "\r" stays
        ("x\n\ufeff\n\ufeff\ufeffy\n".encode(), ["x", "\ufeff", "\ufeff\ufeffy"], 3),
        (b"ok\n" * 5000 + b"last\xf0\x9f\x98", ["ok"], 5000),  # cut in its last letter
    ],
    ids=["nul", "only-white-space", "crlf", "bom", "invalid-at-the-very-end"],
)
def test_word_files(lexicon_class, tmp_path, data, words, count):
    path = tmp_path / "w.txt"
    path.write_bytes(data)
    lexicon = lexicon_class()
    lexicon.add_from_file(str(path))
    assert lexicon.search("*") == words
    assert lexicon.get_word_count() == count


@pytest.mark.parametrize(
    "path, message",
    [
        ("/etc/passwd/x", "Not a directory (os error 20)"),
        ("x" * 5000, "File name too long (os error 36)"),
        ("/proc/self/mem", "Input/output error (os error 5)"),  # opens, then every read fails
        ("/proc/self/task", "Is a directory (os error 21)"),
    ],
)
def test_unreadable_paths(lexicon_class, path, message):
    lexicon = filled(lexicon_class, ["kept"])
    before = repr(lexicon)
    with pytest.raises(ValueError) as info:
        lexicon.add_from_file(path)
    assert str(info.value) == "IO error: " + message
    assert repr(lexicon) == before and "kept" in lexicon


# -------------------------------------------------------------- removal --

REMOVALS = {
    "remove": lambda t, w: t.remove(w),
    "discard": lambda t, w: t.discard(w),
    "pop": lambda t, w: t.pop(w),
    "del": lambda t, w: t.__delitem__(w),
}


# The longest stored word that begins a text, by two batch methods.
LONGEST = {
    "longest_prefix": lambda t, texts: t.batch_longest_prefix(texts),
    "find_all": lambda t, texts: [m[-1][2] if m and m[-1][0] == 0 else None for m in t.batch_find_all(texts)],
}


@pytest.mark.parametrize("longest", LONGEST.values(), ids=LONGEST.keys())
@pytest.mark.parametrize("removal", REMOVALS.values(), ids=REMOVALS.keys())
def test_removal_beside_a_batch_is_refused_or_whole(removal, longest):
    """A batch whose texts yield the lock holds the shared borrow: removals
    from another thread get 'Already borrowed', or, between batches, the
    whole removal; every batch answers for the words as they were."""
    import threading
    import time

    trie = filled(Trie, ["apple", "app", "apples"])
    outcomes, answers = [], []
    reading = threading.Event()

    class SlowTexts:
        def __len__(self):
            return 20

        def __getitem__(self, i):
            if i >= 20:
                raise IndexError
            reading.set()
            time.sleep(0.001)
            return "applesauce"

    def reader():
        for _ in range(5):
            answers.append(longest(trie, SlowTexts()))

    def writer():
        reading.wait(10)
        for word in ["apples", "apple", "app"] * 10:
            try:
                removal(trie, word)
                outcomes.append(word)
            except (RuntimeError, KeyError) as exc:
                outcomes.append(type(exc).__name__ + str(exc))
            time.sleep(0.0005)

    threads = [threading.Thread(target=f) for f in (reader, writer)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert "RuntimeErrorAlready borrowed" in outcomes
    removed = [o for o in outcomes if o in ("apples", "apple", "app")]
    assert set(outcomes) - set(removed) <= {"RuntimeErrorAlready borrowed", "KeyError'apples'",
                                            "KeyError'apple'", "KeyError'app'"}
    assert all(w not in trie for w in removed) and all(w in trie for w in {"apples", "apple", "app"} - set(removed))
    for batch in answers:  # one lexicon state per batch, never a mix
        assert len(set(batch)) == 1 and batch[0] in ("apples", "apple", "app", None)


@pytest.mark.parametrize(
    "steps, counts, nodes",
    [
        # (word, count to add, or None to remove): counts exact when put back.
        ([("ab", 5), ("ab", None), ("ab", 2)], {"ab": 2}, 3),
        ([("ab", 2**64 - 1), ("abc", 3), ("ab", None), ("ab", 1)], {"ab": 1, "abc": 3}, 4),
        ([("abc", 1), ("ab", 1), ("abc", None), ("ab", None), ("b", 0)], {"b": 0}, 2),
        ([("\U0001f600x", 1), ("\U0001f600y", 1), ("\U0001f600x", None), ("\U0001f600x", 4)],
         {"\U0001f600x": 4, "\U0001f600y": 1}, 4),
    ],
)
@pytest.mark.parametrize("compact_first", [False, True])
def test_word_removed_and_added_again(steps, counts, nodes, compact_first):
    trie = Trie()
    for word, count in steps:
        if compact_first:
            trie.compact()
        if count is None:
            trie.remove(word)
        else:
            trie.add(word, count)
    assert trie.search("*", with_count=True) == sorted(counts.items())
    assert trie.get_word_count() == sum(counts.values()) % 2**64
    assert len(trie) == nodes == len(filled(Trie, counts))
    assert pickle.loads(pickle.dumps(trie)).search("*", with_count=True) == sorted(counts.items())
    with pytest.raises(TypeError, match="does not support item assignment"):
        trie["ab"] = 1
    with pytest.raises(TypeError, match="argument 'word'"):
        trie.remove(b"ab")
    assert trie.discard("") is None and trie.pop("", 7) == 7

# ------------------------------------------------------ live iterators --


class Index:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


def replace_by_its_own_state(lexicon):
    lexicon.__setstate__(lexicon.__reduce_ex__(2)[2])


def refused(call, *args):
    """A call that the lexicon refuses (ValueError), for a DAWG only when
    `call` is a DAWG's: a Trie takes any word in any order."""
    if isinstance(call.__self__, DAWG) or call.__name__ == "add_from_file":
        with pytest.raises(ValueError):
            call(*args)


@pytest.mark.parametrize(
    "change, stale",
    [
        (lambda lex: lex.add("zz"), True),  # a new word after the iterator's place
        (lambda lex: lex.add("c", 2), True),  # only a count changes
        (lambda lex: lex.compact(), "unless compact"),  # the storage is replaced (if it was not)
        (lambda lex: (lex.compact(), lex.add("zzz")), True),  # ... and back again
        (replace_by_its_own_state, True),  # the same words, a new image
        (lambda lex: (pickle.dumps(lex), list(lex), lex.search("*"), len(lex.keys()), lex.index("b")), False),
        # Refused calls change nothing, not even the form.
        (lambda lex: refused(lex.add, "b"), False),  # below a DAWG's last word
        (lambda lex: refused(lex.add_all, ["b", "d"]), False),
        (lambda lex: refused(lex.add_from_file, "/nonexistent/words.txt"), False),
    ],
    ids=["add", "count", "compact", "compact-then-add", "setstate", "readers", "refused-add",
         "refused-add-all", "missing-file"],
)
@pytest.mark.parametrize("kind", ["keys", "items", "values"])
@pytest.mark.parametrize("compact_first", [False, True])
# An iterator makes its items in batches: the change comes inside the
# first, or after the iterator has gone past it.
@pytest.mark.parametrize("more, ahead", [(0, 1), (300, 1), (300, 150)], ids=["4", "304", "304-ahead"])
def test_iterator_across_changes(lexicon_class, change, stale, kind, compact_first, more, ahead):
    lexicon = filled(lexicon_class, ["a", "ab", "b", *(f"b{i:03}" for i in range(more)), "c"])
    if compact_first:
        lexicon.compact()
    expected = list(getattr(lexicon, kind)())
    iterator = iter(getattr(lexicon, kind)())
    first = [next(iterator) for _ in range(ahead)]
    change(lexicon)
    if stale is True or (stale and not compact_first):
        for _ in range(2):  # and it stays stale
            with pytest.raises(RuntimeError, match="changed during iteration"):
                next(iterator)
    else:
        assert [*first, *iterator] == expected


@pytest.mark.parametrize("kind", ["keys", "items", "values"])
@pytest.mark.parametrize("ahead", [1, 100])
def test_iterator_across_a_switch_of_form_alone(kind, ahead):
    # A compact DAWG whose last path is not reduced switches back to its
    # mutable form for reduce(), which changes no word: the storage an
    # iterator walks is replaced all the same.
    dawg = DAWG()
    for i in range(300):
        dawg.add(f"w{i:03}")
    dawg.compact()
    iterator = iter(getattr(dawg, kind)())
    [next(iterator) for _ in range(ahead)]
    dawg.reduce()
    for _ in range(2):
        with pytest.raises(RuntimeError, match="changed during iteration"):
            next(iterator)


# Ranks of a compact lexicon whose words share one count (an image without
# ranks) come from a copy with ranks, which prepare() builds: these answers
# are the copy's. A DAWG's total holds what its empty word was added with.
@pytest.mark.parametrize("empty_count", [0, 3])
def test_ranks_after_prepare_come_from_the_ranked_copy(lexicon_class, empty_count):
    words = [f"w{i:04}" for i in range(1000)]
    lexicon = lexicon_class()
    lexicon.add("", empty_count)
    lexicon.add_all(words)
    lexicon.compact()
    lexicon.prepare()
    assert lexicon.get_word_count() == 1000 + (empty_count if lexicon_class is DAWG else 0)
    keys = lexicon.keys()
    assert [lexicon.index(w) for w in words] == list(range(1000))
    assert [keys[i] for i in range(1000)] == words == [keys[i - 1000] for i in range(1000)]
    for prefix in ["", "w", "w0", "w05", "w099", "w0999", "w1", "x"]:
        under = lexicon.keys(prefix)
        expected = [w for w in words if w.startswith(prefix)]
        assert len(under) == len(expected)
        assert [under[i] for i in range(-len(expected), len(expected))] == expected * 2


def test_prefixes_of_many_words():
    # More matches than fit in a call's first, fixed-size buffer.
    words = ["a" * n for n in range(1, 41)]
    for lexicon_class in (Trie, DAWG):
        lexicon = filled(lexicon_class, words)
        for compact in (False, True):
            if compact:
                lexicon.compact()
            assert lexicon.prefixes("a" * 20) == words[:20]
            assert lexicon.prefixes("a" * 45, with_count=True) == [(w, 1) for w in words]
            assert lexicon.batch_longest_prefix(["a" * 20, "a" * 50]) == ["a" * 20, "a" * 40]


def test_iterator_keeps_its_lexicon_alive(lexicon_class):
    lexicon = filled(lexicon_class, [f"w{i:04}" for i in range(1000)])
    lexicon.compact()
    items = iter(lexicon.items("w01"))
    view = lexicon.keys()
    del lexicon
    gc.collect()
    assert next(items) == ("w0100", 1) and len(list(items)) == 99
    assert view[-1] == "w0999" and len(view) == 1000


@pytest.mark.parametrize(
    "index, error",
    [
        (2**63 - 1, IndexError), (2**63, IndexError), (-(2**63), IndexError), (-(2**63) - 1, IndexError),
        (10**100, IndexError), (3, IndexError), (-4, IndexError),
        (1.0, TypeError), ("1", TypeError), (None, TypeError), (slice(0, 1), TypeError),
        (True, "b"), (Index(-1), "c"), (Index(2**70), IndexError),
    ],
)
def test_odd_indices(lexicon_class, index, error):
    for compact in (False, True):
        lexicon = filled(lexicon_class, ["a", "b", "c"])
        if compact:
            lexicon.compact()
        if isinstance(error, str):
            assert lexicon.keys()[index] == error
        else:
            with pytest.raises(error):
                lexicon.keys()[index]


# ------------------------------------------------------------ find_all --

RUN = 200_000


@pytest.mark.parametrize(
    "words, text",
    [
        (["a", "b"], ""),
        (["", "a"], "a a"),  # the empty word never matches
        (["\U0001f600", "a\U0001f600", "\U0001f600b"], "a\U0001f600b\U0001f600\U0001f600ab\U0001f600"),
        (["a", "é", "ab"], "\ud800a\udfffab\ud800é"),  # lone surrogates are read, and match nothing
        (["ß", "日本", "本語"], "日本語ß_ßxß"),  # a text of two-byte code units
        (["a", "aa", "aaa"], "a" * RUN),  # quadratic in the run for a longer word
        (["cat", "food", "_"], "cat_food cat _cat _ cat_"),  # '_' joins words
    ],
    ids=["empty-text", "empty-word", "non-bmp", "surrogates", "bmp", "run", "underscore"],
)
@pytest.mark.parametrize("compact", [False, True])
def test_find_all_odd_texts(lexicon_class, words, text, compact):
    lexicon = filled(lexicon_class, sorted(words))
    if compact:
        lexicon.compact()
    model = ModelTrie(words)
    for overlapping, whole_words in [(True, False), (False, False), (True, True), (False, True)]:
        found = lexicon.find_all(text, overlapping=overlapping, whole_words=whole_words, with_count=True)
        if len(text) < 100:
            assert found == model.find_all(text, overlapping, whole_words)
        assert all(text[start:end] == word and word for start, end, word, _ in found)
    if len(text) == RUN:
        assert len(lexicon.find_all(text)) == 3 * RUN - 3
        assert len(lexicon.find_all(text, overlapping=False)) == RUN // 3 + (RUN % 3 > 0)


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((b"apple",), {}, TypeError),
        ((["apple"],), {}, TypeError),
        (("apple", False), {}, TypeError),  # the options are keyword-only
        (("apple",), {"overlapping": 1}, TypeError),
        (("apple",), {"whole_word": True}, TypeError),
    ],
)
def test_find_all_refuses(lexicon_class, args, kwargs, error):
    lexicon = filled(lexicon_class, ["apple"])
    with pytest.raises(error):
        lexicon.find_all(*args, **kwargs)
    with pytest.raises(error):
        lexicon.batch_find_all([args[0]], *args[1:], **kwargs)
