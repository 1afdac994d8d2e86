"""Several Python threads on the lexicons at once.

With the interpreter lock, a reader can meet a writer only when the writer
lets other threads run in the middle of its call: here a generator that
add_all consumes, and a count whose conversion sleeps, both yield the lock
with time.sleep(0), and so does the writer between its calls. Readers must
then get RuntimeError, or, between the writer's calls, an answer that is
exactly right for the words added so far. Without the lock the readers
really run beside the writer, which is refused while any of them is inside
a call: it tries again, and the readers hold back meanwhile.
"""

import threading
import time

import pytest

from sorvan import DAWG, Trie

BATCHES = 40
PER_BATCH = 25
READERS = 3


def batch_words(b):
    return [f"w{b:03d}-{i:03d}" for i in range(PER_BATCH)]


def run_threads(*targets):
    failures = []

    def guarded(target):
        try:
            target()
        except BaseException as exc:  # reported below, in the test's thread
            failures.append(exc)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if failures:
        raise failures[0]


@pytest.mark.parametrize("writer_kind", ["add_all", "add"])
def test_readers_beside_a_writer_get_the_truth_or_runtime_error(lexicon_class, writer_kind):
    lexicon = lexicon_class()
    started = completed = 0  # batches begun, and fully added
    done = threading.Event()
    conflicts = []
    answers = 0

    class SlowCount:
        def __index__(self):
            time.sleep(0)
            return 1

    def slowly(words):
        for w in words:
            time.sleep(0)
            yield w

    writer_refused = threading.Event()

    def write(call):
        # A refused call changes nothing: the borrow is taken before any
        # argument is converted or any item drawn.
        for _ in range(2000):
            try:
                call()
                writer_refused.clear()
                return
            except RuntimeError as exc:
                assert str(exc) == "Already borrowed"
                writer_refused.set()
                time.sleep(0.0005)
        pytest.fail("the writer never got in")

    def writer():
        nonlocal started, completed
        try:
            for b in range(BATCHES):
                started = b + 1
                if writer_kind == "add_all":
                    write(lambda: lexicon.add_all(slowly(batch_words(b))))
                else:
                    for w in batch_words(b):
                        write(lambda: lexicon.add(w, SlowCount()))
                        time.sleep(0)  # and between its calls
                completed = b + 1
                time.sleep(0)
        finally:
            done.set()

    def reader(k):
        nonlocal answers
        probes = 0
        while not done.is_set():
            if writer_refused.is_set():
                time.sleep(0.0002)  # let the writer in
                continue
            probes += 1
            b = (probes * 7 + k) % BATCHES
            word = batch_words(b)[probes % PER_BATCH]
            finished = completed
            try:
                present = word in lexicon
                found = lexicon.search_with_prefix("w")
            except RuntimeError as exc:
                conflicts.append(str(exc))
                time.sleep(0)  # let the writer go on
                continue
            begun = started
            # No call of the writer was running at the answer: the batches
            # completed before are all there, those begun after are not.
            if b < finished:
                assert present, (word, finished)
            if b >= begun:
                assert not present, (word, begun)
            assert finished * PER_BATCH <= len(found) <= begun * PER_BATCH
            assert found == sorted(found)
            answers += 1
            time.sleep(0)

    run_threads(writer, *[lambda k=k: reader(k) for k in range(READERS)])
    assert conflicts, "the readers never met the writer"
    assert set(conflicts) == {"Already mutably borrowed"}
    assert answers > 0
    if lexicon_class is DAWG:
        lexicon.reduce()
    assert lexicon.get_word_count() == BATCHES * PER_BATCH
    assert lexicon.search_with_prefix("w") == [w for b in range(BATCHES) for w in batch_words(b)]


def test_writers_beside_a_slow_reader_get_already_borrowed(lexicon_class):
    """A batch call converting a sequence that yields the lock holds the
    shared borrow: writers from other threads are refused meanwhile."""
    lexicon = lexicon_class()
    lexicon.add_all(["apple", "apply"])
    refused = []
    reading = threading.Event()

    class SlowWords:
        def __len__(self):
            return 50

        def __getitem__(self, i):
            if i >= 50:
                raise IndexError
            reading.set()
            time.sleep(0.001)
            return "apple"

    def reader():
        assert lexicon.batch_contains(SlowWords()) == [True] * 50

    def writer():
        reading.wait(10)
        for _ in range(20):
            try:
                lexicon.add("zebra")
            except RuntimeError as exc:
                refused.append(str(exc))
            time.sleep(0.001)

    run_threads(reader, writer)
    assert refused and set(refused) == {"Already borrowed"}
    assert ("zebra" in lexicon) == (len(refused) < 20)


def test_batches_from_many_threads_on_their_own_lexicons():
    lexicons = []
    for k in range(4):
        cls = Trie if k % 2 else DAWG
        words = [f"{k}{i:04d}" for i in range(2000)]
        lexicons.append((cls(), words))
        lexicons[-1][0].add_all(words)
    shared = lexicons[0][0]  # also read by every thread at once

    def work(lexicon, words):
        items = words[::7] + ["x", "", "*"]
        expected = ([True] * len(words[::7]) + [False, True, False],
                    [[w] for w in words[::7]] + [[], [], words])
        for _ in range(15):
            assert lexicon.batch_contains(items) == expected[0]
            assert lexicon.batch_search(items) == expected[1]
            assert lexicon.batch_search_within_distance(items[:50], 0) == [[w] for w in items[:50]]
            assert shared.batch_search_with_prefix(["000"]) == [lexicons[0][1][:100]]

    run_threads(*[lambda lex=lex, ws=ws: work(lex, ws) for lex, ws in lexicons])
