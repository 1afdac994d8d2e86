"""Typed use of sorvan: mypy --strict must accept it as it is.

Each assert_type states what the stubs promise; the tests also run this
file with an assert_type that checks the value at run time, so a promise
the module does not keep fails too.
"""

from typing import assert_type

from sorvan import DAWG, Trie


def fill(lexicon: Trie | DAWG) -> None:
    lexicon.add_all(["apple", "apply", "ash"])
    lexicon.add_all(word for word in ("ashes", "ashley"))


def answers(lexicon: Trie | DAWG, flag: bool) -> None:
    assert_type("apple" in lexicon, bool)
    assert_type(len(lexicon), int)
    assert_type(repr(lexicon), str)
    assert_type(lexicon.contains_prefix("app"), bool)
    assert_type(lexicon.get_word_count(), int)

    assert_type(lexicon.search("app*"), list[str])
    assert_type(lexicon.search("app*", False), list[str])
    assert_type(lexicon.search("app*", with_count=True), list[tuple[str, int]])
    assert_type(lexicon.search("app*", True), list[tuple[str, int]])
    assert_type(lexicon.search("app*", flag), list[str] | list[tuple[str, int]])

    assert_type(lexicon.search_with_prefix("as"), list[str])
    assert_type(lexicon.search_with_prefix("as", with_count=True), list[tuple[str, int]])
    assert_type(lexicon.search_with_prefix(prefix="as", with_count=flag),
                list[str] | list[tuple[str, int]])

    assert_type(lexicon.search_within_distance("apple"), list[str])
    assert_type(lexicon.search_within_distance("aple", 1), list[str])
    assert_type(lexicon.search_within_distance("aple", 1, True), list[tuple[str, int]])
    assert_type(lexicon.search_within_distance("apple", with_count=True),
                list[tuple[str, int]])
    assert_type(lexicon.search_within_distance("aple", dist=2, with_count=False), list[str])
    assert_type(lexicon.search_within_distance("aple", 1, flag),
                list[str] | list[tuple[str, int]])

    assert_type(lexicon.batch_contains(["apple", "pear"]), list[bool])
    assert_type(lexicon.batch_contains(("apple",)), list[bool])
    assert_type(lexicon.batch_search(["a*"]), list[list[str]])
    assert_type(lexicon.batch_search_with_prefix(["as"]), list[list[str]])
    assert_type(lexicon.batch_search_within_distance(["aple"], 1), list[list[str]])
    assert_type(lexicon.batch_search_within_distance(words=["aple"]), list[list[str]])

    assert_type(lexicon.suggest("aple"), list[tuple[str, int]])
    assert_type(lexicon.suggest("aple", 1, None, transpositions=True), list[tuple[str, int]])
    assert_type(lexicon.suggest("aple", with_count=True), list[tuple[str, int, int]])
    assert_type(lexicon.suggest("aple", limit=1, with_count=flag),
                list[tuple[str, int]] | list[tuple[str, int, int]])
    assert_type(lexicon.batch_suggest(["aple"], 2), list[list[tuple[str, int]]])
    assert_type(lexicon.batch_suggest(("aple",), with_count=True),
                list[list[tuple[str, int, int]]])


def main() -> None:
    trie = Trie()
    trie.add("pear")
    trie.add("pear", 3)
    trie.add(word="plum", count=True)
    dawg = DAWG()
    fill(dawg)
    dawg.add("pear")
    dawg.reduce()
    fill(trie)
    for lexicon in (trie, dawg):
        answers(lexicon, flag=True)
        answers(lexicon, flag=False)


if __name__ == "__main__":
    main()
