"""`map`: ranking toward a focus on a tree whose order is known by construction,
the token budget, determinism, and a refreshed index giving the rebuilt one's map."""
import random

import pytest

from conftest import age_tree
from test_cli import cli, json_lines
from test_index_selection import make_tree

from brightloom_index.ranked_map import LinkGraph, parse_weights

# hub.py is used by every worker; leaf.py by none, and it alone uses special.py.
WORKERS = {f"worker_{n}.py": f"from hub import CoreEngine\n\ndef job_{n}():\n    return CoreEngine()\n" for n in range(5)}
TREE = {
    "hub.py": "def CoreEngine():\n    return 1\n",
    "leaf.py": "from special import SpecialWidget\n\ndef leaf_main():\n    return SpecialWidget()\n",
    "special.py": "def SpecialWidget():\n    return 2\n",
    "pkg/inner.py": "def inner_task():\n    return 3\n",
    **WORKERS,
}


@pytest.fixture
def repo(tmp_path, monkeypatch):
    root = tmp_path / "repo"
    make_tree(root, TREE)
    age_tree(root)
    assert cli("index", str(root))[0] == 0
    monkeypatch.chdir(root)
    return root


def ranked_paths(*argv):
    status, out, err = cli("map", "--json", "--tokens", "100000", *argv)
    assert (status, err) == (0, ""), err
    return [line["path"] for line in json_lines(out)]


@pytest.mark.parametrize("focus, first", [
    ((), ["hub.py"]),
    (("--focus", "leaf.py"), ["leaf.py", "special.py"]),
    (("--focus", "SpecialWidget"), ["special.py"]),
    (("--focus", "pkg"), ["pkg/inner.py"]),
])
def test_hub_first_and_focus_flips_the_order(repo, focus, first):
    paths = ranked_paths(*focus)
    assert paths[:len(first)] == first
    if not focus:
        assert paths.index("leaf.py") > paths.index("special.py")
    else:
        # Unreachable from the focus, the hub may have no rank left at all.
        assert "hub.py" not in paths[:len(first)]


def test_weights_are_applied(repo):
    # With no jump to the focus, the focus changes nothing.
    assert ranked_paths("--focus", "leaf.py", "--weight", "focus=0") == ranked_paths()
    # Every name here is compound: weighed 0, no link is left and all files rank alike.
    status, out, _ = cli("map", "--json", "--tokens", "100000", "--weight", "compound=0")
    assert len({round(line["score"], 12) for line in json_lines(out)}) == 1


def test_scores_sum_to_one_and_definitions_carry_theirs(repo):
    status, out, _ = cli("map", "--json", "--tokens", "100000")
    files = json_lines(out)
    assert abs(sum(f["score"] for f in files) - 1) < 1e-6
    hub = files[0]["definitions"]
    assert [(d["name"], d["line"], d["kind"]) for d in hub] == [("CoreEngine", 1, "function")]
    assert hub[0]["score"] > 0


def test_budget_never_exceeded_and_mostly_filled(tmp_path, monkeypatch):
    rng = random.Random(7)
    files = {}
    for n in range(60):
        calls = "\n".join(f"    f{rng.randrange(60)}_{k}()" for k in range(3))
        body = "".join(f"def f{n}_{k}(argument_{k}, other):\n{calls}\n" for k in range(3))
        files[f"m{n}/mod_{n}.py"] = body
    make_tree(tmp_path, files)
    age_tree(tmp_path)
    assert cli("index", str(tmp_path))[0] == 0
    monkeypatch.chdir(tmp_path)
    for budget in (0, 7, 64, 256, 1024):
        status, out, err = cli("map", "--tokens", str(budget))
        tokens = -(-len(out.encode()) // 4)
        assert status == 0 and err == ""
        assert tokens <= budget
        if budget >= 64:
            assert tokens >= 0.85 * budget, (budget, tokens)
        # The same index and options give the same map.
        assert cli("map", "--tokens", str(budget))[1] == out


def test_refreshed_index_gives_the_rebuilt_ones_map(repo):
    before = cli("map", "--tokens", "100000")[1]
    (repo / "leaf.py").write_text(
        "from special import SpecialWidget\nfrom hub import CoreEngine\n\n"
        "def leaf_main():\n    return SpecialWidget() + CoreEngine() + CoreEngine()\n"
    )
    (repo / "worker_0.py").unlink()
    status, stale, err = cli("map", "--tokens", "100000")
    assert (status, stale) == (0, before) and "2 files changed since the last refresh" in err
    status, refreshed, err = cli("map", "--json", "--tokens", "100000", "--refresh")
    assert (status, err) == (0, "")
    assert cli("index", ".", "--rebuild")[0] == 0
    assert cli("map", "--json", "--tokens", "100000")[1] == refreshed
    assert refreshed != before and "worker_0.py" not in refreshed
    # An index made to refresh itself does so before mapping.
    assert cli("index", ".", "--auto-refresh")[0] == 0
    (repo / "worker_1.py").unlink()
    status, out, err = cli("map", "--json", "--tokens", "100000")
    assert (status, err) == (0, "") and "worker_1.py" not in out and "worker_2.py" in out


@pytest.mark.parametrize("argv, message", [
    (("--weight", "bogus=1"), "expected NAME=VALUE"),
    (("--weight", "damping=1"), "out of range"),
    (("--weight", "long=x"), "not a number"),
    (("--weight", "private=nan"), "out of range"),
    (("--weight", "shared=1e300"), "out of range"),
    (("--focus", "NoSuchThing"), "no indexed file or folder"),
    (("--tokens", "-1"), "out of range"),
])
def test_bad_options_fail_in_one_line(repo, argv, message):
    status, out, err = cli("map", *argv)
    assert status == 2 and out == ""
    assert message in err and err.count("\n") == 1


def test_walk_through_names_equals_pagerank_over_file_links():
    """The pooled walk against a plain PageRank of the explicit file graph."""
    networkx = pytest.importorskip("networkx")
    from networkx.algorithms.link_analysis.pagerank_alg import _pagerank_python

    rng = random.Random(3)
    names = ["run", "Parser", "load_config", "_hidden", "x"]
    tallies = {(rng.choice(names), rng.randrange(12)): (rng.randrange(3), rng.randrange(2), rng.randrange(2))
               for _ in range(40)}
    rows = sorted((name, file_id, *counts) for (name, file_id), counts in tallies.items())
    weights = parse_weights([])
    paths = {file_id: f"f{file_id:02}" for file_id in range(12)}
    graph = LinkGraph(paths, rows, weights)
    teleport = [0.5, 0.5] + [0.0] * 10
    ours = graph.walk.rank(teleport, weights["damping"])

    from brightloom_index.ranked_map import name_factor
    links = networkx.DiGraph()
    links.add_nodes_from(range(12))
    for name in names:
        group = [row for row in rows if row[0] == name]
        definers = [f for _, f, _, _, d in group if d]
        for _, source, uses, imports, _ in group:
            count = uses + weights["import"] * imports
            for target in definers:
                if count and target != source:
                    weight = count ** 0.5 * name_factor(name, len(definers), weights)
                    old = links.get_edge_data(source, target, {"weight": 0})["weight"]
                    links.add_edge(source, target, weight=old + weight)
    expected = _pagerank_python(links, alpha=weights["damping"], personalization=dict(enumerate(teleport)),
                                tol=1e-12, max_iter=1000)
    assert ours == pytest.approx([expected[node] for node in range(12)], abs=1e-5)


# The rule of a file's name tallies, as a query over its stored rows.
NAME_USES_BY_RULE = """
SELECT name, file_id, sum(use), sum(import), sum(define) FROM (
  SELECT name, file_id, kind != 'import' AS use, kind = 'import' AS import, 0 AS define FROM refs
  UNION ALL SELECT d.name, d.file_id, 0, 0, 1 FROM definitions d
  LEFT JOIN definitions p ON p.file_id = d.file_id AND p.ordinal = d.scope
  WHERE d.kind != 'impl' AND coalesce(p.kind NOT IN ('function', 'method'), 1)
  AND NOT (d.depth > 0 AND d.kind IN ('field', 'property', 'enumerator', 'variable', 'constant')))
GROUP BY name, file_id ORDER BY name, file_id
"""


def test_name_tallies_follow_the_stored_rows(tmp_path):
    # Imports, repeated uses, impl blocks, nested fields and constants,
    # definitions inside functions and methods, names defined and used.
    root = tmp_path / "tallies"
    make_tree(root, {
        "shapes.rs": "use std::fmt::Display;\nuse crate::Area;\nstruct Square { side: u32 }\n"
                     "impl Area for Square {\n    const SIDES: u32 = 4;\n    fn area(&self) -> u32 {\n"
                     "        fn helper() -> u32 { 1 }\n        helper() * self.side * self.side\n    }\n}\n"
                     "enum Colour { Red, Green }\nfn main() { let s = Square { side: 2 }; s.area(); s.area(); }\n",
        "model.py": "import os\nfrom shapes import Square\n\nclass Model:\n    limit = 3\n\n"
                    "    def run(self):\n        def inner():\n            return Square()\n"
                    "        return inner() or os.getcwd() or Model()\n",
        "app.ts": "import { Model } from './model';\nexport class App extends Model {\n  count = 0;\n"
                  "  start(): void { const local = () => this.count; local(); new App(); }\n}\n",
    })
    database = tmp_path / "tallies.sqlite"
    assert cli("index", str(root), "--db", str(database))[0] == 0
    import sqlite3
    with sqlite3.connect(database) as connection:
        stored = connection.execute("SELECT * FROM name_uses ORDER BY name, file_id").fetchall()
        expected = connection.execute(NAME_USES_BY_RULE).fetchall()
    assert stored == expected
    names = {row[0] for row in stored}
    assert {"Square", "Model", "helper", "area"} <= names and "SIDES" not in names
