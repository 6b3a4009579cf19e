#!/usr/bin/env python3
"""What hostile and real texts cost to parse, against the parse limits.

Generates short units repeated up to each size (the shapes that once sent
error recovery into quadratic time or memory), parses each in its own
process with bench/parse_cost (built with -DBRIGHTLOOM_BENCHMARKS=ON) and
prints processor seconds, peak resident memory per KB of text and the
outcome. With folders, also parses every source file under them and prints
the largest shares of the work and memory limits any real file used: those
must stay well below 1.

With --search N, also tries N short units a grammar, two to six characters
made of the grammar's own keywords and punctuation (sampled with a fixed
seed), each repeated to 64 KiB, and repeats the slowest (lowest work units a
second) to 1 MiB: the limit divided by that rate bounds a parse's time.

With --symbols, every parse is followed by the run of the "symbols" rules,
counted as that command counts it, and texts in the languages only that
command reads are added.

    bench/parse_cost_bench.py [--build build] [--sizes 100000,1048576] [--search N] [--symbols] [FOLDER...]
"""

from __future__ import annotations

import argparse
import itertools
import os
import random
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

# (name, extension, unit, opening)
FAMILIES = [
    ("js equals-one", "js", "=1", ""),
    ("js open comments", "js", "/*\n", ""),
    ("ts open comments", "ts", "/*\n", ""),
    ("tsx open comments", "tsx", "/*\n", ""),
    ("py close-paren one", "py", ")1", ""),
    ("py backslash lines", "py", "\\\n", ""),
    ("rs quote backtick", "rs", '"`', ""),
    ("rs raw strings", "rs", 'r#"', ""),
    ("json pairs", "json", "1 1,", "["),
    ("js let assign", "js", "let=;", ""),
    ("js async assign", "js", "async=;", ""),
    ("ts type assign", "ts", "type=;", ""),
    ("ts declare assign", "ts", "declare=;", ""),
    # A few more of the same kind.
    ("py open strings", "py", "'''\n", ""),
    ("js open templates", "js", "`${", ""),
    ("tsx open tags", "tsx", "<a ", ""),
    ("rs open generics", "rs", "fn f<", ""),
    ("py nested brackets", "py", "[", "x = "),
    # Every unit a fresh entry into error recovery.
    ("ts dot else", "ts", ".else:", ""),
    ("tsx dot in", "tsx", ".in:", ""),
    ("js dot as", "js", ".as:", ""),
    ("rs dot in", "rs", ".in:", ""),
    ("py bar fn", "py", "|fn !", ""),
    ("ts in paren", "ts", "in ).", ""),
]

# The languages "symbols" reads alone, and long runs of comments, which the
# rules' documentation prefixes once made quadratic.
SYMBOLS_FAMILIES = [
    ("js comment runs", "js", "// a\n", ""),
    ("rb comment runs", "rb", "# a\n", ""),
    ("go comment runs", "go", "// a\n", ""),
    ("c open comments", "c", "/*\n", ""),
    ("cpp open templates", "cpp", "template<", ""),
    ("go open raw strings", "go", "`", "package a\nvar x = "),
    ("java open generics", "java", "class A<", ""),
    ("cs open interpolations", "cs", '$"{', ""),
    ("rb open heredocs", "rb", "<<~A\n", ""),
    ("php open blocks", "php", "{", "<?php "),
    ("sh open substitutions", "sh", "$(", ""),
]

SOURCE_EXTENSIONS = {"py", "js", "jsx", "mjs", "cjs", "ts", "mts", "cts", "tsx", "rs", "json"}
SYMBOLS_EXTENSIONS = SOURCE_EXTENSIONS | {"c", "h", "cc", "cpp", "hpp", "go", "java", "cs", "rb", "php", "sh"}

# Options every parse_cost run gets: ["--symbols"] with --symbols.
PARSE_OPTIONS: list[str] = []


def run_one(parse_cost: Path, path: Path) -> tuple[float, int, float, str]:
    """Processor seconds, peak resident KB, share of the memory limit held and
    outcome of one child parse."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    output = subprocess.run([str(parse_cost), *PARSE_OPTIONS, str(path)], capture_output=True, text=True,
                            check=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    seconds = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    row = output.splitlines()[1].split("\t")
    return seconds, after.ru_maxrss, float(row[5]), row[7]


def families(parse_cost: Path, sizes: list[int]) -> None:
    print(f"{'family':22} {'bytes':>8} {'cpu s':>7} {'peak MB':>8} {'mem use':>8} {'KB/KB':>6}  outcome")
    with tempfile.TemporaryDirectory() as folder:
        chosen = FAMILIES + (SYMBOLS_FAMILIES if PARSE_OPTIONS else [])
        for name, extension, unit, opening in chosen:
            for size in sizes:
                text = opening + unit * ((size - len(opening)) // len(unit) + 1)
                path = Path(folder) / f"text.{extension}"
                path.write_text(text[:size])
                # Children's peak is the largest of any child so far, so each
                # text runs in a fresh grandchild through a wrapper process.
                seconds, peak_kb, memory_share, outcome = run_isolated(parse_cost, path)
                print(f"{name:22} {size:8} {seconds:7.3f} {peak_kb / 1024:8.1f} {memory_share:8.2f} "
                      f"{peak_kb / (size / 1024):6.1f}  {outcome[:60]}")


def run_isolated(parse_cost: Path, path: Path) -> tuple[float, int, float, str]:
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        result = run_one(parse_cost, path)
        os.write(write, repr(result).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    return eval(data)  # noqa: S307 - our own child's repr of a tuple


def corpus(parse_cost: Path, folders: list[str]) -> None:
    files = [str(p) for folder in folders for p in Path(folder).rglob("*")
             if p.suffix[1:].lower() in (SYMBOLS_EXTENSIONS if PARSE_OPTIONS else SOURCE_EXTENSIONS) and p.is_file()]
    rows = []
    for start in range(0, len(files), 500):
        output = subprocess.run([str(parse_cost), *PARSE_OPTIONS, *files[start:start + 500]],
                                capture_output=True, text=True, check=True).stdout
        rows += [line.split("\t") for line in output.splitlines()[1:]]
    failed = [row for row in rows if row[7] != "ok"]
    print(f"\ncorpus: {len(rows)} files, {len(failed)} refused")
    for row in failed[:10]:
        print(f"  refused: {row[8]}: {row[7]}")
    for column, title in ((3, "work"), (5, "memory")):
        worst = max(rows, key=lambda row: float(row[column]))
        share = float(worst[column])
        margin = f"{1 / share:.1f} times" if share else "unbounded"
        print(f"  largest share of the {title} limit: {share:.3f}, a margin of {margin} "
              f"({worst[8]}, {worst[1]} bytes)")


def units_of(tokens: list[str], count: int, seed: int) -> list[str]:
    """Up to `count` distinct units of two to six characters, joined from one
    to three tokens with or without a space between them."""
    short = [token for token in tokens if 0 < len(token) <= 6 and token.isprintable()]
    candidates = set()
    for width in (1, 2, 3):
        for parts in itertools.product(short, repeat=width) if width < 3 else ():
            for joiner in ("", " "):
                unit = joiner.join(parts)
                if 2 <= len(unit) <= 6:
                    candidates.add(unit)
    ordered = sorted(candidates)
    chooser = random.Random(seed)
    # Three-token units are too many to list: draw them.
    for _ in range(count * 4):
        unit = chooser.choice(["", " "]).join(chooser.choice(short) for _ in range(3))
        if 2 <= len(unit) <= 6:
            ordered.append(unit)
    chooser.shuffle(ordered)
    return list(dict.fromkeys(ordered))[:count]


def cost_rows(parse_cost: Path, language: str, paths: list[str]) -> list[list[str]]:
    output = subprocess.run([str(parse_cost), *PARSE_OPTIONS, "--language", language, *paths],
                            capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in output.splitlines()[1:]]


def search(parse_cost: Path, per_grammar: int, keep: int = 12) -> None:
    grammars = subprocess.run([str(parse_cost), "--grammars"], capture_output=True, text=True,
                              check=True).stdout.split()
    found = []  # (rate, language, unit, seconds)
    with tempfile.TemporaryDirectory() as folder:
        for language in grammars:
            tokens = subprocess.run([str(parse_cost), "--tokens", language], capture_output=True,
                                    text=True, check=True).stdout.splitlines()
            units = units_of(tokens, per_grammar, seed=len(language))
            paths = []
            for number, unit in enumerate(units):
                path = Path(folder) / f"{language}-{number}"
                path.write_text((unit * (65536 // len(unit) + 1))[:65536])
                paths.append(str(path))
            for start in range(0, len(paths), 200):
                for row, unit in zip(cost_rows(parse_cost, language, paths[start:start + 200]),
                                     units[start:start + 200]):
                    seconds = max(float(row[6]), 1e-6)
                    found.append((int(row[2]) / seconds, language, unit, seconds))
        found.sort()
        print(f"\nsearch: {len(found)} units over {len(grammars)} grammars; slowest at 1 MiB:")
        print(f"{'language':12} {'unit':12} {'rate M/s':>9} {'cpu s':>7} {'limit s':>8}  outcome")
        for _, language, unit, _ in found[:keep]:
            path = Path(folder) / "big"
            path.write_text((unit * (2**20 // len(unit) + 1))[:2**20])
            row = cost_rows(parse_cost, language, [str(path)])[0]
            seconds = float(row[6])
            rate = int(row[2]) / max(seconds, 1e-6)
            limit_seconds = int(row[2]) / float(row[3]) / rate if float(row[3]) else 0.0
            print(f"{language:12} {unit!r:12} {rate / 1e6:9.1f} {seconds:7.3f} {limit_seconds:8.2f}  {row[7][:50]}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="*")
    parser.add_argument("--build", default="build")
    parser.add_argument("--sizes", default="100000,1048576")
    parser.add_argument("--search", type=int, default=0, metavar="N")
    parser.add_argument("--symbols", action="store_true", help="count the symbols rules' run with each parse")
    args = parser.parse_args()
    if args.symbols:
        PARSE_OPTIONS.append("--symbols")
    parse_cost = Path(args.build) / "bench" / "parse_cost"
    families(parse_cost, [int(size) for size in args.sizes.split(",")])
    if args.search:
        search(parse_cost, args.search)
    if args.folders:
        corpus(parse_cost, args.folders)
    return 0


if __name__ == "__main__":
    sys.exit(main())
