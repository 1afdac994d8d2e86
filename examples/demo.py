"""A tour of sorvan on a real word list, or answers to your own queries.

Loads the word list into a Trie and a DAWG with add_from_file, gives its
words the counts of a frequency list (one "word count" a line; by default
symspellpy's English one, where it is installed), so that completion and
suggestions rank the common words first, then either
takes the tour (membership, auto-complete, wildcard search, spelling
suggestions, the words found in a paragraph, and a spell-check of it) or
answers the queries given on the command line. Every answer comes from both lexicons; the demo says so
if they ever disagree.
"""

import argparse
import ctypes
import os
import re
import sys
import textwrap
import time

from sorvan import DAWG, Trie

DEFAULT_WORDS = "/usr/share/dict/american-english-insane"

QUERY_HELP = """\
queries (quote them, so that the shell leaves * and ? alone):
  WORD          is it a word? if not, the closest words
  PREFIX...     auto-complete: the words that start with PREFIX
  PATTERN       wildcard search when it holds * (any run) or ? (one character)
  WORD~N        spelling suggestions up to N edits away, closest first, a
                swap of neighbours counting as one edit (WORD~ means WORD~2)

examples:
  ./dev demo                                  the tour, on the default list
  ./dev demo --words words.txt                the tour, on your own list
  ./dev demo lexicon 'xylo...' 'c?t' 'recieve~2' --limit 5
  ./dev demo --check 'The comittee said teh report will recieve a reply.'
"""

TOUR_WORDS = ["apple", "lexicon", "Lexicon", "xylophone", "Zürich", "definately"]
TOUR_PREFIXES = ["xylo", "lexic", "zyzz"]
TOUR_TYPED = ["xylo", "lexci", "qiuck"]
TOUR_PATTERNS = ["c?t", "qu?ck*", "*ology", "x*z*"]
TOUR_MISSPELLINGS = ["lexikon", "goverment", "questionaire"]
TOUR_PARAGRAPH = (
    "The comittee will discuss the seperate reports at the begining of next "
    "week; it definately occured to us that a second meeting isn't neccessary."
)

def default_frequencies():
    """symspellpy's English frequency list, if it is installed (./dev's build
    root has it, for the benchmarks); None otherwise."""
    try:
        import symspellpy
    except ImportError:
        return None
    path = os.path.join(os.path.dirname(symspellpy.__file__), "frequency_dictionary_en_82_765.txt")
    return path if os.path.exists(path) else None


SUGGESTIONS_SHOWN = 5
SUGGESTION_DISTANCE = 2


# ------------------------------------------------------------- helpers ----


def rss_bytes():
    """The resident set size, after handing freed heap memory back."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass  # not glibc: freed memory may still count
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


def listing(words, limit):
    shown = ", ".join(words[:limit])
    return shown + (", …" if len(words) > limit else "")


class Lexicons:
    """The Trie and the DAWG, asked the same questions side by side."""

    def __init__(self, trie, dawg):
        self.trie, self.dawg = trie, dawg
        self.seconds = {"Trie": 0.0, "DAWG": 0.0}
        self.calls = 0

    def ask(self, question):
        """question(lexicon) on both; returns the Trie's answer."""
        answers = {}
        self.calls += 1
        for name, lexicon in (("Trie", self.trie), ("DAWG", self.dawg)):
            start = time.perf_counter()
            answers[name] = question(lexicon)
            self.seconds[name] += time.perf_counter() - start
        if answers["Trie"] != answers["DAWG"]:
            trie, dawg = (repr(answers[name])[:200] for name in ("Trie", "DAWG"))
            print(f"  !! the Trie and the DAWG disagree: {trie} and {dawg}")
        return answers["Trie"]

    def section(self, title, call):
        """Prints the title, then each answer, then the time each lexicon
        took for the calls made."""
        print(f"\n{title}")
        self.seconds = {"Trie": 0.0, "DAWG": 0.0}
        self.calls = 0
        call()
        times = ", ".join(f"{name} {s * 1e3:.2f} ms" for name, s in self.seconds.items())
        print(f"  ({self.calls} {'call' if self.calls == 1 else 'calls'} each: {times})")


def load(path):
    """Both lexicons from the word file, with what each took."""
    print(f"Loading {path} with add_from_file")
    loaded = []
    for cls in (Trie, DAWG):
        print(f"  {cls.__name__:<5} ...", end=" ", flush=True)
        before = rss_bytes()
        start = time.perf_counter()
        lexicon = cls()
        lexicon.add_from_file(path)
        took = time.perf_counter() - start
        grown = rss_bytes() - before
        words = max(lexicon.get_word_count(), 1)
        print(f"{lexicon!r} in {took:.2f} s, memory +{grown / 2**20:.1f} MiB"
              f" ({grown / words:.0f} bytes a word)")
        loaded.append(lexicon)
    return Lexicons(*loaded)


def read_frequencies(path):
    """{word: count} of a file of "word count" lines."""
    counts = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if len(fields) == 2 and fields[1].isdigit():
                counts[fields[0]] = counts.get(fields[0], 0) + int(fields[1])
    return counts


def add_frequencies(lex, path):
    """Adds to each listed word its count in the frequency file (words the
    list lacks stay out): to the Trie with add, and the DAWG, which takes
    words only in order, is made again from the Trie's items, which come in
    that order."""
    print(f"Counting words as often as {path} does")
    counts = read_frequencies(path)
    start = time.perf_counter()
    for word, count in counts.items():
        if word in lex.trie:
            lex.trie.add(word, count)
    dawg = DAWG()
    for word, count in lex.trie.items():
        dawg.add(word, count)
    dawg.reduce()
    lex.dawg = dawg
    print(f"  {lex.trie!r}, {lex.dawg!r}: {sum(w in lex.trie for w in counts)} of its"
          f" {len(counts)} words are listed ({time.perf_counter() - start:.2f} s)")


# ------------------------------------------------------------ sections ----


def membership(lex, words):
    """`word in lexicon` for each word; an absent word gets suggestions."""
    for word in words:
        found = lex.ask(lambda lexicon: word in lexicon)
        if found:
            count = lex.ask(lambda lexicon: lexicon.search(word, with_count=True))
            print(f"  {word!r:<16} yes (count {count[0][1] if count else 0})")
        else:
            near = lex.ask(lambda lexicon: lexicon.suggest(word, 1, SUGGESTIONS_SHOWN))
            closest = [w for w, _ in near]
            hint = f"; did you mean {', '.join(closest)}?" if closest else ""
            print(f"  {word!r:<16} no{hint}")


def completions(lex, prefixes, limit):
    for prefix in prefixes:
        words = lex.ask(lambda lexicon: lexicon.search_with_prefix(prefix))
        print(f"  {prefix + '...':<16} {len(words):>6}  {listing(words, limit)}")


def search_box(lex, prefixes, limit):
    """What a search box offers as each prefix is typed: complete(prefix),
    then the same forgiving one edit (a swap of neighbours is one)."""
    for prefix in prefixes:
        exact = lex.ask(lambda lexicon: lexicon.complete(prefix, limit))
        near = lex.ask(lambda lexicon: lexicon.complete(prefix, limit, max_distance=1,
                                                        transpositions=True))
        print(f"  {prefix + '...':<16} exact: {', '.join(exact) or '-'}")
        print(f"  {'':<16} ~1:    {', '.join(near) or '-'}")


def wildcards(lex, patterns, limit):
    for pattern in patterns:
        words = lex.ask(lambda lexicon: lexicon.search(pattern))
        print(f"  {pattern:<16} {len(words):>6}  {listing(words, limit)}")


def suggestions(lex, queries):
    """queries: (word, distance) pairs. How many words are within reach,
    and the closest, best first (a swap of neighbours is one edit)."""
    for word, dist in queries:
        near = lex.ask(lambda lexicon: lexicon.suggest(word, dist, None, transpositions=True))
        best = ", ".join(f"{w} ({d})" for w, d in near[:SUGGESTIONS_SHOWN])
        print(f"  {word + '~' + str(dist):<16} {len(near):>6}  {best}")


WORD_RE = re.compile(r"[^\W\d_]+(?:['’][^\W\d_]+)*")


def spell_check(lex, text):
    """Checks every word of text with one batch_contains call (a word at the
    start of a sentence may be capitalised), then finds the three best
    suggestions for the unknown words with one batch_suggest call, a swap
    of neighbours counting as one edit."""
    tokens = WORD_RE.findall(text)
    lowered = [t.lower() for t in tokens]
    known = lex.ask(lambda lexicon: lexicon.batch_contains(tokens + lowered))
    unknown = []
    for i, token in enumerate(lowered):
        if not (known[i] or known[len(tokens) + i]) and token not in unknown:
            unknown.append(token)
    near = lex.ask(lambda lexicon: lexicon.batch_suggest(unknown, SUGGESTION_DISTANCE, 3,
                                                         transpositions=True))

    marked = WORD_RE.sub(lambda m: f"[{m[0]}]" if m[0].lower() in unknown else m[0], text)
    print(textwrap.indent(textwrap.fill(marked, 76), "  | "))
    if not unknown:
        print(f"  all {len(tokens)} words are in the list")
        return
    print(f"  {len(unknown)} of {len(tokens)} words are not in the list (marked [...]);"
          " the closest words:")
    for word, best in zip(unknown, near):
        shown = ", ".join(f"{w} ({d})" for w, d in best)
        print(f"  {word:<16} {shown or '-'}")


def words_in_text(lex, text, limit):
    """Every stored word in the text (overlapping), then the leftmost-longest
    whole words, as a tagger takes them."""
    print(f"  | {text}")
    for name, options in (("overlapping", {}), ("whole-words", {"overlapping": False, "whole_words": True})):
        found = lex.ask(lambda lexicon: lexicon.find_all(text, **options))
        print(f"  {name:<14} {len(found):>4}  {listing([word for _, _, word in found], limit)}")


# --------------------------------------------------------------- modes ----


def tour(lex, limit):
    lex.section("Is it a word?  `word in lexicon`; no case folding",
                lambda: membership(lex, TOUR_WORDS))
    lex.section(f"Auto-complete  search_with_prefix(prefix): how many, the first {limit}",
                lambda: completions(lex, TOUR_PREFIXES, limit))
    lex.section(f"Search box  complete(prefix, {limit}), then with max_distance=1,"
                " transpositions=True (a swap of neighbours is one edit): the most frequent"
                " first, then code point",
                lambda: search_box(lex, TOUR_TYPED, limit))
    lex.section(f"Wildcard search  search(pattern): ? one character, * any run; the first {limit}",
                lambda: wildcards(lex, TOUR_PATTERNS, limit))
    lex.section(
        f"Spelling suggestions  suggest(word, {SUGGESTION_DISTANCE}, None, transpositions=True):"
        " how many, the closest (distance)",
        lambda: suggestions(lex, [(w, SUGGESTION_DISTANCE) for w in TOUR_MISSPELLINGS]))
    lex.section(f"Words in a text  find_all(text), then find_all(text, overlapping=False,"
                f" whole_words=True): how many, the first {limit}",
                lambda: words_in_text(lex, TOUR_PARAGRAPH, limit))
    check_text(lex, TOUR_PARAGRAPH)


def check_text(lex, text):
    lex.section(
        "Spell-check  batch_contains(words), then batch_suggest(unknown,"
        f" {SUGGESTION_DISTANCE}, 3, transpositions=True)", lambda: spell_check(lex, text))


def kind_of(query):
    """The section a command-line query belongs to, and its argument."""
    if match := re.fullmatch(r"(.+)~(\d*)", query):
        return "suggest", (match[1], int(match[2] or SUGGESTION_DISTANCE))
    if query.endswith("...") and len(query) > 3:
        return "complete", query[:-3]
    if "*" in query or "?" in query:
        return "wildcard", query
    return "word", query


def answer(lex, queries, limit):
    """Answers the queries in order, consecutive queries of one kind together."""
    sections = {
        "word": ("Is it a word?", lambda items: membership(lex, items)),
        "complete": ("Auto-complete", lambda items: completions(lex, items, limit)),
        "wildcard": ("Wildcard search", lambda items: wildcards(lex, items, limit)),
        "suggest": ("Spelling suggestions", lambda items: suggestions(lex, items)),
    }
    groups = []
    for query in queries:
        kind, item = kind_of(query)
        if groups and groups[-1][0] == kind:
            groups[-1][1].append(item)
        else:
            groups.append((kind, [item]))
    for kind, items in groups:
        title, show = sections[kind]
        lex.section(title, lambda: show(items))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--"]:  # as in `./dev demo -- --words F`
        argv = argv[1:]
    parser = argparse.ArgumentParser(
        prog="./dev demo", description=__doc__.split("\n\n")[0],
        epilog=QUERY_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("queries", nargs="*", metavar="QUERY",
                        help="what to look up (see below); without queries, the tour")
    parser.add_argument("--words", metavar="PATH", default=DEFAULT_WORDS,
                        help=f"a UTF-8 word file, one word a line (default {DEFAULT_WORDS})")
    parser.add_argument("--limit", metavar="N", type=int, default=8,
                        help="how many words of a long answer to show (default 8)")
    parser.add_argument("--check", metavar="TEXT", help="spell-check TEXT")
    frequencies = default_frequencies()
    parser.add_argument("--frequencies", metavar="PATH", default=frequencies,
                        help="a file of 'word count' lines, which the listed words take"
                             f" their counts from (default {frequencies or 'none'}; 'none':"
                             " every word counts 1)")
    args = parser.parse_args(argv)

    try:
        lex = load(args.words)
    except ValueError as error:
        print("failed", flush=True)
        print(f"cannot load {args.words}: {error}\n(give a word file with --words PATH)",
              file=sys.stderr)
        return 2
    if args.frequencies not in (None, "none"):
        try:
            add_frequencies(lex, args.frequencies)
        except (OSError, UnicodeDecodeError) as error:
            print(f"cannot read {args.frequencies}: {error}", file=sys.stderr)
            return 2
    if args.queries:
        answer(lex, args.queries, args.limit)
    if args.check:
        check_text(lex, args.check)
    if not args.queries and not args.check:
        tour(lex, args.limit)
    return 0


if __name__ == "__main__":
    sys.exit(main())
