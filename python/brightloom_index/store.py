"""The persistent index: one SQLite file, written in one transaction per refresh.

Readers (`find`, `tags`) open it as it is; a refresh opens it with
`open_for_refresh`, which takes the write lock (waiting a bounded time for
another refresh), creates or upgrades the schema, and leaves a transaction
open that the caller commits at the very end. A refresh killed at any point
thus leaves the previous index whole: SQLite rolls the open transaction back.
WAL journaling lets readers go on during a refresh.

Every failure reaches the caller as `IndexFailed` with one line naming the
file; a damaged file is never replaced or emptied except by `--rebuild`.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Callable
from time import monotonic, sleep

from .errors import Failure

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TypeVar

    T = TypeVar("T")

# Raised whenever the tables below change shape; another number is rebuilt.
SCHEMA_VERSION = 2

INDEX_FOLDER = ".brightloom"
INDEX_NAME = "index.sqlite"

SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,
    language TEXT NOT NULL,
    digest TEXT NOT NULL,
    lines INTEGER NOT NULL,
    symbol_count INTEGER NOT NULL,
    error_count INTEGER NOT NULL,
    -- Size and mtime of a file the package digested itself, NULL for scanned ones.
    size INTEGER,
    mtime_ns INTEGER
);
CREATE TABLE symbols (
    file_id INTEGER NOT NULL REFERENCES files (id),
    kind TEXT NOT NULL,
    name TEXT NOT NULL,
    folded_name TEXT NOT NULL,
    line INTEGER NOT NULL,
    end_line INTEGER NOT NULL,
    depth INTEGER NOT NULL,
    signature TEXT NOT NULL
);
CREATE INDEX symbols_by_name ON symbols (name);
CREATE INDEX symbols_by_folded_name ON symbols (folded_name);
CREATE INDEX symbols_by_file ON symbols (file_id);
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

# Pause between attempts to take a lock SQLite reported busy without waiting.
BUSY_RETRY_SECONDS = 0.05

# How long a reader retries while a writer holds the file exclusively.
READ_WAIT_SECONDS = 5.0

REBUILD_HINT = "rebuild it with `brightloom-index index --rebuild`"


class IndexFailed(Failure):
    """The index cannot be used; `message` is one line naming the file."""

    def __init__(self, message: str, damaged: bool = False) -> None:
        super().__init__(message)
        # The file is not a readable SQLite database; only --rebuild replaces it.
        self.damaged = damaged


def default_location(root: str) -> str:
    return os.path.join(root, INDEX_FOLDER, INDEX_NAME)


def find_index_upwards(start: str) -> str | None:
    """The default index of `start` or of its nearest parent that has one."""
    folder = os.path.abspath(start)
    while True:
        candidate = default_location(folder)
        if os.path.isfile(candidate):
            return candidate
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def describe_failure(location: str, error: sqlite3.Error) -> IndexFailed:
    """One message for an SQLite failure, telling damage from other faults."""
    name = getattr(error, "sqlite_errorname", "")
    if name in {"SQLITE_CORRUPT", "SQLITE_NOTADB"} or type(error) is sqlite3.DatabaseError:
        return IndexFailed(f"index {location} is damaged ({error}); {REBUILD_HINT}", damaged=True)
    return IndexFailed(f"index {location}: {error}")


def connect(location: str, wait_seconds: float) -> sqlite3.Connection:
    # Autocommit at the driver level: transactions are begun explicitly.
    connection = sqlite3.connect(location, timeout=wait_seconds, isolation_level=None)
    connection.execute("PRAGMA synchronous = NORMAL")
    return connection


def open_for_reading(location: str) -> sqlite3.Connection:
    """An existing index checked for its schema version; never creates one."""
    if not os.path.isfile(location):
        raise IndexFailed(f"no index at {location}; create it with `brightloom-index index`")
    try:
        connection = connect(location, wait_seconds=READ_WAIT_SECONDS)
        version = retry_when_busy(lambda: int(connection.execute("PRAGMA user_version").fetchone()[0]))
    except sqlite3.Error as error:
        raise describe_failure(location, error) from None
    if version == 0:
        connection.close()
        raise IndexFailed(f"index {location} is empty: its first refresh has not finished")
    if version != SCHEMA_VERSION:
        connection.close()
        raise IndexFailed(
            f"index {location} has schema version {version}, this program reads {SCHEMA_VERSION};"
            " refresh it with `brightloom-index index`"
        )
    return connection


def prepare_folder(location: str, is_default: bool) -> None:
    """Creates the default folder with a `.gitignore` that hides it from git."""
    folder = os.path.dirname(location) or "."
    if not is_default:
        return
    try:
        os.makedirs(folder, exist_ok=True)
        ignore_file = os.path.join(folder, ".gitignore")
        if not os.path.exists(ignore_file):
            with open(ignore_file, "w", encoding="utf-8") as handle:
                handle.write("*\n")
    except OSError as error:
        raise IndexFailed(f"cannot prepare {folder}: {error.strerror}") from None


def remove_database(location: str) -> None:
    """Deletes the index and its journal files (a damaged one under --rebuild)."""
    for suffix in ("", "-wal", "-shm", "-journal"):
        try:
            os.remove(location + suffix)
        except FileNotFoundError:
            pass


def open_for_refresh(
    location: str, rebuild: bool, wait_seconds: float, notice: Callable[[str], None]
) -> sqlite3.Connection:
    """A connection inside a write transaction on a current, complete schema.

    `notice` receives what the user should know (a rebuilt index). Raises
    IndexFailed for a damaged file (unless `rebuild`), or when another
    refresh keeps the lock past `wait_seconds`. A sound index is rebuilt
    inside the transaction, so a killed rebuild leaves it as it was; only a
    damaged one is deleted first.
    """
    try:
        return open_current_schema(location, rebuild, wait_seconds, notice)
    except IndexFailed as failure:
        if not (rebuild and failure.damaged):
            raise
    notice(f"index {location} is damaged; deleting it and indexing from scratch")
    remove_database(location)
    return open_current_schema(location, False, wait_seconds, notice)


def open_current_schema(
    location: str, rebuild: bool, wait_seconds: float, notice: Callable[[str], None]
) -> sqlite3.Connection:
    try:
        connection = connect(location, wait_seconds)
    except sqlite3.Error as error:
        raise describe_failure(location, error) from None
    try:
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version == 0 and not has_tables(connection):
            # WAL is a property of the file, set once; it cannot change inside a transaction.
            connection.execute("PRAGMA journal_mode = WAL")
        begin_writing(connection, location, wait_seconds)
        # Read again under the lock: another refresh may have created it meanwhile.
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version != SCHEMA_VERSION or rebuild:
            if version not in (0, SCHEMA_VERSION):
                notice(f"index {location} has schema version {version}; rebuilding it as version {SCHEMA_VERSION}")
            recreate_schema(connection)
    except sqlite3.Error as error:
        connection.close()
        raise describe_failure(location, error) from None
    except IndexFailed:
        connection.close()
        raise
    return connection


def has_tables(connection: sqlite3.Connection) -> bool:
    return bool(connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] > 0)


def begin_writing(connection: sqlite3.Connection, location: str, wait_seconds: float) -> None:
    """Takes the write lock, waiting up to `wait_seconds` for another writer.

    SQLite's own busy wait is not enough in WAL mode: while another process
    checkpoints as it closes, BEGIN IMMEDIATE can fail at once with
    SQLITE_BUSY, so the attempt is repeated here until the time is up.
    """
    deadline = monotonic() + wait_seconds
    while True:
        try:
            connection.execute("BEGIN IMMEDIATE")
            return
        except sqlite3.OperationalError as error:
            if not is_busy(error):
                raise
            if monotonic() >= deadline:
                raise IndexFailed(
                    f"index {location} is being refreshed by another process; gave up after {wait_seconds:g} s"
                    " (--wait SECONDS waits longer)"
                ) from None
            sleep(BUSY_RETRY_SECONDS)


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


def is_busy(error: sqlite3.Error) -> bool:
    return getattr(error, "sqlite_errorname", "").startswith(("SQLITE_BUSY", "SQLITE_LOCKED"))


def recreate_schema(connection: sqlite3.Connection) -> None:
    """Drops every table and creates the current ones, inside the open transaction."""
    names = [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    for name in names:
        connection.execute(f'DROP TABLE "{name}"')
    for statement in SCHEMA.split(";"):
        if statement.strip():
            connection.execute(statement)
    connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def read_meta(connection: sqlite3.Connection, key: str) -> str | None:
    row = connection.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
    return None if row is None else str(row[0])


def write_meta(connection: sqlite3.Connection, key: str, value: str) -> None:
    connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)", (key, value))


class StoredFile:
    """What a refresh needs to know of an indexed file."""

    __slots__ = ("file_id", "digest", "language", "lines", "stamp")

    def __init__(self, file_id: int, digest: str, language: str, lines: int, stamp: tuple[int, int] | None) -> None:
        self.file_id = file_id
        self.digest = digest
        self.language = language
        self.lines = lines
        # (size, mtime_ns) when the package digested the file itself.
        self.stamp = stamp


def stored_files(connection: sqlite3.Connection) -> dict[str, StoredFile]:
    rows = connection.execute("SELECT path, id, digest, language, lines, size, mtime_ns FROM files")
    return {
        path: StoredFile(file_id, digest, language, lines, None if size is None else (size, mtime_ns))
        for path, file_id, digest, language, lines, size, mtime_ns in rows
    }


def write_stamp(connection: sqlite3.Connection, file_id: int, stamp: tuple[int, int] | None) -> None:
    size, mtime_ns = stamp if stamp is not None else (None, None)
    connection.execute("UPDATE files SET size = ?, mtime_ns = ? WHERE id = ?", (size, mtime_ns, file_id))


def delete_file(connection: sqlite3.Connection, file_id: int) -> None:
    connection.execute("DELETE FROM symbols WHERE file_id = ?", (file_id,))
    connection.execute("DELETE FROM syntax_errors WHERE file_id = ?", (file_id,))
    connection.execute("DELETE FROM files WHERE id = ?", (file_id,))


def insert_file(
    connection: sqlite3.Connection,
    path: str,
    language: str,
    digest: str,
    lines: int,
    outline: dict[str, Any],
    check: dict[str, Any],
    stamp: tuple[int, int] | None,
) -> None:
    size, mtime_ns = stamp if stamp is not None else (None, None)
    cursor = connection.execute(
        "INSERT INTO files (path, language, digest, lines, symbol_count, error_count, size, mtime_ns)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        (path, language, digest, lines, outline["symbol_count"], check["error_count"], size, mtime_ns),
    )
    file_id = cursor.lastrowid
    connection.executemany(
        "INSERT INTO symbols (file_id, kind, name, folded_name, line, end_line, depth, signature)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        [
            (file_id, s["kind"], s["name"], s["name"].lower(), s["line"], s["end_line"], s["depth"], s["signature"])
            for s in outline["symbols"]
        ],
    )
    connection.executemany(
        "INSERT INTO syntax_errors (file_id, line, column, kind, message, snippet) VALUES (?, ?, ?, ?, ?, ?)",
        [(file_id, e["line"], e["column"], e["kind"], e["message"], e["snippet"]) for e in check["errors"]],
    )
