#!/usr/bin/env python3
"""Speed and memory of the "scan" command.

A tree of 16,000 files in nested folders (about 350 MB, sizes from 100 bytes to
20 MB, mixed line endings, a few pruned folders and unlisted files) is built
under /tmp, read once into the page cache, and scanned with "max_files" above
the file count:
- against the plain stdlib equivalent in one process (os.walk with the same
  pruning and filter, read, decode, normalise, hashlib, count lines):
  target at least 3x faster;
- against the C floor (bench/scan_floor.c: walk, open, read, SHA-256 of the
  raw bytes, close, one thread per processor), run alternately with the
  module, on the generated tree and on source trees of the machine
  (/usr/lib/python3, /usr/include): target within 1.2x, by wall time and by
  processor time, with the spread of the runs as the noise;
- peak resident memory of a process that scans the tree, above one that
  scans an empty folder: target at most 32 MiB + 300 bytes per listed path,
  measured again with one 1 GB file added.
The trees are deleted afterwards.

Run after a build with benchmarks (-DBRIGHTLOOM_BENCHMARKS=ON):
    PYTHONPATH=build python3 bench/scan_bench.py [path/to/scan_floor]
"""
import hashlib
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

FILE_COUNT = 16000
BIG_SIZES = [20_000_000, 19_000_000, 18_000_000, 16_000_000, 15_000_000, 14_000_000,
             12_000_000, 11_000_000, 10_000_000, 9_000_000, 8_000_000, 7_000_000,
             6_000_000, 5_000_000, 4_000_000, 3_000_000, 3_000_000, 2_000_000,
             2_000_000, 1_000_000]
EXTENSIONS = ["py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml"]
PRUNED = {".git", ".venv", "dist", "node_modules", "target"}
HUGE_SIZE = 1 << 30


def text_block(seed, size):
    random.seed(seed)
    words = ["def", "return", "self", "value", "for", "in", "range", "if", "else", "class",
             "λ", "größe", "→", "0x1F", "(", ")", ":", "=", "+", "fn", "let", "mut"]
    endings = ["\n"] * 6 + ["\r\n"] * 3 + ["\r"]
    lines = []
    total = 0
    while total < size:
        line = "    " * random.randrange(4) + " ".join(random.choice(words) for _ in range(random.randrange(3, 12)))
        line += random.choice(endings)
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


def cut_utf8(block, start, length):
    """A slice of `block` that starts and ends on whole characters."""
    end = min(start + length, len(block))
    while start < end and (block[start] & 0xC0) == 0x80:
        start += 1
    while end > start and end < len(block) and (block[end] & 0xC0) == 0x80:
        end -= 1
    return block[start:end]


def folder_names():
    folders = []
    for a in range(8):
        for b in range(8):
            for c in range(6):
                folders.append(f"pkg{a}/mod{b}/part{c}")
        folders.append(f"pkg{a}")
    folders += ["node_modules/lib", "pkg0/.git/objects", "pkg1/target/debug", "dist"]
    return folders


def build_tree(root):
    random.seed(7)
    block = text_block(1, 8 << 20)
    folders = folder_names()
    for folder in folders:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    total = 0
    for i in range(FILE_COUNT):
        folder = folders[i % len(folders)]
        extension = "txt" if i % 20 == 19 else EXTENSIONS[i % len(EXTENSIONS)]
        if i < len(BIG_SIZES):
            size = BIG_SIZES[i]
            folder = folders[(i * 37) % (len(folders) - 4)]
        else:
            size = int(100 * (700 ** random.random()))  # 100 B to 70 KB, log-uniform
        path = os.path.join(root, folder, f"file{i:05d}.{extension}")
        with open(path, "wb") as out:
            written = 0
            while written < size:
                piece = cut_utf8(block, random.randrange(len(block) // 2), size - written)
                out.write(piece)
                written += len(piece)
        total += size
    return total


def warm(root):
    for folder, _, files in os.walk(root):
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                while f.read(1 << 24):
                    pass


def stdlib_scan(root, extensions, max_files):
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in PRUNED]
        for name in files:
            dot = name.rfind(".")
            if dot > 0 and name[dot + 1:] in extensions:
                found.append(os.path.relpath(os.path.join(folder, name), root))
    found.sort()
    entries = []
    for path in found[:max_files]:
        try:
            with open(os.path.join(root, path), "rb") as f:
                text = f.read().decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        normal = text.replace("\r\n", "\n").replace("\r", "\n")
        digest = hashlib.sha256(normal.encode()).hexdigest()
        lines = text.count("\n") + 1 if text else 0
        entries.append({"file_hash": digest, "path": path, "total_lines": lines})
    return entries


CHILD = r"""
import json, sys, time
import brightloom_index_native as native
start = time.perf_counter()
reply = native.run("scan", json.dumps({"root": sys.argv[1], "max_files": 10**9}))
seconds = time.perf_counter() - start
# VmHWM belongs to this program's own memory; ru_maxrss would also count the
# parent's peak from before exec.
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"count": reply.count('"path":'), "seconds": seconds, "peak_kib": peak}))
"""


def child_scan(root):
    out = subprocess.run([sys.executable, "-c", CHILD, root], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


# Trees of the machine compared with the floor, and the extensions to list.
SYSTEM_TREES = [("/usr/lib/python3", ["py"]), ("/usr/include", ["h", "hpp"])]
ROUNDS = 7


def floor_program():
    if len(sys.argv) > 1:
        return sys.argv[1]
    import brightloom_index_native as native
    return os.path.join(os.path.dirname(os.path.abspath(native.__file__)), "bench", "scan_floor")


def spread(values):
    """Median, and the half-width of the middle of the runs as a share of it."""
    ordered = sorted(values)
    median = ordered[len(ordered) // 2]
    low, high = ordered[len(ordered) // 4], ordered[(3 * len(ordered)) // 4]
    return median, (high - low) / 2 / median if median else 0.0


def compare_with_floor(label, root, extensions, floor):
    """Runs the module's scan and the floor one after the other, ROUNDS
    times, so that a busy machine slows both alike; prints median ratios."""
    import brightloom_index_native as native
    payload = json.dumps({"root": root, "max_files": 10**9, "extensions": extensions})
    command = [floor, root] + extensions
    native.run("scan", payload)  # the page cache and the pool
    subprocess.run(command, capture_output=True, check=True)
    module_wall, module_cpu, floor_wall, floor_cpu = [], [], [], []
    count = files = 0
    for _ in range(ROUNDS):
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        reply = native.run("scan", payload)
        module_wall.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_SELF)
        module_cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
        count = reply.count('"path":')
        result = json.loads(subprocess.run(command, capture_output=True, text=True, check=True).stdout)
        floor_wall.append(result["seconds"])
        floor_cpu.append(result["cpu_seconds"])
        files = result["files"]
    (mw, mw_noise), (mc, mc_noise) = spread(module_wall), spread(module_cpu)
    (fw, fw_noise), (fc, fc_noise) = spread(floor_wall), spread(floor_cpu)
    print(f"{label}: module {count} files, floor {files} files; "
          f"wall {mw:.3f} s (±{mw_noise:.0%}) vs floor {fw:.3f} s (±{fw_noise:.0%}): {mw / fw:.2f}x; "
          f"processor {mc:.3f} s (±{mc_noise:.0%}) vs {fc:.3f} s (±{fc_noise:.0%}): {mc / fc:.2f}x "
          f"(target <= 1.2x)")


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def best_of(count, action):
    return min(timed(action) for _ in range(count))


def main():
    import brightloom_index_native as native

    base = tempfile.mkdtemp(prefix="scan-bench-", dir="/tmp")
    try:
        root = os.path.join(base, "tree")
        empty = os.path.join(base, "empty")
        os.makedirs(empty)
        written = build_tree(root)
        warm(root)
        payload = json.dumps({"root": root, "max_files": 10**9})
        walk_payload = json.dumps({"root": root, "max_files": 0})

        reply = json.loads(native.run("scan", payload))
        listed = reply["count"]
        listed_bytes = sum(os.path.getsize(os.path.join(root, e["path"])) for e in reply["entries"])
        module = best_of(3, lambda: native.run("scan", payload))
        walk_only = best_of(3, lambda: native.run("scan", walk_payload))

        stdlib_entries = []
        stdlib = timed(lambda: stdlib_entries.extend(stdlib_scan(root, set(EXTENSIONS), 10**9)))
        assert stdlib_entries == reply["entries"], "stdlib and module disagree"

        workers = len(os.sched_getaffinity(0))
        print(f"tree: {FILE_COUNT} files, {written / 1e6:.0f} MB written; listed {listed} files, "
              f"{listed_bytes / 1e6:.0f} MB; {workers} workers; load average {os.getloadavg()[0]:.1f} "
              f"on {os.cpu_count()} processors")
        print(f"module scan {module:.3f} s (walk alone {walk_only:.3f} s); stdlib {stdlib:.3f} s; "
              f"speed-up {stdlib / module:.2f}x (target >= 3x)")
        floor = floor_program()
        compare_with_floor("generated tree", root, EXTENSIONS, floor)
        for system_root, extensions in SYSTEM_TREES:
            if os.path.isdir(system_root):
                compare_with_floor(system_root, system_root, extensions, floor)

        baseline = min(child_scan(empty)["peak_kib"] for _ in range(3))
        peak = max(child_scan(root)["peak_kib"] for _ in range(2))
        allowed_kib = 32 * 1024 + 300 * listed / 1024

        print(f"peak RSS +{(peak - baseline) / 1024:.1f} MiB above an empty scan "
              f"({baseline / 1024:.1f} MiB); allowed +{allowed_kib / 1024:.1f} MiB")

        huge = os.path.join(root, "pkg3", "huge.py")
        block = text_block(2, 8 << 20)
        block = cut_utf8(block, 0, len(block))
        with open(huge, "wb") as out:
            for _ in range(HUGE_SIZE // len(block) + 1):
                out.write(block)
        warm(os.path.dirname(huge))
        with_huge = max(child_scan(root)["peak_kib"] for _ in range(2))
        allowed_huge_kib = 32 * 1024 + 300 * (listed + 1) / 1024
        print(f"with a 1 GB file: peak RSS +{(with_huge - baseline) / 1024:.1f} MiB; "
              f"allowed +{allowed_huge_kib / 1024:.1f} MiB")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
