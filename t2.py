import random, time, sorvan
from rapidfuzz.distance import Levenshtein
words = [w.strip() for w in open("/usr/share/dict/american-english-insane", encoding="utf-8") if w.strip()]
t = sorvan.Trie(); t.add_all(words)
rng = random.Random(3)
letters = "abcdefghijklmnopqrstuvwxyz"
def typo(w):
    for _ in range(rng.choice([1,2])):
        i = rng.randrange(len(w)+1); k = rng.choice("isdt")
        if k == "i": w = w[:i]+rng.choice(letters)+w[i:]
        elif k == "s" and i < len(w): w = w[:i]+rng.choice(letters)+w[i+1:]
        elif k == "d" and i < len(w): w = w[:i]+w[i+1:]
        elif k == "t" and i+1 < len(w): w = w[:i]+w[i+1]+w[i]+w[i+2:]
    return w
qs = [typo(rng.choice(words)) for _ in range(200)]
def run(f):
    s = time.perf_counter(); [f(q) for q in qs]; return (time.perf_counter()-s)/len(qs)*1e3
print("suggest", run(lambda q: t.suggest(q, 2, 5)))
print("suggest T", run(lambda q: t.suggest(q, 2, 5, transpositions=True)))
print("suggest d1", run(lambda q: t.suggest(q, 1, 5)))
print("search+rank", run(lambda q: sorted((Levenshtein.distance(q, w), w) for w in t.search_within_distance(q, 2))[:5]))
