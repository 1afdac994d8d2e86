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
