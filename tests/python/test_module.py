import weakref

import pytest

import sorvan
from sorvan import DAWG, Trie


def test_module_attributes():
    assert sorvan.__doc__ == ""
    assert sorvan.__all__ == ["Trie", "DAWG"]
    public = {name for name in vars(sorvan) if not name.startswith("__")}
    assert public == {"Trie", "DAWG"}


def test_type_identity_and_signatures(lexicon_class):
    cls = lexicon_class
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ in ("Trie", "DAWG")
    assert cls.__text_signature__ == "()"
    assert cls.add.__text_signature__ == "($self, word, count=1)"
    assert cls.contains_prefix.__text_signature__ == "($self, prefix)"
    assert cls.get_word_count.__text_signature__ == "($self)"


def test_docstrings():
    assert Trie.__doc__ == (
        "A prefix tree (Trie) lexicon.\n\n"
        "Supports any insertion order. Search time is O(W) where W is word length.\n\n"
        "Example::\n\n"
        "    from sorvan import Trie\n"
        "    t = Trie()\n"
        '    t.add_all(["apple", "apply", "application"])\n'
        '    assert "apple" in t\n'
        '    print(t.search("app*"))'
    )
    assert Trie.add.__doc__ == "Add a word with an optional count (default 1)."
    assert Trie.contains_prefix.__doc__ == (
        "Returns True if prefix is a prefix of any word in the Trie."
    )
    assert Trie.get_word_count.__doc__ == "Returns the number of words stored."


def test_dawg_docstrings():
    assert DAWG.__doc__ == (
        "A Directed Acyclic Word Graph (DAWG) lexicon.\n\n"
        "Compresses both shared prefixes and shared suffixes.\n"
        "Words must be inserted in alphabetical order, or use ``add_all`` which\n"
        "sorts automatically. Call ``reduce()`` after manual insertions.\n\n"
        "Example::\n\n"
        "    from sorvan import DAWG\n"
        "    d = DAWG()\n"
        '    d.add_all(["ash", "ashes", "ashley"])\n'
        '    assert "ash" in d\n'
        '    print(d.search_with_prefix("ash"))'
    )
    assert DAWG.add.__doc__ == (
        "Add a word (must be >= the previous word alphabetically).\n\n"
        "Call ``reduce()`` when done with manual insertions."
    )
    assert DAWG.reduce.__text_signature__ == "($self)"
    assert DAWG.reduce.__doc__ == "Finalize minimization. Call after all manual ``add()`` calls."
    assert DAWG.contains_prefix.__doc__ == (
        "Returns True if prefix is a prefix of any word in the DAWG."
    )
    assert DAWG.get_word_count.__doc__ == Trie.get_word_count.__doc__


def test_method_tables_in_order():
    trie_methods = [n for n in vars(Trie) if not n.startswith("__")]
    dawg_methods = [n for n in vars(DAWG) if not n.startswith("__")]
    assert trie_methods[:5] == [
        "add", "add_all", "add_from_file", "contains_prefix", "get_word_count"
    ]
    assert dawg_methods[:6] == [
        "add", "add_all", "add_from_file", "reduce", "contains_prefix", "get_word_count"
    ]


def test_class_is_final_and_has_no_instance_dict(lexicon_class):
    with pytest.raises(TypeError):
        type("Sub", (lexicon_class,), {})
    t = lexicon_class()
    with pytest.raises(AttributeError):
        t.colour = "red"
    with pytest.raises(TypeError):
        weakref.ref(t)


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_constructor_takes_no_arguments(lexicon_class, args, kwargs):
    with pytest.raises(TypeError):
        lexicon_class(*args, **kwargs)


def test_reimport_reuses_the_class_objects():
    import importlib.util
    import sys

    spec = importlib.util.find_spec("sorvan")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again.Trie is sys.modules["sorvan"].Trie
    assert again.DAWG is sys.modules["sorvan"].DAWG
    assert again.__all__ == ["Trie", "DAWG"]


def test_only_the_init_function_is_exported():
    import subprocess

    out = subprocess.run(
        ["nm", "-D", "--defined-only", sorvan.__file__], capture_output=True, text=True
    )
    if out.returncode != 0:
        pytest.skip("nm is not available")
    text_symbols = [line.split()[-1] for line in out.stdout.splitlines() if " T " in line]
    assert text_symbols == ["PyInit_sorvan"]
