#!/usr/bin/env python3
"""Speed and memory of `brightloom-index index` and `find`, beside `ctags -R`.

Each tree is copied under /tmp and made a git work tree with every file
added, as a checkout would be; then, against Universal Ctags writing a tags
file of the same tree:
- first index (a fresh database): target at most 4x ctags -R;
- refresh with nothing changed: target at most 0.5x;
- refresh after touching 1% of the indexed files: target at most 0.7x;
- `find NAME`, the whole process as the console script runs it: under 80 ms;
- peak resident memory of the first index: at most 2x (ctags + a bare
  interpreter).
Times are medians of REPEATS runs, wall clock; the machine's load is printed
beside them, since a shared machine moves them a lot.

Trees: this repository, the Node.js packages and the Python packages of the
machine, or the folders named on the command line. Run after a build:
    PYTHONPATH=build python3 bench/index_bench.py [TREE...]
"""
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPEATS = 3
FIND_REPEATS = 20
DEFAULT_TREES = [Path(__file__).resolve().parents[1], Path("/usr/lib/node_modules"),
                 Path("/usr/lib/python3/dist-packages")]
SOURCE = Path(__file__).resolve().parents[1] / "python"
PYTHON = "/usr/bin/python3"
CLI = [PYTHON, "-c", "from brightloom_index.cli import entry_point; entry_point()"]


def environment():
    paths = [str(SOURCE)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in paths))


def measure(argv, cwd):
    """(wall seconds, peak resident KiB, processor seconds) of one process and the
    children it waited for (the parse workers)."""
    started = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=environment())
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode not in (0, 1):
        sys.exit(f"failed ({process.returncode}): {' '.join(map(str, argv))}")
    return seconds, usage.ru_maxrss, usage.ru_utime + usage.ru_stime


def median_of(argv, cwd, repeats=REPEATS, before=None):
    """(median wall seconds, largest peak KiB, median processor seconds)."""
    times, peaks, cpu = [], [], []
    for _ in range(repeats):
        if before is not None:
            before()
        seconds, peak, processor = measure(argv, cwd)
        times.append(seconds)
        peaks.append(peak)
        cpu.append(processor)
    return statistics.median(times), max(peaks), statistics.median(cpu)


def copy_tree(source, workspace):
    tree = workspace / source.name
    shutil.copytree(source, tree, symlinks=True, ignore=shutil.ignore_patterns(".brightloom", "build*"))
    if not (tree / ".git").exists():
        subprocess.run(["git", "init", "-q"], cwd=tree, check=True)
    subprocess.run(["git", "add", "-A"], cwd=tree, check=True, capture_output=True)
    return tree


def indexed_paths(database):
    with sqlite3.connect(database) as connection:
        return [row[0] for row in connection.execute("SELECT path FROM files ORDER BY path")]


def names_to_find(database):
    """(a name declared once to three times, the most declared name)."""
    with sqlite3.connect(database) as connection:
        rare = [row[0] for row in connection.execute(
            "SELECT name FROM definitions GROUP BY name HAVING count(*) <= 3 ORDER BY name")]
        common = connection.execute(
            "SELECT name FROM definitions GROUP BY name ORDER BY count(*) DESC, name LIMIT 1").fetchone()[0]
    return rare[len(rare) // 2], common


def touch_one_percent(tree, paths):
    # A trailing blank line changes the digest of any of the languages.
    for path in paths[:: 100]:
        with open(tree / path, "a", encoding="utf-8") as handle:
            handle.write("\n")


def bench_tree(source, workspace):
    tree = copy_tree(source, workspace)
    database = workspace / f"{tree.name}.sqlite"
    tags = workspace / f"{tree.name}.tags"

    def fresh():
        for suffix in ("", "-wal", "-shm"):
            Path(str(database) + suffix).unlink(missing_ok=True)

    index = CLI + ["index", ".", "--db", str(database)]
    ctags_time, ctags_peak, ctags_cpu = median_of(["ctags", "-R", "-f", str(tags), "."], tree)
    first_time, first_peak, first_cpu = median_of(index, tree, before=fresh)
    paths = indexed_paths(database)
    same_time, _, same_cpu = median_of(index, tree)
    touched_time, _, touched_cpu = median_of(index, tree, before=lambda: touch_one_percent(tree, paths))
    name, common = names_to_find(database)
    find_time = median_of(CLI + ["find", name, "--db", str(database)], tree, repeats=FIND_REPEATS)[0]
    common_time = median_of(CLI + ["find", common, "--db", str(database)], tree, repeats=FIND_REPEATS)[0]
    bare_time, bare_peak, _ = median_of([PYTHON, "-c", "pass"], tree, repeats=FIND_REPEATS)
    with sqlite3.connect(database) as connection:
        symbols = connection.execute("SELECT count(*) FROM definitions").fetchone()[0]

    print(f"\n{source}: {len(paths)} files indexed, {symbols} definitions;"
          f" ctags tags file {sum(1 for _ in open(tags, 'rb'))} lines")
    rows = [
        ("ctags -R", ctags_time, ctags_cpu, None),
        ("first index", first_time, first_cpu, 4.0),
        ("refresh, no change", same_time, same_cpu, 0.5),
        ("refresh, 1% touched", touched_time, touched_cpu, 0.7),
    ]
    for label, seconds, processor, target in rows:
        verdict = ""
        if target is not None:
            ratio = seconds / ctags_time
            verdict = (f"{ratio:5.2f}x ctags (target <= {target}x) {'ok' if ratio <= target else 'MISSED'};"
                       f" by processor time {processor / ctags_cpu:5.2f}x")
        print(f"  {label:22} {seconds * 1000:8.0f} ms wall {processor * 1000:8.0f} ms cpu  {verdict}")
    verdict = "ok" if find_time < 0.08 else "MISSED"
    print(f"  {'find ' + name:22} {find_time * 1000:8.1f} ms  (target < 80 ms) {verdict};"
          f" bare interpreter {bare_time * 1000:.1f} ms; most declared name ({common}) {common_time * 1000:.1f} ms")
    limit = 2 * (ctags_peak + bare_peak)
    print(f"  peak memory: index {first_peak / 1024:.1f} MiB, ctags {ctags_peak / 1024:.1f} MiB, bare interpreter"
          f" {bare_peak / 1024:.1f} MiB; target <= {limit / 1024:.1f} MiB {'ok' if first_peak <= limit else 'MISSED'}")


def main():
    trees = [Path(arg) for arg in sys.argv[1:]] or [tree for tree in DEFAULT_TREES if tree.is_dir()]
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory(prefix="index-bench-") as workspace:
        for tree in trees:
            bench_tree(tree, Path(workspace))
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
