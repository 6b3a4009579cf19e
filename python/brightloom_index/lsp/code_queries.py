"""Every answer the language server gives about code, behind one interface.

Stored files are answered from the index of each workspace root; open
buffers from their current text, through the module's `symbols` and
`syntax-check` commands, so an unsaved definition is found at once.
References are found by whole-word search of the indexed files and the open
buffers (identifier characters on neither side), so comments and strings
that mention a name count too: the index keeps no references yet, and
this is the one place to change when it does.

Paths in the records are absolute; lines count from 1 as the index stores
them; `column` is an index into the line's text (code points), or None when
not known.
"""

from __future__ import annotations

import os
import re
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping
from time import monotonic
from typing import Any

from ..contract import grammar_language
from ..index_place import default_location
from ..native_calls import CommandFailed, NativeCaller
from ..store import IndexFailed, Store, SymbolQuery
from .documents import index_of_byte_column

# Most workspace symbols one query answers; the best-ranked are kept.
WORKSPACE_SYMBOL_LIMIT = 200
# Most references one request answers.
REFERENCE_LIMIT = 5000
# How long a root without a readable index waits before it is tried again.
REOPEN_SECONDS = 1.0


class Definition:
    __slots__ = ("path", "line", "end_line", "column", "kind", "name", "signature", "scope")

    def __init__(
        self, path: str, line: int, end_line: int, column: int | None, kind: str, name: str, signature: str,
        scope: int | None = None,
    ) -> None:
        self.path = path
        self.line = line
        self.end_line = end_line
        self.column = column
        self.kind = kind
        self.name = name
        self.signature = signature
        # For a buffer's definitions: the index of the enclosing one in the same list.
        self.scope = scope


class Reference:
    __slots__ = ("path", "line", "column", "end_column", "text")

    def __init__(self, path: str, line: int, column: int, end_column: int, text: str) -> None:
        self.path = path
        self.line = line
        self.column = column
        self.end_column = end_column
        # The line's text, for positions in the client's encoding.
        self.text = text


class OutlineNode:
    """A definition of a buffer with the definitions nested inside it."""

    __slots__ = ("definition", "children")

    def __init__(self, definition: Definition) -> None:
        self.definition = definition
        self.children: list[OutlineNode] = []


class SyntaxProblem:
    __slots__ = ("line", "column", "message")

    def __init__(self, line: int, column: int, message: str) -> None:
        self.line = line
        self.column = column  # index into the line's text
        self.message = message


class Buffer:
    """What the queries need of an open buffer."""

    __slots__ = ("path", "text", "language")

    def __init__(self, path: str, text: str, language: str | None) -> None:
        self.path = path
        self.text = text
        self.language = language


def language_of(path: str, language_id: str | None = None) -> str | None:
    """The grammar language of a buffer: its file's extension, else the client's id."""
    found = grammar_language(path)
    if found is not None:
        return found
    return CLIENT_LANGUAGE_IDS.get(language_id or "")


# The client's language ids of the languages `symbols` reads, for buffers
# whose file name says nothing (an unsaved buffer) or names a language the
# index does not keep.
CLIENT_LANGUAGE_IDS = {
    "python": "python",
    "rust": "rust",
    "javascript": "javascript",
    "javascriptreact": "javascript",
    "typescript": "typescript",
    "typescriptreact": "tsx",
    "json": "json",
    "c": "c",
    "cpp": "cpp",
    "go": "go",
    "java": "java",
    "csharp": "c_sharp",
    "ruby": "ruby",
    "php": "php",
    "shellscript": "bash",
    "sh": "bash",
    "bash": "bash",
}


def nest(definitions: list[Definition]) -> list[OutlineNode]:
    """A hierarchy from definitions in source order, each naming its enclosing one."""
    nodes = [OutlineNode(definition) for definition in definitions]
    roots: list[OutlineNode] = []
    for node in nodes:
        scope = node.definition.scope
        # Scopes point backwards; anything else is read as file level rather than trusted.
        if scope is not None and 0 <= scope < len(nodes) and nodes[scope] is not node:
            nodes[scope].children.append(node)
        else:
            roots.append(node)
    return roots


def name_column(line: str, name: str) -> int | None:
    """Where `name` stands as a whole word in `line`, or None."""
    match = re.search(word_pattern(name), line)
    return None if match is None else match.start()


def word_pattern(name: str) -> str:
    return r"(?<![\w$])" + re.escape(name) + r"(?![\w$])"


def lines_of(text: str) -> list[str]:
    return [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]


class RootIndex:
    """The stored index of one workspace root, opened when it first can be."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.location = default_location(root)
        self._store: Store | None = None
        self._next_try = 0.0
        # The absolute paths of the indexed files, as of the data version kept beside them.
        self._paths: tuple[int, list[str]] | None = None

    def read(self, action: Callable[[Store], list[Any]]) -> list[Any]:
        """`action`'s rows, or none while the root has no readable index."""
        if self._store is None and monotonic() >= self._next_try:
            try:
                self._store = Store.open_for_reading(self.location, at_default_place=True)
            except IndexFailed:
                # No index yet, or its first refresh is still running.
                self._next_try = monotonic() + REOPEN_SECONDS
        if self._store is None:
            return []
        try:
            return action(self._store)
        except IndexFailed:
            # Rebuilt or damaged under us: opened again on a later request.
            self.close()
            return []

    def close(self) -> None:
        if self._store is not None:
            self._store.close()
            self._store = None
        self._paths = None

    def absolute(self, path: str) -> str:
        return os.path.join(self.root, path)

    def paths(self) -> list[str]:
        """The indexed files' absolute paths, read again only after a refresh committed."""
        def current(store: Store) -> list[str]:
            version = store.data_version()
            if self._paths is None or self._paths[0] != version:
                self._paths = (version, [self.absolute(path) for path in store.indexed_paths()])
            return self._paths[1]

        return self.read(current)


class FileText:
    """A file's text as last read, with the starts of its lines worked out on first use."""

    __slots__ = ("stamp", "text", "checked", "_starts")

    def __init__(self, stamp: tuple[int, int], text: str, checked: float) -> None:
        self.stamp = stamp
        self.text = text
        self.checked = checked
        # 4 bytes a line rather than a string each: eslint's tree holds 400,000 lines.
        self._starts: array[int] | None = None

    def line(self, number: int) -> str:
        """Line `number` (from 1) without its line break; "" past the end."""
        if self._starts is None:
            self._starts = array("L", [0])
            self._starts.extend(match.end() for match in NEWLINE.finditer(self.text))
        if not 0 < number <= len(self._starts):
            return ""
        start = self._starts[number - 1]
        end = self._starts[number] - 1 if number < len(self._starts) else len(self.text)
        line = self.text[start:end]
        return line[:-1] if line.endswith("\r") else line


NEWLINE = re.compile("\n")


# How long a file's text is taken as current without looking at the file again.
RECHECK_SECONDS = 1.0


class FileTexts:
    """Texts of indexed files for the word search, read again when they change on disk.

    Files are looked at (size and modification time) at most once a
    second: on eslint's 1,600 files the looks alone would take a fifth of a
    request's time. Open buffers never come from here.
    """

    def __init__(self) -> None:
        self._files: dict[str, FileText] = {}

    def get(self, path: str) -> FileText | None:
        cached = self._files.get(path)
        now = monotonic()
        if cached is not None and now - cached.checked < RECHECK_SECONDS:
            return cached
        try:
            status = os.stat(path)
        except OSError:
            self._files.pop(path, None)
            return None
        stamp = (status.st_size, status.st_mtime_ns)
        if cached is not None and cached.stamp == stamp:
            cached.checked = now
            return cached
        try:
            with open(path, encoding="utf-8", newline="") as handle:
                text = handle.read()
        except (OSError, UnicodeDecodeError, ValueError):
            self._files.pop(path, None)
            return None
        self._files[path] = cached = FileText(stamp, text, now)
        return cached

    def __len__(self) -> int:
        return len(self._files)

    def forget_except(self, paths: set[str]) -> None:
        for path in [path for path in self._files if path not in paths]:
            del self._files[path]


class CodeQueries:
    """Definitions, references, symbols and syntax errors of a workspace."""

    def __init__(self, roots: Iterable[str], caller: NativeCaller) -> None:
        self.indexes = [RootIndex(os.path.abspath(root)) for root in roots]
        self._caller = caller
        self._texts = FileTexts()
        # path -> (text, definitions) of the last outline of each buffer.
        self._outlines: dict[str, tuple[str, list[Definition]]] = {}

    def close(self) -> None:
        for index in self.indexes:
            index.close()

    def file_text(self, path: str) -> str | None:
        """The text of a file on disk; None when it cannot be read as UTF-8."""
        cached = self._texts.get(path)
        return None if cached is None else cached.text

    def file_line(self, path: str, number: int) -> str:
        """Line `number` (from 1) of a file on disk; "" when it cannot be read."""
        cached = self._texts.get(path)
        return "" if cached is None else cached.line(number)

    def forget_buffer(self, path: str) -> None:
        self._outlines.pop(path, None)

    # Buffers -------------------------------------------------------------

    def buffer_definitions(self, buffer: Buffer) -> list[Definition]:
        """The buffer's definitions at every depth, in source order; [] when it cannot be read."""
        if buffer.language is None:
            return []
        cached = self._outlines.get(buffer.path)
        if cached is not None and cached[0] is buffer.text:
            return cached[1]
        try:
            reply = self._caller.call("symbols", {"content": buffer.text, "language": buffer.language})
        except CommandFailed:
            # A text past the parse limits: nothing to show rather than a failure.
            definitions: list[Definition] = []
        else:
            lines = lines_of(buffer.text)
            definitions = [
                Definition(
                    buffer.path, item["line"], item["end_line"],
                    index_of_byte_column(lines[item["line"] - 1], item["column"]) if item["line"] <= len(lines) else None,
                    item["kind"], item["name"], item["signature"], item["scope"],
                )
                for item in reply["definitions"]
            ]
        self._outlines[buffer.path] = (buffer.text, definitions)
        return definitions

    def document_symbols(self, buffer: Buffer) -> list[OutlineNode]:
        return nest(self.buffer_definitions(buffer))

    def diagnostics(self, buffer: Buffer) -> list[SyntaxProblem]:
        """Syntax errors of the buffer's text; raises CommandFailed past the parse limits."""
        if buffer.language is None:
            return []
        reply = self._caller.call("syntax-check", {"content": buffer.text, "language": buffer.language})
        if not reply.get("checked"):
            return []
        lines = lines_of(buffer.text)
        problems = []
        for error in reply["errors"]:
            line = lines[error["line"] - 1] if 0 < error["line"] <= len(lines) else ""
            problems.append(SyntaxProblem(error["line"], index_of_byte_column(line, error["column"]), error["message"]))
        return problems

    # The workspace -------------------------------------------------------

    def _stored(self, action: Callable[[Store], list[Any]]) -> Iterator[tuple[RootIndex, Any]]:
        for index in self.indexes:
            for row in index.read(action):
                yield index, row

    def workspace_symbols(self, query: str, buffers: Mapping[str, Buffer]) -> list[Definition]:
        """Definitions whose name starts with, else holds, `query`, regardless of case; best first."""
        folded = query.lower()
        found = []
        for index, row in self._stored(lambda store: store.symbols_containing(folded, WORKSPACE_SYMBOL_LIMIT)):
            path = index.absolute(row[0])
            if path not in buffers:
                found.append(Definition(path, row[1], row[2], None, row[3], row[4], row[5]))
        for buffer in buffers.values():
            found.extend(item for item in self.buffer_definitions(buffer) if folded in item.name.lower())
        roots = [index.root for index in self.indexes]

        def rank(item: Definition) -> tuple[Any, ...]:
            name = item.name.lower()
            tier = 0 if name == folded else 1 if name.startswith(folded) else 2
            return (tier, len(item.name), path_depth(item.path, roots), item.path, item.line)

        found.sort(key=rank)
        del found[WORKSPACE_SYMBOL_LIMIT:]
        self._fill_columns(found)
        return found

    def definitions(self, name: str, near: str, buffers: Mapping[str, Buffer]) -> list[Definition]:
        """Definitions named exactly `name`: `near`'s file first, then the nearest folders."""
        found = []
        # The outline names a Rust impl with its type's parameters (`Lines<R>`): those match too.
        def named(store: Store) -> list[Any]:
            return store.find_symbols(SymbolQuery(name)) + store.find_symbols(SymbolQuery(name + "<", mode="prefix"))

        for index, row in self._stored(named):
            path = index.absolute(row[0])
            if path not in buffers:
                found.append(Definition(path, row[1], row[2], None, row[3], row[4], row[5]))
        for buffer in buffers.values():
            found.extend(item for item in self.buffer_definitions(buffer) if item.name == name)
        found.sort(key=lambda item: (folder_distance(near, item.path), item.path, item.line))
        self._fill_columns(found)
        return found

    def _fill_columns(self, found: list[Definition]) -> None:
        for item in found:
            if item.column is None:
                item.column = self._column_on_disk(item.path, item.line, item.name)

    def _column_on_disk(self, path: str, line: int, name: str) -> int | None:
        return name_column(self.file_line(path, line), name)

    def references(self, name: str, buffers: Mapping[str, Buffer]) -> list[Reference]:
        """Whole-word occurrences of `name` in the indexed files and open buffers, in path order."""
        texts: dict[str, str | None] = {}
        for index in self.indexes:
            for path in index.paths():
                texts[path] = buffers[path].text if path in buffers else self.file_text(path)
        if len(self._texts) > len(texts):
            self._texts.forget_except(set(texts))
        for path, buffer in buffers.items():
            texts.setdefault(path, buffer.text)
        found: list[Reference] = []
        for path in sorted(texts):
            text = texts[path]
            if text is None:
                continue
            for line_number, start, line_start, line in whole_words(text, name):
                found.append(Reference(path, line_number, start - line_start, start - line_start + len(name), line))
                if len(found) >= REFERENCE_LIMIT:
                    return found
        return found


def whole_words(text: str, name: str) -> Iterator[tuple[int, int, int, str]]:
    """(line from 1, offset, offset of its line, the line) of each whole-word `name` in `text`.

    A plain substring search (memchr-fast in CPython) with the neighbours
    checked here: a pattern with a look-behind is tried at every offset of
    the text, some ten times slower over a large tree.
    """
    line_number, line_start, scanned = 1, 0, 0
    find = text.find
    start = find(name)
    while start >= 0:
        end = start + len(name)
        if not (start > 0 and is_identifier_char(text[start - 1])) and not (
            end < len(text) and is_identifier_char(text[end])
        ):
            newlines = text.count("\n", scanned, start)
            if newlines:
                line_number += newlines
                line_start = text.rfind("\n", 0, start) + 1
            scanned = start
            line_end = find("\n", start)
            yield line_number, start, line_start, text[line_start : len(text) if line_end < 0 else line_end]
        start = find(name, end)


def is_identifier_char(char: str) -> bool:
    return char.isalnum() or char == "_" or char == "$"


def folder_distance(near: str, path: str) -> tuple[int, int]:
    """(0 for the same file, else 1; folder steps between the two files' folders)."""
    if path == near:
        return (0, 0)
    here = os.path.dirname(near).split(os.sep)
    there = os.path.dirname(path).split(os.sep)
    shared = 0
    for a, b in zip(here, there):
        if a != b:
            break
        shared += 1
    return (1, len(here) - shared + len(there) - shared)


def path_depth(path: str, roots: list[str]) -> int:
    for root in roots:
        if path.startswith(root + os.sep):
            return path[len(root) + 1 :].count(os.sep)
    return path.count(os.sep)
