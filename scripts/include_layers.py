#!/usr/bin/env python3
"""Lists the include arrows between the folders of src/ and fails on a cycle.

Each folder of src/ is a layer. An arrow A -> B counts the #include lines of
files in A that name a header in B. The folders must form a graph without a
cycle, so that every layer can be built and tested with only the ones below.

    scripts/include_layers.py [SRC]      (default: src/ beside this script)

Exit status: 0 when the folders form no cycle, 1 when they do (the cycle is
named), 2 for an include naming a file that does not exist.
"""

import re
import sys
from collections import Counter
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCE_SUFFIXES = {".h", ".cpp"}


def resolve(source: Path, name: str, src: Path):
    """The header an include names: beside the including file, else under src/."""
    for candidate in (source.parent / name, src / name):
        if candidate.is_file():
            return candidate
    return None


def folder_of(path: Path, src: Path) -> str:
    return path.relative_to(src).parts[0]


def include_arrows(src: Path):
    """Counts of arrows between distinct folders, and includes that name no file."""
    arrows = Counter()
    unresolved = []
    for source in sorted(src.rglob("*")):
        if source.suffix not in SOURCE_SUFFIXES or len(source.relative_to(src).parts) < 2:
            continue
        for name in INCLUDE.findall(source.read_text(encoding="utf-8")):
            target = resolve(source, name, src)
            if target is None:
                unresolved.append(f"{source.relative_to(src)}: {name}")
                continue
            source_folder, target_folder = folder_of(source, src), folder_of(target, src)
            if source_folder != target_folder:
                arrows[(source_folder, target_folder)] += 1
    return arrows, unresolved


def find_cycle(arrows):
    """One cycle of folders as a list (first == last), or None."""
    graph = {}
    for source, target in arrows:
        graph.setdefault(source, []).append(target)
        graph.setdefault(target, [])
    state = {folder: "new" for folder in graph}
    path = []

    def visit(folder):
        state[folder] = "open"
        path.append(folder)
        for target in sorted(graph[folder]):
            if state[target] == "open":
                return path[path.index(target):] + [target]
            if state[target] == "new":
                cycle = visit(target)
                if cycle:
                    return cycle
        path.pop()
        state[folder] = "done"
        return None

    for folder in sorted(graph):
        if state[folder] == "new":
            cycle = visit(folder)
            if cycle:
                return cycle
    return None


def main(argv):
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    arrows, unresolved = include_arrows(src)
    for (source, target), count in sorted(arrows.items()):
        print(f"{source} -> {target}: {count}")
    print(f"{len(arrows)} arrows, {sum(arrows.values())} includes across folders")
    if unresolved:
        for line in unresolved:
            print(f"include names no file: {line}", file=sys.stderr)
        return 2
    cycle = find_cycle(arrows)
    if cycle:
        print("folder cycle: " + " -> ".join(cycle), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
