# Type information for the extension module sorvan.
#
# The two classes share every method but DAWG.reduce. The shared ones are
# written once on _Lexicon, which exists only for the type checker; at run
# time Trie and DAWG derive from object alone and cannot be subclassed.
#
# The searches return words, or (word, count) pairs when with_count is
# true: the overloads let a checker tell list[str] from
# list[tuple[str, int]] whenever with_count is a literal. suggest gives
# (word, distance) pairs, or (word, distance, count) triples.

from collections.abc import Iterable, Sequence
from typing import Literal, SupportsIndex, TypeAlias, final, overload, type_check_only

__all__ = ["Trie", "DAWG"]

# suggest's limit (None: no limit), and its answers without and with counts.
_Limit: TypeAlias = SupportsIndex | None
_Near: TypeAlias = list[tuple[str, int]]
_NearCounted: TypeAlias = list[tuple[str, int, int]]

@type_check_only
class _Lexicon:
    def __init__(self) -> None: ...
    def __contains__(self, key: str, /) -> bool: ...
    def __len__(self) -> int: ...
    def __repr__(self) -> str: ...
    def add(self, word: str, count: SupportsIndex = 1) -> None: ...
    def add_all(self, source: Iterable[str]) -> None: ...
    def add_from_file(self, path: str) -> None: ...
    def contains_prefix(self, prefix: str) -> bool: ...
    def get_word_count(self) -> int: ...
    @overload
    def search(self, pattern: str, with_count: Literal[False] = False) -> list[str]: ...
    @overload
    def search(self, pattern: str, with_count: Literal[True]) -> list[tuple[str, int]]: ...
    @overload
    def search(self, pattern: str, with_count: bool) -> list[str] | list[tuple[str, int]]: ...
    @overload
    def search_with_prefix(
        self, prefix: str, with_count: Literal[False] = False
    ) -> list[str]: ...
    @overload
    def search_with_prefix(
        self, prefix: str, with_count: Literal[True]
    ) -> list[tuple[str, int]]: ...
    @overload
    def search_with_prefix(
        self, prefix: str, with_count: bool
    ) -> list[str] | list[tuple[str, int]]: ...
    @overload
    def search_within_distance(
        self, word: str, dist: SupportsIndex = 0, with_count: Literal[False] = False
    ) -> list[str]: ...
    @overload
    def search_within_distance(
        self, word: str, dist: SupportsIndex, with_count: Literal[True]
    ) -> list[tuple[str, int]]: ...
    @overload
    def search_within_distance(
        self, word: str, dist: SupportsIndex = 0, *, with_count: Literal[True]
    ) -> list[tuple[str, int]]: ...
    @overload
    def search_within_distance(
        self, word: str, dist: SupportsIndex = 0, with_count: bool = False
    ) -> list[str] | list[tuple[str, int]]: ...
    def batch_contains(self, words: Sequence[str]) -> list[bool]: ...
    def batch_search(self, patterns: Sequence[str]) -> list[list[str]]: ...
    def batch_search_with_prefix(self, prefixes: Sequence[str]) -> list[list[str]]: ...
    def batch_search_within_distance(
        self, words: Sequence[str], dist: SupportsIndex = 0
    ) -> list[list[str]]: ...
    @overload
    def suggest(self, word: str, max_distance: SupportsIndex = 2, limit: _Limit = 10, *,
                transpositions: bool = False, with_count: Literal[False] = False) -> _Near: ...
    @overload
    def suggest(self, word: str, max_distance: SupportsIndex = 2, limit: _Limit = 10, *,
                transpositions: bool = False, with_count: Literal[True]) -> _NearCounted: ...
    @overload
    def suggest(self, word: str, max_distance: SupportsIndex = 2, limit: _Limit = 10, *,
                transpositions: bool = False, with_count: bool = False) -> _Near | _NearCounted: ...
    @overload
    def batch_suggest(self, words: Sequence[str], max_distance: SupportsIndex = 2,
                      limit: _Limit = 10, *, transpositions: bool = False,
                      with_count: Literal[False] = False) -> list[_Near]: ...
    @overload
    def batch_suggest(self, words: Sequence[str], max_distance: SupportsIndex = 2,
                      limit: _Limit = 10, *, transpositions: bool = False,
                      with_count: Literal[True]) -> list[_NearCounted]: ...
    @overload
    def batch_suggest(self, words: Sequence[str], max_distance: SupportsIndex = 2,
                      limit: _Limit = 10, *, transpositions: bool = False,
                      with_count: bool = False) -> list[_Near] | list[_NearCounted]: ...

@final
class Trie(_Lexicon):
    """A prefix tree: words in any order; len() counts its nodes, root included."""

@final
class DAWG(_Lexicon):
    """A directed acyclic word graph: words in ascending order, or through
    add_all and add_from_file, which sort them; len() counts the nodes
    registered so far, 0 until something has been reduced."""

    def reduce(self) -> None: ...
