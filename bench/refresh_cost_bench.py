#!/usr/bin/env python3
"""Fixed cost of a refresh with nothing changed and of a lookup, and where it goes.

Each tree is copied under /tmp (as a plain folder, or with --git as a git
work tree with everything committed), indexed once, and its files' times
set back a minute, so that their stamps are settled (a file changed in the
last two seconds is read again by every refresh). Then, alternately ROUNDS
times, so that the machine's load hits all alike:

- `brightloom-index index -q` (nothing changed) against `ctags -R -f FILE`
  (target: at most 0.5 x);
- `find NAME` and, where the command line has it, `refs NAME` against a
  bare `python3 -c pass` (target: at most 25 ms more).

Each figure is the median wall time with the 10th to 90th percentile
spread, and the median processor time (user and system, all processes),
which the load of other programs disturbs far less.

The breakdown runs the same refresh in steps, each timed by itself over
ROUNDS runs: interpreter start (`python3 -c pass`), importing what the
command line loads for `index`, choosing the files (git or the ignore-file
walk), the digests (a stat per file while the stamps hold), and SQLite
(opening the index, reading the stored files, the commit), plus the stat of
every file and folder that decides whether the refresh start moves.

    PYTHONPATH=build python3 bench/refresh_cost_bench.py [--git] [--rounds N] [--name NAME] [TREE...]
"""
import argparse
import os
import resource
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
    known = index_job.known_digests(index.stored_files())
    t4 = time.perf_counter()
    report = digest_selection(caller, selection, known)
    t5 = time.perf_counter()
    started = index.read_meta(store.REFRESH_STARTED_KEY)
    changes_since(selection.root, selection.paths, int(started))
    t6 = time.perf_counter()
t7 = time.perf_counter()
print(t1 - t0, t2 - t1, t5 - t4, (t4 - t2) + (t7 - t6), t6 - t5, report.scan_calls + report.digested_here)
"""
STEP_NAMES = ["imports", "choose files", "digests", "SQLite", "staleness stamp"]


def environment():
    env = {key: value for key, value in os.environ.items() if key != "PYTHONDONTWRITEBYTECODE"}
    paths = [str(SOURCE)] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(argv, cwd, env, cpu=None, statuses=(0,)):
    """Wall seconds of one run; its processor seconds are appended to `cpu`."""
    before = children_cpu()
    started = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - started
    if done.returncode not in statuses:
        raise SystemExit(f"{' '.join(argv)}: exit status {done.returncode}")
    if cpu is not None:
        cpu.append(children_cpu() - before)
    return elapsed


def spread(values):
    ordered = sorted(values)
    low = ordered[int(0.1 * (len(ordered) - 1))]
    high = ordered[int(0.9 * (len(ordered) - 1))]
    return f"{statistics.median(values) * 1000:6.1f} ms ({low * 1000:.1f}-{high * 1000:.1f})"


def processor(values):
    return f"cpu {statistics.median(values) * 1000:5.1f} ms"


def prepare(tree, work, as_git):
    copy = work / tree.name
    shutil.copytree(tree, copy, symlinks=True, ignore=shutil.ignore_patterns(".brightloom", "tags"))
    if as_git:
        quiet = {"cwd": copy, "check": True, "capture_output": True}
        subprocess.run(["git", "init", "-q"], **quiet)
        subprocess.run(["git", "add", "-A"], **quiet)
        subprocess.run(["git", "-c", "user.name=b", "-c", "user.email=b@b", "commit", "-q", "-m", "tree"], **quiet)
    return copy


def settle(tree):
    """Sets every file's times a minute back, as for a tree not edited just now."""
    past = time.time() - 60
    for folder, _, files in os.walk(tree):
        for name in files:
            os.utime(os.path.join(folder, name), (past, past), follow_symlinks=False)


def has_refs(env):
    done = subprocess.run([PYTHON, "-m", "brightloom_index", "refs", "--help"], env=env, capture_output=True)
    return done.returncode == 0


def measure(tree, rounds, env, name):
    index = [PYTHON, "-m", "brightloom_index", "index", "-q", "."]
    ctags = ["ctags", "-R", "-f", str(tree.parent / f"tags.{tree.name}"), "."]
    subprocess.run(index, cwd=tree, env=env, check=True)
    settle(tree)
    # Once more, so that the stamps stored are the settled ones.
    subprocess.run(index, cwd=tree, env=env, check=True)
    lookups = {"find": [PYTHON, "-m", "brightloom_index", "find", name]}
    if has_refs(env):
        lookups["refs"] = [PYTHON, "-m", "brightloom_index", "refs", name]
    bare = [PYTHON, "-c", "pass"]
    walls = {key: [] for key in ["refresh", "ctags", "bare", *lookups]}
    cpus = {key: [] for key in walls}
    for _ in range(rounds):
        walls["refresh"].append(timed(index, tree, env, cpus["refresh"]))
        walls["ctags"].append(timed(ctags, tree, env, cpus["ctags"]))
        walls["bare"].append(timed(bare, tree, env, cpus["bare"]))
        for key, argv in lookups.items():
            # Status 1: the name is not defined in this tree, which costs the same.
            walls[key].append(timed(argv, tree, env, cpus[key], statuses=(0, 1)))
    ratio = statistics.median(walls["refresh"]) / statistics.median(walls["ctags"])
    cpu_ratio = statistics.median(cpus["refresh"]) / statistics.median(cpus["ctags"])
    print(f"{tree.name}: refresh {spread(walls['refresh'])} {processor(cpus['refresh'])}, "
          f"ctags -R {spread(walls['ctags'])} {processor(cpus['ctags'])}, "
          f"ratio {ratio:.2f} (processor time {cpu_ratio:.2f})")
    print(f"  python3 -c pass     {spread(walls['bare'])} {processor(cpus['bare'])}")
    for key in lookups:
        extra = statistics.median(walls[key]) - statistics.median(walls["bare"])
        print(f"  {key + ' ' + name:<19} {spread(walls[key])} {processor(cpus[key])}, "
              f"{extra * 1000:+.1f} ms over python3 -c pass")

    steps = []
    for _ in range(rounds):
        done = subprocess.run([PYTHON, "-c", STEPS, str(tree)], cwd=tree, env=env, check=True,
                              capture_output=True, text=True)
        steps.append([float(value) for value in done.stdout.split()])
    print(f"  refresh in steps (files read: {int(max(row[-1] for row in steps))}):")
    print(f"  interpreter start   {spread(walls['bare'])}")
    for position, step in enumerate(STEP_NAMES):
        print(f"  {step:<19} {spread([row[position] for row in steps])}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trees", nargs="*", type=Path, default=DEFAULT_TREES)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--git", action="store_true", help="make each copy a git work tree")
    parser.add_argument("--name", default="spawn", help="the name find and refs look up (default: spawn)")
    args = parser.parse_args()
    env = environment()
    print(f"load average: {os.getloadavg()[0]:.2f}, {os.cpu_count()} processors, python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory(prefix="refresh-cost-") as work:
        for tree in args.trees:
            measure(prepare(tree, Path(work), args.git), args.rounds, env, args.name)


if __name__ == "__main__":
    main()
