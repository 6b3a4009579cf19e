#!/usr/bin/env python3
"""`watch` measured: save-to-index latency, a large checkout, memory over time.

latency  (default) A copy of TREE (default: eslint from /tmp/corpus) is
         watched; EDITS times a source file gets a new function appended
         and the time until the index holds it is taken, polling SQLite
         every 2 ms, as a `find` would read it. Prints p50, p95 and the
         worst (target: p95 at most 300 ms), then a `find` for scale.
checkout A clone of the eslint mirror is watched while `git checkout`
         switches at least 1,000 source files; prints how many refreshes
         followed (target: one).
soak     Edits a file every 50 ms for SECONDS (default 600), sampling the
         watcher's resident memory every 10 s; prints the samples and the
         growth from the first minute to the end. Stops by itself.

    PYTHONPATH=build python3 bench/watch_bench.py latency|checkout|soak [options]
"""
import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1] / "python"
PYTHON = "/usr/bin/python3"
ESLINT_MIRROR = Path("/work/.mirror/eslint+eslint/repo")


def environment():
    env = {key: value for key, value in os.environ.items() if key != "PYTHONDONTWRITEBYTECODE"}
    paths = [str(SOURCE)] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


class Watcher:
    def __init__(self, root, work):
        self.log = work / "watch.log"
        self.handle = open(self.log, "w")
        self.process = subprocess.Popen([PYTHON, "-m", "brightloom_index", "watch", str(root)],
                                        stdout=self.handle, stderr=subprocess.STDOUT, env=environment())
        self.wait_for_lines(1, timeout=600)

    def lines(self):
        return self.log.read_text().splitlines()

    def wait_for_lines(self, count, timeout):
        deadline = time.monotonic() + timeout
        while len(self.lines()) < count:
            if self.process.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"watch stopped or stalled: {self.lines()}")
            time.sleep(0.05)

    def resident_kib(self):
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def stop(self):
        self.process.terminate()
        status = self.process.wait(timeout=60)
        self.handle.close()
        return status


def source_files(root, count):
    files = sorted(p for p in root.rglob("*.js") if "node_modules" not in p.parts and "tests" not in p.parts)
    return files[:count]


def latency(args, work):
    root = work / "tree"
    shutil.copytree(args.tree, root, symlinks=True, ignore=shutil.ignore_patterns(".brightloom"))
    watcher = Watcher(root, work)
    database = sqlite3.connect(f"file:{root / '.brightloom' / 'index.sqlite'}?mode=ro", uri=True)
    files = source_files(root, 50)
    delays = []
    for number in range(args.edits):
        name = f"watchProbe{number}"
        target = files[number % len(files)]
        with open(target, "a") as handle:
            handle.write(f"\nfunction {name}() {{}}\n")
        saved = time.perf_counter()
        while True:
            row = database.execute("SELECT 1 FROM symbols WHERE name = ?", (name,)).fetchone()
            if row is not None:
                break
            if time.perf_counter() - saved > 30:
                sys.exit(f"{name} never reached the index")
            time.sleep(0.002)
        delays.append(time.perf_counter() - saved)
        # Apart enough that each edit is its own burst.
        time.sleep(0.1)
    ordered = sorted(delays)
    p95 = ordered[int(0.95 * (len(ordered) - 1))]
    print(f"{args.edits} edits: p50 {statistics.median(delays) * 1000:.0f} ms, p95 {p95 * 1000:.0f} ms,"
          f" worst {ordered[-1] * 1000:.0f} ms")
    finds = []
    for _ in range(10):
        started = time.perf_counter()
        subprocess.run([PYTHON, "-m", "brightloom_index", "find", "watchProbe0"], cwd=root, env=environment(),
                       check=True, capture_output=True)
        finds.append(time.perf_counter() - started)
    print(f"a `find` process on top: median {statistics.median(finds) * 1000:.0f} ms")
    print(f"watch ended with status {watcher.stop()}")


def checkout(args, work):
    root = work / "eslint"
    subprocess.run(["git", "clone", "-q", str(ESLINT_MIRROR), str(root)], check=True)
    git = {"cwd": root, "check": True, "capture_output": True, "text": True}
    head = subprocess.run(["git", "rev-parse", "HEAD"], **git).stdout.strip()
    back = 50
    while True:
        other = subprocess.run(["git", "rev-parse", f"HEAD~{back}"], **git).stdout.strip()
        names = subprocess.run(["git", "diff", "--name-only", head, other], **git).stdout.split()
        switched = [n for n in names if n.endswith((".js", ".ts", ".mjs", ".cjs", ".json", ".jsx", ".tsx"))]
        if len(switched) >= 1000:
            break
        back *= 2
    watcher = Watcher(root, work)
    started = time.perf_counter()
    subprocess.run(["git", "checkout", "-q", other], **git)
    checked_out = time.perf_counter() - started
    watcher.wait_for_lines(2, timeout=120)
    time.sleep(5)
    refreshes = watcher.lines()[1:]
    print(f"git checkout of HEAD~{back}: {len(switched)} source files switched in {checked_out:.2f} s;"
          f" {len(refreshes)} refresh(es) followed:")
    for line in refreshes:
        print(f"  {line}")
    print(f"watch ended with status {watcher.stop()}")


def soak(args, work):
    root = work / "tree"
    shutil.copytree(args.tree, root, symlinks=True, ignore=shutil.ignore_patterns(".brightloom"))
    watcher = Watcher(root, work)
    files = source_files(root, 20)
    originals = {path: path.read_text() for path in files}
    samples = []
    started = time.monotonic()
    next_sample = started
    number = 0
    while time.monotonic() - started < args.seconds:
        target = files[number % len(files)]
        # Alternating contents: the file changes every time, the tree does not grow.
        target.write_text(originals[target] + ("\nfunction soakProbe() {}\n" if number % 2 else ""))
        number += 1
        if time.monotonic() >= next_sample:
            samples.append((time.monotonic() - started, watcher.resident_kib()))
            next_sample += 10
        time.sleep(0.05)
    samples.append((time.monotonic() - started, watcher.resident_kib()))
    refreshes = len(watcher.lines()) - 1
    print(f"{number} edits in {args.seconds} s, {refreshes} refreshes")
    print("resident memory (s: MiB): " + ", ".join(f"{t:.0f}: {kib / 1024:.1f}" for t, kib in samples))
    first_minute = max(kib for t, kib in samples if t <= 60)
    print(f"growth after the first minute: {(samples[-1][1] - first_minute) / 1024:+.1f} MiB")
    print(f"watch ended with status {watcher.stop()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["latency", "checkout", "soak"], nargs="?", default="latency")
    parser.add_argument("--tree", type=Path, default=Path("/tmp/corpus/eslint"))
    parser.add_argument("--edits", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=600)
    args = parser.parse_args()
    print(f"load average: {os.getloadavg()[0]:.2f}, {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory(prefix="watch-bench-") as work:
        {"latency": latency, "checkout": checkout, "soak": soak}[args.mode](args, Path(work))


if __name__ == "__main__":
    main()
