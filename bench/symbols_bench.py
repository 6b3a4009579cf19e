#!/usr/bin/env python3
""""symbols" against "outline" over whole trees: byte identity and cost.

    PYTHONPATH=build python3 bench/symbols_bench.py /tmp/corpus/tokio /tmp/corpus/eslint ...

For every file of the outline languages under each root it checks that the
reply of "symbols" holds the "outline" and "syntax-check" replies for the same
payload byte for byte (without their "ok"), and times one "outline" and one
"symbols" request per file (best of --repeat), printing the ratio of the
summed times per repository, and against "outline" plus "syntax-check", the
two requests "symbols" replaces. Files of the languages "symbols" reads alone are
timed too, with no ratio.
"""
import argparse
import json
import os
import sys
import time

from brightloom_index_native import run

OUTLINE_EXTENSIONS = {"py", "rs", "js", "mjs", "cjs", "jsx", "ts", "mts", "cts", "tsx"}
SKIPPED_FOLDERS = {".git", "node_modules", "target", "dist", ".venv"}


def source_files(root):
    for folder, folders, files in os.walk(root):
        folders[:] = sorted(f for f in folders if f not in SKIPPED_FOLDERS)
        for name in sorted(files):
            if name.rsplit(".", 1)[-1].lower() in OUTLINE_EXTENSIONS:
                yield os.path.join(folder, name)


def best_time(command, payload, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        try:
            run(command, payload)
        except RuntimeError:
            pass
        best = min(best, time.perf_counter() - start)
    return best


def embedded(command, payload):
    return run(command, payload).replace('"ok":true,', "", 1)


def measure(root, repeat):
    outline_time = check_time = symbols_time = 0.0
    files = mismatched = failed = 0
    for path in source_files(root):
        try:
            with open(path, encoding="utf-8") as source:
                payload = json.dumps({"content": source.read(), "path": path})
        except (UnicodeDecodeError, OSError):
            continue
        files += 1
        try:
            reply = run("symbols", payload)
        except RuntimeError:
            failed += 1
            continue
        if ('"outline":' + embedded("outline", payload) not in reply or
                '"check":' + embedded("syntax-check", payload) not in reply):
            mismatched += 1
            print(f"  not identical: {path}")
        outline_time += best_time("outline", payload, repeat)
        check_time += best_time("syntax-check", payload, repeat)
        symbols_time += best_time("symbols", payload, repeat)
    ratio = symbols_time / outline_time if outline_time else float("nan")
    print(f"{os.path.basename(root.rstrip('/'))}: {files} files, {mismatched} not identical, "
          f"{failed} failed; outline {outline_time * 1000:.0f} ms, symbols {symbols_time * 1000:.0f} ms, "
          f"ratio {ratio:.2f}; against outline and syntax-check {symbols_time / (outline_time + check_time):.2f}")
    return mismatched == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="+")
    parser.add_argument("--repeat", type=int, default=3, help="timings per request (best kept)")
    args = parser.parse_args()
    return 0 if all([measure(root, args.repeat) for root in args.roots]) else 1


if __name__ == "__main__":
    sys.exit(main())
