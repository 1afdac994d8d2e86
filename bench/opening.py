"""How quickly a worker that maps a saved lexicon answers: the time to open
the file against reading it once, the share of its pages the open touches,
the first 2,000 queries against the same queries again, and the private
memory each extra process pays for the mapped image and its queries (with
the helpers its queries build for themselves), beside
marisa-trie and ducer (the Rust fst crate) on the same keys.

Run with ``./dev bench --opening [--keys N] [--json F]``. The keys are the
scale bench's word bigrams (build/scale/); each figure comes from a fresh
interpreter, with the file in the page cache (read once before).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
CALLS = 2_000

GOALS = {
    # load(mmap=True) against open(path, 'rb').read(), and the share of the
    # image's pages it touches.
    "open_vs_read": 1.0,
    "pages_touched": 0.1,
    # The first 2,000 calls of a fresh process against the same calls again.
    "first_calls_vs_again": 1.5,
    # Private bytes a key of an extra process that maps and queries.
    "private_bytes_per_key": 1.0,
}

# Run in a fresh interpreter: `OPEN` opens `path` into `lex`, `QUERY(lex, w)`
# is one query; prints the figures as JSON.
PROBE = textwrap.dedent("""
    import json, sys, time
    path, keys_path, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])

    def mapped():  # the resident bytes of the mapping of `path`: the pages read
        rss, inside = 0, False
        with open("/proc/self/smaps") as f:
            for line in f:
                head = line.split()
                if "-" in head[0] and len(head) >= 5:  # a mapping's first line
                    inside = head[-1] == path
                elif inside and head[0] == "Rss:":
                    rss += int(head[1]) * 1024
        return rss

    def private():
        with open("/proc/self/smaps_rollup") as f:
            return sum(int(line.split()[1]) * 1024 for line in f
                       if line.startswith(("Private_Clean:", "Private_Dirty:")))

    with open(keys_path, encoding="utf-8") as f:
        probes = [next(f).rstrip("\\n") for _ in range(calls)]
    words = [w[:-1] + "x" for w in probes]
    prefixes = [w[: max(1, len(w) // 2)] for w in probes]
    SETUP
    start = time.perf_counter()
    data = open(path, "rb").read()
    read_s = time.perf_counter() - start
    del data
    mine = private()
    start = time.perf_counter()
    OPEN
    open_s = time.perf_counter() - start
    touched = mapped()

    def run():
        start = time.perf_counter()
        for w, p in zip(words, prefixes):
            QUERY
        return time.perf_counter() - start

    first = run()
    again = run()
    print(json.dumps({"read_s": read_s, "open_s": open_s, "touched": touched, "first_s": first,
                      "again_s": again, "private": private() - mine}))
""")

PEERS = {
    "sorvan Trie": {
        "setup": "import sorvan",
        "open": "lex = sorvan.Trie.load(path, mmap=True)",
        "query": "lex.suggest(w, 2, limit=5); lex.complete(p, 10)",
        "save": "import sorvan; t = sorvan.Trie(); t.add_from_file(keys); t.compact(); t.save(out)",
    },
    "marisa-trie": {
        "setup": "import itertools, marisa_trie",
        "open": "lex = marisa_trie.Trie(); lex.mmap(path)",
        "query": "w in lex; list(itertools.islice(lex.iterkeys(p), 10))",
        "save": "import marisa_trie; marisa_trie.Trie(l.rstrip('\\n') for l in open(keys, encoding='utf-8'))"
                ".save(out)",
    },
    "ducer Map": {
        "setup": "import ducer, itertools, mmap",
        "open": "f = open(path, 'rb'); lex = ducer.Map(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))",
        "query": "lex.get(w.encode()); list(itertools.islice(lex.starts_with(p.encode()), 10))",
        "save": "import ducer; ks = sorted(set(l.rstrip('\\n').encode() for l in open(keys, encoding='utf-8')));"
                " ducer.Map.build(out, ((k, 1) for k in ks))",
    },
}


def available(module):
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def measure(name, peer, keys, folder):
    image = os.path.join(folder, name.replace(" ", "-") + ".img")
    if not os.path.exists(image):
        code = f"keys, out = {keys!r}, {image!r}\n" + peer["save"]
        subprocess.run([sys.executable, "-c", code], check=True)
    with open(image, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    code = PROBE.replace("SETUP", peer["setup"]).replace("OPEN", peer["open"]).replace("QUERY", peer["query"])
    out = subprocess.run([sys.executable, "-c", code, image, keys, str(CALLS)], capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1:]}
    figures = json.loads(out.stdout)
    figures["size"] = os.path.getsize(image)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--json")
    parser.add_argument("--folder", help="where the images are kept (default: a temporary folder)")
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    import scale

    keys = scale.key_file(args.keys)
    folder = args.folder or tempfile.mkdtemp()
    modules = {"sorvan Trie": "sorvan", "marisa-trie": "marisa_trie", "ducer Map": "ducer"}
    results = {}
    print(f"{args.keys:,} keys: open against one read of the file, pages touched, the first {CALLS:,} "
          "queries against the same again, private bytes a key")
    for name, peer in PEERS.items():
        if not available(modules[name]):
            print(f"  {name:12} not installed")
            continue
        f = results[name] = measure(name, peer, keys, folder)
        if "error" in f:
            print(f"  {name:12} failed: {f['error']}")
            continue
        f["open_vs_read"] = f["open_s"] / f["read_s"]
        f["pages_touched"] = f["touched"] / f["size"]
        f["first_calls_vs_again"] = f["first_s"] / f["again_s"]
        f["private_bytes_per_key"] = f["private"] / args.keys
        print(f"  {name:12} open {f['open_s'] * 1e3:8.2f} ms = {f['open_vs_read']:6.3f} x read "
              f"({f['read_s'] * 1e3:.1f} ms), touched {f['pages_touched']:6.1%} of {f['size'] / 1e6:.1f} MB, "
              f"first/again {f['first_calls_vs_again']:5.2f}, private {f['private_bytes_per_key']:5.2f} B/key")
    ours = results.get("sorvan Trie", {})
    for goal, bound in GOALS.items():
        if goal in ours:
            print(f"goal {goal} <= {bound}: {ours[goal]:.3f}, {'met' if ours[goal] <= bound else 'MISSED'}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"keys": args.keys, "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
