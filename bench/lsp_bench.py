#!/usr/bin/env python3
"""Latency and memory of `brightloom-index lsp` on real trees.

Each tree is copied under /tmp, made a git work tree and indexed; then one
server is started on it and driven over its pipes:
- the first request (`workspace/symbol`) after `initialized`: under 200 ms;
- `textDocument/definition`, `textDocument/references` and `workspace/symbol`
  at REQUESTS random identifiers each (the name of a stored declaration, at
  its place in its file; a prefix of it for the symbol query): 95th
  percentile under 30 ms;
- diagnostics of a 2,000-line buffer: from a one-character `didChange` to
  the `publishDiagnostics` of that version, under 50 ms (DIAGNOSTIC_EDITS
  edits);
- the server's resident memory after those: under 100 MB on eslint, and
  sampled every 1,000 requests of a SOAK-request mix: flat.
Times are wall clock from writing the request to reading its answer; the
machine's load is printed, since a shared machine moves them a lot.

Trees: /tmp/corpus/eslint and /tmp/corpus/tokio, or the folders named.
    PYTHONPATH=build python3 bench/lsp_bench.py [TREE...] [--soak N]
"""
import json
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REQUESTS = 1000
DIAGNOSTIC_EDITS = 100
SOAK = 10_000
DEFAULT_TREES = [Path("/tmp/corpus/eslint"), Path("/tmp/corpus/tokio")]
SOURCE = Path(__file__).resolve().parents[1] / "python"
PYTHON = "/usr/bin/python3"
sys.path.insert(0, str(SOURCE))

from brightloom_index.lsp.jsonrpc import frame, read_frame  # noqa: E402


def environment():
    paths = [str(SOURCE)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in paths))


def copy_tree(source, workspace):
    tree = workspace / source.name
    shutil.copytree(source, tree, symlinks=True, ignore=shutil.ignore_patterns(".brightloom", "build*", ".git"))
    subprocess.run(["git", "init", "-q"], cwd=tree, check=True)
    subprocess.run(["git", "add", "-A"], cwd=tree, check=True, capture_output=True)
    return tree


class Client:
    def __init__(self, root):
        self.process = subprocess.Popen([PYTHON, "-m", "brightloom_index", "lsp"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment())
        self.next_id = 0
        self.root = root

    def send(self, message):
        self.process.stdin.write(frame(message))
        self.process.stdin.flush()

    def notify(self, method, params):
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    def request(self, method, params):
        """(result, seconds from writing to reading the answer)."""
        self.next_id += 1
        started = time.perf_counter()
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        message = self.wait(lambda m: m.get("id") == self.next_id)
        if "error" in message:
            sys.exit(f"{method} failed: {message['error']}")
        return message["result"], time.perf_counter() - started

    def wait(self, accept):
        while True:
            message = json.loads(read_frame(self.process.stdout))
            if accept(message):
                return message

    def resident_mib(self):
        fields = dict(line.split(":", 1) for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines())
        return int(fields["VmRSS"].split()[0]) / 1024, int(fields["VmHWM"].split()[0]) / 1024

    def close(self):
        self.request("shutdown", None)
        self.notify("exit", None)
        self.process.wait(timeout=30)


def targets(tree, count, seed):
    """(uri, line from 0, character, name) of random stored declarations whose name is on its line."""
    database = sqlite3.connect(tree / ".brightloom" / "index.sqlite")
    rows = database.execute("SELECT f.path, d.line, d.name FROM definitions d JOIN files f ON f.id = d.file_id").fetchall()
    database.close()
    chooser = random.Random(seed)
    picked = []
    while len(picked) < count:
        path, line, name = chooser.choice(rows)
        if not re.fullmatch(r"[\w$]+", name):
            continue  # `Lines<R>`: the cursor is on a word
        text = (tree / path).read_text(encoding="utf-8").split("\n")[line - 1]
        match = re.search(r"(?<![\w$])" + re.escape(name) + r"(?![\w$])", text)
        if match and text.isascii():
            picked.append(((tree / path).as_uri(), line - 1, match.start() + 1, name))
    return picked


def percentiles(seconds):
    ordered = sorted(seconds)
    def at(share):
        return ordered[min(len(ordered) - 1, int(share * len(ordered)))] * 1000

    return f"p50 {at(0.5):6.1f} ms  p95 {at(0.95):6.1f} ms  max {ordered[-1] * 1000:6.1f} ms"


def two_thousand_lines(tree):
    """A JavaScript or Rust text of 2,000 lines cut from the tree's largest such file."""
    files = sorted((p for p in tree.rglob("*") if p.suffix in (".js", ".rs") and p.is_file() and ".git" not in p.parts),
                   key=lambda p: p.stat().st_size, reverse=True)
    for path in files:
        lines = path.read_text(encoding="utf-8", errors="replace").split("\n")
        if len(lines) >= 2000:
            return path, "\n".join(lines[:2000]) + "\n"
    path = files[0]
    text = path.read_text(encoding="utf-8")
    return path, (text * (2000 // max(1, text.count("\n")) + 1))


def bench_tree(source, workspace, soak):
    tree = copy_tree(source, workspace)
    started = time.perf_counter()
    subprocess.run([PYTHON, "-m", "brightloom_index", "index", str(tree)], env=environment(), check=True,
                   stdout=subprocess.DEVNULL)
    print(f"\n{source.name}: indexed in {time.perf_counter() - started:.1f} s; load {os.getloadavg()[0]:.1f}")
    picked = targets(tree, REQUESTS, seed=len(source.name))

    client = Client(tree)
    client.request("initialize", {"rootUri": tree.as_uri(), "capabilities": {}})
    client.notify("initialized", {})
    _, first = client.request("workspace/symbol", {"query": picked[0][3]})
    print(f"  first request after initialized: {first * 1000:.1f} ms (goal 200 ms)")

    for method in ("textDocument/definition", "textDocument/references", "workspace/symbol"):
        seconds = []
        for uri, line, character, name in picked:
            if method == "workspace/symbol":
                params = {"query": name[: max(3, len(name) // 2)]}
            else:
                params = {"textDocument": {"uri": uri}, "position": {"line": line, "character": character},
                          "context": {"includeDeclaration": True}}
            result, spent = client.request(method, params)
            if method == "textDocument/definition" and not result:
                sys.exit(f"no definition of {name} at {uri}:{line + 1}")
            seconds.append(spent)
        print(f"  {method:26} {percentiles(seconds)} over {len(seconds)} (goal p95 30 ms)")

    path, text = two_thousand_lines(tree)
    uri = (tree / ("bench_buffer" + path.suffix)).as_uri()
    client.notify("textDocument/didOpen", {"textDocument": {"uri": uri, "languageId": "", "version": 1, "text": text}})
    client.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics" and m["params"]["uri"] == uri)
    seconds = []
    for version in range(2, DIAGNOSTIC_EDITS + 2):
        started = time.perf_counter()
        client.notify("textDocument/didChange", {
            "textDocument": {"uri": uri, "version": version},
            "contentChanges": [{"range": {"start": {"line": 1000, "character": 0}, "end": {"line": 1000, "character": 0}},
                                "text": " " if version % 2 else ""}],
        })
        client.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics"
                    and m["params"].get("version") == version)
        seconds.append(time.perf_counter() - started)
    print(f"  diagnostics, 2,000 lines ({path.name}): {percentiles(seconds)} (goal 50 ms; 10 ms of it is the delay)")

    rss, peak = client.resident_mib()
    print(f"  memory after {3 * REQUESTS} requests: {rss:.1f} MiB resident, peak {peak:.1f} MiB (goal 100 MB)")
    samples = []
    for number in range(soak):
        uri, line, character, name = picked[number % len(picked)]
        method = ("textDocument/definition", "textDocument/references", "workspace/symbol", "textDocument/hover")[number % 4]
        params = ({"query": name[:3]} if method == "workspace/symbol" else
                  {"textDocument": {"uri": uri}, "position": {"line": line, "character": character},
                   "context": {"includeDeclaration": True}})
        client.request(method, params)
        if (number + 1) % 1000 == 0:
            samples.append(client.resident_mib()[0])
    if samples:
        print(f"  soak of {soak} requests, resident MiB every 1,000: " + " ".join(f"{value:.1f}" for value in samples))
    client.close()


def main(argv):
    soak = SOAK
    if "--soak" in argv:
        at = argv.index("--soak")
        soak = int(argv[at + 1])
        del argv[at : at + 2]
    trees = [Path(arg) for arg in argv] or DEFAULT_TREES
    with tempfile.TemporaryDirectory(prefix="lsp-bench-") as folder:
        for tree in trees:
            bench_tree(tree, Path(folder), soak)


if __name__ == "__main__":
    main(sys.argv[1:])
