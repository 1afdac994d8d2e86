"""The compact form: compact(), save()/load() with and without mmap, pickling
and copying, in every state of both classes, and images that are not what
they claim to be."""

import copy
import os
import pickle
import random
import re
import subprocess
import sys

import pytest

import sorvan
from sorvan import DAWG, Trie

WORDS = ["car", "card", "care", "cart", "dart", "darts", "é", "日本", "\U0001f600x", "a*?"]


def in_state(cls, state):
    """A lexicon of WORDS in one of the states a user can leave it in."""
    lexicon = cls()
    if state == "new":
        return lexicon
    for i, word in enumerate(sorted(WORDS, key=str.encode)):
        lexicon.add(word, i * 7 if i % 3 else 2**64 - 1)
    if state == "building":  # a DAWG with an unchecked path and stale keys
        if cls is DAWG:
            lexicon.reduce()
            lexicon.add("\U0001f600x", 3)
            lexicon.add("\U0001f600xyz")
        return lexicon
    if cls is DAWG:
        lexicon.reduce()
    if state == "compact":
        lexicon.compact()
    return lexicon


def answers(lexicon):
    """Everything a user can ask, as one comparable value."""
    probes = WORDS + ["", "ca", "c*", "*r?", "?", "*", "zz"]
    return (
        repr(lexicon), len(lexicon), lexicon.get_word_count(),
        [p in lexicon for p in probes], [lexicon.contains_prefix(p) for p in probes],
        [lexicon.search(p, True) for p in probes],
        [lexicon.search_with_prefix(p, with_count=True) for p in probes],
        [lexicon.search_within_distance(p, 2, True) for p in probes],
        lexicon.batch_contains(probes), lexicon.batch_search(probes),
        lexicon.batch_search_with_prefix(probes), lexicon.batch_search_within_distance(probes, 1),
    )


def carry_on(lexicon):
    """Later changes, with their errors, as one comparable value."""
    steps = [lambda: lexicon.add_all(["mid", "zz"]), lambda: lexicon.add("", 5)]
    steps += [lambda w=w: lexicon.add(w, 2) for w in ["\U0001f600xyz", "\U0001f600xyz", "dart", "\U0010ffff"]]
    if isinstance(lexicon, DAWG):
        steps.insert(3, lexicon.reduce)
    out = []
    for step in steps:
        try:
            out.append(step())
        except ValueError as error:
            out.append(str(error))
        out.append(answers(lexicon))
    return out


STATES = ["new", "building", "reduced", "compact"]


def copies(lexicon, tmp_path):
    yield "copy", copy.copy(lexicon)
    yield "deepcopy", copy.deepcopy(lexicon)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        yield f"pickle{protocol}", pickle.loads(pickle.dumps(lexicon, protocol=protocol))
    buffers = []
    data = pickle.dumps(lexicon, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1  # the image travels out of band
    yield "out-of-band", pickle.loads(data, buffers=buffers)
    path = tmp_path / "lexicon.img"
    lexicon.save(str(path))
    yield "load", type(lexicon).load(str(path))
    yield "mmap", type(lexicon).load(str(path), mmap=True)


@pytest.mark.parametrize("state", STATES)
def test_every_copy_answers_and_carries_on_like_the_original(lexicon_class, state, tmp_path):
    expected_answers = answers(in_state(lexicon_class, state))
    expected_future = carry_on(in_state(lexicon_class, state))
    original = in_state(lexicon_class, state)
    for how, twin in copies(original, tmp_path):
        assert type(twin) is lexicon_class, how
        assert answers(twin) == expected_answers, how
        assert carry_on(twin) == expected_future, how
    # The copies were independent: the original is untouched.
    assert answers(original) == expected_answers


@pytest.mark.parametrize("state", STATES)
def test_compact_changes_no_answer(lexicon_class, state):
    lexicon = in_state(lexicon_class, state)
    before = answers(lexicon)
    assert lexicon.compact() is None
    assert answers(lexicon) == before
    assert lexicon.compact() is None  # again: nothing changes
    assert carry_on(lexicon) == carry_on(in_state(lexicon_class, state))


@pytest.mark.parametrize("law", ["heavy-tailed", "all equal", "huge"])
def test_counts_of_every_law_come_back_by_word(lexicon_class, law, tmp_path):
    # A heavy tail spreads the counts over several levels of codes; equal
    # counts take none; huge ones are kept as they are.
    rng = random.Random(5)
    words = sorted({"".join(rng.choice("abcdeé") for _ in range(rng.randint(1, 9))) for _ in range(4000)})
    count = {"heavy-tailed": lambda: int(rng.paretovariate(1.0)), "all equal": lambda: 3,
             "huge": lambda: rng.randrange(2**64)}[law]
    lexicon = lexicon_class()
    for word in words:
        lexicon.add(word, count())
    expected = lexicon.search("*", True)
    lexicon.compact()
    lexicon.save(str(tmp_path / "counts.img"))
    for twin in [lexicon, pickle.loads(pickle.dumps(lexicon, protocol=5)),
                 lexicon_class.load(str(tmp_path / "counts.img"), mmap=True)]:
        assert twin.search("*", True) == expected
        assert twin.search_with_prefix("a", with_count=True) == [(w, c) for w, c in expected if w[0] == "a"]
        assert twin.search("?b*", True) == [(w, c) for w, c in expected if w[1:2] == "b"]


def test_the_classes_stay_in_builtins_and_the_module_gains_nothing():
    before = set(vars(sorvan))
    pickle.dumps(in_state(Trie, "compact"))
    assert set(vars(sorvan)) == before
    assert Trie.__module__ == DAWG.__module__ == "builtins"
    # The pickle names the class only through importable names.
    assert b"importlib" in pickle.dumps(Trie(), protocol=0)


def test_pickle_in_a_fresh_interpreter():
    data = pickle.dumps(in_state(DAWG, "building"))
    script = "import pickle, sys; d = pickle.loads(sys.stdin.buffer.read()); print(repr(d), d.search('c*'))"
    out = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True, check=True,
                         env=dict(os.environ, PYTHONPATH=os.path.dirname(sorvan.__file__)))
    twin = in_state(DAWG, "building")
    assert out.stdout.decode().strip() == f"{twin!r} {twin.search('c*')}"


def test_pickle_is_about_the_image_size(tmp_path):
    trie = Trie()
    rng = random.Random(3)
    trie.add_all("".join(rng.choices("abcdefghij", k=rng.randint(1, 12))) for _ in range(50_000))
    trie.save(str(tmp_path / "t.img"))
    size = (tmp_path / "t.img").stat().st_size
    for protocol in (4, 5):
        assert size <= len(pickle.dumps(trie, protocol=protocol)) <= size * 1.05


# ----------------------------------------------------------- save and load --


def test_load_is_a_class_method_with_keyword_only_mmap(tmp_path):
    path = str(tmp_path / "t.img")
    in_state(Trie, "reduced").save(path)
    with pytest.raises(TypeError, match="positional"):
        Trie.load(path, True)
    with pytest.raises(TypeError, match="argument 'mmap'"):
        Trie.load(path, mmap=1)
    with pytest.raises(TypeError, match="argument 'path'"):
        Trie.load(1)
    assert repr(Trie().load(path)) == repr(in_state(Trie, "reduced"))


class FsPath:
    """An os.PathLike of the user's own, whose __fspath__ gives `value` (or
    raises it, or calls it first)."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value() if callable(self.value) else self.value


class StrPath(str):
    pass


# Each way of naming the file that open() takes, from the folder `tmp`.
PATH_KINDS = {
    "str": lambda tmp: str(tmp / "t.img"),
    "str subclass": lambda tmp: StrPath(tmp / "t.img"),
    "bytes": lambda tmp: os.fsencode(tmp / "t.img"),
    "pathlib": lambda tmp: tmp / "t.img",
    "PathLike of str": lambda tmp: FsPath(str(tmp / "t.img")),
    "PathLike of bytes": lambda tmp: FsPath(os.fsencode(tmp / "t.img")),
    "non-UTF-8 bytes": lambda tmp: os.fsencode(tmp) + b"/t\xff.img",
}


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_save_and_load_take_any_path_open_takes(lexicon_class, tmp_path, kind):
    lexicon = in_state(lexicon_class, "compact")
    path = PATH_KINDS[kind](tmp_path)
    lexicon.save(path)
    with open(path, "rb") as written:  # where open() finds it
        assert written.read(1)
    for mapped in [False, True]:
        assert answers(lexicon_class.load(path, mmap=mapped)) == answers(lexicon)
    # A file of its own: the one just mapped must not change under the mapping.
    (tmp_path / "counts").mkdir()
    words_path = PATH_KINDS[kind](tmp_path / "counts")
    with open(words_path, "wb") as words:
        words.write(b"pear\t2\napple\t3\n")
    built = lexicon_class.from_file(words_path, counts=True)
    assert list(built.items()) == [("apple", 3), ("pear", 2)]


@pytest.mark.parametrize("value, error, message", [
    (3, TypeError, r"^argument 'path': expected str, bytes or os.PathLike object, not int"),
    (lambda: 3, TypeError, r"^argument 'path': .*FsPath.__fspath__\(\) to return str or bytes, not int"),
    (ZeroDivisionError("mine"), ZeroDivisionError, "^mine$"),
    (lambda: "a\0b", ValueError, "NUL"),
    (lambda: b"a\0b", ValueError, "NUL"),
])
def test_a_path_that_is_not_one_fails_and_changes_nothing(lexicon_class, value, error, message):
    lexicon = in_state(lexicon_class, "compact")
    before = answers(lexicon)
    path = value if value == 3 else FsPath(value)
    for call in [lexicon.save, lexicon_class.load, lexicon_class.from_file]:
        with pytest.raises(error, match=message):
            call(path)
    assert answers(lexicon) == before


def test_a_path_that_changes_the_lexicon_is_refused(tmp_path):
    """__fspath__ runs while save() reads the lexicon: a change from it is
    refused, and the file is not written."""
    lexicon = in_state(Trie, "compact")
    before = answers(lexicon)

    def name_and_change():
        lexicon.add("zz")
        return str(tmp_path / "t.img")

    with pytest.raises(RuntimeError, match="Already"):
        lexicon.save(FsPath(name_and_change))
    assert answers(lexicon) == before and not (tmp_path / "t.img").exists()


@pytest.mark.parametrize("method", ["save", "load"])
def test_unusable_paths_fail_as_add_from_file_does(lexicon_class, tmp_path, method):
    missing = str(tmp_path / "no" / "such")
    with pytest.raises(ValueError) as expected:
        lexicon_class().add_from_file(missing)
    call = lexicon_class().save if method == "save" else lexicon_class.load
    with pytest.raises(ValueError) as got:
        call(missing)
    assert str(got.value) == str(expected.value)
    with pytest.raises(ValueError, match="NUL"):
        call("a\0b")


def test_load_of_a_directory_fails(lexicon_class, tmp_path):
    with pytest.raises(ValueError, match="Is a directory"):
        lexicon_class.load(str(tmp_path), mmap=True)


def test_save_replaces_a_file_that_is_mapped(tmp_path):
    """save() writes a new file and renames it, so a lexicon mapped from the
    old file keeps its bytes; even saving over its own file."""
    path = str(tmp_path / "t.img")
    in_state(Trie, "reduced").save(path)
    mapped = Trie.load(path, mmap=True)
    mapped.save(path)
    Trie().save(path)
    assert answers(mapped) == answers(in_state(Trie, "reduced"))
    assert repr(Trie.load(path)) == repr(Trie())
    assert os.listdir(tmp_path) == ["t.img"]  # no temporary left behind


NAME = "n" * 255  # as long as a name can be


def _file(directory, mode, name=NAME):
    (directory / name).write_bytes(b"old")
    (directory / name).chmod(mode)
    return name


def _links(directory, *links):
    for name, to in links:
        os.symlink(to, directory / name)


NOT_REGULAR = f"IO error: '{NAME}' is not a regular file"
# Each case: set-up in an empty directory, giving the file that then holds
# the image saved to NAME; that file's mode under the umask 0o027, or the
# message save() refuses with.
SAVE_TARGETS = {
    "new": (lambda d: NAME, 0o640),
    "private": (lambda d: _file(d, 0o600), 0o600),
    "odd-bits": (lambda d: _file(d, 0o2705), 0o2705),
    # As open(path, "wb") would: root may write it (and it stays read-only).
    "read-only": (lambda d: _file(d, 0o444), 0o444 if os.geteuid() == 0 else "IO error: Permission denied (os error 13)"),
    "link": (lambda d: _links(d, (NAME, "t.img")) or _file(d, 0o640, "t.img"), 0o640),
    # A relative link names a path from its own directory.
    "links-elsewhere": (lambda d: (d / "sub").mkdir() or _links(d, (NAME, "sub/up"), ("sub/up", "../sub/t.img"))
                        or _file(d, 0o640, "sub/t.img"), 0o640),
    "dangling-link": (lambda d: _links(d, (NAME, "later.img")) or "later.img", 0o640),
    "fifo": (lambda d: os.mkfifo(d / NAME), NOT_REGULAR),
    "directory": (lambda d: os.mkdir(d / NAME), NOT_REGULAR),
    "link-to-a-device": (lambda d: _links(d, (NAME, "/dev/null")), NOT_REGULAR),
    "link-loop": (lambda d: _links(d, (NAME, NAME)), "IO error: Too many levels of symbolic links (os error 40)"),
}


@pytest.mark.parametrize("case", SAVE_TARGETS)
def test_save_replaces_only_the_contents_of_a_regular_file(tmp_path, monkeypatch, case):
    """save() writes through symbolic links, keeps the old file's permission
    bits (a new file gets 0666 less the umask), and refuses a target that is
    not a regular file, leaving everything as it was."""
    setup, expected = SAVE_TARGETS[case]
    monkeypatch.chdir(tmp_path)
    holder = setup(tmp_path)

    def listing():
        return sorted((str(p.relative_to(tmp_path)), p.is_symlink(), p.lstat().st_mode) for p in tmp_path.rglob("*"))

    before = listing()
    umask = os.umask(0o027)
    try:
        if isinstance(expected, str):
            with pytest.raises(ValueError, match=f"^{re.escape(expected)}$"):
                in_state(Trie, "reduced").save(NAME)
            assert listing() == before
            return
        in_state(Trie, "reduced").save(NAME)
    finally:
        os.umask(umask)
    assert answers(Trie.load(holder)) == answers(in_state(Trie, "reduced"))
    assert oct(os.stat(holder).st_mode & 0o7777) == oct(expected)
    # The links stay, and no temporary is left behind.
    assert [entry[:2] for entry in listing()] == sorted({entry[:2] for entry in before} | {(holder, False)})


def test_save_as_an_ordinary_user_where_it_may_not_write(tmp_path):
    """Over a read-only file, or in a directory it may not write, save()
    fails as open(path, "wb") would and leaves the old file. Root may do
    either, so an ordinary user tries, in a child process."""
    for name, file_mode, directory_mode in [("read-only", 0o444, 0o777), ("locked", 0o666, 0o555)]:
        (tmp_path / name).mkdir()
        _file(tmp_path / name, file_mode, "t.img")
        (tmp_path / name).chmod(directory_mode)
    tmp_path.chmod(0o711)
    fd = os.open(tmp_path, os.O_RDONLY)  # the way in for a user who may not pass its parents
    script = ("import os, sys; from sorvan import Trie; os.chdir(int(sys.argv[1]))\n"
              "for name in ('read-only', 'locked'):\n"
              "    try: Trie().save(name + '/t.img')\n"
              "    except ValueError as e: print(e)")
    try:
        out = subprocess.run([sys.executable, "-c", script, str(fd)], pass_fds=[fd], capture_output=True, text=True,
                             user=65534 if os.geteuid() == 0 else None)
    except PermissionError:
        pytest.skip("no ordinary user to run as")
    finally:
        os.close(fd)
    assert out.stdout.splitlines() == ["IO error: Permission denied (os error 13)"] * 2, out.stderr
    assert [os.listdir(tmp_path / name) for name in ("read-only", "locked")] == [["t.img"]] * 2
    assert {(tmp_path / name / "t.img").read_bytes() for name in ("read-only", "locked")} == {b"old"}


def test_images_of_the_other_class_are_refused(tmp_path):
    path = str(tmp_path / "t.img")
    Trie().save(path)
    with pytest.raises(ValueError, match="holds a Trie, not a DAWG"):
        DAWG.load(path)
    with pytest.raises(ValueError, match="holds a Trie, not a DAWG"):
        DAWG().__setstate__((tmp_path / "t.img").read_bytes())


def test_compact_during_add_all_is_refused(lexicon_class):
    lexicon = lexicon_class()

    def words():
        yield "a"
        lexicon.compact()

    with pytest.raises(RuntimeError, match="Already borrowed"):
        lexicon.add_all(words())


def test_a_million_letter_chain(lexicon_class, tmp_path):
    long = "ab" * 500_000
    lexicon = lexicon_class()
    lexicon.add_all([long, long + "c"])
    lexicon.compact()
    assert lexicon.search_with_prefix(long[:-1]) == [long, long + "c"]
    assert lexicon.search_within_distance(long + "cd", 1) == [long + "c"]
    lexicon.save(str(tmp_path / "long.img"))
    loaded = lexicon_class.load(str(tmp_path / "long.img"), mmap=True)
    loaded.add("b")
    assert len(loaded) == len(lexicon) + (1 if lexicon_class is Trie else 0)


# ---------------------------------------------------------- hostile bytes --


@pytest.fixture
def good_image(lexicon_class, tmp_path):
    path = tmp_path / "good.img"
    in_state(lexicon_class, "building").save(str(path))
    return path.read_bytes()


def refused(cls, data, tmp_path):
    """The ValueError message load() and __setstate__() give for `data`."""
    path = tmp_path / "bad.img"
    path.write_bytes(data)
    messages = set()
    for mmap in (False, True):
        with pytest.raises(ValueError) as info:
            cls.load(str(path), mmap=mmap)
        messages.add(str(info.value))
    with pytest.raises(ValueError) as info:
        cls().__setstate__(data)
    messages.add(str(info.value))
    assert len(messages) == 1
    return messages.pop()


def test_truncated_images(lexicon_class, good_image, tmp_path):
    for size in sorted({0, 1, 7, 8, 50, len(good_image) // 2, len(good_image) - 1}):
        message = refused(lexicon_class, good_image[:size], tmp_path)
        assert message.startswith("Invalid lexicon image: ")
        assert ("bad magic" in message) if size < 8 else ("truncated" in message)


def sealed(data):
    """`data` with its last 8 bytes made its checksum again, so that the
    checks behind the checksum see the damage."""
    k, mask = 0x9E3779B97F4A7C15, 2**64 - 1
    body = bytes(data[:-8])
    n = len(body)
    lanes = [n, k, k * 3 & mask, k * 5 & mask]
    end = n - n % 32
    for i in range(0, end, 32):
        for j in range(4):
            lanes[j] = ((lanes[j] ^ int.from_bytes(body[i + 8 * j:i + 8 * j + 8], "little")) * k) & mask
            lanes[j] ^= lanes[j] >> 29
    rotl = lambda x, r: ((x << r) | (x >> (64 - r))) & mask  # noqa: E731
    h = lanes[0] ^ rotl(lanes[1], 17) ^ rotl(lanes[2], 31) ^ rotl(lanes[3], 47)
    for b in body[end:]:
        h = ((h ^ b) * k) & mask
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & mask
    h ^= h >> 33
    return body + h.to_bytes(8, "little")


def each_answer(lexicon):
    """Every query, one call at a time: its answer, or its ValueError."""
    probes = ["car", "ca", "c*", "*r?", "?", "é", "日本", "zz", "\U0001f600x"]
    # Comprehensions, not list(): a mapped image's len() is its header's
    # claim until checked, and list() would take a forged one as its size.
    calls = [lambda: [w for w in lexicon], lambda: [i for i in lexicon.items()],
             lambda: [v for v in lexicon.values("c")]]
    calls += [lambda: len(lexicon.keys()), lambda: lexicon.keys()[1], lambda: lexicon.keys("ca")[-1]]
    calls += [lambda: lexicon.find_all("a card; the darts, é!", with_count=True), lambda: lexicon.prefixes("cards")]
    for p in probes:
        calls += [lambda p=p: p in lexicon, lambda p=p: lexicon.get(p), lambda p=p: lexicon.contains_prefix(p),
                  lambda p=p: lexicon.search(p, True), lambda p=p: lexicon.search_with_prefix(p, True),
                  lambda p=p: lexicon.search_within_distance(p, 1, True),
                  lambda p=p: lexicon.suggest(p, 2, limit=5, with_count=True),
                  lambda p=p: lexicon.complete(p, 3, with_count=True),
                  lambda p=p: lexicon.complete(p, 3, max_distance=1), lambda p=p: p in lexicon.keys()]
    calls += [lambda: lexicon.batch_contains(probes), lambda: lexicon.batch_search(probes)]
    calls += [lambda: lexicon.batch_complete(probes, 2), lambda: lexicon.batch_suggest(probes, 1)]
    out = []
    for call in calls:
        try:
            out.append(call())
        except ValueError as error:
            out.append(("ValueError", str(error)))
        except (IndexError, MemoryError) as error:  # a forged len() (the header's until checked)
            out.append((type(error).__name__,))
    return out


def refused_or_harmless(cls, data, tmp_path):
    """`data` opened by load() (checked in full) and by load(mmap=True)
    (checked as queries read it): mapped, it answers as read in full, or it
    is refused for the same reason, at once or by the first query that
    meets the damage and by every query after it, and prepare(), a copy
    through pickle and a change say so."""
    # A new file each time: truncating a file that a build off the query
    # path still maps ends the process (SIGBUS).
    path = tmp_path / f"damaged-{len(list(tmp_path.iterdir()))}.img"
    path.write_bytes(data)
    try:
        expected, message = each_answer(cls.load(str(path))), None
    except ValueError as error:
        expected, message = None, str(error)
    try:
        mapped = cls.load(str(path), mmap=True)
    except ValueError as error:
        assert str(error) == message
        return message
    got = each_answer(mapped)
    if message is None:
        assert got == expected
        return None
    errors = [i for i, answer in enumerate(got) if isinstance(answer, tuple) and answer[0] == "ValueError"]
    assert all(got[i] == ("ValueError", message) for i in errors)
    if errors:
        assert errors == list(range(errors[0], len(got)))  # once met, always met
    with pytest.raises(ValueError) as info:
        mapped.prepare()
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        pickle.loads(pickle.dumps(mapped))
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:  # no mutable form from damaged bytes
        mapped.add("zz")
    assert str(info.value) == message
    return message


def test_flipped_bits(lexicon_class, good_image, tmp_path):
    rng = random.Random(5)
    for bit in rng.sample(range(8 * len(good_image)), 40):
        data = bytearray(good_image)
        data[bit // 8] ^= 1 << (bit % 8)
        assert refused_or_harmless(lexicon_class, bytes(data), tmp_path).startswith("Invalid lexicon image: ")


def test_damage_behind_a_good_checksum_is_refused_or_harmless(lexicon_class, good_image, tmp_path):
    """Bytes changed past the header, the checksum made right: the mapped
    image meets the damage as its queries read it."""
    rng = random.Random(11)
    outcomes = set()
    for _ in range(150):
        data = bytearray(good_image)
        at = rng.randrange(136, len(data) - 8)
        data[at] = rng.choice([0, 0xFF, 0x80, data[at] ^ (1 << rng.randrange(8)), rng.randrange(256)])
        message = refused_or_harmless(lexicon_class, sealed(data), tmp_path)
        outcomes.add(message is None)
    assert outcomes == {True, False}  # both sound padding and damage were met


@pytest.mark.parametrize("data", [b"", b"\x89SRVLEX\n", b"\x89SRVLEX\n" + b"\xff" * 200, b"hello\n" * 40])
def test_not_an_image(data, tmp_path):
    assert refused(Trie, data, tmp_path).startswith("Invalid lexicon image: ")


def test_hostile_sizes_do_not_allocate(lexicon_class, good_image, tmp_path):
    """A header claiming a huge file is refused from its real size."""
    data = bytearray(good_image)
    data[16:24] = (2**62).to_bytes(8, "little")
    assert "truncated" in refused(lexicon_class, bytes(data), tmp_path)


@pytest.mark.parametrize("state", [b"", 1, None, "text", memoryview(b"x" * 10)])
def test_setstate_takes_only_image_bytes(state):
    trie = in_state(Trie, "reduced")
    with pytest.raises((TypeError, ValueError)):
        trie.__setstate__(state)
    assert answers(trie) == answers(in_state(Trie, "reduced"))  # unchanged


def test_sorted_lookups_on_many_images_from_many_threads(lexicon_class, tmp_path):
    """Each thread resumes its lookups from its last path in an image; runs
    of sorted words, hopping between images that hold different words and
    between threads, must still answer exactly."""
    import threading

    rng = random.Random(3)
    stems = ["straße", "日本語", "\U0001f600\U0001f601", "a" * 80]
    sets = []
    for k in range(3):
        words = {s[: rng.randrange(1, len(s) + 1)] + "".join(rng.choices("aéz日\U0001f600", k=rng.randrange(4)))
                 for s in stems for _ in range(40)}
        sets.append(sorted(words, key=str.encode))
    images = []
    for k, words in enumerate(sets):
        lexicon = lexicon_class()
        lexicon.add_all(words)
        lexicon.save(str(tmp_path / f"{k}.img"))
        images += [lexicon_class.load(str(tmp_path / f"{k}.img"), mmap=True), pickle.loads(pickle.dumps(lexicon))]
        lexicon.compact()
        images.append(lexicon)
    probes = sorted({w[:i] for words in sets for w in words for i in range(1, len(w) + 1)} | {"zz", "straßf"},
                    key=str.encode)
    expected = [(set(words), {w[:i] for w in words for i in range(len(w) + 1)}) for words in sets]
    failures = []

    def look(seed):
        pick = random.Random(seed)
        for p in probes:
            k = pick.randrange(len(images)) if pick.random() < 0.2 else seed % len(images)
            words, prefixes = expected[k // 3]
            if (p in images[k], images[k].contains_prefix(p)) != (p in words, p in prefixes):
                failures.append((k, p))

    threads = [threading.Thread(target=look, args=(seed,)) for seed in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_lookups_build_an_index_that_every_change_drops(lexicon_class, tmp_path):
    """Enough lookups on the compact form build an index for membership;
    the answers are those of the words before it, with it, and after every
    change (which drops it) and the next compact(), or __setstate__."""
    rng = random.Random(5)
    words = sorted({"".join(rng.choices("abcé日\U0001f600", k=rng.randrange(1, 9))) for _ in range(3000)},
                   key=str.encode)
    lexicon = lexicon_class()
    lexicon.add_all(words)
    lexicon.compact()
    expected = set(words)
    probes = words + [w + "z" for w in words] + [w[:-1] for w in words]
    for change in range(3):
        prefixes = {w[:i] for w in expected for i in range(len(w) + 1)}
        for _ in range(4):  # the first pass pays for the index, the others use it
            assert [p in lexicon for p in probes] == [p in expected or not p for p in probes]
        assert [lexicon.contains_prefix(p) for p in probes] == [p in prefixes for p in probes]
        new = "\U0010ffff" * (change + 1)  # after every word, as a DAWG needs
        lexicon.add(new)
        assert new in lexicon and new + "z" not in lexicon
        expected.add(new)
        probes.append(new)
        lexicon.compact()
    for _ in range(4):  # the index again, of the words that __setstate__ replaces
        assert [p in lexicon for p in probes] == [p in expected or not p for p in probes]
    other = lexicon_class()
    other.add_all(["x", "xy"])
    other.save(str(tmp_path / "other.img"))
    lexicon.__setstate__((tmp_path / "other.img").read_bytes())
    assert [p in lexicon for p in probes + ["xy"]] == [p in ("x", "xy", "") for p in probes + ["xy"]]
