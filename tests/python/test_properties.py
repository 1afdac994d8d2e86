"""Random operation sequences on both classes against the pure-Python models.

One state machine drives a Trie and a DAWG with the same operations: adds
with counts near 2**64 (sums wrap), the empty word, `*`, `?`, U+0000, digits
(which make different DAWG nodes share a signature) and non-BMP letters in
words, order violations, bulk insertion, reduce() at any point, compact() at any point and
copies through pickle, copy and save/load swapped in for the lexicons, and
every query with and without counts, single and batch, suggestions,
completions (ranked by count, exact and within a distance), the prefixes
of a text and the words found in one (find_all), the lexicon used as a dictionary (lex[w],
get, index, the views under a prefix, keys()[i]), and words removed from the
Trie in every way (the DAWG refuses each). After each step len(),
repr() and get_word_count() must match the models; the DAWG's len() is
modelled exactly (ModelDawg replays its registry of node signatures).
"""

import copy
import pathlib
import pickle
import shutil
import tempfile

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from query_model import ModelDawg, ModelTrie, completions, suggestions
from sorvan import DAWG, Trie

ALPHABET = "ab1*?\x00é\U0001f600"
words = st.text(alphabet=ALPHABET, max_size=5)
patterns = st.text(alphabet=ALPHABET + "**??", max_size=7)
counts = st.one_of(st.sampled_from([0, 1, 2, 2**63, 2**64 - 1]), st.integers(0, 2**64 - 1))
dists = st.one_of(st.integers(0, 4), st.just(2**64 - 1))


class Text(str):
    pass


def answer(pairs, with_count):
    return pairs if with_count else [w for w, _ in pairs]


class Lexicons(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.tmp = pathlib.Path(tempfile.mkdtemp())
        self.pairs = [(Trie(), ModelTrie()), (DAWG(), ModelDawg())]
        self.dawg, self.dawg_model = self.pairs[1]

    # ------------------------------------------------------------ changes --

    def add_to_dawg(self, word, count):
        try:
            self.dawg_model.add(word, count)
        except ValueError as refused:
            with pytest.raises(ValueError) as info:
                self.dawg.add(word, count)
            assert str(info.value) == str(refused)
            return
        assert self.dawg.add(word, count) is None

    @rule(word=words, count=counts)
    def add(self, word, count):
        trie, model = self.pairs[0]
        assert trie.add(word, count) is None
        model.add(word, count)
        self.add_to_dawg(word, count)

    @rule(suffix=words, count=counts)
    def add_after_the_last_word(self, suffix, count):
        """Extends (or repeats) the DAWG's last word: an add it accepts."""
        self.add(self.dawg_model.previous + suffix, count)

    @precondition(lambda self: self.dawg_model.previous.strip("\U0001f600"))
    @rule(data=st.data())
    def add_sharing_a_prefix(self, data):
        """A greater word that leaves the last one's path part way down."""
        previous = self.dawg_model.previous
        turns = [(i, c) for i, p in enumerate(previous) for c in ALPHABET if c > p]
        keep, letter = data.draw(st.sampled_from(turns))
        self.add(previous[:keep] + letter + data.draw(words), 1)

    def change_both(self, change_model, change_lexicon):
        """The change on each lexicon and its model: refused by both with
        the same message, or done by both."""
        for lexicon, model in self.pairs:
            try:
                change_model(model)
            except ValueError as refused:
                with pytest.raises(ValueError) as info:
                    change_lexicon(lexicon)
                assert str(info.value) == str(refused)
                continue
            assert change_lexicon(lexicon) is None

    @rule(items=st.lists(words, max_size=6), as_generator=st.booleans())
    def add_all(self, items, as_generator):
        self.change_both(lambda model: model.add_all(items),
                         lambda lexicon: lexicon.add_all(iter(items) if as_generator else items))

    @rule(data=st.data(), how=st.sampled_from(["remove", "discard", "pop", "pop_default", "del"]))
    def remove(self, data, how):
        """A stored word most times, sometimes another; the trie must then
        be the one its remaining words build (len() included)."""
        trie, model = self.pairs[0]
        word = data.draw(st.one_of(st.sampled_from(sorted(model.counts) or [""]), words))
        try:
            count = model.remove(word)
        except KeyError:
            count = None
        calls = {
            "remove": lambda lex: lex.remove(word),
            "discard": lambda lex: lex.discard(word),
            "pop": lambda lex: lex.pop(word),
            "pop_default": lambda lex: lex.pop(word, "absent"),
            "del": lambda lex: lex.__delitem__(word),
        }
        if count is None and how in ("remove", "pop", "del"):
            with pytest.raises(KeyError) as info:
                calls[how](trie)
            assert info.value.args == (word,)
        else:
            expected = {"pop": count, "pop_default": "absent" if count is None else count}.get(how)
            assert calls[how](trie) == expected
        with pytest.raises(TypeError, match="a DAWG cannot remove words .*use a Trie"):
            calls[how](self.dawg)

    @rule(data=st.data(), with_count=st.booleans())
    def prefixes(self, data, with_count):
        """A text that begins with a stored word most times."""
        stored = sorted(self.pairs[0][1].counts) or [""]
        text = data.draw(st.sampled_from(stored)) + data.draw(words)
        for lexicon, model in self.pairs:
            found = answer(model.prefixes(text), with_count)
            assert lexicon.prefixes(text, with_count) == found
            longest = found[-1] if found else None
            assert lexicon.longest_prefix(text, with_count=with_count) == longest
            assert lexicon.longest_prefix(text, "none", with_count=with_count) == (longest or "none")
            assert lexicon.batch_longest_prefix([text, "", text[:1]], with_count=with_count) == [
                longest, None, lexicon.longest_prefix(text[:1], with_count=with_count)
            ]

    @rule(data=st.data(), overlapping=st.booleans(), whole_words=st.booleans(), with_count=st.booleans())
    def find_all(self, data, overlapping, whole_words, with_count):
        """Stored words amid letters, spaces, '_' and a lone surrogate, in a
        str or a subclass of it."""
        stored = sorted(self.pairs[0][1].counts) or [""]
        pieces = st.one_of(st.sampled_from(stored), st.text(alphabet=ALPHABET + " _\ud800", max_size=3))
        text = "".join(data.draw(st.lists(pieces, max_size=6)))
        text = data.draw(st.sampled_from([str, Text]))(text)
        options = dict(overlapping=overlapping, whole_words=whole_words, with_count=with_count)
        for lexicon, model in self.pairs:
            found = [m if with_count else m[:3] for m in model.find_all(text, overlapping, whole_words)]
            assert lexicon.find_all(text, **options) == found
            assert lexicon.batch_find_all([text, "", text[1:]], **options) == [
                found, [], lexicon.find_all(text[1:], **options)
            ]

    @rule(items=st.lists(st.tuples(words, counts), max_size=6), as_mapping=st.booleans())
    def update(self, items, as_mapping):
        """Counts in bulk: a dict, or str (count 1) and (str, int) items."""
        source = dict(items) if as_mapping else [w if c == 1 else (w, c) for w, c in items]
        pairs = list(source.items()) if as_mapping else items
        self.change_both(lambda model: model.update(pairs), lambda lexicon: lexicon.update(source))

    @rule(presorted=st.booleans(), as_mapping=st.booleans(), data=st.data())
    def build_in_bulk(self, presorted, as_mapping, data):
        """from_words of the stored words answers as the lexicon does, and
        is the image a new lexicon makes of update() then compact()."""
        for lexicon, model in self.pairs:
            pairs = sorted(model.counts.items(), key=lambda pair: pair[0].encode())
            if not presorted:
                pairs = data.draw(st.permutations(pairs))
            source = dict(pairs) if as_mapping else [w if c == 1 else (w, c) for w, c in pairs]
            cls = type(lexicon)
            built = cls.from_words(source, presorted=presorted)
            fresh = cls()
            fresh.update(source)
            fresh.compact()
            assert built.__reduce_ex__(2)[2] == fresh.__reduce_ex__(2)[2]
            assert list(built.items()) == list(lexicon.items())
            bulk = type(model)()
            bulk.update(pairs)
            assert (len(built), built.get_word_count()) == (len(bulk), bulk.word_count)

    @rule()
    def reduce(self):
        assert self.dawg.reduce() is None
        self.dawg_model.reduce()

    @rule()
    def compact(self):
        """The compact form must change no answer, now or after later adds."""
        for lexicon, _ in self.pairs:
            assert lexicon.compact() is None

    @rule(how=st.sampled_from(["pickle2", "pickle5", "copy", "deepcopy", "file", "mmap"]))
    def replace_by_a_copy(self, how):
        """A copy carries on exactly as the original would have; the
        original, changed afterwards, must not affect it."""
        for i, (lexicon, model) in enumerate(self.pairs):
            if how.startswith("pickle"):
                twin = pickle.loads(pickle.dumps(lexicon, protocol=int(how[-1])))
            elif how in ("copy", "deepcopy"):
                twin = getattr(copy, how)(lexicon)
            else:
                path = self.tmp / f"{len(list(self.tmp.iterdir()))}.img"
                lexicon.save(str(path))
                twin = type(lexicon).load(str(path), mmap=how == "mmap")
            assert type(twin) is type(lexicon)
            lexicon.add_all(["\U0010ffff"])  # out of the way of later answers
            self.pairs[i] = (twin, model)
        self.dawg = self.pairs[1][0]

    # ------------------------------------------------------------ queries --

    @rule(word=words)
    def membership(self, word):
        for lexicon, model in self.pairs:
            assert (word in lexicon) == (word in model)
            assert lexicon.contains_prefix(word) == model.contains_prefix(word)

    @rule(pattern=patterns, with_count=st.booleans())
    def search(self, pattern, with_count):
        for lexicon, model in self.pairs:
            assert lexicon.search(pattern, with_count) == answer(model.search(pattern), with_count)

    @rule(prefix=words, with_count=st.booleans())
    def search_with_prefix(self, prefix, with_count):
        for lexicon, model in self.pairs:
            expected = answer(model.search_with_prefix(prefix), with_count)
            assert lexicon.search_with_prefix(prefix, with_count=with_count) == expected

    @rule(word=words, dist=dists, with_count=st.booleans())
    def search_within_distance(self, word, dist, with_count):
        for lexicon, model in self.pairs:
            expected = answer(model.search_within_distance(word, dist), with_count)
            assert lexicon.search_within_distance(word, dist, with_count) == expected

    @rule(word=words, dist=st.integers(0, 3), limit=st.one_of(st.none(), st.integers(0, 4)),
          transpositions=st.booleans())
    def suggest(self, word, dist, limit, transpositions):
        for lexicon, model in self.pairs:
            expected = suggestions(model.counts, word, dist, limit, transpositions)
            assert lexicon.suggest(word, dist, limit, transpositions=transpositions,
                                   with_count=True) == expected
            assert lexicon.batch_suggest([word], dist, limit, transpositions=transpositions) == [
                [(w, d) for w, d, _ in expected]
            ]

    @rule(prefix=words, dist=st.one_of(st.integers(0, 3), st.just(2**64 - 1)),
          limit=st.one_of(st.none(), st.integers(0, 4)), transpositions=st.booleans())
    def complete(self, prefix, dist, limit, transpositions):
        for lexicon, model in self.pairs:
            expected = completions(model.counts, prefix, dist, limit, transpositions)
            assert lexicon.complete(prefix, limit, max_distance=dist, transpositions=transpositions,
                                    with_count=True) == expected
            assert lexicon.batch_complete([prefix], limit, max_distance=dist,
                                          transpositions=transpositions) == [[w for w, _ in expected]]

    @rule(word=words, prefix=st.text(alphabet=ALPHABET, max_size=2), i=st.integers(-12, 12))
    def use_as_dictionary(self, word, prefix, i):
        """lex[w], get, index, the views under a prefix and keys()[i],
        against the model's words in code-point order."""
        for lexicon, model in self.pairs:
            stored = sorted(model.counts)
            count = model.counts.get(word)
            assert lexicon.get(word) == count and lexicon.get(word, -1) == (-1 if count is None else count)
            if count is None:
                with pytest.raises(KeyError):
                    lexicon[word]
                with pytest.raises(ValueError):
                    lexicon.index(word)
            else:
                assert lexicon[word] == count and lexicon.index(word) == stored.index(word)
            under = [w for w in stored if w.startswith(prefix)]
            keys, items, values = lexicon.keys(prefix), lexicon.items(prefix), lexicon.values(prefix)
            assert list(keys) == under and len(keys) == len(under)
            assert list(items) == [(w, model.counts[w]) for w in under]
            assert list(values) == [model.counts[w] for w in under] and len(values) == len(under)
            assert (word in keys) == (word in under)
            assert ((word, count) in items) == (word in under)
            assert list(lexicon) == stored
            if -len(under) <= i < len(under):
                assert keys[i] == under[i]
            else:
                with pytest.raises(IndexError):
                    keys[i]

    @rule(items=st.lists(st.one_of(words, patterns), max_size=8), dist=dists)
    def batches(self, items, dist):
        for lexicon, model in self.pairs:
            assert lexicon.batch_contains(items) == [w in model for w in items]
            assert lexicon.batch_search(items) == [answer(model.search(p), False) for p in items]
            assert lexicon.batch_search_with_prefix(items) == [
                answer(model.search_with_prefix(p), False) for p in items
            ]
            assert lexicon.batch_search_within_distance(items, dist) == [
                answer(model.search_within_distance(w, dist), False) for w in items
            ]

    def teardown(self):
        shutil.rmtree(self.tmp)

    @invariant()
    def sizes_and_counts(self):
        for lexicon, model in self.pairs:
            assert len(lexicon) == len(model)
            assert repr(lexicon) == repr(model)
            assert lexicon.get_word_count() == model.word_count


TestLexicons = Lexicons.TestCase
TestLexicons.settings = settings(
    max_examples=60,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
