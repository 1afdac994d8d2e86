import pytest

from sorvan import Trie


def make(*words, **counts):
    t = Trie()
    for w in words:
        t.add(w)
    for w, c in counts.items():
        t.add(w, c)
    return t


def test_new_trie():
    t = Trie()
    assert len(t) == 1
    assert t.get_word_count() == 0
    assert repr(t) == "Trie(words=0, nodes=1)"
    assert "" in t
    assert t.contains_prefix("")
    assert "a" not in t
    assert not t.contains_prefix("a")


def test_two_words_share_a_prefix():
    t = make("apple", "apply")
    assert len(t) == 7
    assert t.get_word_count() == 2
    assert repr(t) == "Trie(words=2, nodes=7)"
    assert "appl" not in t
    assert t.contains_prefix("appl")
    assert "apple" in t and "apply" in t
    assert not t.contains_prefix("apples")


def test_counts_accumulate():
    t = Trie()
    t.add("apple", 3)
    t.add("apple")
    assert t.get_word_count() == 4
    assert len(t) == 6
    t.add("x", 0)
    assert "x" in t
    assert t.get_word_count() == 4
    t.add("y", True)
    assert t.get_word_count() == 5


def test_count_wraps_around_at_2_to_64():
    t = Trie()
    t.add("a", 2**64 - 1)
    t.add("b", 2)
    assert t.get_word_count() == 1
    assert repr(t) == "Trie(words=1, nodes=3)"


def test_large_counts_come_back_exactly():
    t = Trie()
    t.add("a", 2**64 - 1)
    assert t.get_word_count() == 2**64 - 1


def test_empty_word_changes_nothing():
    t = make("abc")
    t.add("", 5)
    assert (len(t), t.get_word_count(), repr(t)) == (4, 1, "Trie(words=1, nodes=4)")


@pytest.mark.parametrize(
    "word, letters",
    [("\U0001F600", 1), ("\u00e9", 1), ("e\u0301", 2), ("日本語", 3), ("a\x00b", 3)],
)
def test_letters_are_code_points(word, letters):
    t = make(word)
    assert len(t) == 1 + letters
    assert word in t
    assert t.contains_prefix(word[:1])


def test_case_and_normalisation_are_not_folded():
    t = make("Apple", "\u00e9")
    assert "apple" not in t
    assert "e\u0301" not in t


def test_str_subclass_is_accepted():
    class Word(str):
        pass

    t = make(Word("hello"))
    assert Word("hello") in t
    assert t.contains_prefix(Word("he"))


def test_object_lifetime_frees_cleanly():
    # Many short-lived tries with content: the deallocator must release them.
    for i in range(200):
        t = make(*(f"w{i}{j}" for j in range(50)))
        assert len(t) > 50


# Every scalar value, highest first: each word becomes the new first child of
# a root that ends up with 1,112,064 children.
ALL_LETTERS = [chr(c) for c in range(0x10FFFF, -1, -1) if not 0xD800 <= c <= 0xDFFF]


@pytest.mark.parametrize("class_name, how", [("Trie", "add"), ("Trie", "add_all"),
                                             ("DAWG", "add_all")])
def test_every_code_point_as_a_word_in_descending_order(class_name, how):
    import sorvan

    lexicon = getattr(sorvan, class_name)()
    if how == "add":
        for w in ALL_LETTERS:
            lexicon.add(w)
    else:
        lexicon.add_all(ALL_LETTERS)
    n = len(ALL_LETTERS)
    assert len(lexicon) == n + (class_name == "Trie")  # a Trie counts its root
    assert lexicon.search("?") == ALL_LETTERS[::-1]
    assert all(w in lexicon for w in ALL_LETTERS)
    assert "\U0010ffff\U0010ffff" not in lexicon and not lexicon.contains_prefix("a\x00")
    assert lexicon.search_with_prefix("\ud7ff") == ["\ud7ff"]
    # Distance 1 from a one-letter word: every one-letter word.
    assert len(lexicon.search_within_distance("\u00e9", 1)) == n
