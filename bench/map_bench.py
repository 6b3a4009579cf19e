#!/usr/bin/env python3
"""Speed and quality of `brightloom-index map`.

- speed: the whole process of `map` on the eslint and tokio trees (target
  300 ms warm), again after a one-file edit and a refresh; fastest and
  median of REPEATS runs, with the processor time, as the machine is shared;
- the walk through names beside networkx's PageRank over the explicit file
  graph (import, graph build and rank timed apart);
- scaling: graph build and PageRank on generated tallies of 1,000 to
  100,000 files;
- quality: for the last 200 commits of each repository changing two source
  files or more, the map focused on one changed file, and the share of the
  commit's other changed files it shows at 1,024 and 4,096 tokens, beside
  the same number of files ranked by how often they are referenced, and of
  files of the focus file's own folder. The graph is the current tree's, not
  each commit's parent: an approximation that favours no method.

Run after a build:  PYTHONPATH=build python3 bench/map_bench.py [--quick]
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1] / "python"
sys.path.insert(0, str(SOURCE))

from brightloom_index import ranked_map  # noqa: E402
from brightloom_index.render import map_tokens  # noqa: E402
from brightloom_index.store import RefreshTransaction, Store  # noqa: E402

PYTHON = "/usr/bin/python3"
CLI = [PYTHON, "-c", "from brightloom_index.cli import entry_point; entry_point()"]
REPEATS = 7
CORPUS = {"eslint": "/tmp/corpus/eslint", "tokio": "/tmp/corpus/tokio"}
MIRRORS = {"eslint": "/work/.mirror/eslint+eslint/repo", "tokio": "/work/.mirror/tokio-rs+tokio/repo"}
SOURCE_SUFFIXES = (".js", ".ts", ".tsx", ".rs", ".py")


def environment():
    paths = [str(SOURCE)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in paths))


def timed(argv, cwd):
    started = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment())
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(argv)}: {process.stderr.read().decode()}")
    return time.perf_counter() - started, usage.ru_utime + usage.ru_stime


def figures(argv, cwd):
    runs = [timed(argv, cwd) for _ in range(REPEATS)]
    walls = sorted(wall for wall, _ in runs)
    return f"fastest {walls[0] * 1000:6.0f} ms, median {statistics.median(walls) * 1000:6.0f} ms," \
           f" processor {min(cpu for _, cpu in runs) * 1000:5.0f} ms"


def speed(name, tree, scratch):
    copy = Path(scratch) / name
    shutil.copytree(tree, copy, symlinks=True, ignore=shutil.ignore_patterns(".git", "node_modules", ".brightloom"))
    subprocess.run(CLI + ["index", str(copy)], check=True, capture_output=True, env=environment())
    print(f"{name}: map, warm:               {figures(CLI + ['map'], copy)}")
    edited = next(p for p in sorted(copy.rglob("*")) if p.suffix in SOURCE_SUFFIXES and "test" not in p.name)
    with open(edited, "a") as handle:
        handle.write("\n// edited\n" if edited.suffix != ".py" else "\n# edited\n")
    wall, _ = timed(CLI + ["index", "."], copy)
    print(f"{name}: refresh after one edit:   {wall * 1000:6.0f} ms ({edited.relative_to(copy)})")
    print(f"{name}: map after the refresh:    {figures(CLI + ['map'], copy)}")
    return copy


def against_networkx(name, location):
    with Store.open_for_reading(location) as index:
        weights = ranked_map.parse_weights([])
        paths, rows = index.file_paths(), index.name_uses()
    started = time.perf_counter()
    graph = ranked_map.build_graph(paths, rows, weights)
    built = time.perf_counter()
    size = len(graph.paths)
    ours = graph.walk.rank([1.0 / size] * size, weights["damping"])
    ranked = time.perf_counter()
    print(f"{name}: walk through names: graph {1000 * (built - started):5.0f} ms,"
          f" rank {1000 * (ranked - built):5.0f} ms ({len(rows)} tallies)")
    try:
        started = time.perf_counter()
        import networkx
        from networkx.algorithms.link_analysis.pagerank_alg import _pagerank_python
    except ImportError:
        print("  networkx is not installed (Debian python3-networkx)")
        return
    imported = time.perf_counter()
    links = networkx.DiGraph()
    links.add_nodes_from(range(size))
    for position, name_ in enumerate(graph.names):
        for source, weight in graph.users[position]:
            for target, _ in graph.definers[position]:
                if target != source:
                    old = links.get_edge_data(source, target, {"weight": 0.0})["weight"]
                    links.add_edge(source, target, weight=old + weight)
    built = time.perf_counter()
    # nx.pagerank needs SciPy, which Debian's networkx only recommends.
    theirs = _pagerank_python(links, alpha=weights["damping"])
    ranked = time.perf_counter()
    gap = max(abs(theirs[node] - ours[node]) for node in range(size))
    print(f"  networkx: import {1000 * (imported - started):5.0f} ms, graph {1000 * (built - imported):5.0f} ms"
          f" ({links.number_of_edges()} links), rank {1000 * (ranked - built):5.0f} ms; largest gap {gap:.1e}")


def scaling(sizes, scratch):
    """Generated tallies stored in an index: each file defines 6 names and
    uses 15, leaning toward a few as real code does."""
    rng = random.Random(1)
    weights = ranked_map.parse_weights([])
    for files in sizes:
        names = [f"name_{n}" if n % 3 else f"Name{n}" for n in range(files * 4)]
        tallies = {}
        for file_id in range(1, files + 1):
            for name in rng.sample(names, 6):
                tallies[(name, file_id)] = (0, 0, 1)
            for _ in range(15):
                name = names[min(int(rng.paretovariate(1.2)) - 1, len(names) - 1)]
                uses, imports, defines = tallies.get((name, file_id), (0, 0, 0))
                tallies[(name, file_id)] = (uses + 1, imports, defines)
        location = os.path.join(scratch, f"generated-{files}.sqlite")
        with RefreshTransaction(location, False, 5.0, print) as store:
            store.connection.executemany(
                "INSERT INTO files (id, path, language, digest, lines, symbol_count, error_count)"
                " VALUES (?, ?, 'rust', '', 0, 0, 0)",
                [(file_id, f"src/d{file_id % 97}/f{file_id}.rs") for file_id in range(1, files + 1)])
            store.connection.executemany("INSERT INTO name_uses VALUES (?, ?, ?, ?, ?)",
                                         [(*key, *counts) for key, counts in tallies.items()])
        started = time.perf_counter()
        with Store.open_for_reading(location) as index:
            paths, rows = index.file_paths(), index.name_uses()
        read = time.perf_counter()
        graph = ranked_map.build_graph(paths, rows, weights)
        built = time.perf_counter()
        graph.walk.rank(ranked_map.teleport(graph.paths, set(), weights), weights["damping"])
        ranked = time.perf_counter()
        print(f"{files:7} files, {len(rows):8} tallies: read {1000 * (read - started):6.0f} ms,"
              f" graph {1000 * (built - read):6.0f} ms, rank {1000 * (ranked - built):6.0f} ms")


def changed_commits(mirror, known, count=200):
    log = subprocess.run(["git", "--git-dir", mirror, "log", "--no-merges", "--name-only", "--format=%x00%H", "-n", "3000"],
                         check=True, capture_output=True, text=True).stdout
    commits = []
    for block in log.split("\0")[1:]:
        files = [f for f in block.splitlines()[1:] if f.endswith(SOURCE_SUFFIXES) and f in known]
        if len(files) >= 2:
            commits.append(sorted(set(files)))
        if len(commits) == count:
            break
    return commits


def quality(name, location, settings=()):
    with Store.open_for_reading(location) as index:
        weights = ranked_map.parse_weights(settings)
        graph = ranked_map.build_graph(index.file_paths(), index.name_uses(), weights)
        known = set(graph.paths)
        node = {path: n for n, path in enumerate(graph.paths)}
        commits = changed_commits(MIRRORS[name], known)
        size = len(graph.paths)
        # How often each file's names are referenced from other files.
        in_refs = [0] * size
        paths = index.file_paths()
        for _, group in ranked_map.group_by_name(index.name_uses()):
            definers = [node[paths[f]] for _, f, _, _, d in group if d]
            for _, f, uses, imports, _ in group:
                for target in definers:
                    if target != node[paths[f]]:
                        in_refs[target] += uses + imports
        by_references = sorted(range(size), key=lambda n: (-in_refs[n], graph.paths[n]))
        hits = {(budget, method): [] for budget in (1024, 4096) for method in ("map", "references", "folder")}
        for files in commits:
            focus, others = files[0], files[1:]
            rank = graph.walk.rank(ranked_map.teleport(graph.paths, {focus}, weights), weights["damping"])
            for budget in (1024, 4096):
                ranked = ranked_map.ranked_files(index, graph, rank, weights, budget)
                chosen = ranked_map.choose_within_budget(ranked, budget, map_tokens)
                shown = {path for path, ordinals in chosen.items() if ordinals}
                folder = os.path.dirname(focus)
                alike = sorted(p for p in graph.paths if os.path.dirname(p) == folder and p != focus)
                baselines = {"references": {graph.paths[n] for n in by_references[:len(shown)]},
                             "folder": set(alike[:len(shown)])}
                for method, chosen_paths in (("map", shown), *baselines.items()):
                    hits[(budget, method)].append(sum(p in chosen_paths for p in others) / len(others))
    print(f"{name}: {len(commits)} commits; share of a commit's other changed files shown {' '.join(settings)}")
    print("  budget   map   by references   own folder")
    for budget in (1024, 4096):
        row = [statistics.mean(hits[(budget, method)]) for method in ("map", "references", "folder")]
        print(f"  {budget:6}  {row[0]:5.1%}  {row[1]:13.1%}  {row[2]:11.1%}")


def main():
    quick = "--quick" in sys.argv
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory() as scratch:
        for name, tree in CORPUS.items():
            copy = speed(name, tree, scratch)
            location = str(copy / ".brightloom" / "index.sqlite")
            against_networkx(name, location)
            quality(name, location)
        scaling([1000, 10000] if quick else [1000, 10000, 100000], scratch)


if __name__ == "__main__":
    main()
