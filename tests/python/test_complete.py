"""complete() on the mutable forms, which rank through a bound of the counts
kept at each node, after the changes that lower, wrap or leave alone the
highest count below a node: its answers for every prefix against the model.
(That every bound is exact after each change, not just high enough, is
checked on the node stores themselves, in the C++ tests.)"""

import pytest

from query_model import ModelDawg, ModelTrie, completions
from sorvan import DAWG, Trie

TOP = 2**64 - 1
WORDS = {"ab": 900, "abc": 7, "ac": 40, "b": 50, "ba": TOP, "é\U0001f600": 3}


def remove_by(how):
    def remove(lexicon, word):
        if how == "remove":
            lexicon.remove(word)
        elif how == "pop":
            lexicon.pop(word)
        else:
            del lexicon[word]
    return remove


def failing(call):
    def run(lexicon, model):
        with pytest.raises(ValueError):
            call(lexicon)
    return run


# Each change, done to the lexicon and to its model alike.
CHANGES = {
    # The highest count under "a" (900) goes, its node staying for "abc".
    **{f"{how} the highest, node kept": (Trie, lambda lex, m, r=remove_by(how): (r(lex, "ab"), m.remove("ab")))
       for how in ("remove", "pop", "del")},
    # The same with its whole branch cut off, under a node kept for "ac".
    "remove the highest, branch cut": (Trie, lambda lex, m: (lex.remove("abc"), lex.remove("ab"),
                                                             m.remove("abc"), m.remove("ab"))),
    # Counts wrapping past 2^64 - 1 fall to the bottom.
    "wrap": (Trie, lambda lex, m: (lex.add("ba", 2), m.add("ba", 2), lex.add("ab", TOP), m.add("ab", TOP))),
    "wrap the previous word": (DAWG, lambda lex, m: (lex.add("é\U0001f600", TOP - 1), m.add("é\U0001f600", TOP - 1))),
    "reduce, then wrap": (DAWG, lambda lex, m: (lex.reduce(), m.reduce(), lex.add("é\U0001f600", TOP),
                                                m.add("é\U0001f600", TOP))),
    # Refused adds change nothing.
    "out of order": (DAWG, failing(lambda lex: lex.add("a", TOP))),
    "out of order, in bulk": (DAWG, failing(lambda lex: lex.add_all(["zz", "a"]))),
    # Back from the compact form, and a count rising there.
    "compact, then add": (Trie, lambda lex, m: (lex.compact(), lex.add("abc", TOP - 9), m.add("abc", TOP - 9))),
}


@pytest.mark.parametrize("kind, change", CHANGES.values(), ids=CHANGES.keys())
def test_completions_follow_the_change(kind, change):
    lexicon, model = kind(), (ModelTrie if kind is Trie else ModelDawg)()
    for word in sorted(WORDS, key=str.encode):
        lexicon.add(word, WORDS[word])
        model.add(word, WORDS[word])
    change(lexicon, model)
    prefixes = {w[:i] for w in model.counts for i in range(len(w) + 1)} | {"z"}
    for prefix in sorted(prefixes):
        for limit in (1, 2, 3, None):
            assert lexicon.complete(prefix, limit, with_count=True) == completions(
                model.counts, prefix, 0, limit), (prefix, limit)
