#!/usr/bin/env python3
"""Ignore files outside git: cost of the walk, and patterns that stall a
backtracking matcher.

1. Each corpus tree, copied without `.git` and walked as a plain folder:
   the walk's wall time (median of five) against `git ls-files --others
   --exclude-standard` on the same copy made a repository, and whether the
   two lists of files agree.
2. The family `*a*a...*b` against a 200-byte name: processor time of our
   matcher for 3 to 12 stars (target: under 1 ms each; a backtracking
   regular expression takes about 12 times longer per star, over a minute at
   five).

Run after a build: PYTHONPATH=build:python python3 bench/ignore_bench.py
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from brightloom_index.contract import PRUNED_DIRS, grammar_language
from brightloom_index.ignore_rules import decide, parse_ignore_text
from brightloom_index.selection import SelectionRules, select_files

CORPUS = "/tmp/corpus"
ROUNDS = 5


def git_files(root):
    listing = subprocess.run(
        ["git", "-c", "core.excludesFile=/dev/null", "ls-files", "-z", "--others", "--exclude-standard"],
        cwd=root, check=True, capture_output=True,
    ).stdout
    return sorted(os.fsdecode(name) for name in listing.split(b"\0") if name)


def bench_tree(name, scratch):
    copy = os.path.join(scratch, name)
    shutil.copytree(os.path.join(CORPUS, name), copy, ignore=shutil.ignore_patterns(".git"), symlinks=True)
    times = []
    for _ in range(ROUNDS):
        started = time.perf_counter()
        selection = select_files(copy, SelectionRules())
        times.append(time.perf_counter() - started)
    subprocess.run(["git", "init", "-q", copy], check=True)
    # git's list, narrowed as the walk narrows it: grammar files outside the pruned folders.
    git_times = []
    for _ in range(ROUNDS):
        started = time.perf_counter()
        listed = git_files(copy)
        git_times.append(time.perf_counter() - started)
    theirs = [
        path for path in listed
        if grammar_language(path) is not None and not set(path.split("/")[:-1]) & PRUNED_DIRS
    ]
    agree = "agree" if theirs == sorted(selection.paths) else f"DIFFER ({len(selection.paths)} against {len(theirs)})"
    print(f"{name:8} walk {statistics.median(times) * 1000:7.1f} ms  {len(selection.paths):6} files  "
          f"{len(selection.notes)} notes  git ls-files {statistics.median(git_times) * 1000:6.1f} ms, lists {agree}")


def bench_family():
    name = "a" * 200
    for stars in range(3, 13):
        rules = parse_ignore_text(("*a" * stars + "*b\n").encode(), "bench")
        started = time.process_time()
        decide([("", rules.patterns)], name, False)
        print(f"{stars:2} stars: {(time.process_time() - started) * 1000:.3f} ms")


def main():
    with tempfile.TemporaryDirectory() as scratch:
        for name in sorted(os.listdir(CORPUS)):
            bench_tree(name, scratch)
    bench_family()
    return 0


if __name__ == "__main__":
    sys.exit(main())
