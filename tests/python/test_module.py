import weakref

import pytest

import sorvan
from sorvan import Trie


def test_module_attributes():
    assert sorvan.__doc__ == ""
    assert sorvan.__all__ == ["Trie"]
    public = {name for name in vars(sorvan) if not name.startswith("__")}
    assert public == {"Trie"}


def test_type_identity_and_signatures():
    assert Trie.__module__ == "builtins"
    assert Trie.__name__ == Trie.__qualname__ == "Trie"
    assert Trie.__text_signature__ == "()"
    assert Trie.add.__text_signature__ == "($self, word, count=1)"
    assert Trie.contains_prefix.__text_signature__ == "($self, prefix)"
    assert Trie.get_word_count.__text_signature__ == "($self)"


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


def test_class_is_final_and_has_no_instance_dict():
    with pytest.raises(TypeError):
        type("Sub", (Trie,), {})
    t = Trie()
    with pytest.raises(AttributeError):
        t.colour = "red"
    with pytest.raises(TypeError):
        weakref.ref(t)


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        Trie(*args, **kwargs)


def test_reimport_reuses_the_class_objects():
    import importlib.util
    import sys

    spec = importlib.util.find_spec("sorvan")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again.Trie is sys.modules["sorvan"].Trie
    assert again.__all__ == ["Trie"]


def test_only_the_init_function_is_exported():
    import subprocess

    out = subprocess.run(
        ["nm", "-D", "--defined-only", sorvan.__file__], capture_output=True, text=True
    )
    if out.returncode != 0:
        pytest.skip("nm is not available")
    text_symbols = [line.split()[-1] for line in out.stdout.splitlines() if " T " in line]
    assert text_symbols == ["PyInit_sorvan"]
