#!/usr/bin/env python3
"""Damage a real index thousands of ways and check each comes out whole.

Every variant (bytes flipped, the file cut short, pages spliced from itself
or another index, zeroed pages, another index's write-ahead log beside it)
is run through `find`, `tags`, `index` and `index --rebuild`: each must
answer or fail with lines of its own, never a traceback, and after
--rebuild `find` must give the undamaged answer. The variants and the check
are those of tests/python/index_damage.py, whose test runs a small sample.

Run after a build: PYTHONPATH=build python3 bench/index_damage_fuzz.py [COUNT] [SEED]
(default 3000 variants, seed from the clock, printed for a rerun).
"""
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(SOURCE_DIR / "python"), str(SOURCE_DIR / "tests" / "python")]

from index_damage import Material, check_variant, variant  # noqa: E402


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else time.time_ns() % 2**32
    print(f"{count} variants, seed {seed}")
    import random

    rng = random.Random(seed)
    kinds, failed = Counter(), Counter()
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as workdir:
        material = Material(workdir)
        for number in range(count):
            kind, data, wal = variant(material, rng)
            kinds[kind] += 1
            problems = check_variant(material, data, wal)
            if problems:
                failed[kind] += 1
                print(f"variant {number} ({kind}):")
                for problem in problems:
                    print(f"    {problem}")
    for kind in sorted(kinds):
        print(f"{kind:35} {kinds[kind]:5} variants, {failed[kind]} failed")
    print(f"{sum(failed.values())} of {count} failed in {time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
