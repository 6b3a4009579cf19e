"""Every answer the language server gives about code, behind one interface.

Stored files are answered from the definitions and references the index
keeps for each workspace root; open buffers from their current text,
through the module's `symbols` and `syntax-check` commands, so an unsaved
definition or reference is found at once, and a buffer's own answers
replace what the index holds of its file.

Paths in the records are absolute; lines count from 1 as the index stores
them; `column` is an index into the line's text (code points), or None when
not known.
"""

from __future__ import annotations

import os
import re
from array import array
from collections import OrderedDict
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


def line_reader(text: str) -> Callable[[int], str]:
    """Line `number` (from 1) of `text` without its line break; "" past the end."""
    lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]

    def line_of(number: int) -> str:
        return lines[number - 1] if 0 < number <= len(lines) else ""

    return line_of


class RootIndex:
    """The stored index of one workspace root, opened when it first can be."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.location = default_location(root)
        self._store: Store | None = None
        self._next_try = 0.0

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

    def absolute(self, path: str) -> str:
        return os.path.join(self.root, path)


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
# Most file texts kept at once (all of eslint's or tokio's indexed files).
FILE_TEXT_LIMIT = 4096


class FileTexts:
    """Texts of indexed files for the lines of answers, read again when they change on disk.

    Files are looked at (size and modification time) at most once a
    second, as a request may need lines of hundreds of them. Open buffers
    never come from here.
    """

    def __init__(self, limit: int = FILE_TEXT_LIMIT) -> None:
        # In the order of last use, so the least used goes first past the limit.
        self._files: OrderedDict[str, FileText] = OrderedDict()
        self._limit = limit

    def get(self, path: str) -> FileText | None:
        cached = self._files.get(path)
        if cached is not None:
            self._files.move_to_end(path)
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
        while len(self._files) > self._limit:
            self._files.popitem(last=False)
        return cached


class CodeQueries:
    """Definitions, references, symbols and syntax errors of a workspace."""

    def __init__(self, roots: Iterable[str], caller: NativeCaller) -> None:
        self.indexes = [RootIndex(os.path.abspath(root)) for root in roots]
        self._caller = caller
        self._texts = FileTexts()
        # path -> (text, definitions, references) of each buffer's last `symbols` reply.
        self._outlines: dict[str, tuple[str, list[Definition], list[Reference]]] = {}

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

    def buffer_symbols(self, buffer: Buffer) -> tuple[list[Definition], list[Reference]]:
        """The buffer's definitions at every depth and its references, in source order."""
        if buffer.language is None:
            return [], []
        cached = self._outlines.get(buffer.path)
        if cached is not None and cached[0] is buffer.text:
            return cached[1], cached[2]
        try:
            reply = self._caller.call("symbols", {"content": buffer.text, "language": buffer.language})
        except CommandFailed:
            # A text past the parse limits: nothing to show rather than a failure.
            definitions: list[Definition] = []
            references: list[Reference] = []
        else:
            line_of = line_reader(buffer.text)
            definitions = [
                Definition(
                    buffer.path, item["line"], item["end_line"], index_of_byte_column(line_of(item["line"]), item["column"]),
                    item["kind"], item["name"], item["signature"], item["scope"],
                )
                for item in reply["definitions"]
            ]
            references = [
                reference_at(buffer.path, item["line"], item["column"], item["name"], line_of(item["line"]))
                for item in reply["references"]
            ]
        self._outlines[buffer.path] = (buffer.text, definitions, references)
        return definitions, references

    def buffer_definitions(self, buffer: Buffer) -> list[Definition]:
        return self.buffer_symbols(buffer)[0]

    def document_symbols(self, buffer: Buffer) -> list[OutlineNode]:
        return nest(self.buffer_definitions(buffer))

    def diagnostics(self, buffer: Buffer) -> list[SyntaxProblem]:
        """Syntax errors of the buffer's text; raises CommandFailed past the parse limits."""
        if buffer.language is None:
            return []
        reply = self._caller.call("syntax-check", {"content": buffer.text, "language": buffer.language})
        if not reply.get("checked"):
            return []
        line_of = line_reader(buffer.text)
        return [
            SyntaxProblem(error["line"], index_of_byte_column(line_of(error["line"]), error["column"]), error["message"])
            for error in reply["errors"]
        ]

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
                found.append(self._stored_definition(path, *row[1:]))
        for buffer in buffers.values():
            found.extend(item for item in self.buffer_definitions(buffer) if folded in item.name.lower())
        roots = [index.root for index in self.indexes]

        def rank(item: Definition) -> tuple[Any, ...]:
            name = item.name.lower()
            tier = 0 if name == folded else 1 if name.startswith(folded) else 2
            return (tier, len(item.name), path_depth(item.path, roots), item.path, item.line)

        found.sort(key=rank)
        del found[WORKSPACE_SYMBOL_LIMIT:]
        return found

    def definitions(self, name: str, near: str, buffers: Mapping[str, Buffer]) -> list[Definition]:
        """Definitions named exactly `name`: `near`'s file first, then the nearest folders."""
        found = []
        for index, row in self._stored(lambda store: store.find_definitions(SymbolQuery(name))):
            path = index.absolute(row[0])
            if path not in buffers:
                found.append(self._stored_definition(path, row[1], row[2], row[3], row[4], row[5], row[6]))
        for buffer in buffers.values():
            found.extend(item for item in self.buffer_definitions(buffer) if item.name == name)
        found.sort(key=lambda item: (folder_distance(near, item.path), item.path, item.line))
        return found

    def _stored_definition(
        self, path: str, line: int, column: int, end_line: int, kind: str, name: str, signature: str
    ) -> Definition:
        # The index counts bytes; the line on disk turns them into characters.
        return Definition(
            path, line, end_line, index_of_byte_column(self.file_line(path, line), column), kind, name, signature
        )

    def references(self, name: str, buffers: Mapping[str, Buffer]) -> list[Reference]:
        """The places that name `name` (calls, type uses, imports...) in the index and the open buffers."""
        found: list[Reference] = []
        for index, row in self._stored(lambda store: store.find_references(SymbolQuery(name))):
            path = index.absolute(row[0])
            if path not in buffers:
                found.append(reference_at(path, row[1], row[2], name, self.file_line(path, row[1])))
                if len(found) >= REFERENCE_LIMIT:
                    return found
        for buffer in buffers.values():
            found.extend(item for item in self.buffer_symbols(buffer)[1] if item.text[item.column : item.end_column] == name)
        found.sort(key=lambda item: (item.path, item.line, item.column))
        return found[:REFERENCE_LIMIT]


def reference_at(path: str, line: int, byte_column: int, name: str, text: str) -> Reference:
    column = index_of_byte_column(text, byte_column)
    return Reference(path, line, column, column + len(name), text)


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
