"""The persistent index: one SQLite file, written in one transaction per refresh.

Every SQL statement of the command line is in this module. Two ways in:

    with Store.open_for_reading(location) as index:      # find, tags
        rows = index.find_definitions(SymbolQuery("main"))

    with RefreshTransaction(location, rebuild, wait_seconds, notice) as index:
        index.delete_file(...); index.insert_file(...)   # commits on a normal exit

A refresh takes the write lock (waiting a bounded time for another
refresh), creates or upgrades the schema, and holds one transaction until
the `with` block ends: committed when it ends normally, rolled back when it
raises. A refresh killed at any point thus leaves the previous index whole
(SQLite rolls the open transaction back). WAL journaling lets readers go on
during a refresh.

Every failure reaches the caller as `IndexFailed` with one line naming the
file; a damaged file is never replaced or emptied except by `--rebuild`.
Only a database carrying our mark (`APPLICATION_ID`) is ever changed or
deleted: `ownership` tells it from another program's database or another
kind of file before SQLite is let near it, and every value read is checked
for its type, so that damage is reported as such wherever it shows.

Adding a table (say, for references): add its CREATE statements to SCHEMA,
its name to PER_FILE_TABLES when its rows belong to one file (so that
`delete_file` clears them), its rows in `insert_file` or a new writer
method, and raise SCHEMA_VERSION: an index of another version is rebuilt.
"""

from __future__ import annotations

import os
import sqlite3
import stat
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from time import monotonic, sleep

from .errors import Failure

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from types import TracebackType
    from typing import Any, ParamSpec, TypeVar

    from .parsing import DefinitionRow, ParseOutcome

    P = ParamSpec("P")
    T = TypeVar("T")

# Raised whenever the tables below change shape; another number is rebuilt.
SCHEMA_VERSION = 4

# Set on creation (`PRAGMA application_id`): the mark of a database this
# tool made, and the only kind it will replace or delete.
APPLICATION_ID = 0x426C4978
# The tables of the versions made before the mark: such a database holding
# no other table is taken as ours (and marked at its next refresh).
UNMARKED_VERSION_TABLES = frozenset({"meta", "files", "symbols", "syntax_errors"})
SQLITE_MAGIC = b"SQLite format 3\x00"
HEADER_SIZE = 100

SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,
    language TEXT NOT NULL,
    digest TEXT NOT NULL,
    lines INTEGER NOT NULL,
    -- Declarations in the outline reply (it stops at 200) and errors of the check.
    symbol_count INTEGER NOT NULL,
    error_count INTEGER NOT NULL,
    -- The file's stamp when digested, NULL when it had changed too recently
    -- to trust: while it holds, the file is not read again.
    size INTEGER,
    mtime_ns INTEGER,
    ctime_ns INTEGER,
    inode INTEGER
);
-- Every definition at any depth. `ordinal` is its place in the file's
-- list, `scope` the ordinal of the enclosing definition (NULL at file level).
CREATE TABLE definitions (
    file_id INTEGER NOT NULL REFERENCES files (id),
    ordinal INTEGER NOT NULL,
    kind TEXT NOT NULL,
    name TEXT NOT NULL,
    folded_name TEXT NOT NULL,
    line INTEGER NOT NULL,
    column INTEGER NOT NULL,
    end_line INTEGER NOT NULL,
    scope INTEGER,
    depth INTEGER NOT NULL,
    signature TEXT NOT NULL,
    PRIMARY KEY (file_id, ordinal)
) WITHOUT ROWID;
-- Every place that names something: calls, `new`, type uses, imports,
-- macro invocations, implemented traits. `scope` as in definitions.
CREATE TABLE refs (
    file_id INTEGER NOT NULL REFERENCES files (id),
    ordinal INTEGER NOT NULL,
    kind TEXT NOT NULL,
    name TEXT NOT NULL,
    folded_name TEXT NOT NULL,
    line INTEGER NOT NULL,
    column INTEGER NOT NULL,
    scope INTEGER,
    PRIMARY KEY (file_id, ordinal)
) WITHOUT ROWID;
-- The text that was parsed, zlib-compressed: lines for tags and refs.
CREATE TABLE texts (
    file_id INTEGER PRIMARY KEY REFERENCES files (id),
    text BLOB NOT NULL
);
-- Per file, each name it references or defines: `uses` references
-- (`imports` of them imports) and `defines` definitions. The map's links
-- run from the files using a name to the files defining it: kept per
-- file, they change only with the files a refresh touches.
CREATE TABLE name_uses (
    name TEXT NOT NULL,
    file_id INTEGER NOT NULL REFERENCES files (id),
    uses INTEGER NOT NULL,
    imports INTEGER NOT NULL,
    defines INTEGER NOT NULL,
    PRIMARY KEY (name, file_id)
) WITHOUT ROWID;
CREATE INDEX name_uses_by_file ON name_uses (file_id);
CREATE TABLE syntax_errors (
    file_id INTEGER NOT NULL REFERENCES files (id),
    line INTEGER NOT NULL,
    column INTEGER NOT NULL,
    kind TEXT NOT NULL,
    message TEXT NOT NULL,
    snippet TEXT NOT NULL
);
CREATE INDEX syntax_errors_by_file ON syntax_errors (file_id);
"""

# The lookup indexes by name. A refresh that stores many files drops them
# and builds them again at its end: sorting once is several times cheaper
# than keeping them ordered row by row.
NAME_INDEXES = {
    "definitions_by_name": "definitions (name)",
    "definitions_by_folded_name": "definitions (folded_name)",
    "refs_by_name": "refs (name)",
    "refs_by_folded_name": "refs (folded_name)",
}
SCHEMA += "".join(f"CREATE INDEX {name} ON {columns};\n" for name, columns in NAME_INDEXES.items())

# Tables whose rows belong to one file through `file_id`.
PER_FILE_TABLES = ("definitions", "refs", "name_uses", "texts", "syntax_errors")

# Pause between attempts to take a lock SQLite reported busy without waiting.
BUSY_RETRY_SECONDS = 0.05

# How long a reader retries while a writer holds the file exclusively.
READ_WAIT_SECONDS = 5.0

REBUILD_HINT = "rebuild it with `brightloom-index index --rebuild`"

# Meta keys: the tags files to rewrite after a refresh (JSON object of path
# to format), when the last refresh started (ns since the epoch, for the
# cheap staleness check of lookups), and whether lookups refresh first.
TAGS_FILES_KEY = "tags_files"
REFRESH_STARTED_KEY = "refresh_started_ns"
AUTO_REFRESH_KEY = "auto_refresh"

# Above every code point: `name < prefix + TOP` bounds a prefix range.
TOP = "\U0010ffff"


class IndexFailed(Failure):
    """The index cannot be used; `message` is one line naming the file."""

    def __init__(self, message: str, damaged: bool = False) -> None:
        super().__init__(message)
        # The file is not a readable SQLite database; only --rebuild replaces it.
        self.damaged = damaged


def not_ours(location: str) -> IndexFailed:
    return IndexFailed(f"{location} is not an index of this tool; it was left alone")


def damaged(location: str, detail: str) -> IndexFailed:
    return IndexFailed(f"index {location} is damaged ({detail}); {REBUILD_HINT}", damaged=True)


# What reading a damaged file can raise: SQLite's errors, and a decoding
# error when SQLite's own message quotes stored text that is not UTF-8.
FILE_ERRORS = (sqlite3.Error, UnicodeDecodeError)


# What a file at an index's place is, as far as can be told before using it.
NEW = "new"  # missing or empty
OURS = "ours"  # carries our mark, or is of a version made before the mark
FOREIGN = "foreign"  # a database of another program
UNKNOWN = "unknown"  # not SQLite, or too damaged to tell
DAMAGED = "damaged"  # carries our mark, with a header SQLite cannot work with


def header_is_sound(header: bytes) -> bool:
    """The fields of an SQLite header that have few legal values hold one of them.

    SQLite itself reports a garbled page size or format number as a full
    disk, a read-only file or an unsupported format, which says nothing of
    damage; checked here, such a file is damaged.
    """
    page_size = int.from_bytes(header[16:18], "big")
    page_size = 65536 if page_size == 1 else page_size
    return (
        512 <= page_size <= 65536
        and page_size & (page_size - 1) == 0
        and header[18] in (1, 2)
        and header[19] in (1, 2)
        and header[21:24] == bytes([64, 32, 32])
        and int.from_bytes(header[44:48], "big") <= 4
        and int.from_bytes(header[56:60], "big") <= 3
    )


def ownership(location: str) -> str:
    """NEW, OURS, FOREIGN, UNKNOWN or DAMAGED for the file at `location`.

    The header is read first, without SQLite, so that a file of another kind
    is never handed to it; a database without any mark is then asked for its
    tables. Anything but a regular file is refused here (a FIFO would block).
    """
    try:
        status = os.stat(location)
    except FileNotFoundError:
        return NEW
    except OSError as error:
        raise IndexFailed(f"cannot open {location}: {error.strerror}") from None
    if stat.S_ISDIR(status.st_mode) or not stat.S_ISREG(status.st_mode):
        raise IndexFailed(f"{location} is not a regular file")
    if status.st_size == 0:
        return NEW
    try:
        with open(location, "rb") as handle:
            header = handle.read(HEADER_SIZE)
    except OSError as error:
        raise IndexFailed(f"cannot read {location}: {error.strerror}") from None
    if len(header) < HEADER_SIZE or not header.startswith(SQLITE_MAGIC):
        return UNKNOWN
    mark = int.from_bytes(header[68:72], "big")
    if not header_is_sound(header):
        return DAMAGED if mark == APPLICATION_ID else UNKNOWN
    if mark == APPLICATION_ID:
        # Never set in our files: the auto-vacuum fields (SQLite reads a
        # garbled one as a full disk).
        return OURS if header[52:56] == header[64:68] == bytes(4) else DAMAGED
    if mark != 0:
        return FOREIGN
    # The header may lag behind a write-ahead log: ask SQLite, read-only, so
    # that not even a hot journal of someone else's database is rolled back.
    from urllib.parse import quote  # only here: a lookup's start stays short

    try:
        connection = sqlite3.connect(
            f"file:{quote(os.path.abspath(location))}?mode=ro", uri=True, timeout=READ_WAIT_SECONDS
        )
        try:
            mark = retry_when_busy(lambda: int(connection.execute("PRAGMA application_id").fetchone()[0]))
            names = retry_when_busy(
                lambda: {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            )
        finally:
            connection.close()
    except FILE_ERRORS:
        return UNKNOWN
    if mark == APPLICATION_ID:
        return OURS
    if mark != 0 or not names <= UNMARKED_VERSION_TABLES:
        return FOREIGN
    return OURS


def refusal(location: str, kind: str, at_default_place: bool) -> IndexFailed:
    """Why a FOREIGN, UNKNOWN or DAMAGED file cannot be used.

    A DAMAGED one carries our mark: --rebuild replaces it. So it does any
    other file at the default place, in a folder of ours, where only our
    index belongs. Anywhere else the file is someone else's, never changed
    or deleted.
    """
    if kind == DAMAGED:
        return damaged(location, "its header is damaged")
    if not at_default_place:
        return not_ours(location)
    return damaged(location, "not an SQLite database" if kind == UNKNOWN else "a database of another program")


def describe_failure(location: str, error: sqlite3.Error | UnicodeDecodeError) -> IndexFailed:
    """One message for an SQLite failure, telling damage from other faults."""
    text = one_line(str(error))
    if isinstance(error, UnicodeDecodeError):
        return damaged(location, "stored text is not UTF-8")
    name = getattr(error, "sqlite_errorname", "")
    if (
        name in {"SQLITE_CORRUPT", "SQLITE_NOTADB"}
        or type(error) is sqlite3.DatabaseError
        # The driver's words for stored text that is not UTF-8.
        or text.startswith("Could not decode to UTF-8")
    ):
        return damaged(location, text)
    return IndexFailed(f"index {location}: {text}")


def one_line(text: str) -> str:
    """`text` with control characters escaped: SQLite's messages may quote damaged text."""
    return "".join(c if " " <= c != "\x7f" else f"\\x{ord(c):02x}" for c in text)


# Column types of typed_rows for values that may be NULL.
OPTIONAL_TEXT = (str, type(None))
OPTIONAL_NUMBER = (int, type(None))


def typed_rows(rows: Iterable[Sequence[Any]], *types: type | tuple[type, ...]) -> list[Any]:
    """The rows, each value checked against its column's type.

    A damaged page can hold values of another type than the column's (a
    number where a name should be); they are reported as damage here rather
    than failing far away in the code that uses them.
    """
    checked = []
    for row in rows:
        if len(row) != len(types) or not all(isinstance(value, kind) for value, kind in zip(row, types)):
            raise sqlite3.DatabaseError("a stored value has the wrong type")
        checked.append(row)
    return checked


def connect(location: str, wait_seconds: float) -> sqlite3.Connection:
    # Autocommit at the driver level: transactions are begun explicitly. The
    # path is made absolute so that a file named ":memory:" is a file.
    connection = sqlite3.connect(os.path.abspath(location), timeout=wait_seconds, isolation_level=None)
    connection.execute("PRAGMA synchronous = NORMAL")
    return connection


def remove_database(location: str) -> None:
    """Deletes the index and its journal files (a damaged one under --rebuild)."""
    for suffix in ("", "-wal", "-shm", "-journal"):
        try:
            os.remove(location + suffix)
        except FileNotFoundError:
            pass
        except OSError as error:
            raise IndexFailed(f"cannot delete {location + suffix}: {error.strerror}") from None


def is_busy(error: sqlite3.Error) -> bool:
    return getattr(error, "sqlite_errorname", "").startswith(("SQLITE_BUSY", "SQLITE_LOCKED"))


def retry_when_busy(action: Callable[[], T], seconds: float = READ_WAIT_SECONDS) -> T:
    """Runs a read, again while SQLite reports busy without waiting (see begin_writing)."""
    deadline = monotonic() + seconds
    while True:
        try:
            return action()
        except sqlite3.OperationalError as error:
            if not is_busy(error) or monotonic() >= deadline:
                raise
        sleep(BUSY_RETRY_SECONDS)


def reading(method: Callable[P, T]) -> Callable[P, T]:
    """A read of the Store: retried while busy, any SQLite fault as IndexFailed."""

    def guarded(*args: P.args, **kwargs: P.kwargs) -> T:
        store: Store = args[0]  # type: ignore[assignment]
        try:
            return retry_when_busy(lambda: method(*args, **kwargs))
        except FILE_ERRORS as error:
            raise describe_failure(store.location, error) from None

    guarded.__doc__ = method.__doc__
    return guarded


def writing(method: Callable[P, T]) -> Callable[P, T]:
    """A write of the Store, inside the refresh's transaction: faults as IndexFailed."""

    def guarded(*args: P.args, **kwargs: P.kwargs) -> T:
        store: Store = args[0]  # type: ignore[assignment]
        try:
            return method(*args, **kwargs)
        except FILE_ERRORS as error:
            raise describe_failure(store.location, error) from None

    guarded.__doc__ = method.__doc__
    return guarded


# The columns of a file's stamp (see digests.FileStamp).
STAMP_COLUMNS = ("size", "mtime_ns", "ctime_ns", "inode")


def stamp_values(stamp: tuple[int, int, int, int] | None) -> tuple[int | None, ...]:
    return (None,) * len(STAMP_COLUMNS) if stamp is None else stamp


def stored_stamp(size: Any, mtime_ns: Any, ctime_ns: Any, inode: Any) -> tuple[int, int, int, int] | None:
    """A stored stamp, None when any of its columns is NULL."""
    stamp = (size, mtime_ns, ctime_ns, inode)
    return None if None in stamp else stamp


class StoredFile:
    """What a refresh needs to know of an indexed file."""

    __slots__ = ("file_id", "digest", "language", "lines", "stamp")

    def __init__(
        self, file_id: int, digest: str, language: str, lines: int, stamp: tuple[int, int, int, int] | None
    ) -> None:
        self.file_id = file_id
        self.digest = digest
        self.language = language
        self.lines = lines
        # (size, mtime_ns, ctime_ns, inode) when settled enough to trust.
        self.stamp = stamp


class IndexFigures:
    """Whole-index figures for the summary of a refresh."""

    __slots__ = ("files_by_language", "lines_by_language", "symbols_by_kind", "references_by_kind",
                 "files_with_errors", "outlines_cut", "checks_cut")

    def __init__(self) -> None:
        self.files_by_language: dict[str, int] = {}
        self.lines_by_language: dict[str, int] = {}
        # Definitions per kind.
        self.symbols_by_kind: dict[str, int] = {}
        self.references_by_kind: dict[str, int] = {}
        # (path, error count) of each file whose check found syntax errors.
        self.files_with_errors: list[tuple[str, int]] = []
        # Paths whose outline or check reached the module's limit.
        self.outlines_cut: list[str] = []
        self.checks_cut: list[str] = []


# Plain classes rather than dataclasses, which import inspect: a lookup's
# whole run is a few tens of milliseconds.
class SymbolQuery:
    """A name to look for and how to match it."""

    __slots__ = ("text", "mode", "ignore_case", "kinds", "languages")

    def __init__(
        self,
        text: str,
        mode: str = "exact",
        ignore_case: bool = False,
        kinds: tuple[str, ...] = (),
        languages: tuple[str, ...] = (),
    ) -> None:
        self.text = text
        self.mode = mode  # "exact", "prefix" or "glob"
        self.ignore_case = ignore_case
        self.kinds = kinds
        self.languages = languages


def name_condition(query: SymbolQuery, table: str) -> tuple[str, list[str]]:
    """SQL on an indexed column of `table` (an alias) for the name part of `query`, with its arguments."""
    column = f"{table}.folded_name" if query.ignore_case else f"{table}.name"
    text = query.text.lower() if query.ignore_case else query.text
    if query.mode == "prefix":
        # A range instead of LIKE/GLOB: it uses the index whatever the prefix holds.
        return f"{column} >= ? AND {column} < ?", [text, text + TOP]
    if query.mode == "glob":
        # The pattern's literal start bounds a range of the index, as a prefix does.
        literal = text[:min((i for i, c in enumerate(text) if c in "*?["), default=len(text))]
        if literal:
            return f"{column} >= ? AND {column} < ? AND {column} GLOB ?", [literal, literal + TOP, text]
        return f"{column} GLOB ?", [text]
    return f"{column} = ?", [text]


class Store:
    """An open index file. Reads work anywhere; writes only inside a RefreshTransaction.

    Every method raises IndexFailed (one line naming the file) on any
    SQLite fault; reads are retried for a while when a checkpointing writer
    holds the file.
    """

    def __init__(self, connection: sqlite3.Connection, location: str) -> None:
        self.connection = connection
        self.location = location

    @classmethod
    def open_for_reading(cls, location: str, at_default_place: bool = False) -> Store:
        """An existing index checked for its mark and schema version; never creates one.

        `at_default_place`: the file is at the default place of a tree, in a
        folder of ours, so a file that is not SQLite is a damaged index
        rather than someone else's file.
        """
        kind = ownership(location)
        if kind == NEW:
            if not os.path.exists(location):
                raise IndexFailed(f"no index at {location}; create it with `brightloom-index index`")
            raise IndexFailed(f"index {location} is empty: its first refresh has not finished")
        if kind in (FOREIGN, UNKNOWN, DAMAGED):
            raise refusal(location, kind, at_default_place)
        try:
            connection = connect(location, wait_seconds=READ_WAIT_SECONDS)
        except FILE_ERRORS as error:
            raise describe_failure(location, error) from None
        opened = cls(connection, location)
        try:
            version = opened.schema_version()
            if version == 0:
                raise IndexFailed(f"index {location} is empty: its first refresh has not finished")
            if version != SCHEMA_VERSION:
                raise IndexFailed(
                    f"index {location} has schema version {version}, this program reads {SCHEMA_VERSION};"
                    " refresh it with `brightloom-index index`"
                )
        except BaseException:
            opened.close()
            raise
        return opened

    def close(self) -> None:
        self.connection.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    # Reads.

    @reading
    def schema_version(self) -> int:
        return int(self.connection.execute("PRAGMA user_version").fetchone()[0])

    @reading
    def read_meta(self, key: str) -> str | None:
        rows = typed_rows(self.connection.execute("SELECT value FROM meta WHERE key = ?", (key,)), str)
        return rows[0][0] if rows else None

    @reading
    def stored_files(self) -> dict[str, StoredFile]:
        rows = typed_rows(
            self.connection.execute(
                "SELECT path, id, digest, language, lines, size, mtime_ns, ctime_ns, inode FROM files"
            ),
            str, int, str, str, int, *[(int, type(None))] * len(STAMP_COLUMNS),
        )
        return {
            path: StoredFile(file_id, digest, language, lines, stored_stamp(size, mtime_ns, ctime_ns, inode))
            for path, file_id, digest, language, lines, size, mtime_ns, ctime_ns, inode in rows
        }

    @reading
    def figures(self, outline_limit: int, check_limit: int) -> IndexFigures:
        """Files and lines per language, symbols per kind, files with errors, and
        the files whose outline or check reached the given limits."""
        figures = IndexFigures()
        execute = self.connection.execute
        languages = execute("SELECT language, count(*), sum(lines) FROM files GROUP BY language")
        for language, files, lines in typed_rows(languages, str, int, int):
            figures.files_by_language[language] = files
            figures.lines_by_language[language] = lines
        kinds = execute("SELECT kind, count(*) FROM definitions GROUP BY kind")
        figures.symbols_by_kind = dict(typed_rows(kinds, str, int))
        kinds = execute("SELECT kind, count(*) FROM refs GROUP BY kind")
        figures.references_by_kind = dict(typed_rows(kinds, str, int))
        with_errors = execute("SELECT path, error_count FROM files WHERE error_count > 0 ORDER BY path")
        figures.files_with_errors = [(path, count) for path, count in typed_rows(with_errors, str, int)]
        outlines_cut = execute("SELECT path FROM files WHERE symbol_count >= ? ORDER BY path", (outline_limit,))
        figures.outlines_cut = [row[0] for row in typed_rows(outlines_cut, str)]
        checks_cut = execute("SELECT path FROM files WHERE error_count >= ? ORDER BY path", (check_limit,))
        figures.checks_cut = [row[0] for row in typed_rows(checks_cut, str)]
        return figures

    def query_condition(self, query: SymbolQuery, table: str) -> tuple[str, list[str]]:
        condition, arguments = name_condition(query, table)
        for column, values in ((f"{table}.kind", query.kinds), ("f.language", query.languages)):
            if values:
                condition += f" AND {column} IN ({', '.join('?' * len(values))})"
                arguments.extend(values)
        return condition, arguments

    @reading
    def symbols_containing(self, folded: str, limit: int) -> list[tuple[str, int, int, int, str, str, str]]:
        """(path, line, column, end_line, kind, name, signature) of at most `limit` definitions whose
        folded name starts with `folded`, then of those holding it further on; shortest names first."""
        columns = (
            "SELECT f.path, d.line, d.column, d.end_line, d.kind, d.name, d.signature"
            " FROM definitions d JOIN files f ON f.id = d.file_id"
        )
        rows = typed_rows(self.connection.execute(
            f"{columns} WHERE d.folded_name >= ? AND d.folded_name < ? ORDER BY length(d.name), f.path LIMIT ?",
            (folded, folded + TOP, limit),
        ), str, int, int, int, str, str, str)
        if len(rows) < limit and folded:
            # No index serves a match inside the name: this one scans the table.
            rows += typed_rows(self.connection.execute(
                f"{columns} WHERE instr(d.folded_name, ?) > 1 ORDER BY length(d.name), f.path LIMIT ?",
                (folded, limit - len(rows)),
            ), str, int, int, int, str, str, str)
        return rows

    @reading
    def find_definitions(self, query: SymbolQuery) -> list[tuple[Any, ...]]:
        """(path, line, column, end_line, kind, name, signature, language, depth, scope name)
        of the matching definitions, in path and line order."""
        condition, arguments = self.query_condition(query, "d")
        rows = self.connection.execute(
            "SELECT f.path, d.line, d.column, d.end_line, d.kind, d.name, d.signature, f.language, d.depth, p.name"
            " FROM definitions d JOIN files f ON f.id = d.file_id"
            " LEFT JOIN definitions p ON p.file_id = d.file_id AND p.ordinal = d.scope"
            f" WHERE {condition} ORDER BY f.path, d.line, d.column, d.name",
            arguments,
        )
        return typed_rows(rows, str, int, int, int, str, str, str, str, int, OPTIONAL_TEXT)

    @reading
    def find_references(self, query: SymbolQuery) -> list[tuple[Any, ...]]:
        """(path, line, column, kind, name, language, scope name, file id) of the
        matching references, in path, line and column order."""
        condition, arguments = self.query_condition(query, "r")
        rows = self.connection.execute(
            "SELECT f.path, r.line, r.column, r.kind, r.name, f.language, p.name, f.id"
            " FROM refs r JOIN files f ON f.id = r.file_id"
            " LEFT JOIN definitions p ON p.file_id = r.file_id AND p.ordinal = r.scope"
            f" WHERE {condition} ORDER BY f.path, r.line, r.column, r.name",
            arguments,
        )
        return typed_rows(rows, str, int, int, str, str, str, OPTIONAL_TEXT, int)

    @reading
    def file_definitions(self, path: str) -> list[tuple[Any, ...]]:
        """(ordinal, kind, name, line, column, end_line, scope, signature) of one file, in source order."""
        rows = self.connection.execute(
            "SELECT d.ordinal, d.kind, d.name, d.line, d.column, d.end_line, d.scope, d.signature"
            " FROM definitions d JOIN files f ON f.id = d.file_id WHERE f.path = ? ORDER BY d.ordinal",
            (path,),
        )
        return typed_rows(rows, int, str, str, int, int, int, OPTIONAL_NUMBER, str)

    @reading
    def file_references(self, path: str) -> list[tuple[Any, ...]]:
        """(ordinal, kind, name, line, column, scope) of one file, in source order."""
        rows = self.connection.execute(
            "SELECT r.ordinal, r.kind, r.name, r.line, r.column, r.scope"
            " FROM refs r JOIN files f ON f.id = r.file_id WHERE f.path = ? ORDER BY r.ordinal",
            (path,),
        )
        return typed_rows(rows, int, str, str, int, int, OPTIONAL_NUMBER)

    @reading
    def tag_rows(self) -> list[tuple[Any, ...]]:
        """(file id, ordinal, name, path, line, end_line, kind, language, scope) of every
        definition, in file and source order."""
        rows = self.connection.execute(
            "SELECT d.file_id, d.ordinal, d.name, f.path, d.line, d.end_line, d.kind, f.language, d.scope"
            " FROM definitions d JOIN files f ON f.id = d.file_id ORDER BY d.file_id, d.ordinal"
        )
        return typed_rows(rows, int, int, str, str, int, int, str, str, OPTIONAL_NUMBER)

    @reading
    def file_paths(self) -> dict[int, str]:
        """The path of every file, by id."""
        return dict(typed_rows(self.connection.execute("SELECT id, path FROM files"), int, str))

    @reading
    def name_uses(self) -> list[tuple[str, int, int, int, int]]:
        """(name, file id, references, imports, definitions) of each name in each
        file, grouped by name: what the map's links are made of."""
        # Checked in SQL: a million rows checked one by one in Python would
        # cost more than reading them.
        wrong = self.connection.execute(
            "SELECT count(*) FROM name_uses WHERE typeof(name) != 'text' OR typeof(file_id) != 'integer'"
            " OR typeof(uses) != 'integer' OR typeof(imports) != 'integer' OR typeof(defines) != 'integer'"
            " OR uses < 0 OR imports < 0 OR defines < 0"
        ).fetchone()[0]
        if wrong:
            raise sqlite3.DatabaseError("a stored value has the wrong type")
        return self.connection.execute(
            "SELECT name, file_id, uses, imports, defines FROM name_uses ORDER BY name, file_id"
        ).fetchall()

    @reading
    def files_defining(self, name: str) -> list[int]:
        """The ids of the files that define `name`."""
        rows = self.connection.execute("SELECT DISTINCT file_id FROM definitions WHERE name = ?", (name,))
        return [row[0] for row in typed_rows(rows, int)]

    @reading
    def definitions_of(self, file_ids: Sequence[int]) -> list[tuple[Any, ...]]:
        """(file id, ordinal, kind, name, line, end_line, scope, depth, signature) of
        every definition of the given files, in file and source order."""
        rows: list[tuple[Any, ...]] = []
        # In batches: SQLite limits the number of arguments of one statement.
        for start in range(0, len(file_ids), 500):
            batch = file_ids[start:start + 500]
            rows += typed_rows(self.connection.execute(
                "SELECT file_id, ordinal, kind, name, line, end_line, scope, depth, signature FROM definitions"
                f" WHERE file_id IN ({', '.join('?' * len(batch))})", batch,
            ), int, int, str, str, int, int, OPTIONAL_NUMBER, int, str)
        rows.sort(key=lambda row: (row[0], row[1]))
        return rows

    @reading
    def texts(self, file_ids: Iterable[int]) -> dict[int, bytes]:
        """The stored text of each file, as its bytes."""
        import zlib

        texts = {}
        for file_id in sorted(set(file_ids)):
            row = self.connection.execute("SELECT text FROM texts WHERE file_id = ?", (file_id,)).fetchone()
            try:
                texts[file_id] = b"" if row is None else zlib.decompress(row[0])
            except (zlib.error, TypeError) as error:
                raise damaged(self.location, f"the stored text of a file cannot be read: {error}") from None
        return texts

    @reading
    def indexed_paths(self) -> list[str]:
        return [row[0] for row in self.connection.execute("SELECT path FROM files")]

    def tags_files(self) -> dict[str, str]:
        """Tags files written from this index: absolute path -> format ("ctags", "etags")."""
        import json

        text = self.read_meta(TAGS_FILES_KEY)
        try:
            stored = json.loads(text) if text is not None else {}
        except ValueError:
            return {}
        if not isinstance(stored, dict):
            return {}
        return {str(path): str(form) for path, form in stored.items()}

    # Writes, inside a RefreshTransaction.

    def remember_tags_file(self, path: str, form: str) -> None:
        import json

        files = self.tags_files()
        files[path] = form
        self.write_meta(TAGS_FILES_KEY, json.dumps(files, sort_keys=True))

    def forget_tags_file(self, path: str) -> None:
        import json

        files = self.tags_files()
        if files.pop(path, None) is not None:
            self.write_meta(TAGS_FILES_KEY, json.dumps(files, sort_keys=True))

    @writing
    def write_meta(self, key: str, value: str) -> None:
        # An unchanged value writes nothing: a refresh that found no change
        # then commits without touching the file.
        self.connection.execute(
            "INSERT INTO meta (key, value) VALUES (?, ?)"
            " ON CONFLICT (key) DO UPDATE SET value = excluded.value WHERE value IS NOT excluded.value",
            (key, value),
        )

    @writing
    def drop_name_indexes(self) -> None:
        """Before storing many files: see NAME_INDEXES. The transaction must end with create_name_indexes."""
        for name in NAME_INDEXES:
            self.connection.execute(f"DROP INDEX IF EXISTS {name}")

    @writing
    def create_name_indexes(self) -> None:
        for name, columns in NAME_INDEXES.items():
            self.connection.execute(f"CREATE INDEX IF NOT EXISTS {name} ON {columns}")

    @writing
    def write_stamp(self, file_id: int, stamp: tuple[int, int, int, int] | None) -> None:
        self.connection.execute(
            "UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ?, inode = ? WHERE id = ?",
            (*stamp_values(stamp), file_id),
        )

    @writing
    def delete_file(self, file_id: int) -> None:
        for table in PER_FILE_TABLES:
            self.connection.execute(f"DELETE FROM {table} WHERE file_id = ?", (file_id,))
        self.connection.execute("DELETE FROM files WHERE id = ?", (file_id,))

    @writing
    def insert_file(
        self, path: str, language: str, stamp: tuple[int, int, int, int] | None, parsed: ParseOutcome
    ) -> None:
        """One parsed file: its digest, outline count and check as parsed, its
        definitions, references and syntax errors, and its compressed text."""
        assert parsed.outline is not None and parsed.check is not None
        check = parsed.check
        cursor = self.connection.execute(
            "INSERT INTO files (path, language, digest, lines, symbol_count, error_count,"
            " size, mtime_ns, ctime_ns, inode) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (path, language, parsed.file_hash, parsed.total_lines, parsed.outline["symbol_count"], check["error_count"],
             *stamp_values(stamp)),
        )
        file_id = cursor.lastrowid
        definitions, references = parsed.definitions, parsed.references
        depths: list[int] = []
        rows = []
        defined: list[str] = []
        for ordinal, (kind, name, line, column, end_line, scope, signature) in enumerate(definitions):
            # The module lists an enclosing definition before what it holds.
            depth = depths[scope] + 1 if scope is not None and 0 <= scope < ordinal else 0
            depths.append(depth)
            rows.append((file_id, ordinal, kind, name, name.lower(), line, column, end_line, scope, depth, signature))
            if is_link_target(kind, depth, scope, definitions):
                defined.append(name)
        self.connection.executemany("INSERT INTO definitions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
        self.connection.executemany(
            "INSERT INTO refs VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            [(file_id, ordinal, kind, name, name.lower(), line, column, scope)
             for ordinal, (kind, name, line, column, scope) in enumerate(references)],
        )
        # The file's name tallies (see name_uses in the schema), counted from the rows in hand.
        named = Counter([reference[1] for reference in references])
        imported = Counter([reference[1] for reference in references if reference[0] == "import"])
        defines = Counter(defined)
        self.connection.executemany(
            "INSERT INTO name_uses VALUES (?, ?, ?, ?, ?)",
            [(name, file_id, named[name] - imported[name], imported[name], defines[name])
             for name in named.keys() | defines.keys()],
        )
        self.connection.execute("INSERT INTO texts VALUES (?, ?)", (file_id, parsed.text))
        self.connection.executemany(
            "INSERT INTO syntax_errors (file_id, line, column, kind, message, snippet) VALUES (?, ?, ?, ?, ?, ?)",
            [(file_id, e["line"], e["column"], e["kind"], e["message"], e["snippet"]) for e in check["errors"]],
        )


# Kinds of definition that are never a target of the map's links: members
# that hold values, as a bare `Ok(...)` or `name` is seldom theirs (when
# nested), and impl blocks, which add to a type defined elsewhere.
VALUE_MEMBER_KINDS = frozenset({"field", "property", "enumerator", "variable", "constant"})
BODY_KINDS = ("function", "method")


def is_link_target(kind: str, depth: int, scope: int | None, definitions: Sequence[DefinitionRow]) -> bool:
    """Whether a definition counts among its file's `defines`: not an impl
    block, not a nested value member, and not inside a function, out of
    other files' reach."""
    if kind == "impl" or (depth > 0 and kind in VALUE_MEMBER_KINDS):
        return False
    return scope is None or not 0 <= scope < len(definitions) or definitions[scope][0] not in BODY_KINDS


class RefreshTransaction:
    """The one write transaction of a refresh, as a context manager.

    Entering opens the file (creating it when missing), takes the write
    lock, and brings the schema to the current version (recreating it under
    `rebuild`); it gives a Store to write with. Leaving commits when the
    block ended normally and rolls back when it raised; either way the file
    is closed. `notice` receives what the user should know (a rebuilt index).

    Only a file that carries our mark is ever changed or deleted: anything
    else is refused as not an index of this tool, `rebuild` or not, except
    at the default place (`at_default_place`, in a folder of ours), where
    it counts as a damaged index (see `refusal`). Raises IndexFailed for a damaged file
    (unless `rebuild`), or when another refresh keeps the lock past
    `wait_seconds`. A sound index is rebuilt inside the transaction, so a
    killed rebuild leaves it as it was; only a damaged one is deleted first.
    """

    def __init__(
        self,
        location: str,
        rebuild: bool,
        wait_seconds: float,
        notice: Callable[[str], None],
        at_default_place: bool = False,
    ) -> None:
        self.location = location
        self.rebuild = rebuild
        self.wait_seconds = wait_seconds
        self.notice = notice
        self.at_default_place = at_default_place
        self.store: Store | None = None

    def __enter__(self) -> Store:
        kind = ownership(self.location)
        if kind in (FOREIGN, UNKNOWN, DAMAGED):
            failure = refusal(self.location, kind, self.at_default_place)
            if not (self.rebuild and failure.damaged):
                raise failure
            self.start_afresh()
        try:
            self.store = self.open_current_schema(self.rebuild)
        except IndexFailed as failure:
            if not (self.rebuild and failure.damaged):
                raise
            self.start_afresh()
            self.store = self.open_current_schema(False)
        return self.store

    def start_afresh(self) -> None:
        """Deletes a damaged index of ours, before indexing from scratch."""
        self.notice(f"index {self.location} is damaged; deleting it and indexing from scratch")
        remove_database(self.location)

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        assert self.store is not None
        connection = self.store.connection
        try:
            if kind is None:
                connection.execute("COMMIT")
        except FILE_ERRORS as error:
            raise describe_failure(self.location, error) from None
        finally:
            # Without the COMMIT above, closing rolls the whole refresh back.
            connection.close()
            self.store = None

    def open_current_schema(self, rebuild: bool) -> Store:
        location = self.location
        try:
            connection = connect(location, self.wait_seconds)
        except FILE_ERRORS as error:
            raise describe_failure(location, error) from None
        try:
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            if version == 0 and not has_tables(connection):
                # WAL is a property of the file, set once; it cannot change inside a transaction.
                connection.execute("PRAGMA journal_mode = WAL")
            self.begin_writing(connection)
            # Read again under the lock: another refresh may have created it meanwhile.
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            if version != SCHEMA_VERSION or rebuild:
                if version not in (0, SCHEMA_VERSION):
                    self.notice(
                        f"index {location} has schema version {version}; rebuilding it as version {SCHEMA_VERSION}"
                    )
                recreate_schema(connection)
            if connection.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
                # A new file, or one of a version made before the mark.
                connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        except FILE_ERRORS as error:
            connection.close()
            raise describe_failure(location, error) from None
        except BaseException:
            connection.close()
            raise
        return Store(connection, location)

    def begin_writing(self, connection: sqlite3.Connection) -> None:
        """Takes the write lock, waiting up to `wait_seconds` for another writer.

        SQLite's own busy wait is not enough in WAL mode: while another process
        checkpoints as it closes, BEGIN IMMEDIATE can fail at once with
        SQLITE_BUSY, so the attempt is repeated here until the time is up.
        """
        deadline = monotonic() + self.wait_seconds
        while True:
            try:
                connection.execute("BEGIN IMMEDIATE")
                return
            except sqlite3.OperationalError as error:
                if not is_busy(error):
                    raise
                if monotonic() >= deadline:
                    raise IndexFailed(
                        f"index {self.location} is being refreshed by another process;"
                        f" gave up after {self.wait_seconds:g} s (--wait SECONDS waits longer)"
                    ) from None
                sleep(BUSY_RETRY_SECONDS)


def has_tables(connection: sqlite3.Connection) -> bool:
    return bool(connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] > 0)


def recreate_schema(connection: sqlite3.Connection) -> None:
    """Drops every table, view and trigger and creates the current tables,
    inside the open transaction; then checks that nothing else is left.

    A damaged schema can hold entries no DROP reaches (an index whose table
    name was garbled); the check reports them as damage, so that --rebuild
    deletes the file instead of committing a schema SQLite will refuse.
    """
    entries = connection.execute(
        "SELECT type, name FROM sqlite_master WHERE type IN ('trigger', 'view', 'table')"
        " AND name NOT LIKE 'sqlite^_%' ESCAPE '^' ORDER BY type = 'table'"
    ).fetchall()
    for kind, name in entries:
        quoted = str(name).replace('"', '""')
        connection.execute(f'DROP {kind.upper()} IF EXISTS "{quoted}"')
    left = connection.execute(
        "SELECT count(*) FROM sqlite_master WHERE NOT (type = 'table' AND name LIKE 'sqlite^_%' ESCAPE '^')"
    ).fetchone()[0]
    if left:
        # Entries of a garbled type, or indexes of tables whose names were garbled.
        raise sqlite3.DatabaseError(f"{left} schema entries could not be removed")
    for statement in SCHEMA.split(";"):
        if statement.strip():
            connection.execute(statement)
    connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
    tables = [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    strays = connection.execute(
        f"SELECT count(*) FROM sqlite_master WHERE tbl_name NOT IN ({', '.join('?' * len(tables))})", tables
    ).fetchone()[0]
    verdict = connection.execute("PRAGMA quick_check").fetchone()[0]
    if strays or verdict != "ok":
        raise sqlite3.DatabaseError(f"schema entries left over or damaged pages ({verdict})")
