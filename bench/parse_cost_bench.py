#!/usr/bin/env python3
"""What hostile and real texts cost to parse, against the parse limits.

Generates short units repeated up to each size (the shapes that once sent
error recovery into quadratic time or memory), parses each in its own
process with bench/parse_cost (built with -DBRIGHTLOOM_BENCHMARKS=ON) and
prints processor seconds, peak resident memory per KB of text and the
outcome. With folders, also parses every source file under them and prints
the largest shares of the work and memory limits any real file used: those
must stay well below 1.

    bench/parse_cost_bench.py [--build build] [--sizes 100000,1048576] [--symbols] [FOLDER...]

--symbols counts the run of the "symbols" rules with each parse, adds texts
in the languages only that command reads, and takes their files from the
folders too.
"""

from __future__ import annotations

import argparse
import os
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


def run_one(parse_cost: Path, path: Path, options: list[str]) -> tuple[float, int, str]:
    """Processor seconds, peak resident KB and outcome of one child parse."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    output = subprocess.run([str(parse_cost), *options, str(path)], capture_output=True, text=True,
                            check=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    seconds = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    outcome = output.splitlines()[1].split("\t")[7]
    return seconds, after.ru_maxrss, outcome


def families(parse_cost: Path, sizes: list[int], options: list[str]) -> None:
    # The peak every text must stay within: 64 MiB plus 64 bytes a byte.
    print(f"{'family':22} {'bytes':>8} {'cpu s':>7} {'peak MB':>8} {'bound MB':>8} {'KB/KB':>6}  outcome")
    with tempfile.TemporaryDirectory() as folder:
        chosen = FAMILIES + (SYMBOLS_FAMILIES if "--symbols" in options else [])
        for name, extension, unit, opening in chosen:
            for size in sizes:
                text = opening + unit * ((size - len(opening)) // len(unit) + 1)
                path = Path(folder) / f"text.{extension}"
                path.write_text(text[:size])
                # Children's peak is the largest of any child so far, so each
                # text runs in a fresh grandchild through a wrapper process.
                seconds, peak_kb, outcome = run_isolated(parse_cost, path, options)
                bound_mb = (64 * 2**20 + 64 * size) / 2**20
                print(f"{name:22} {size:8} {seconds:7.3f} {peak_kb / 1024:8.1f} {bound_mb:8.1f} "
                      f"{peak_kb / (size / 1024):6.1f}  {outcome[:60]}")


def run_isolated(parse_cost: Path, path: Path, options: list[str]) -> tuple[float, int, str]:
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        result = run_one(parse_cost, path, options)
        os.write(write, repr(result).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    return eval(data)  # noqa: S307 - our own child's repr of a tuple


def corpus(parse_cost: Path, folders: list[str], options: list[str]) -> None:
    extensions = SYMBOLS_EXTENSIONS if "--symbols" in options else SOURCE_EXTENSIONS
    files = [str(p) for folder in folders for p in Path(folder).rglob("*")
             if p.suffix[1:].lower() in extensions and p.is_file()]
    rows = []
    for start in range(0, len(files), 500):
        output = subprocess.run([str(parse_cost), *options, *files[start:start + 500]],
                                capture_output=True, text=True, check=True).stdout
        rows += [line.split("\t") for line in output.splitlines()[1:]]
    failed = [row for row in rows if row[7] != "ok"]
    print(f"\ncorpus: {len(rows)} files, {len(failed)} refused")
    for row in failed[:10]:
        print(f"  refused: {row[8]}: {row[7]}")
    for column, title in ((3, "work"), (5, "memory")):
        worst = max(rows, key=lambda row: float(row[column]))
        print(f"  largest share of the {title} limit: {float(worst[column]):.3f} ({worst[8]}, {worst[1]} bytes)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="*")
    parser.add_argument("--build", default="build")
    parser.add_argument("--sizes", default="100000,1048576")
    parser.add_argument("--symbols", action="store_true", help="count the symbols rules' run too")
    args = parser.parse_args()
    parse_cost = Path(args.build) / "bench" / "parse_cost"
    options = ["--symbols"] if args.symbols else []
    families(parse_cost, [int(size) for size in args.sizes.split(",")], options)
    if args.folders:
        corpus(parse_cost, args.folders, options)
    return 0


if __name__ == "__main__":
    sys.exit(main())
