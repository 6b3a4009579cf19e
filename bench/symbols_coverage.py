#!/usr/bin/env python3
"""How many of ctags' named definitions "symbols" finds, per repository.

    PYTHONPATH=build python3 bench/symbols_coverage.py /tmp/corpus/tokio /tmp/corpus/eslint ...

Runs Debian's `ctags -R` (its languages restricted to ours) on each tree and
the module's "symbols" command on every file ctags read, and counts a ctags
definition as found when a definition of the same name in the same file lies
within one line. Left out of the count: anonymous names, import aliases
(Python's `unknown` and `namespace` kinds, and any name the parse shows
imported on that line, such as TypeScript's `import { type A }`) and
object-literal keys whose value is not a function, class or object (keys
are told by their place, first on the line or after `{` or `,`, whatever
kind ctags gives them: its TypeScript reader calls many of them constants). Prints the share per repository,
then again without ctags' misreadings (a keyword taken for a name, or a name
the parse shows only used on that line), the misses grouped by ctags kind
with a few examples, and how many definitions "symbols" has that ctags does
not.
"""
import argparse
import collections
import json
import os
import re
import subprocess
import sys

from brightloom_index_native import run

CTAGS_LANGUAGES = "Python,Rust,JavaScript,TypeScript,C,C++,Go,Java,C#,Ruby,PHP,Sh"
IMPORT_KINDS = {("Python", "unknown"), ("Python", "namespace")}
# A key's value, right after `key:`, that makes the key a definition.
DEFINING_VALUE = re.compile(r"\s*(\{|function\b|class\b|async\b|\(|[A-Za-z_$][\w$]*\s*=>)")


def ctags_definitions(root):
    output = subprocess.run(
        ["ctags", "-R", "--languages=" + CTAGS_LANGUAGES, "--fields=+nlK", "--extras=-F",
         "--output-format=json", "-f", "-", "."],
        cwd=root, check=True, capture_output=True, text=True).stdout
    for line in output.splitlines():
        tag = json.loads(line)
        if tag.get("_type") == "tag":
            yield tag


def is_anonymous(name):
    return name.startswith("__anon") or name.startswith("AnonymousFunction") or not name.strip()


def key_holds_plain_data(lines, tag):
    """Whether an object-literal key's value is data rather than a definition:
    a shorthand key, or `key: value` with a value that is no function, class
    or object (looked at on the next line when the key ends its line)."""
    number = tag["line"]
    line = lines[number - 1] if number <= len(lines) else ""
    at = line.find(tag["name"])
    if at < 0:
        return False
    rest = line[at + len(tag["name"]):].lstrip("'\"`] ")
    if rest.startswith("(") or rest.startswith("="):
        return False  # a method `name(...) {`, a class field `name = ...`
    if not rest.startswith(":"):
        return True  # shorthand `{ name }`
    value = rest[1:]
    if not value.strip() and number < len(lines):
        value = lines[number]
    return not DEFINING_VALUE.match(value)


KEYWORDS = {"const", "let", "var", "export", "import", "default", "if", "else", "for", "while",
            "finally", "try", "catch", "return", "satisfies", "readonly", "async", "await",
            "type", "extends", "super", "this", "new", "typeof", "in", "of", "as"}


def used_not_defined_here(reply, tag):
    """ctags' own misreadings: a keyword taken for a name, or a name the parse
    shows only used on that line (`expect(...)`, `Date.now()`). Looked for
    in JavaScript and TypeScript only, where ctags reads expressions."""
    if tag.get("language") not in ("JavaScript", "TypeScript"):
        return False
    if tag["name"] in KEYWORDS:
        return True
    line = tag["line"]
    return (any(r["name"] == tag["name"] and r["line"] == line for r in reply["references"]) and
            not any(d["name"] == tag["name"] and abs(d["line"] - line) <= 1 for d in reply["definitions"]))


def in_key_position(lines, tag):
    """Whether the name stands where an object literal's key does: first on
    its line or after `{` or `,` (ctags' TypeScript reader tags such keys as
    constants too)."""
    number = tag["line"]
    line = lines[number - 1] if number <= len(lines) else ""
    at = line.find(tag["name"])
    before = line[:at].rstrip() if at >= 0 else "x"
    return before == "" or before.endswith("{") or before.endswith(",")


def imported_here(reply, tag):
    """A TypeScript alias the parse shows imported on that line: an import
    alias (`import { type A }`), not a type alias."""
    return any(r["kind"] == "import" and r["name"] == tag["name"] and r["line"] == tag["line"]
               for r in reply["references"])


def measure(root, shown):
    texts = {}
    replies = {}
    ours = {}
    misses = collections.defaultdict(list)
    counted = found = misread = 0
    for tag in ctags_definitions(root):
        path = tag["path"]
        if path not in ours:
            reply = json.loads(run("symbols", json.dumps({"path": os.path.join(root, path)})))
            ours[path] = reply["definitions"]
            replies[path] = reply
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
                texts[path] = source.read().splitlines()
        kind = (tag.get("language"), tag.get("kind"))
        if is_anonymous(tag["name"]) or kind in IMPORT_KINDS:
            continue
        if tag.get("kind") == "alias" and imported_here(replies[path], tag):
            continue
        if (tag.get("language") in ("JavaScript", "TypeScript")
                and (tag.get("kind") in ("property", "field") or in_key_position(texts[path], tag))
                and key_holds_plain_data(texts[path], tag)):
            continue
        counted += 1
        if used_not_defined_here(replies[path], tag):
            misread += 1
            misses[("ctags misreading", tag.get("kind"))].append(f'{path}:{tag["line"]} {tag["name"]}')
            continue
        if any(d["name"] == tag["name"] and abs(d["line"] - tag["line"]) <= 1 for d in ours[path]):
            found += 1
        else:
            misses[kind].append(f'{path}:{tag["line"]} {tag["name"]}')
    ctags_names = collections.defaultdict(set)
    for tag in ctags_definitions(root):
        ctags_names[tag["path"]].add(tag["name"])
    extra = sum(1 for path, defs in ours.items() for d in defs if d["name"] not in ctags_names[path])
    total = sum(len(defs) for defs in ours.values())
    raw_share = 100.0 * found / counted if counted else 100.0
    share = 100.0 * found / (counted - misread) if counted > misread else 100.0
    print(f"{os.path.basename(root.rstrip('/'))}: {found} of {counted} ctags definitions found "
          f"({raw_share:.1f}%); without {misread} ctags misreadings {share:.1f}%; "
          f"symbols lists {total}, {extra} with a name ctags has not in that file")
    for kind, items in sorted(misses.items(), key=lambda item: -len(item[1])):
        print(f"  missed {len(items):5d} {kind[0]} {kind[1]}: " + "; ".join(items[:shown]))
    return share


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="+")
    parser.add_argument("--examples", type=int, default=4, help="misses shown per kind")
    args = parser.parse_args()
    shares = [measure(root, args.examples) for root in args.roots]
    return 0 if all(share >= 95.0 for share in shares) else 1


if __name__ == "__main__":
    sys.exit(main())
