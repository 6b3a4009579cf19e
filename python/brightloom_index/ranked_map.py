"""The ranked map: the files and definitions the rest of the code leans on,
seen from the files, folders and names a reader is working on, cut to a
budget of tokens.

The graph has a node per indexed file. A file that references a name links
to each other file defining it, with the weight (summed over the names two
files share)

    sqrt(references + import * imports)
      * long      when the name has 8 characters or more
      * compound  when it is mixedCase or snake_case
      * private   when it starts with "_"
      * short     when it has 1 or 2 characters
      / (files defining the name) ** shared

Its links are not stored pair by pair: a name used in u files and defined in
d files makes u*d links (over 200,000 in a tree of 800 Rust files, for names
such as `new` and `fmt`). The index keeps instead, per file, how often it
uses and defines each name (refreshed with the file only), and the walk goes
through the names: the rank the users of a name pass on by it is pooled once,
then handed to each file defining it. That is PageRank over the file graph
above, at the cost of the names rather than of the pairs.
"""

from __future__ import annotations

import gc
import math
import os
from itertools import accumulate, groupby
from math import sqrt
from operator import itemgetter, mul, sub

from .errors import Failure
from .exit_codes import EXIT_OK

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from typing import Any

    import argparse

    from .native_calls import NativeCaller
    from .render import Output
    from .store import Store

DEFAULT_TOKENS = 1024

# Bound of the factors: five of them multiplied stay far from overflow.
FACTOR_LIMIT = 1e6
# The weights a user may set with --weight NAME=VALUE: default, largest
# value allowed (the powers are kept small: 2 ** 1e300 overflows), and what
# each does.
WEIGHTS: dict[str, tuple[float, float, str]] = {
    "damping": (0.85, 0.99, "chance of following a link rather than jumping"),
    "import": (1.0, FACTOR_LIMIT, "references an import counts as"),
    "long": (2.0, FACTOR_LIMIT, "factor for names of 8 characters or more"),
    "compound": (2.0, FACTOR_LIMIT, "factor for mixedCase and snake_case names"),
    "private": (0.1, FACTOR_LIMIT, "factor for names starting with _"),
    "short": (0.25, FACTOR_LIMIT, "factor for names of 1 or 2 characters"),
    "shared": (1.0, 10.0, "a name's weight is divided by its defining files to this power"),
    "focus": (0.9, 1.0, "share of the jumps that go to the focus rather than to any file"),
    "nearby": (0.4, 1.0, "part of the focus share that goes to the other files of their folders and their namesakes"),
    "spread": (1.5, 10.0, "a file's k-th best definition is taken with its file's rank divided by k to this power"),
    "own": (0.15, FACTOR_LIMIT, "share of a file's rank spread evenly over its outline definitions"),
}
LONG_NAME = 8
SHORT_NAME = 2

# The walk stops once the ranks move less than this in all (per file, as a
# sum of absolute changes) or after MAX_ROUNDS rounds.
TOLERANCE_PER_FILE = 1e-6
MAX_ROUNDS = 100

# Definitions that take a share of their file's own rank: what an outline shows.
OUTLINE_KINDS = frozenset({
    "class", "function", "method", "module", "namespace", "struct", "enum", "union", "trait", "impl",
    "interface", "type", "macro",
})

# Definitions are read for the best-ranked files until they hold this many
# times the budget: enough to choose from without reading the whole index.
CANDIDATE_FACTOR = 4
FEW = 8
# A focus file's namesakes in other folders count as its neighbours up to this many.
NAMESAKES = 3
READ_BATCH = 16


def parse_weights(settings: Sequence[str]) -> dict[str, float]:
    """The weights with `NAME=VALUE` settings applied; Failure for a bad one."""
    weights = {name: default for name, (default, _, _) in WEIGHTS.items()}
    for setting in settings:
        name, equals, text = setting.partition("=")
        if name not in WEIGHTS or not equals:
            raise Failure(f"--weight {setting}: expected NAME=VALUE with NAME one of {', '.join(WEIGHTS)}")
        try:
            value = float(text)
        except ValueError:
            raise Failure(f"--weight {setting}: not a number: {text!r}") from None
        largest = WEIGHTS[name][1]
        if not 0 <= value <= largest:
            raise Failure(f"--weight {setting}: out of range (0 to {largest:g})")
        weights[name] = value
    return weights


def name_factor(name: str, definers: int, weights: dict[str, float]) -> float:
    """How much one reference to `name` counts, before the square root of the count."""
    factor = 1.0
    if len(name) >= LONG_NAME:
        factor *= weights["long"]
    core = name.strip("_")
    if "_" in core or (core != core.upper() and core[1:] != core[1:].lower()):
        factor *= weights["compound"]
    if name.startswith("_"):
        factor *= weights["private"]
    if len(name) <= SHORT_NAME:
        factor *= weights["short"]
    return factor / math.pow(definers, weights["shared"])


class LinkGraph:
    """The file graph, as the names that make its links.

    Nodes are files in path order, so that the same index content gives the
    same sums in the same order whatever ids its files were given.
    """

    def __init__(self, paths: dict[int, str], uses: Sequence[tuple[str, int, int, int, int]],
                 weights: dict[str, float]) -> None:
        self.paths = sorted(paths.values())
        order = {path: node for node, path in enumerate(self.paths)}
        node_of = {file_id: order[path] for file_id, path in paths.items()}
        self.names: list[str] = []
        # Per name (by position in `names`): its users as (node, weight), its definers as (node, count).
        users: list[list[tuple[int, float]]] = []
        definers: list[list[tuple[int, int]]] = []
        for name, group in group_by_name(uses):
            if len(group) == 1:
                continue  # used or defined in one file only: no link
            # A tally of a file the index no longer lists (damage) is passed over.
            using = sorted((node_of[f], u + weights["import"] * i) for _, f, u, i, _ in group
                           if u + i > 0 and f in node_of)
            defining = sorted((node_of[f], d) for _, f, _, _, d in group if d > 0 and f in node_of)
            if not using or not defining or (len(defining) == 1 and all(n == defining[0][0] for n, _ in using)):
                continue
            factor = name_factor(name, len(defining), weights)
            self.names.append(name)
            users.append([(node, sqrt(count) * factor) for node, count in using if count > 0])
            definers.append(defining)
        self.link_out = [0.0] * len(self.paths)
        for using, defining in zip(users, definers):
            defining_nodes = {node for node, _ in defining}
            for node, weight in using:
                self.link_out[node] += weight * (len(defining) - (node in defining_nodes))
        self.users = users
        self.definers = definers
        self.walk = Walk(self)


class Walk:
    """The graph in flat lists, for rounds of the walk made of C-level loops."""

    def __init__(self, graph: LinkGraph) -> None:
        self.size = len(graph.paths)
        out = graph.link_out
        self.use_nodes: list[int] = []
        self.use_shares: list[float] = []
        self.name_starts: list[int] = []
        # The share of its own rank a file would pass to itself by names it both uses and defines.
        self.self_share = [0.0] * self.size
        for using, defining in zip(graph.users, graph.definers):
            self.name_starts.append(len(self.use_nodes))
            defining_nodes = {node for node, _ in defining}
            for node, weight in using:
                if out[node] > 0:
                    self.use_nodes.append(node)
                    self.use_shares.append(weight / out[node])
                    if node in defining_nodes:
                        self.self_share[node] += weight / out[node]
        self.name_ends = self.name_starts[1:] + [len(self.use_nodes)]
        pairs = sorted((node, position) for position, defining in enumerate(graph.definers) for node, _ in defining)
        self.def_names = [position for _, position in pairs]
        self.targets: list[int] = []
        self.target_starts: list[int] = []
        for index, (node, _) in enumerate(pairs):
            if not self.targets or self.targets[-1] != node:
                self.targets.append(node)
                self.target_starts.append(index)
        self.target_ends = self.target_starts[1:] + [len(pairs)]
        self.dangling = [node for node in range(self.size) if out[node] == 0]
        self.with_self = [node for node in range(self.size) if self.self_share[node] > 0]

    def pools(self, rank: list[float]) -> list[float]:
        """Per name, the rank its users pass on by it."""
        prefix = [0.0, *accumulate(map(mul, map(rank.__getitem__, self.use_nodes), self.use_shares))]
        return list(map(sub, map(prefix.__getitem__, self.name_ends), map(prefix.__getitem__, self.name_starts)))

    def step(self, rank: list[float], teleport: list[float], damping: float) -> list[float]:
        pools = self.pools(rank)
        prefix = [0.0, *accumulate(map(pools.__getitem__, self.def_names))]
        inflow = map(sub, map(prefix.__getitem__, self.target_ends), map(prefix.__getitem__, self.target_starts))
        lost = sum(map(rank.__getitem__, self.dangling))
        jump = 1 - damping + damping * lost
        new = [jump * p for p in teleport]
        for node, amount in zip(self.targets, inflow):
            new[node] += damping * amount
        for node in self.with_self:
            new[node] -= damping * rank[node] * self.self_share[node]
        return new

    def rank(self, teleport: list[float], damping: float) -> list[float]:
        """Personalised PageRank: the walk jumps back to `teleport` (summing to 1)."""
        rank = list(teleport)
        for _ in range(MAX_ROUNDS):
            new = self.step(rank, teleport, damping)
            change = sum(map(abs, map(sub, new, rank)))
            rank = new
            if change < TOLERANCE_PER_FILE * self.size:
                break
        return rank


def group_by_name(rows: Sequence[tuple[str, int, int, int, int]]) -> Iterator[tuple[str, list[tuple[str, int, int, int, int]]]]:
    """The tallies (sorted by name) in runs of one name."""
    for name, group in groupby(rows, itemgetter(0)):
        yield name, list(group)


def resolve_focus(values: Sequence[str], root: str, paths: Sequence[str], index: Store) -> set[str]:
    """The stored paths the focus values stand for; Failure for one that names nothing.

    A value is a file or folder, relative to the current folder or to the
    root, or else a defined name.
    """
    known = set(paths)
    chosen: set[str] = set()
    absolute_root = os.path.abspath(root)
    for value in values:
        candidates = [os.path.relpath(os.path.abspath(value), absolute_root), os.path.normpath(value)]
        candidates = [c.replace(os.sep, "/") for c in candidates if not c.startswith("..")]
        file = next((c for c in candidates if c in known), None)
        if file is not None:
            chosen.add(file)
            continue
        folder = next((c for c in candidates if any(p.startswith("" if c == "." else c + "/") for p in paths)), None)
        if folder is not None:
            prefix = "" if folder == "." else folder + "/"
            chosen.update(p for p in paths if p.startswith(prefix))
            continue
        defining = index.files_defining(value)
        if not defining:
            raise Failure(f"--focus {value}: no indexed file or folder, and no definition, of that name")
        file_paths = index.file_paths()
        chosen.update(file_paths[file_id] for file_id in defining)
    return chosen


class RankedDefinition:
    __slots__ = ("ordinal", "kind", "name", "line", "end_line", "scope", "depth", "signature", "score", "priority")

    def __init__(self, ordinal: int, kind: str, name: str, line: int, end_line: int, scope: int | None,
                 depth: int, signature: str, score: float, priority: float) -> None:
        self.ordinal = ordinal
        self.kind = kind
        self.name = name
        self.line = line
        self.end_line = end_line
        self.scope = scope
        self.depth = depth
        self.signature = signature
        # Its share of the file's rank, and its place in the map's choice.
        self.score = score
        self.priority = priority


class RankedFile:
    __slots__ = ("path", "score", "definitions")

    def __init__(self, path: str, score: float, definitions: list[RankedDefinition]) -> None:
        self.path = path
        self.score = score
        # Every definition of the file, in source order (by ordinal).
        self.definitions = definitions


def build_graph(paths: dict[int, str], uses: Sequence[tuple[str, int, int, int, int]],
                weights: dict[str, float]) -> LinkGraph:
    # Millions of small tuples and no cycles among them: the collector's
    # passes over them would cost more than the build itself.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return LinkGraph(paths, uses, weights)
    finally:
        if collecting:
            gc.enable()


def rank_files(index: Store, focus_values: Sequence[str], root: str, weights: dict[str, float]
               ) -> tuple[LinkGraph, list[float]]:
    """The graph of the index and each file's rank, personalised toward the focus."""
    graph = build_graph(index.file_paths(), index.name_uses(), weights)
    chosen = resolve_focus(focus_values, root, graph.paths, index)
    return graph, graph.walk.rank(teleport(graph.paths, chosen, weights), weights["damping"])


def teleport(paths: Sequence[str], chosen: set[str], weights: dict[str, float]) -> list[float]:
    """Where the walk jumps back to: the `focus` share of it to the focus
    files (the `nearby` part of that to their neighbours), the rest to every
    file alike (all of it without a focus)."""
    size = len(paths)
    if not size:
        return []
    focus_nodes = [node for node, path in enumerate(paths) if path in chosen]
    share = weights["focus"] if focus_nodes else 0.0
    near = neighbours(paths, chosen)
    near_share = share * weights["nearby"] if near else 0.0
    vector = [(1 - share) / size] * size
    for node in focus_nodes:
        vector[node] += (share - near_share) / len(focus_nodes)
    for node in near:
        vector[node] += near_share / len(near)
    return vector


def neighbours(paths: Sequence[str], chosen: set[str]) -> list[int]:
    """The files that change with the chosen ones more often than others: the
    other files of their folders, and their namesakes elsewhere when there
    are few (a file's tests, not every `mod.rs`)."""
    folders = {path.rpartition("/")[0] for path in chosen}
    names: dict[str, list[int]] = {}
    near = set()
    for node, path in enumerate(paths):
        if path in chosen:
            continue
        folder, _, name = path.rpartition("/")
        if folder in folders:
            near.add(node)
        names.setdefault(name, []).append(node)
    for path in chosen:
        namesakes = names.get(path.rpartition("/")[2], [])
        if len(namesakes) <= NAMESAKES:
            near.update(namesakes)
    return sorted(near)


def name_inflows(graph: LinkGraph, rank: list[float], damping: float) -> dict[tuple[int, str], float]:
    """The rank each file receives by each name it defines."""
    pools = graph.walk.pools(rank)
    out = graph.link_out
    inflows: dict[tuple[int, str], float] = {}
    for position, (name, defining) in enumerate(zip(graph.names, graph.definers)):
        own_use = {node: weight for node, weight in graph.users[position]}
        for node, _ in defining:
            kept = rank[node] * own_use[node] / out[node] if node in own_use and out[node] > 0 else 0.0
            inflows[(node, name)] = damping * (pools[position] - kept)
    return inflows


def ranked_files(index: Store, graph: LinkGraph, rank: list[float], weights: dict[str, float],
                 budget: int) -> list[RankedFile]:
    """The best-ranked files, best first (ties in path order), with all their
    definitions scored; as many files as give definitions enough to fill `budget`."""
    inflows = name_inflows(graph, rank, weights["damping"])
    order = sorted(range(len(graph.paths)), key=lambda node: (-rank[node], graph.paths[node]))
    ids = {path: file_id for file_id, path in index.file_paths().items()}
    files: list[RankedFile] = []
    gathered = 0
    for start in range(0, len(order), READ_BATCH):
        batch = order[start:start + READ_BATCH]
        rows = index.definitions_of([ids[graph.paths[node]] for node in batch])
        by_file: dict[int, list[tuple[Any, ...]]] = {}
        for row in rows:
            by_file.setdefault(row[0], []).append(row[1:])
        for node in batch:
            path = graph.paths[node]
            definitions = score_definitions(
                by_file.get(ids[path], []), node, rank[node], inflows, weights["own"], weights["spread"])
            files.append(RankedFile(path, rank[node], definitions))
            # A file seldom shows more than its first few definitions.
            best = sorted((d for d in definitions if d.priority > 0), key=lambda d: -d.priority)[:FEW]
            gathered += sum(len(d.signature) + d.depth * 2 + 3 for d in best) // 4
        if gathered >= CANDIDATE_FACTOR * budget:
            break
    return files


def score_definitions(rows: list[tuple[Any, ...]], node: int, file_rank: float,
                      inflows: dict[tuple[int, str], float], own: float, spread: float) -> list[RankedDefinition]:
    """A file's definitions, its rank shared out among them: by the rank that
    reaches each by its name (split among the file's definitions of that
    name), with the `own` part spread evenly over its outline definitions
    (all of it when nothing reaches the file by name)."""
    definitions = [
        RankedDefinition(ordinal, kind, name, line, end_line, scope, depth, signature, 0.0, 0.0)
        for ordinal, kind, name, line, end_line, scope, depth, signature in rows
    ]
    # Renumbered by place, so that an ordinal indexes the list even in a damaged index.
    position_of = {definition.ordinal: position for position, definition in enumerate(definitions)}
    for position, definition in enumerate(definitions):
        definition.ordinal = position
        definition.scope = position_of.get(definition.scope) if definition.scope is not None else None
    same_name: dict[str, int] = {}
    for definition in definitions:
        same_name[definition.name] = same_name.get(definition.name, 0) + 1
    reached = [inflows.get((node, d.name), 0.0) / same_name[d.name] for d in definitions]
    total = sum(reached)
    outline = [d for d in definitions if d.kind in OUTLINE_KINDS or d.depth == 0]
    even = (own if total > 0 else 1.0) if outline else 0.0
    for definition, amount in zip(definitions, reached):
        definition.score = file_rank * (1 - even) * amount / total if total > 0 else 0.0
    for definition in outline:
        definition.score += file_rank * even / len(outline)
    # The map takes definitions by priority: each file's best first, in the
    # order of the files' ranks, its further ones counting less and less,
    # so that it shows more files rather than every definition of the best.
    best_first = sorted((d for d in definitions if d.score > 0), key=lambda d: (-d.score, d.ordinal))
    for place, definition in enumerate(best_first):
        definition.priority = file_rank / (1 + place) ** spread
    return definitions


def choose_within_budget(files: list[RankedFile], budget: int,
                         measure: Callable[[list[RankedFile], dict[str, set[int]]], int]) -> dict[str, set[int]]:
    """The ordinals to show per path: the definitions first in priority, with the
    definitions enclosing them, as many as `measure` says fit in `budget`.

    More definitions nearly always cost more, so a search by halves finds
    the count of best ones that fits; the next ones are then tried one by
    one, as a shorter line may still fit where a longer one did not.
    """
    candidates = sorted(
        ((definition.priority, position, definition.ordinal) for position, file in enumerate(files)
         for definition in file.definitions if definition.priority > 0),
        key=lambda item: (-item[0], item[1], item[2]),
    )

    def shown(count: int, extra: Sequence[tuple[float, int, int]] = ()) -> dict[str, set[int]]:
        chosen: dict[str, set[int]] = {}
        for _, position, ordinal in [*candidates[:count], *extra]:
            file = files[position]
            ordinals = chosen.setdefault(file.path, set())
            current: int | None = ordinal
            while current is not None and current not in ordinals:
                ordinals.add(current)
                scope = file.definitions[current].scope
                # A scope always comes before what it holds; anything else is not followed.
                current = scope if scope is not None and scope < current else None
        return chosen

    low, high = 0, len(candidates)
    while low < high:
        middle = (low + high + 1) // 2
        if measure(files, shown(middle)) <= budget:
            low = middle
        else:
            high = middle - 1
    taken = list(candidates[:low])
    for candidate in candidates[low + 1:low + 1 + 64]:
        trial = shown(0, [*taken, candidate])
        if measure(files, trial) <= budget:
            taken.append(candidate)
    return shown(0, taken)


def run_map(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    """The map of the index, as `find` reads it: refreshed first with --refresh,
    or when files changed and the index was made with --auto-refresh; else
    the changes are only reported."""
    from . import render, store
    from .queries import changes_since_refresh, locate_index, open_index, refresh_before_reading

    weights = parse_weights(args.weight or [])
    place = locate_index(args, out)
    if args.refresh:
        refresh_before_reading(place, args.wait, caller, out)
    for attempt in range(2):
        index, root = open_index(place)
        with index:
            stale = None if args.refresh or attempt else changes_since_refresh(index, root)
            if not stale or index.read_meta(store.AUTO_REFRESH_KEY) != "1":
                graph, rank = rank_files(index, args.focus or [], root, weights)
                files = ranked_files(index, graph, rank, weights, args.tokens)
                break
        refresh_before_reading(place, args.wait, caller, out)
    chosen = choose_within_budget(files, args.tokens, render.map_tokens)
    render.print_map(files, chosen, out)
    if stale:
        render.print_stale_notice(stale, args.command, out)
    return EXIT_OK
