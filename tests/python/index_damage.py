"""Damaged copies of a real index, and the check every one of them must pass.

Shared by test_index_damage.py (a small sample) and
bench/index_damage_fuzz.py (thousands of variants). Each variant is the
index of a small project with bytes flipped, cut short, pages spliced in
from itself or from another index, or a write-ahead log of another index
beside it. Every command must then answer or fail with lines of its own
(never a traceback), and `index --rebuild` must leave a working index.
"""
import io
import os
import random
import shutil
import sqlite3
from pathlib import Path

from brightloom_index.cli import main

PAGE = 4096
NAME = "needle"


def write_project(root, flavour=0):
    """A project whose index spans a few dozen pages; `flavour` varies its content."""
    for index in range(24):
        body = "".join(f"def f{flavour}_{index}_{j}(x):\n    return abs(x) + {j}\n" for j in range(12))
        (root / f"pkg{index % 3}").mkdir(parents=True, exist_ok=True)
        (root / f"pkg{index % 3}" / f"m{index}.py").write_text(body)
    (root / "needle.py").write_text(f"class Needle{flavour}:\n    pass\n\ndef {NAME}():\n    return 1\n")
    (root / "broken.py").write_text("def broken(:\n")
    (root / "broken.ts").write_text("function gamma(: void {\n")


def run_cli(*argv):
    out, err = io.StringIO(), io.StringIO()
    status = main(list(argv), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def location_of(root):
    return root / ".brightloom" / "index.sqlite"


def checkpointed(location):
    """The index's bytes with every committed page in the main file."""
    with sqlite3.connect(location) as connection:
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    connection.close()
    return Path(location).read_bytes()


def foreign_wal(location):
    """A write-ahead log of the index at `location`, caught before its checkpoint."""
    connection = sqlite3.connect(location)
    connection.execute("PRAGMA wal_autocheckpoint = 0")
    connection.execute("UPDATE files SET lines = lines + 1")
    connection.commit()
    wal = Path(str(location) + "-wal").read_bytes()
    connection.close()
    return wal


class Material:
    """A project indexed once, the pristine bytes, and another index's pages and log."""

    def __init__(self, workdir):
        workdir = Path(workdir)
        self.root = workdir / "project"
        write_project(self.root)
        status, _, err = run_cli("index", str(self.root))
        assert status == 0, err
        self.pristine = checkpointed(location_of(self.root))
        other = workdir / "other"
        write_project(other, flavour=1)
        status, _, err = run_cli("index", str(other))
        assert status == 0, err
        self.other = checkpointed(location_of(other))
        self.other_wal = foreign_wal(location_of(other))
        status, self.expected, err = run_cli("find", NAME, "--root", str(self.root))
        assert status == 0 and self.expected, err


def flip(data, rng, start, end, count):
    data = bytearray(data)
    for _ in range(count):
        offset = rng.randrange(start, min(end, len(data)))
        data[offset] = rng.choice([0, 0xFF, rng.randrange(256), data[offset] ^ (1 << rng.randrange(8))])
    return bytes(data)


def splice(data, source, rng):
    pages = len(data) // PAGE
    target = rng.randrange(pages)
    taken = rng.randrange(len(source) // PAGE)
    return data[: target * PAGE] + source[taken * PAGE:(taken + 1) * PAGE] + data[(target + 1) * PAGE:]


def variant(material, rng):
    """(kind of damage, main file bytes, -wal bytes or None), drawn at random."""
    data = material.pristine
    kind = rng.randrange(9)
    if kind == 0:
        return "flip anywhere", flip(data, rng, 0, len(data), rng.randint(1, 16)), None
    if kind == 1:
        return "flip in the header", flip(data, rng, 0, 100, rng.randint(1, 3)), None
    if kind == 2:
        # The stored schema text: one bad byte in it once gave tracebacks everywhere.
        start = data.find(b"CREATE TABLE")
        return "flip in the schema", flip(data, rng, start, start + 1500, rng.randint(1, 2)), None
    if kind == 3:
        return "flip in page 1", flip(data, rng, 100, PAGE, rng.randint(1, 8)), None
    if kind == 4:
        cut = rng.choice([rng.randrange(100), rng.randrange(len(data) // PAGE) * PAGE, rng.randrange(len(data))])
        return "truncated", data[:cut], None
    if kind == 5:
        return "page spliced from itself", splice(data, data, rng), None
    if kind == 6:
        return "page spliced from another index", splice(data, material.other, rng), None
    if kind == 7:
        zero = rng.randrange(len(data) // PAGE)
        return "page zeroed", data[: zero * PAGE] + bytes(PAGE) + data[(zero + 1) * PAGE:], None
    return "the -wal of another index", data, material.other_wal


def set_byte(offset, value):
    return lambda data: data[:offset] + bytes([value]) + data[offset + 1:]


def in_schema_row(delta, value):
    """A byte of the `files` table's row in the stored schema, `delta` bytes
    into its name, table name and statement ("filesfilesXCREATE TABLE...")."""
    return lambda data: set_byte(data.find(b"tablefilesfiles") + len("table") + delta, value)(data)


def name_as_blob(data):
    """The `meta` table's name in the schema stored as a blob instead of text:
    its record header (type, name, table name: serial types 23, 21, 21)
    sits just before the row's text."""
    body = data.find(b"tablemetameta")
    header = data.rfind(bytes([23, 21, 21]), body - 12, body)
    return set_byte(header + 1, 20)(data)


# Damage that once slipped through: (what, change to the main file).
TARGETED = [
    ("a table's name not UTF-8", in_schema_row(1, 0xFF)),
    ("a table's statement not UTF-8", in_schema_row(25, 0xFF)),
    ("a table name garbled in its statement", in_schema_row(24, ord("g"))),
    ("a table name stored as a blob", name_as_blob),
    ("the mark garbled", set_byte(70, 0x00)),
    ("the auto-vacuum field set", set_byte(52, 177)),
    ("an impossible page size", set_byte(16, 3)),
    ("a newer read version", set_byte(19, 3)),
    ("a file shorter than a header", lambda data: data[:50]),
]


def install(material, data, wal):
    location = location_of(material.root)
    for suffix in ("-wal", "-shm", "-journal"):
        try:
            os.remove(str(location) + suffix)
        except FileNotFoundError:
            pass
    location.write_bytes(data)
    if wal is not None:
        Path(str(location) + "-wal").write_bytes(wal)


def own_lines_only(text):
    return all(line.startswith("brightloom-index: ") for line in text.splitlines())


def check_variant(material, data, wal):
    """Problems found with one damaged index (an empty list when it held up)."""
    install(material, data, wal)
    root = str(material.root)
    problems = []
    for argv in (["find", NAME, "--root", root], ["refs", "--glob", "*", "--root", root],
                 ["tags", "-o", "-", "--root", root], ["map", "--root", root], ["index", root]):
        try:
            status, out, err = run_cli(*argv)
        except BaseException as error:  # noqa: B902 -- any escape is what this looks for
            problems.append(f"{argv[0]}: {type(error).__name__}: {error}")
            continue
        errors = [line for line in err.splitlines() if line.startswith("brightloom-index: error: ")]
        if status not in (0, 1, 2) or not own_lines_only(err) or (status == 2) != (len(errors) == 1):
            problems.append(f"{argv[0]}: status {status}, stderr {err!r}")
    try:
        status, _, err = run_cli("index", root, "--rebuild")
        found = run_cli("find", NAME, "--root", root)
    except BaseException as error:  # noqa: B902
        return problems + [f"rebuild: {type(error).__name__}: {error}"]
    if status != 0:
        problems.append(f"rebuild: status {status}, stderr {err!r}")
    elif found != (0, material.expected, ""):
        problems.append(f"after rebuild: find gave {found!r}")
    return problems


def run_variants(workdir, count, seed):
    """(description, problems) of each failing variant among `count` drawn with `seed`."""
    material = Material(workdir)
    rng = random.Random(seed)
    failures = []
    for _ in range(count):
        description, data, wal = variant(material, rng)
        problems = check_variant(material, data, wal)
        if problems:
            failures.append((description, problems))
    shutil.rmtree(workdir, ignore_errors=True)
    return failures
