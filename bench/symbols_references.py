#!/usr/bin/env python3
"""References found at a hand-checked sample of call sites in the corpus.

    PYTHONPATH=build python3 bench/symbols_references.py [--corpus /tmp/corpus]

bench/symbols_reference_sample.tsv lists 400 places, 100 per language, in
the benchmark corpus, each checked by hand once. The first 25 of each
language are places where a name is followed by `(` (picked at random, seed
17); the other 75 were picked by bench/pick_reference_sites.py (seed 23):
more such places, and for Rust and TypeScript 20 names after a type
annotation's `:`, `->`, `<`, `as`, `impl` or `dyn`. Labels: `call` or `new`
where the code calls there, `type` where it names a type, `import` where a
`use` brings the name in, `def` where it defines the name, `comment` or
`string` where the text is not code, `attr` for a predicate inside a Rust
attribute, `pattern` in a Rust pattern, `keyword` for a keyword before `(`,
`name` for any other name (a constant, a namespace). Calls inside a Rust
macro's arguments are calls. A call, new, type or import site counts as
found when "symbols" reports a reference of that name at that line and
column; a `name` may be reported or not; nothing may be reported at the
others.
"""
import argparse
import collections
import json
import os
import sys

from brightloom_index_native import run

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "symbols_reference_sample.tsv")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default="/tmp/corpus")
    args = parser.parse_args()
    replies = {}
    found = collections.Counter()
    expected = collections.Counter()
    false_references = []
    misses = []
    for line in open(SAMPLE, encoding="utf-8"):
        if line.startswith("#"):
            continue
        language, path, line_number, column, name, label, text = line.rstrip("\n").split("\t")
        if path not in replies:
            replies[path] = json.loads(run("symbols", json.dumps({"path": os.path.join(args.corpus, path)})))
        hit = any(r["name"] == name and r["line"] == int(line_number) and r["column"] == int(column)
                  for r in replies[path]["references"])
        if label in ("call", "new", "type", "import"):
            expected[language] += 1
            found[language] += hit
            if not hit:
                misses.append(f"{path}:{line_number}:{column} {name}: {text}")
        elif hit and label != "name":
            false_references.append(f"{label} {path}:{line_number}:{column} {name}: {text}")
    for language in expected:
        print(f"{language}: {found[language]} of {expected[language]} sites found")
    total = sum(expected.values())
    print(f"all: {sum(found.values())} of {total} ({100.0 * sum(found.values()) / total:.1f}%); "
          f"{len(false_references)} reported where no reference is")
    for miss in misses:
        print(f"  missed: {miss}")
    for false in false_references:
        print(f"  reported: {false}")
    return 0 if not false_references and sum(found.values()) >= 0.98 * total else 1


if __name__ == "__main__":
    sys.exit(main())
