"""Misuses of sorvan that mypy must report, each on its own line.

A line ending in "# E: CODE" must get errors with that code and no other;
no other line may get one. Never run: most lines raise.
"""

import pathlib

from sorvan import DAWG, Trie

t = Trie()
d = DAWG()
t.add(1)  # E: arg-type
t.add("apple", 1.5)  # E: arg-type
t.add("apple", count=None)  # E: arg-type
t.add_all([1, 2])  # E: list-item
d.add_from_file(pathlib.Path("words.txt"))  # E: arg-type
_ = 1 in t  # E: operator
t.reduce()  # E: attr-defined
Trie(1)  # E: call-arg
t.batch_contains({"apple"})  # E: arg-type
t.search("a*", with_count=1)  # E: call-overload
t.search_within_distance("apple", 1.0)  # E: call-overload
words: list[str] = t.search("a*", with_count=True)  # E: assignment
pairs: list[tuple[str, int]] = d.search_with_prefix("a")  # E: assignment
flags: list[str] = d.batch_contains(["a"])  # E: assignment
t.suggest("aple", 2, 5, True)  # E: call-overload
t.suggest("aple", limit="5")  # E: call-overload
near: list[tuple[str, int]] = t.suggest("aple", with_count=True)  # E: assignment


class MyTrie(Trie):  # E: misc
    pass
