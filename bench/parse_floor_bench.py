#!/usr/bin/env python3
"""The whole "outline" and "syntax-check" requests against a stock parse.

For every source file under the given folders, the module is called from
Python with a {"path": ...} payload and timed by the calling thread's
processor time; the floor (bench/parse_floor, built with
-DBRIGHTLOOM_BENCHMARKS=ON) parses the same text, already in memory, with a
fresh parser and the system allocator. Rounds alternate floor and module, all
on one processor; each file keeps its fastest round. Prints the ratio
module / floor per language and size class (under 4 KiB, 4 to 64 KiB, over),
summed over the files of the class.

    bench/parse_floor_bench.py [--build build] [--rounds 5] [--cpu 1] FOLDER...
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

LANGUAGES = {
    "py": "python", "js": "javascript", "jsx": "javascript", "mjs": "javascript", "cjs": "javascript",
    "ts": "typescript", "mts": "typescript", "cts": "typescript", "tsx": "tsx", "rs": "rust",
}
SIZE_CLASSES = ((4096, "<4K"), (65536, "4K-64K"), (float("inf"), ">64K"))


def size_class(size: int) -> str:
    return next(name for limit, name in SIZE_CLASSES if size < limit)


def source_files(folders: list[str]) -> list[Path]:
    files = []
    for folder in folders:
        for path in sorted(Path(folder).rglob("*")):
            if path.suffix[1:].lower() in LANGUAGES and path.is_file():
                files.append(path)
    return files


def floor_round(floor: Path, files: list[Path]) -> dict[str, float]:
    listing = "".join(f"{path}\n" for path in files)
    output = subprocess.run([str(floor), "1"], input=listing, capture_output=True, text=True, check=True).stdout
    times = {}
    for line in output.splitlines():
        seconds, path = line.split("\t", 1)
        times[path] = float(seconds)
    return times


def module_round(run, command: str, files: list[Path]) -> dict[str, float]:
    times = {}
    for path in files:
        payload = json.dumps({"path": str(path)})
        start = time.thread_time()
        try:
            run(command, payload)
        except RuntimeError:
            pass
        times[str(path)] = time.thread_time() - start
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="+")
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cpu", type=int, default=1)
    args = parser.parse_args()

    os.sched_setaffinity(0, {args.cpu})
    sys.path.insert(0, args.build)
    from brightloom_index_native import run  # noqa: E402

    floor = Path(args.build) / "bench" / "parse_floor"
    files = [path for path in source_files(args.folders) if path.stat().st_size > 0]
    # Valid UTF-8 only: the module refuses the rest before parsing.
    files = [path for path in files if _is_utf8(path)]
    best: dict[str, dict[str, float]] = defaultdict(lambda: defaultdict(lambda: float("inf")))
    for _ in range(args.rounds):
        for column, times in (
            ("floor", floor_round(floor, files)),
            ("outline", module_round(run, "outline", files)),
            ("syntax-check", module_round(run, "syntax-check", files)),
        ):
            for path, seconds in times.items():
                best[column][path] = min(best[column][path], seconds)

    sums: dict[tuple[str, str], dict[str, float]] = defaultdict(lambda: defaultdict(float))
    counts: dict[tuple[str, str], int] = defaultdict(int)
    for path in files:
        key = (LANGUAGES[path.suffix[1:].lower()], size_class(path.stat().st_size))
        counts[key] += 1
        for column in ("floor", "outline", "syntax-check"):
            sums[key][column] += best[column][str(path)]
    print(f"{'language':12} {'size':7} {'files':>6} {'floor s':>9} {'outline':>8} {'check':>8}")
    for key in sorted(sums):
        floor_seconds = sums[key]["floor"]
        print(f"{key[0]:12} {key[1]:7} {counts[key]:6} {floor_seconds:9.4f} "
              f"{sums[key]['outline'] / floor_seconds:8.3f} {sums[key]['syntax-check'] / floor_seconds:8.3f}")
    return 0


def _is_utf8(path: Path) -> bool:
    try:
        path.read_bytes().decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


if __name__ == "__main__":
    sys.exit(main())
