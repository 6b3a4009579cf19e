#!/usr/bin/env python3
"""Fixed cost of a refresh with nothing changed, beside `ctags -R`, and where it goes.

Each tree is copied under /tmp (as a plain folder, or with --git as a git
work tree with everything committed) and indexed once. Then `brightloom-index
index -q` (nothing changed) and `ctags -R -f FILE` run alternately ROUNDS
times, so that the machine's load hits both alike; medians and the 10th to
90th percentile spread are printed, with the ratio of the medians (target:
at most 0.5).

The breakdown runs the same refresh in steps, each timed by itself over
ROUNDS runs: interpreter start (`python3 -c pass`), importing the command
line and the indexing code, choosing the files (git or the ignore-file
walk), the scan (digests inside the module), and SQLite (opening the index,
reading the stored files, the commit).

    PYTHONPATH=build python3 bench/refresh_cost_bench.py [--git] [--rounds N] [TREE...]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1] / "python"
DEFAULT_TREES = [Path("/tmp/corpus/tokio"), Path("/tmp/corpus/eslint")]
PYTHON = "/usr/bin/python3"

# Run in a fresh interpreter: each step of one no-change refresh, timed.
STEPS = r"""
import sys, time
root = sys.argv[1]
t0 = time.perf_counter()
from brightloom_index import cli, commands, index_job, store
from brightloom_index.native_calls import NativeCaller
from brightloom_index.selection import SelectionRules, select_files
from brightloom_index.digests import digest_selection
from brightloom_index.freshness import changes_since
t1 = time.perf_counter()
selection = select_files(root, SelectionRules())
t2 = time.perf_counter()
caller = NativeCaller()
location = root + "/.brightloom/index.sqlite"
with store.RefreshTransaction(location, False, 30, lambda text: None, True) as index:
    t3 = time.perf_counter()
    stored = index.stored_files()
    t4 = time.perf_counter()
    report = digest_selection(caller, selection, {})
    t5 = time.perf_counter()
    started = index.read_meta(store.REFRESH_STARTED_KEY)
    changes_since(selection.root, selection.paths, int(started))
    t6 = time.perf_counter()
t7 = time.perf_counter()
print(t1 - t0, t2 - t1, t5 - t4, (t4 - t2) + (t7 - t6), t6 - t5)
"""
STEP_NAMES = ["imports", "choose files", "scan (digests)", "SQLite", "staleness stamp"]


def environment():
    env = {key: value for key, value in os.environ.items() if key != "PYTHONDONTWRITEBYTECODE"}
    paths = [str(SOURCE)] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def timed(argv, cwd, env):
    started = time.perf_counter()
    subprocess.run(argv, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - started


def spread(values):
    ordered = sorted(values)
    low = ordered[int(0.1 * (len(ordered) - 1))]
    high = ordered[int(0.9 * (len(ordered) - 1))]
    return f"{statistics.median(values) * 1000:6.0f} ms ({low * 1000:.0f}-{high * 1000:.0f})"


def prepare(tree, work, as_git):
    copy = work / tree.name
    shutil.copytree(tree, copy, symlinks=True, ignore=shutil.ignore_patterns(".brightloom", "tags"))
    if as_git:
        quiet = {"cwd": copy, "check": True, "capture_output": True}
        subprocess.run(["git", "init", "-q"], **quiet)
        subprocess.run(["git", "add", "-A"], **quiet)
        subprocess.run(["git", "-c", "user.name=b", "-c", "user.email=b@b", "commit", "-q", "-m", "tree"], **quiet)
    return copy


def measure(tree, rounds, env):
    index = [PYTHON, "-m", "brightloom_index", "index", "-q", "."]
    ctags = ["ctags", "-R", "-f", str(tree.parent / f"tags.{tree.name}"), "."]
    subprocess.run(index, cwd=tree, env=env, check=True)
    ours, theirs = [], []
    for _ in range(rounds):
        ours.append(timed(index, tree, env))
        theirs.append(timed(ctags, tree, env))
    ratio = statistics.median(ours) / statistics.median(theirs)
    print(f"{tree.name}: refresh {spread(ours)}, ctags -R {spread(theirs)}, ratio {ratio:.2f}")

    starts = [timed([PYTHON, "-c", "pass"], tree, env) for _ in range(rounds)]
    steps = []
    for _ in range(rounds):
        done = subprocess.run([PYTHON, "-c", STEPS, str(tree)], cwd=tree, env=env, check=True,
                              capture_output=True, text=True)
        steps.append([float(value) for value in done.stdout.split()])
    print(f"  interpreter start   {spread(starts)}")
    for position, name in enumerate(STEP_NAMES):
        print(f"  {name:<19} {spread([row[position] for row in steps])}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trees", nargs="*", type=Path, default=DEFAULT_TREES)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--git", action="store_true", help="make each copy a git work tree")
    args = parser.parse_args()
    env = environment()
    print(f"load average: {os.getloadavg()[0]:.2f}, {os.cpu_count()} processors, python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory(prefix="refresh-cost-") as work:
        for tree in args.trees:
            measure(prepare(tree, Path(work), args.git), args.rounds, env)


if __name__ == "__main__":
    main()
