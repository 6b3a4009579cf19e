#!/usr/bin/env python3
"""symbols_coverage's count of ctags' definitions, answered from an index.

    PYTHONPATH=build python3 bench/index_coverage.py /tmp/corpus/tokio [--db PATH]

Indexes ROOT (into a temporary database unless --db names one) with
`brightloom-index index`, then runs bench/symbols_coverage.py's measure with
each file's "symbols" reply rebuilt from the stored definitions and
references, so the figure covers the whole road: file selection, parse
workers and the store. Files ctags reads that the index does not hold (left
out by ignore files, or not readable) are counted apart.
"""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile

import symbols_coverage
from index_bench import CLI, environment


def stored_replies(database, root):
    """A stand-in for `run` that answers "symbols" for a file from the index."""
    connection = sqlite3.connect(database)
    missing = set()

    def run(command, payload):
        assert command == "symbols"
        path = os.path.relpath(json.loads(payload)["path"], root)
        row = connection.execute("SELECT id FROM files WHERE path = ?", (path,)).fetchone()
        if row is None:
            missing.add(path)
            return json.dumps({"definitions": [], "references": []})
        definitions = [
            {"kind": kind, "name": name, "line": line, "column": column, "end_line": end_line, "scope": scope}
            for kind, name, line, column, end_line, scope in connection.execute(
                "SELECT kind, name, line, column, end_line, scope FROM definitions WHERE file_id = ?"
                " ORDER BY ordinal", row)
        ]
        references = [
            {"kind": kind, "name": name, "line": line, "column": column, "scope": scope}
            for kind, name, line, column, scope in connection.execute(
                "SELECT kind, name, line, column, scope FROM refs WHERE file_id = ? ORDER BY ordinal", row)
        ]
        return json.dumps({"definitions": definitions, "references": references})

    return run, missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("--db", help="an index of ROOT to read instead of making one")
    parser.add_argument("--examples", type=int, default=4, help="misses shown per kind")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    with tempfile.TemporaryDirectory(prefix="index-coverage-") as workspace:
        database = args.db or os.path.join(workspace, "index.sqlite")
        if args.db is None:
            subprocess.run(CLI + ["index", root, "--db", database], check=True, stdout=subprocess.DEVNULL,
                           env=environment())
        symbols_coverage.run, missing = stored_replies(database, root)
        share = symbols_coverage.measure(root, args.examples)
    print(f"  files ctags read that the index does not hold: {len(missing)}"
          + (f" ({', '.join(sorted(missing)[:5])}...)" if missing else ""))
    return 0 if share >= 95.0 else 1


if __name__ == "__main__":
    sys.exit(main())
