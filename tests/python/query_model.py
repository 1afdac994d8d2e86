"""Pure-Python models of the two lexicons, for differential tests: their
words and counts, len() and repr(), the DAWG's order rule and registry, the
three searches, removal from the trie and the prefixes of a text."""

U64 = 2**64
ORDER = "Words must be inserted in alphabetical order. Previous: '{}', Current: '{}'"


def normalise(pattern):
    out, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if c == "*" or (c == "?" and i + 1 < len(pattern) and pattern[i + 1] == "*"):
            while i < len(pattern) and pattern[i] in "*?":
                i += 1
            out.append("*")
        elif c == "?":
            out.append("?")
            while i < len(pattern) and pattern[i] == "?":
                i += 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


class ModelTrie:
    """The trie: its nodes are the distinct prefixes of its words."""

    name = "Trie"

    def __init__(self, words=()):
        self.root = {}
        self.counts = {}
        self.word_count = 0
        self.nodes = 1
        for w in words:
            self.add(w)

    def add(self, word, count=1):
        if not word:
            return
        node = self.root
        for c in word:
            if c not in node:
                self.nodes += 1
            node = node.setdefault(c, {})
        self.counts[word] = (self.counts.get(word, 0) + count) % U64
        self.word_count = (self.word_count + count) % U64

    def add_all(self, words):
        for w in words:
            self.add(w)

    def update(self, pairs):
        for word, count in pairs:
            self.add(word, count)

    def remove(self, word):
        """The count of `word`, taken out with the nodes no other word uses;
        KeyError when it is not stored (the empty word never is)."""
        if not word or word not in self.counts:
            raise KeyError(word)
        count = self.counts.pop(word)
        self.word_count = (self.word_count - count) % U64
        path = [self.root]
        for c in word:
            path.append(path[-1][c])
        for depth in range(len(word), 0, -1):
            if path[depth] or word[:depth] in self.counts:
                break
            del path[depth - 1][word[depth - 1]]
            self.nodes -= 1
        return count

    def prefixes(self, text):
        """(word, count) of every stored word that begins `text`, shortest first."""
        return [(text[:i], self.counts[text[:i]]) for i in range(1, len(text) + 1) if text[:i] in self.counts]

    def find_all(self, text, overlapping=True, whole_words=False):
        """(start, end, word, count) of every text[i:j] stored, by start then
        end; without overlapping, the longest at the first start that has
        one, then on from its end; whole words: neither neighbour is a letter,
        a digit or '_'."""
        def word_char(i):
            return 0 <= i < len(text) and (text[i].isalnum() or text[i] == "_")

        found = [(i, j, text[i:j], self.counts[text[i:j]])
                 for i in range(len(text)) for j in range(i + 1, len(text) + 1)
                 if text[i:j] in self.counts and not (whole_words and (word_char(i - 1) or word_char(j)))]
        if overlapping:
            return found
        kept = []
        for match in found:
            if kept and match[0] == kept[-1][0]:
                kept[-1] = match
            elif not kept or match[0] >= kept[-1][1]:
                kept.append(match)
        return kept

    def __len__(self):
        return self.nodes

    def __repr__(self):
        return f"{self.name}(words={self.word_count}, nodes={len(self)})"

    def __contains__(self, word):
        return not word or word in self.counts

    def contains_prefix(self, prefix):
        node = self.root
        for c in prefix:
            if c not in node:
                return False
            node = node[c]
        return True

    def _walk(self, node, pattern, i, word, out):
        if i >= len(pattern):
            if word and word in self.counts:
                out.append((word, self.counts[word]))
            return
        p = pattern[i]
        if p == "*":
            self._walk(node, pattern, i + 1, word, out)
            for c in sorted(node):
                self._walk(node[c], pattern, i, word + c, out)
        elif p == "?":
            for c in sorted(node):
                self._walk(node[c], pattern, i + 1, word + c, out)
        elif p in node:
            self._walk(node[p], pattern, i + 1, word + p, out)

    def search(self, pattern):
        out = []
        if pattern:
            self._walk(self.root, normalise(pattern), 0, "", out)
        return out

    def search_with_prefix(self, prefix):
        if not prefix:
            return []
        return sorted((w, c) for w, c in self.counts.items() if w.startswith(prefix))

    def search_within_distance(self, query, dist):
        return sorted((w, c) for w, c in self.counts.items() if levenshtein(w, query) <= dist)


def levenshtein(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        diagonal, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (ca != cb))
    return row[-1]


def osa_distance(a, b):
    """Levenshtein's edits plus the swap of two neighbours, the whole table kept."""
    d = [[i + j if i * j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[-1][-1]


def suggestions(counts, query, max_distance, limit, transpositions=False):
    """(word, distance, count) of every word of `counts` ({word: count})
    within max_distance, sorted by distance, then count downwards, then code
    point; the first `limit` (None: all)."""
    distance = osa_distance if transpositions else levenshtein
    scored = sorted((distance(w, query), -c, w) for w, c in counts.items() if w)
    found = [(w, d, -c) for d, c, w in scored if d <= max_distance]
    return found if limit is None else found[:limit]


def completions(counts, prefix, max_distance, limit, transpositions=False):
    """(word, count) of every word of `counts` that some prefix of (the
    empty one and the word itself included) is within max_distance of
    `prefix`, sorted by the least such distance, then count downwards, then
    code point; the first `limit` (None: all)."""
    distance = osa_distance if transpositions else levenshtein
    scored = sorted((min(distance(prefix, w[:i]) for i in range(len(w) + 1)), -c, w)
                    for w, c in counts.items() if w)
    found = [(w, -c) for d, c, w in scored if d <= max_distance]
    return found if limit is None else found[:limit]


class ModelDawg(ModelTrie):
    """The DAWG: words in ascending UTF-8 order, built as the trie of its
    words while recording every node taken off the stack of unchecked edges
    under its signature; len() is the number of distinct signatures. Node ids
    follow creation order, as in the lexicon, so signatures compare exactly."""

    name = "DAWG"

    def __init__(self):
        super().__init__()
        self.previous = ""
        self.graph = [["\0", 0, False, {}]]  # per node: letter, count, is_end, children
        self.unchecked = []  # (node, depth) of each unchecked edge's lower end
        self.registry = set()
        self.last = 0

    def add(self, word, count=1):
        if word.encode() < self.previous.encode():
            raise ValueError(ORDER.format(self.previous, word))
        if word != self.previous:
            k = 0
            while k < min(len(word), len(self.previous)) and word[k] == self.previous[k]:
                k += 1
            self._reduce(k)
            if self.unchecked and self.unchecked[-1][1] == k:
                at = self.unchecked[-1][0]
            else:  # recorded already (after a full reduction): walk to it
                at = 0
                for c in word[:k]:
                    at = self.graph[at][3][c]
            for depth, c in enumerate(word[k:], k + 1):
                self.graph.append([c, 0, False, {}])
                self.graph[at][3][c] = len(self.graph) - 1
                at = len(self.graph) - 1
                self.unchecked.append((at, depth))
            self.graph[at][2] = True
            self.last = at
        self.graph[self.last][1] = (self.graph[self.last][1] + count) % U64
        self.previous = word
        if word:
            super().add(word, count)
        else:
            self.word_count = (self.word_count + count) % U64

    def add_all(self, words):
        """Sorted, added, then fully reduced; only the first word can fail."""
        self.update((w, 1) for w in words)

    def update(self, pairs):
        """Sorted, added with their counts, then fully reduced, as add_all."""
        for word, count in sorted(pairs, key=lambda pair: pair[0].encode()):
            self.add(word, count)
        self.reduce()

    def reduce(self):
        self._reduce(0)

    def _reduce(self, down_to):
        while self.unchecked and self.unchecked[-1][1] > down_to:
            node = self.graph[self.unchecked.pop()[0]]
            children = "".join(f"{c}{i}" for c, i in sorted(node[3].items()))
            self.registry.add(f"{node[0]}{node[1]}{int(node[2])}{children}")

    def __len__(self):
        return len(self.registry)
