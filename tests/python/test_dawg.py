import random

import pytest

from sorvan import DAWG


def dawg_of(*words, reduce=False):
    d = DAWG()
    for w in words:
        d.add(w)
    if reduce:
        d.reduce()
    return d


def test_new_dawg():
    d = DAWG()
    assert repr(d) == "DAWG(words=0, nodes=0)"
    assert len(d) == 0 and not d
    assert "" in d and d.contains_prefix("")
    assert "a" not in d
    assert d.get_word_count() == 0


@pytest.mark.parametrize(
    "words, before, after",
    [
        (["a"], 0, 1),
        (["a", "b"], 1, 2),
        (["ab", "cb"], 2, 3),
        (["tap", "taps", "top", "tops"], 3, 6),
        (["ash", "ashes", "ashley"], 2, 8),
        (["apple"], 0, 5),
    ],
)
def test_len_counts_registry_entries(words, before, after):
    d = dawg_of(*words)
    assert len(d) == before
    assert repr(d) == f"DAWG(words={len(words)}, nodes={before})"
    d.reduce()
    assert len(d) == after
    assert repr(d) == f"DAWG(words={len(words)}, nodes={after})"
    d.reduce()
    assert len(d) == after
    assert all(w in d for w in words)


def test_a_dawg_holding_a_word_can_be_false():
    d = dawg_of("apple")
    assert "apple" in d
    assert not d


def test_order_violation():
    d = dawg_of("b")
    with pytest.raises(ValueError) as info:
        d.add("a")
    assert str(info.value) == (
        "Words must be inserted in alphabetical order. Previous: 'b', Current: 'a'"
    )
    assert info.value.args == (str(info.value),)
    assert "a" not in d and repr(d) == "DAWG(words=1, nodes=0)"
    d.add("b", 2)
    assert d.get_word_count() == 3


def test_order_is_by_code_point():
    d = dawg_of("B", "a", "z", "é", "\U0001F600")
    assert all(w in d for w in ["B", "a", "z", "é", "\U0001F600"])
    with pytest.raises(ValueError, match="Previous: '\U0001F600', Current: 'a'"):
        d.add("a")
    with pytest.raises(ValueError):
        dawg_of("a").add("B")


def test_order_violation_message_keeps_nul_characters():
    d = dawg_of("b\x00c")
    with pytest.raises(ValueError) as info:
        d.add("a")
    assert str(info.value).endswith("Previous: 'b\x00c', Current: 'a'")


def test_counts():
    d = DAWG()
    d.add("a", 0)
    assert "a" in d and d.get_word_count() == 0
    d.add("a", 2**64 - 1)
    d.add("b", 2)
    assert d.get_word_count() == 1


def test_empty_word():
    d = DAWG()
    d.add("", 1)
    assert d.get_word_count() == 1
    assert repr(d) == "DAWG(words=1, nodes=0)"
    d.add("a")
    with pytest.raises(ValueError, match="Previous: 'a', Current: ''"):
        d.add("")


def test_add_after_reduce():
    d = dawg_of("ab", reduce=True)
    d.add("b")
    assert "ab" in d and "b" in d
    assert d.get_word_count() == 2
    d = dawg_of("abc", reduce=True)
    for w in ["abd", "abde", "abe"]:
        d.add(w)
    d.reduce()
    assert [w in d for w in ["abc", "abd", "abde", "abe", "ab", "abf"]] == [
        True, True, True, True, False, False
    ]


@pytest.mark.parametrize(
    "call",
    [lambda d: d.reduce(1), lambda d: d.add(5), lambda d: d.add("z", 1.5), lambda d: 5 in d],
)
def test_type_errors_change_nothing(call):
    d = dawg_of("a", "b")
    with pytest.raises(TypeError):
        call(d)
    assert repr(d) == "DAWG(words=2, nodes=1)"


def test_negative_count_is_overflow():
    d = DAWG()
    with pytest.raises(OverflowError):
        d.add("a", -1)
    assert "a" not in d


def test_reentrant_calls_see_the_borrow():
    d = DAWG()
    seen = []

    class Count:
        def __index__(self):
            for probe in (d.reduce, lambda: d.add("z"), lambda: "a" in d, lambda: len(d)):
                with pytest.raises(RuntimeError) as info:
                    probe()
                seen.append(str(info.value))
            return 1

    d.add("a", Count())
    assert seen == ["Already borrowed"] * 2 + ["Already mutably borrowed"] * 2
    d.reduce()
    assert len(d) == 1


def test_random_interleavings_match_a_model():
    rng = random.Random(7)
    alphabet = "ab*?é\U0001F600"
    for _ in range(150):
        words = sorted(
            "".join(rng.choice(alphabet) for _ in range(rng.randrange(6))) for _ in range(30)
        )
        words.sort(key=lambda w: w.encode())
        d, model, total = DAWG(), {}, 0
        for w in words:
            count = rng.choice([0, 1, 2, 2**63])
            d.add(w, count)
            total += count
            if w:
                model[w] = model.get(w, 0) + count
            if rng.random() < 0.2:
                d.reduce()
        assert d.get_word_count() == total % 2**64
        for w in model:
            assert w in d
            assert all(d.contains_prefix(w[:i]) for i in range(len(w) + 1))
        probes = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 6))) for _ in range(30)]
        for p in probes:
            assert (p in d) == (p in model)
            assert d.contains_prefix(p) == any(w.startswith(p) for w in model)
