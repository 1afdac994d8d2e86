"""A small pure-Python model of the three searches, for differential tests."""


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
    def __init__(self, words=()):
        self.root = {}
        self.counts = {}
        for w in words:
            self.add(w)

    def add(self, word, count=1):
        if not word:
            return
        node = self.root
        for c in word:
            node = node.setdefault(c, {})
        self.counts[word] = self.counts.get(word, 0) + count

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
