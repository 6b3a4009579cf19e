#!/usr/bin/env python3
"""Random candidate places for the hand-checked reference sample.

    python3 bench/pick_reference_sites.py [--corpus /tmp/corpus] > candidates.tsv

Prints sample rows with the label `?`, to be replaced by hand after reading
each place; rows already in bench/symbols_reference_sample.tsv are left out.
The seed is fixed so the same corpus gives the same places.
"""
import argparse
import os
import random
import re

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "symbols_reference_sample.tsv")
# language, repository, extension, how many call-like places, how many type places
PLAN = [("python", "black", ".py", 75, 0), ("rust", "tokio", ".rs", 55, 20),
        ("javascript", "eslint", ".js", 75, 0), ("typescript", "query", ".ts", 55, 20)]
CALL_LIKE = re.compile(r"\b([A-Za-z_]\w*)\s*\(")
TYPE_LIKE = re.compile(r"(?::|->|<|\bas|\bimpl|\bdyn)\s*&?\s*(?:mut\s+|'\w+\s+)?([A-Z]\w*)\b")
LONGEST_LINE = 300  # minified or generated lines say little about code a person writes


def places(corpus, repository, extension, pattern):
    found = []
    for root, dirs, names in os.walk(os.path.join(corpus, repository)):
        dirs[:] = sorted(d for d in dirs if d not in (".git", "node_modules"))
        for name in sorted(names):
            if not name.endswith(extension):
                continue
            path = os.path.join(root, name)
            relative = os.path.relpath(path, corpus)
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, text in enumerate(source, 1):
                    if len(text) <= LONGEST_LINE:
                        found += [(relative, number, m.start(1) + 1, m.group(1), text.strip())
                                  for m in pattern.finditer(text)]
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default="/tmp/corpus")
    args = parser.parse_args()
    with open(SAMPLE, encoding="utf-8") as sample:
        known = {tuple(line.split("\t")[1:4]) for line in sample if not line.startswith("#")}
    chooser = random.Random(23)
    for language, repository, extension, calls, types in PLAN:
        picked = chooser.sample(places(args.corpus, repository, extension, CALL_LIKE), calls)
        if types:
            picked += chooser.sample(places(args.corpus, repository, extension, TYPE_LIKE), types)
        for path, line, column, name, text in picked:
            if (path, str(line), str(column)) not in known:
                print("\t".join([language, path, str(line), str(column), name, "?", text]))


if __name__ == "__main__":
    main()
