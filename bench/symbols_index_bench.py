#!/usr/bin/env python3
"""The index of every definition and reference beside `ctags -R`.

For each tree (copied under /tmp and made a git work tree, as a checkout is):
- first index (a fresh database) against `ctags -R` with its languages
  restricted to the index's: wall time (target at most 2.5x), processor
  time, and the cores used on average (processor time over wall time);
- peak resident memory of the first index summed over its processes (the
  command and its parse workers), sampled every few milliseconds, against
  ctags' peak (target at most 3x); the sum of each process's own peak is
  printed too, an upper bound of the sampled figure;
- `find NAME` and `refs NAME`, the whole process as the console script runs
  it (the package compiled first, as an installed one is), against a bare
  `python3 -c pass` measured in the same run, alternating: the fastest of
  each (target at most 25 ms more) and the median processor time.
Times are medians; the load average is printed, since a shared machine
moves every figure. Run after a build:
    PYTHONPATH=build python3 bench/symbols_index_bench.py /tmp/corpus/tokio /tmp/corpus/eslint
"""
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from index_bench import CLI, PYTHON, copy_tree, environment

# BENCH_REPEATS and BENCH_LOOKUP_REPEATS change the counts (0 lookups leaves them out).
REPEATS = int(os.environ.get("BENCH_REPEATS", "3"))
LOOKUP_REPEATS = int(os.environ.get("BENCH_LOOKUP_REPEATS", "21"))
SAMPLE_SECONDS = 0.005
CTAGS_LANGUAGES = "Python,Rust,JavaScript,TypeScript,C,C++,Go,Java,C#,Ruby,PHP,Sh"


def descendants(pid):
    """`pid` and every process below it, from /proc."""
    found, queue = [], [pid]
    while queue:
        current = queue.pop()
        found.append(current)
        try:
            with open(f"/proc/{current}/task/{current}/children") as handle:
                queue.extend(int(child) for child in handle.read().split())
        except OSError:
            pass
    return found


def memory_of(pid):
    """(resident KiB now, peak resident KiB so far) of one process, or None when gone."""
    try:
        with open(f"/proc/{pid}/status") as handle:
            fields = dict(line.split(":", 1) for line in handle if ":" in line)
        return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
    except (OSError, KeyError, ValueError):
        return None


def run_sampled(argv, cwd):
    """(wall seconds, processor seconds of it and its children, sampled peak of the summed
    resident memory in KiB, sum of each process's own peak in KiB)."""
    started = time.perf_counter()
    before = os.times()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=environment())
    summed_peak, own_peaks = 0, {}
    while process.poll() is None:
        total = 0
        for pid in descendants(process.pid):
            memory = memory_of(pid)
            if memory is not None:
                total += memory[0]
                own_peaks[pid] = max(own_peaks.get(pid, 0), memory[1])
        summed_peak = max(summed_peak, total)
        time.sleep(SAMPLE_SECONDS)
    seconds = time.perf_counter() - started
    after = os.times()
    if process.returncode not in (0, 1):
        sys.exit(f"failed ({process.returncode}): {' '.join(map(str, argv))}")
    processor = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return seconds, processor, summed_peak, sum(own_peaks.values())


def run_plain(argv, cwd):
    """(wall seconds, processor seconds, peak KiB) of one process and the children it waited for."""
    started = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=environment())
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        sys.exit(f"failed: {' '.join(map(str, argv))}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def lookup_names(database):
    """A definition name found a few times, and a referenced name found a few dozen times."""
    with sqlite3.connect(database) as connection:
        defined = [row[0] for row in connection.execute(
            "SELECT name FROM definitions GROUP BY name HAVING count(*) BETWEEN 2 AND 5 ORDER BY name")]
        referenced = [row[0] for row in connection.execute(
            "SELECT name FROM refs GROUP BY name HAVING count(*) BETWEEN 20 AND 60 ORDER BY name")]
    connection.close()
    return defined[len(defined) // 2], referenced[len(referenced) // 2]


def bench_tree(source, workspace):
    tree = copy_tree(source, workspace)
    database = workspace / f"{tree.name}.sqlite"
    tags = workspace / f"{tree.name}.tags"
    ctags = ["ctags", "-R", f"--languages={CTAGS_LANGUAGES}", "-f", str(tags), "."]
    index = CLI + ["index", ".", "--db", str(database)]

    ctags_runs = [run_plain(ctags, tree) for _ in range(REPEATS)]
    index_runs = []
    for _ in range(REPEATS):
        for suffix in ("", "-wal", "-shm"):
            Path(str(database) + suffix).unlink(missing_ok=True)
        index_runs.append(run_sampled(index, tree))
    ctags_time = statistics.median(run[0] for run in ctags_runs)
    ctags_cpu = statistics.median(run[1] for run in ctags_runs)
    ctags_peak = max(run[2] for run in ctags_runs)
    index_time = statistics.median(run[0] for run in index_runs)
    index_cpu = statistics.median(run[1] for run in index_runs)
    summed_peak = max(run[2] for run in index_runs)
    own_peaks = max(run[3] for run in index_runs)

    with sqlite3.connect(database) as connection:
        files, definitions, references = (connection.execute(f"SELECT count(*) FROM {table}").fetchone()[0]
                                          for table in ("files", "definitions", "refs"))
    connection.close()
    print(f"\n{source}: {files} files, {definitions} definitions, {references} references;"
          f" ctags {sum(1 for _ in open(tags, 'rb'))} lines; database {database.stat().st_size / 2**20:.1f} MiB")
    print(f"  ctags -R       {ctags_time * 1000:7.0f} ms wall {ctags_cpu * 1000:7.0f} ms cpu"
          f"  (times of {REPEATS}: {', '.join(f'{run[0] * 1000:.0f}' for run in ctags_runs)} ms)")
    ratio = index_time / ctags_time
    print(f"  first index    {index_time * 1000:7.0f} ms wall {index_cpu * 1000:7.0f} ms cpu"
          f"  {ratio:.2f}x ctags (target <= 2.5x) {'ok' if ratio <= 2.5 else 'MISSED'};"
          f" {index_cpu / index_time:.2f} of {len(os.sched_getaffinity(0))} cores used"
          f"  (times of {REPEATS}: {', '.join(f'{run[0] * 1000:.0f}' for run in index_runs)} ms)")
    ratio = summed_peak / ctags_peak
    print(f"  peak memory    index {summed_peak / 1024:.1f} MiB summed over processes (sum of their own peaks"
          f" {own_peaks / 1024:.1f} MiB), ctags {ctags_peak / 1024:.1f} MiB: {ratio:.1f}x"
          f" (target <= 3x) {'ok' if ratio <= 3 else 'MISSED'}")

    if LOOKUP_REPEATS == 0:
        return
    defined, referenced = lookup_names(database)
    commands = {
        "bare python3 -c pass": [PYTHON, "-c", "pass"],
        f"find {defined}": CLI + ["find", defined, "--db", str(database)],
        f"refs {referenced}": CLI + ["refs", referenced, "--db", str(database)],
    }
    runs = {label: [] for label in commands}
    for _ in range(LOOKUP_REPEATS):
        for label, argv in commands.items():
            runs[label].append(run_plain(argv, tree)[:2])
    # The fastest run is the one a busy machine disturbed least; processor
    # time is printed beside it, as load stretches wall time most.
    bare = min(run[0] for run in runs["bare python3 -c pass"])
    bare_cpu = statistics.median(run[1] for run in runs["bare python3 -c pass"])
    for label, samples in runs.items():
        fastest = min(run[0] for run in samples)
        median = statistics.median(run[0] for run in samples)
        cpu = statistics.median(run[1] for run in samples)
        extra = fastest - bare
        verdict = "" if label.startswith("bare") else \
            f"  +{extra * 1000:.1f} ms (target <= +25 ms) {'ok' if extra <= 0.025 else 'MISSED'};" \
            f" processor +{(cpu - bare_cpu) * 1000:.1f} ms"
        print(f"  {label:28} fastest {fastest * 1000:6.1f} ms, median {median * 1000:6.1f} ms,"
              f" processor {cpu * 1000:5.1f} ms{verdict}")


def main():
    trees = [Path(arg) for arg in sys.argv[1:]] or [Path("/tmp/corpus/tokio"), Path("/tmp/corpus/eslint")]
    # As an installed package is: compiled once, not on every start.
    subprocess.run([PYTHON, "-m", "compileall", "-q", str(Path(__file__).resolve().parents[1] / "python")],
                   check=True)
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory(prefix="symbols-index-bench-") as workspace:
        for tree in trees:
            bench_tree(tree, Path(workspace))
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
