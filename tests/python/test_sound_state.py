"""Reading a word file that never ends, or never arrives, stops at Ctrl-C or
with MemoryError; a MemoryError while adding leaves the lexicon as it was;
a DAWG gives back its scratch memory after reduce(). Each case runs in a
child process: a hang shows as a timeout, and memory limits stay there."""

import gc
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import UNDER_ASAN

# The AddressSanitizer runtime reserves terabytes of address space, and
# keeps freed memory in quarantine: no limit or RSS figure means anything.
no_asan = pytest.mark.skipif(UNDER_ASAN, reason="address-space limits and RSS under ASan")

PRELUDE = textwrap.dedent('''
    import json, os, resource, signal, sys, time
    from sorvan import Trie, DAWG

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1]) * 1024

    def limit_memory(extra):
        """Allows `extra` more bytes of address space; None lifts it."""
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (hard if extra is None else status("VmSize") + extra, hard))

    def state(lex):
        words = lex.search("*", with_count=True)
        assert sum(c for _, c in words) == lex.get_word_count()
        return {"len": len(lex), "words": sorted(w for w, _ in words)[:5], "count": lex.get_word_count()}
''')


def run_child(body, *args, timeout=30):
    out = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), *map(str, args)],
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.splitlines()[-1])


# Each source: set-up code giving `path` (and maybe words waiting in it),
# and whether words arrive before the reading blocks.
SOURCES = {
    "fifo-without-writer": ("path = sys.argv[2] + '/fifo'; os.mkfifo(path)", False),
    "fifo-with-idle-writer": ("path = sys.argv[2] + '/fifo'; os.mkfifo(path)\n"
                              "writer = os.open(path, os.O_RDWR); os.write(writer, b'alpha\\nbeta\\n')", True),
    "tty": ("main, tty = os.openpty(); os.write(main, b'alpha\\nbeta\\n'); path = os.ttyname(tty)", True),
    "urandom": ("path = '/dev/urandom'", None),
}


@no_asan
def test_load_fits_a_few_images_of_address_space(tmp_path):
    """Checking an image reserves arrays for as many states and edges as
    its bytes can hold. Long random words make the graph chains of single
    children, the most states a byte: about 11 images' worth in all, 17
    when every state and edge was given a byte."""
    result = run_child('''
        import ctypes, gc, random
        rng = random.Random(5)
        trie = Trie()
        trie.add_all("".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=40)) for _ in range(50_000))
        trie.compact()
        path = sys.argv[1] + "/t.img"
        trie.save(path)
        expected = len(trie)
        del trie
        gc.collect()
        ctypes.CDLL(None).malloc_trim(0)
        limit_memory(14 * os.path.getsize(path))
        print(json.dumps({"expected": expected, "got": [len(Trie.load(path, mmap=m)) for m in (False, True)]}))
    ''', tmp_path)
    assert result["got"] == [result["expected"]] * 2


@no_asan
@pytest.mark.parametrize("mmap", [False, True])
def test_load_refuses_a_huge_file_from_its_header(tmp_path, mmap):
    """A file that is not an image, or not of the size its header gives, is
    refused before the rest of it is read or mapped: a GiB of zeros (sparse,
    so it costs no disk) in 64 MB of address space."""
    result = run_child('''
        path = sys.argv[1] + "/t.img"
        Trie().save(path)
        with open(path, "rb") as f:
            image = f.read()
        out = []
        for data in [b"", image]:
            with open(path, "wb") as f:
                f.write(data)
                f.truncate(1 << 30)
            limit_memory(64 << 20)
            try:
                Trie.load(path, mmap=sys.argv[2] == "True")
            except (ValueError, MemoryError) as error:
                out.append(repr(error))
            limit_memory(None)
        print(json.dumps({"out": out, "image": len(image)}))
    ''', tmp_path, mmap)
    assert result["out"] == [repr(ValueError("Invalid lexicon image: not a lexicon image (bad magic)")),
                             repr(ValueError(f"Invalid lexicon image: size {1 << 30} but the header says "
                                             f"{result['image']}"))]


# A FIFO with no writer blocks load()'s opening, as it blocks add_from_file's.
CALLS = {"add_from_file": "lex.add_from_file(path)", "load": "lex = type(lex).load(path)"}


def no_terminal():
    """Why no terminal can be opened here (a bare build root may have no
    pseudo-terminal device), or None."""
    try:
        main, tty = os.openpty()
    except OSError as exc:
        return f"no pseudo-terminal: {exc}"
    try:
        os.ttyname(tty)
    except OSError as exc:
        return f"the pseudo-terminal has no name: {exc}"
    finally:
        os.close(main)
        os.close(tty)
    return None


@pytest.mark.parametrize("source, call", [(source, "add_from_file") for source in SOURCES] +
                         [("fifo-without-writer", "load")])
def test_ctrl_c_stops_add_from_file(lexicon_class, source, call, tmp_path):
    if source == "tty" and (reason := no_terminal()):
        pytest.skip(reason)
    setup, words_arrive = SOURCES[source]
    result = run_child(setup + textwrap.dedent('''
        lex = {"Trie": Trie, "DAWG": DAWG}[sys.argv[1]]()
        lex.add("zebra")
        before = state(lex)
        # Ctrl-C in 0.3 s, from the kernel: a thread could not run while
        # the call holds the interpreter.
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        start = time.monotonic()
        try:
            CALL
            raised = None
        except KeyboardInterrupt:
            raised = "KeyboardInterrupt"
        seconds = time.monotonic() - start
        after = state(lex)
        lex.add("zoo")
        print(json.dumps({"raised": raised, "seconds": seconds, "before": before, "after": after,
                          "usable": "zoo" in lex}))
    ''').replace("CALL", CALLS[call]), lexicon_class.__name__, tmp_path)
    assert result["raised"] == "KeyboardInterrupt"
    assert result["seconds"] < 3
    assert result["usable"]
    if lexicon_class.__name__ == "DAWG" or words_arrive is False:
        assert result["after"] == result["before"]
    elif words_arrive:
        # The Trie keeps the words read before the interruption.
        assert result["after"]["words"] == ["alpha", "beta", "zebra"]


@no_asan
def test_an_endless_line_ends_in_memory_error(lexicon_class):
    result = run_child('''
        lex = {"Trie": Trie, "DAWG": DAWG}[sys.argv[1]]()
        lex.add("a")
        before = state(lex)
        limit_memory(400 << 20)
        try:
            lex.add_from_file("/dev/zero")
            raised = None
        except MemoryError:
            raised = "MemoryError"
        limit_memory(None)
        print(json.dumps({"raised": raised, "same": state(lex) == before}))
    ''', lexicon_class.__name__)
    assert result == {"raised": "MemoryError", "same": True}


# A word whose 30 million new nodes cannot fit in the limit. Added one node
# at a time it would leave a path of "b"s behind that no word ends.
HUGE_ADDS = {
    "trie-add": ("Trie", "lex.add('a')", "lex.add(word)", "lex.add('c')"),
    "dawg-add": ("DAWG", "lex.add('a')", "lex.add(word)", "lex.add('c'); lex.reduce()"),
    "dawg-add-all": ("DAWG", "lex.add_all(['a'])", "lex.add_all([word, 'c'])", "lex.add_all([word[:5], 'c'])"),
}


@no_asan
@pytest.mark.parametrize("case", HUGE_ADDS)
def test_memory_error_while_adding_changes_nothing(case):
    class_name, setup, failing, then = HUGE_ADDS[case]
    result = run_child(f'''
        lex = {class_name}()
        {setup}
        before = state(lex)
        word = "b" * 30_000_000
        limit_memory(300 << 20)
        try:
            {failing}
            raised = None
        except MemoryError:
            raised = "MemoryError"
        limit_memory(None)
        after = state(lex)
        dangling = lex.contains_prefix("bbb")
        {then}
        fresh = {class_name}()
        {setup.replace("lex", "fresh")}
        {then.replace("lex", "fresh")}
        print(json.dumps({{"raised": raised, "same": after == before, "dangling": dangling,
                          "then": state(lex) == state(fresh)}}))
    ''')
    assert result == {"raised": "MemoryError", "same": True, "dangling": False, "then": True}


@no_asan
def test_reduced_dawg_keeps_no_scratch():
    # One word of 3M letters: every node is its own registry entry, and the
    # Trie holds the same nodes without one.
    result = run_child('''
        word = "a" * 3_000_000
        grown = {}
        for name in ("Trie", "DAWG"):
            before = status("VmRSS")
            lex = {"Trie": Trie, "DAWG": DAWG}[name]()
            lex.add(word)
            if name == "DAWG":
                lex.reduce()
            grown[name] = status("VmRSS") - before
            del lex
        print(json.dumps(grown))
    ''')
    assert result["DAWG"] < 2.5 * result["Trie"], result


# A DAWG before a bulk insertion: new, with words not reduced yet, reduced.
BULK_SETUPS = {"new": "", "unreduced": "lex.add('a'); lex.add('ab')",
               "reduced": "lex.add('a'); lex.add('ab'); lex.reduce()"}


@no_asan
@pytest.mark.slow  # 15 bulk insertions of 200,000 words and their retries, each setup
@pytest.mark.parametrize("setup", BULK_SETUPS)
def test_memory_error_in_add_all_changes_nothing(setup):
    # Limits swept from well below what the words need to above it: some
    # fail before the first word, most halfway (edge blocks, registry),
    # and each failure must leave the DAWG as it was, and the same call
    # must then work.
    result = run_child(f'''
        words = ["w%x" % (i * 2654435761 % 2**32) for i in range(200_000)]
        def made():
            lex = DAWG()
            {BULK_SETUPS[setup]}
            return lex
        def shown(lex):
            return [repr(lex), len(lex), lex.search("*", with_count=True)]
        def filled(lex):  # the call, then a later one
            lex.add_all(words)
            first = shown(lex)
            lex.add("x")
            lex.reduce()
            return [first, shown(lex)]
        grown = status("VmSize")
        expected = filled(made())
        grown = status("VmSize") - grown
        failures, kept, retried = 0, True, True
        for step in range(1, 16):
            lex = made()
            before = shown(lex)
            limit_memory(grown * step // 12)
            try:
                lex.add_all(words)
            except MemoryError:
                limit_memory(None)
                failures += 1
                kept = kept and shown(lex) == before
                retried = retried and filled(lex) == expected
            limit_memory(None)
        print(json.dumps({{"failures": failures >= 3, "kept": kept, "retried": retried}}))
    ''', timeout=120)
    assert result == {"failures": True, "kept": True, "retried": True}


# While the membership index of a compact lexicon is built off the query
# path (its thread named sorvan-build): a change, a pickle, freeing the
# lexicon or a fork. The answers are always the lexicon's as it is, and
# nothing hangs or crashes; the forked child builds its own.
DURING_A_BUILD = {
    "change": """
        lex.add("zz"); lex.compact(); lex.batch_contains(words * 4)
        ok = "zz" in lex and all(lex.batch_contains(words)) and "zzz" not in lex
    """,
    "pickle": """
        again = pickle.loads(pickle.dumps(lex))
        ok = all(again.batch_contains(words)) and sorted(again) == sorted(words)
    """,
    "free": """
        del lex
        ok = True
    """,
    "fork": """
        pid = os.fork()
        if pid == 0:
            good = all(lex.batch_contains(words)) and lex.suggest(words[0][:-1], 1) == [(words[0], 1)]
            lex.prepare()
            os._exit(0 if good and all(lex.batch_contains(words)) else 1)
        ok = os.waitpid(pid, 0)[1] == 0
    """,
}


@no_asan
@pytest.mark.parametrize("case", DURING_A_BUILD)
def test_a_build_off_the_query_path_never_answers_for_another_state(case):
    result = run_child(textwrap.dedent('''
        import gc, glob, pickle, random, string
        def builders():
            return sum(open(p).read().strip() == "sorvan-build" for p in glob.glob("/proc/self/task/*/comm"))
        rng = random.Random(11)
        words = ["".join(rng.choices(string.ascii_lowercase, k=40)) for _ in range(20_000)]
        lex = Trie(); lex.add_all(words); lex.compact()
        lex.batch_contains(words * 4)  # as many bytes as the image: the index is worth it
        building = builders() == 1
    ''') + textwrap.dedent(DURING_A_BUILD[case]) + textwrap.dedent('''
        gc.collect()
        print(json.dumps({"building": building, "ok": ok}))
    '''))
    assert result == {"building": True, "ok": True}


# Memory running out: a build off the query path gives up (queries go on
# without it), prepare() raises MemoryError, and both work once there is
# memory again.
@no_asan
@pytest.mark.parametrize("class_name", ["Trie", "DAWG"])
def test_memory_running_out_in_a_build_leaves_the_queries_going(class_name):
    result = run_child(f'''
        import random, string
        rng = random.Random(11)
        words = sorted("".join(rng.choices(string.ascii_lowercase, k=40)) for _ in range(20_000))
        lex = {class_name}(); lex.add_all(words); lex.compact()
        probe = words * 4
        limit_memory(10 << 20)  # a thread's stack, not an index or the reversed words
        for word in probe:
            word in lex
        for word in words[:300]:
            lex.suggest(word[:-1], 1)
        try:
            lex.prepare()
            raised = None
        except MemoryError:
            raised = "MemoryError"
        ok = all(word in lex for word in words) and lex.suggest(words[7][:-1], 1) == [(words[7], 1)]
        limit_memory(None)
        lex.prepare()
        print(json.dumps({{"raised": raised, "ok": ok and all(lex.batch_contains(words))}}))
    ''')
    assert result == {"raised": "MemoryError", "ok": True}


@pytest.mark.parametrize("kind", ["keys", "items"])
@pytest.mark.parametrize("compact", [False, True])
def test_memory_error_while_iterating_skips_no_word(lexicon_class, kind, compact, request):
    # An iterator makes its items in batches: an allocation that fails
    # inside one (the first item, or one further on) loses no word and
    # repeats none; the next call makes that item again.
    testcapi = pytest.importorskip("_testcapi")
    lexicon = lexicon_class()
    lexicon.add_all([f"w{i:03}" for i in range(300)])
    if compact:
        lexicon.compact()
    expected = list(getattr(lexicon, kind)())
    errors = 0
    # No collection runs meanwhile: its callbacks would take the failure.
    gc.disable()
    request.addfinalizer(gc.enable)
    for nth in (0, 1, 5, 63, 64, 100):
        iterator, found, fail = iter(getattr(lexicon, kind)()), [], True
        while True:
            if fail:
                testcapi.set_nomemory(nth, nth + 1)
            try:
                item = next(iterator)
            except MemoryError:
                errors, fail = errors + 1, False  # the call again, with memory
                continue
            except StopIteration:
                break
            finally:
                testcapi.remove_mem_hooks()
            found.append(item)
            fail = True
        assert found == expected, nth
    # A failure at a batch's first item reaches the caller (later ones only
    # shorten the batch): the failures did happen.
    assert errors > 0


# A signal handler that calls the lexicon back while a build of a helper
# polls for signals on the same thread: the inner prepare() cannot wait for
# a build its own thread is in, so it raises RuntimeError at once, and the
# outer call goes on to its end. Each round drops the helpers (a change and
# compact()) and calls again, until a handler has met a build.
@pytest.mark.parametrize("outer", ["prepare", "complete"])
def test_a_handler_that_calls_back_during_a_build_never_waits_for_itself(outer):
    result = run_child(f'''
        import random, string
        rng = random.Random(11)
        words = ["".join(rng.choices(string.ascii_lowercase, k=12)) for _ in range(60_000)]
        lex = Trie()
        for i, word in enumerate(words):
            lex.add(word, i % 7 + 1)  # counts differ: complete() builds the maxima at once
        outcomes = set()

        def call_back(signum, frame):
            try:
                lex.prepare()
                outcomes.add("built")
            except RuntimeError as error:
                outcomes.add(str(error))

        signal.signal(signal.SIGALRM, call_back)
        for round in range(100):
            lex.add("zz" + "z" * round)
            lex.compact()
            signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
            answer = lex.prepare() if "{outer}" == "prepare" else lex.complete("", 3, with_count=True)
            signal.setitimer(signal.ITIMER_REAL, 0)
            if "Already borrowed" in outcomes:
                break
        counts = [c for _, c in lex.complete("", 3, with_count=True)]
        print(json.dumps({{"outcomes": sorted(outcomes), "answer": answer if answer is None else
                          [c for _, c in answer], "counts": counts, "ok": lex.search("zz*") != []}}))
    ''', timeout=120)
    assert "Already borrowed" in result["outcomes"]
    assert set(result["outcomes"]) <= {"Already borrowed", "built"}
    assert result["counts"] == [7, 7, 7] and result["ok"]
    assert result["answer"] in (None, [7, 7, 7])


# A build off the query path runs 10 nice levels below the thread that
# started it (19 at most), whatever that thread's own priority.
@pytest.mark.parametrize("caller, build", [(5, 15), (15, 19)])
def test_a_build_runs_below_its_caller(caller, build):
    result = run_child(f'''
        import glob, random, string
        rng = random.Random(11)
        words = ["".join(rng.choices(string.ascii_lowercase, k=40)) for _ in range(20_000)]
        lex = Trie(); lex.add_all(words); lex.compact()
        os.nice({caller})  # only now: on a busy machine the set-up would crawl
        lex.batch_contains(words * 4)  # as many bytes as the image: the index is worth it
        nices = set()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not nices - {{{caller}}}:
            for task in glob.glob("/proc/self/task/*"):
                try:
                    with open(task + "/comm") as comm, open(task + "/stat") as stat:
                        if comm.read().strip() == "sorvan-build":
                            nices.add(int(stat.read().rsplit(")", 1)[1].split()[16]))
                except OSError:
                    pass  # the thread ended meanwhile
        print(json.dumps(sorted(nices - {{{caller}}})))
    ''', timeout=120)
    assert result == [build]
