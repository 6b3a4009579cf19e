"""The language server's handlers: what each method answers.

Handlers take the `params` of a message and return its result; ids, errors
and framing are the endpoint's (jsonrpc.py), and every fact about code comes
from `CodeQueries`. Buffers are kept here with the negotiated position
encoding.
"""

from __future__ import annotations

import os
from functools import lru_cache
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlparse

from .. import __version__
from ..native_calls import CommandFailed, NativeCaller
from .code_queries import Buffer, CodeQueries, OutlineNode, Reference, language_of
from .documents import UTF8, UTF16, TextDocument, character_in_line, index_in_line, word_at
from .jsonrpc import INVALID_PARAMS, Endpoint, RequestFailed
from .refresh import RootRefresher

SERVER_NAME = "brightloom-index"
# Quiet time after an edit before the buffer is checked again.
DIAGNOSTICS_DELAY_SECONDS = 0.01
# Quiet time after a save or a file event before the index is refreshed.
REFRESH_DELAY_SECONDS = 0.2
# How often a running refresh is looked at.
REFRESH_POLL_SECONDS = 0.25

SEVERITY_ERROR = 1
SEVERITY_WARNING = 2

# Declaration kinds of the outline to the protocol's SymbolKind numbers.
SYMBOL_KINDS = {
    "module": 2, "mod": 2, "namespace": 3, "class": 5, "impl": 5, "method": 6, "property": 7,
    "field": 8, "enum": 10, "interface": 11, "trait": 11, "function": 12, "fn": 12, "macro": 12,
    "variable": 13, "constant": 14, "enumerator": 22, "struct": 23, "union": 23, "type": 26,
}
DEFAULT_SYMBOL_KIND = 13

WATCHED_GLOB = "**/*.{py,rs,js,mjs,cjs,jsx,ts,mts,cts,tsx,json}"


def path_of_uri(uri: Any) -> str | None:
    if not isinstance(uri, str):
        return None
    parsed = urlparse(uri)
    if parsed.scheme != "file" or parsed.netloc not in ("", "localhost"):
        return None
    return os.path.normpath(unquote(parsed.path))


@lru_cache(maxsize=4096)
def uri_of_path(path: str) -> str:
    # Kept: a reference list names the same few files thousands of times.
    return Path(path).as_uri()


def text_document_uri(params: Any) -> str:
    try:
        uri = params["textDocument"]["uri"]
    except (KeyError, TypeError):
        raise RequestFailed(INVALID_PARAMS, "textDocument.uri is required") from None
    if not isinstance(uri, str):
        raise RequestFailed(INVALID_PARAMS, "textDocument.uri must be a string")
    return uri


def position_of(params: Any) -> dict[str, Any]:
    position = params.get("position") if isinstance(params, dict) else None
    if (
        not isinstance(position, dict)
        or not isinstance(position.get("line"), int)
        or not isinstance(position.get("character"), int)
    ):
        raise RequestFailed(INVALID_PARAMS, "position {line, character} is required")
    return position


class LanguageServer:
    def __init__(self, endpoint: Endpoint, caller: NativeCaller, refresh_in_background: bool = True) -> None:
        self.endpoint = endpoint
        self.caller = caller
        self.encoding = UTF16
        self.roots: list[str] = []
        self.documents: dict[str, TextDocument] = {}
        # The path of each open buffer's file to its uri, as the client spells it.
        self.open_paths: dict[str, str] = {}
        self.queries = CodeQueries([], caller)
        self.refreshers: list[RootRefresher] = []
        self.refresh_in_background = refresh_in_background
        self.hierarchical_symbols = False
        self.client_watches_files = False
        endpoint.requests.update({
            "initialize": self.initialize,
            "workspace/symbol": self.workspace_symbol,
            "textDocument/documentSymbol": self.document_symbol,
            "textDocument/definition": self.definition,
            "textDocument/references": self.references,
            "textDocument/hover": self.hover,
        })
        endpoint.notifications.update({
            "initialized": self.initialized,
            "textDocument/didOpen": self.did_open,
            "textDocument/didChange": self.did_change,
            "textDocument/didClose": self.did_close,
            "textDocument/didSave": self.did_save,
            "workspace/didChangeWatchedFiles": self.did_change_watched_files,
        })

    # Lifecycle -----------------------------------------------------------

    def initialize(self, params: Any) -> dict[str, Any]:
        params = params if isinstance(params, dict) else {}
        capabilities = params.get("capabilities") or {}
        offered = (capabilities.get("general") or {}).get("positionEncodings") or []
        self.encoding = UTF8 if UTF8 in offered else UTF16
        symbol_support = (capabilities.get("textDocument") or {}).get("documentSymbol") or {}
        self.hierarchical_symbols = bool(symbol_support.get("hierarchicalDocumentSymbolSupport"))
        watched = (capabilities.get("workspace") or {}).get("didChangeWatchedFiles") or {}
        self.client_watches_files = bool(watched.get("dynamicRegistration"))
        self.roots = workspace_roots(params)
        self.queries = CodeQueries(self.roots, self.caller)
        self.refreshers = [RootRefresher(root, self.endpoint.log) for root in self.roots]
        return {
            "capabilities": {
                "positionEncoding": self.encoding,
                "textDocumentSync": {"openClose": True, "change": 2, "save": {"includeText": False}},
                "workspaceSymbolProvider": True,
                "documentSymbolProvider": True,
                "definitionProvider": True,
                "referencesProvider": True,
                "hoverProvider": True,
            },
            "serverInfo": {"name": SERVER_NAME, "version": __version__},
        }

    def initialized(self, params: Any) -> None:
        if self.client_watches_files:
            self.endpoint.writer.send({
                "jsonrpc": "2.0", "id": "brightloom-watch", "method": "client/registerCapability",
                "params": {"registrations": [{
                    "id": "brightloom-watch", "method": "workspace/didChangeWatchedFiles",
                    "registerOptions": {"watchers": [{"globPattern": WATCHED_GLOB}]},
                }]},
            })
        for refresher in self.refreshers:
            self._refresh(refresher, 0.0)

    def close(self) -> None:
        for refresher in self.refreshers:
            refresher.stop()
        self.queries.close()

    # Buffers -------------------------------------------------------------

    def did_open(self, params: Any) -> None:
        item = params["textDocument"]
        uri = item["uri"]
        path = path_of_uri(uri) or uri
        self.documents[uri] = TextDocument(uri, item["text"], item.get("version"), language_of(path, item.get("languageId")))
        self.open_paths[path] = uri
        self._schedule_diagnostics(uri, 0.0)

    def did_change(self, params: Any) -> None:
        uri = text_document_uri(params)
        document = self.documents.get(uri)
        if document is None:
            return
        for change in params.get("contentChanges") or []:
            document.apply_change(change, self.encoding)
        document.version = params["textDocument"].get("version", document.version)
        self._schedule_diagnostics(uri, DIAGNOSTICS_DELAY_SECONDS)

    def did_close(self, params: Any) -> None:
        uri = text_document_uri(params)
        document = self.documents.pop(uri, None)
        self.endpoint.scheduler.cancel(("diagnostics", uri))
        if document is not None:
            path = path_of_uri(uri) or uri
            self.queries.forget_buffer(path)
            self.open_paths.pop(path, None)
        self.endpoint.writer.notify("textDocument/publishDiagnostics", {"uri": uri, "diagnostics": []})

    def did_save(self, params: Any) -> None:
        self._files_changed([text_document_uri(params)])

    def did_change_watched_files(self, params: Any) -> None:
        changes = params.get("changes") if isinstance(params, dict) else None
        self._files_changed([change.get("uri") for change in changes or [] if isinstance(change, dict)])

    def _files_changed(self, uris: list[Any]) -> None:
        """Refreshes the index of each root holding one of the files."""
        for uri in uris:
            path = path_of_uri(uri)
            if path is None:
                continue
            for refresher in self.refreshers:
                if is_inside(path, refresher.root) and not is_inside(path, os.path.join(refresher.root, ".brightloom")):
                    self._refresh(refresher, REFRESH_DELAY_SECONDS)

    def _refresh(self, refresher: RootRefresher, delay: float) -> None:
        if not self.refresh_in_background:
            return

        def start() -> None:
            refresher.request()
            self._watch(refresher)

        self.endpoint.scheduler.schedule(("refresh", refresher.root), delay, start)

    def _watch(self, refresher: RootRefresher) -> None:
        def poll() -> None:
            refresher.poll()
            if refresher.running:
                self._watch(refresher)

        self.endpoint.scheduler.schedule(("refresh-poll", refresher.root), REFRESH_POLL_SECONDS, poll)

    def _schedule_diagnostics(self, uri: str, delay: float) -> None:
        self.endpoint.scheduler.schedule(("diagnostics", uri), delay, lambda: self._publish_diagnostics(uri))

    def _publish_diagnostics(self, uri: str) -> None:
        document = self.documents.get(uri)
        if document is None:
            return
        buffer = self._buffer(document)
        try:
            problems = self.queries.diagnostics(buffer)
        except CommandFailed as failure:
            lines = [{
                "range": {"start": {"line": 0, "character": 0}, "end": {"line": 0, "character": 0}},
                "severity": SEVERITY_WARNING, "source": SERVER_NAME, "message": f"not checked: {failure.message}",
            }]
        else:
            lines = []
            for problem in problems:
                text = document.line(problem.line - 1)
                start = character_in_line(text, problem.column, self.encoding)
                end = character_in_line(text, min(len(text), problem.column + 1), self.encoding)
                lines.append({
                    "range": {"start": {"line": problem.line - 1, "character": start},
                              "end": {"line": problem.line - 1, "character": end}},
                    "severity": SEVERITY_ERROR, "source": SERVER_NAME, "message": problem.message,
                })
        published: dict[str, Any] = {"uri": uri, "diagnostics": lines}
        if document.version is not None:
            published["version"] = document.version
        self.endpoint.writer.notify("textDocument/publishDiagnostics", published)

    def _buffer(self, document: TextDocument) -> Buffer:
        return Buffer(path_of_uri(document.uri) or document.uri, document.text, document.language)

    def _buffers(self) -> dict[str, Buffer]:
        buffers = (self._buffer(document) for document in self.documents.values())
        return {buffer.path: buffer for buffer in buffers}

    def _source(self, uri: str) -> TextDocument | None:
        """The open buffer, else the file on disk inside the workspace; None otherwise."""
        document = self.documents.get(uri)
        if document is not None:
            return document
        path = path_of_uri(uri)
        if path is None or not any(is_inside(path, root) for root in self.roots):
            return None
        text = self.queries.file_text(path)
        if text is None:
            return None
        return TextDocument(uri, text, None, language_of(path))

    # Answers -------------------------------------------------------------

    def _name_at(self, params: Any) -> tuple[str, str] | None:
        """The identifier under the cursor and the file's path."""
        uri = text_document_uri(params)
        position = position_of(params)
        document = self._source(uri)
        if document is None:
            return None
        line = document.line(position["line"])
        span = word_at(line, index_in_line(line, position["character"], self.encoding))
        if span is None:
            return None
        return line[span[0] : span[1]], path_of_uri(uri) or uri

    def definition(self, params: Any) -> list[dict[str, Any]]:
        found = self._name_at(params)
        if found is None:
            return []
        name, path = found
        return [self._location(item.path, item.line, item.column, item.name) for item in
                self.queries.definitions(name, path, self._buffers())]

    def references(self, params: Any) -> list[dict[str, Any]]:
        found = self._name_at(params)
        if found is None:
            return []
        name, path = found
        buffers = self._buffers()
        context = params.get("context") or {}
        places = [(item.path, item.line, item.column, self._reference_location(item))
                  for item in self.queries.references(name, buffers)]
        if context.get("includeDeclaration", True):
            places += [(item.path, item.line, item.column or 0, self._location(item.path, item.line, item.column, item.name))
                       for item in self.queries.definitions(name, path, buffers)]
        places.sort(key=lambda place: place[:3])
        return [place[3] for place in places]

    def hover(self, params: Any) -> dict[str, Any] | None:
        found = self._name_at(params)
        if found is None:
            return None
        name, path = found
        definitions = self.queries.definitions(name, path, self._buffers())
        if not definitions:
            return None
        best = definitions[0]
        language = language_of(best.path) or ""
        where = self._shown_path(best.path)
        more = f" (and {len(definitions) - 1} more)" if len(definitions) > 1 else ""
        text = f"```{language}\n{best.signature}\n```\n{best.kind} `{best.name}` in `{where}` line {best.line}{more}"
        return {"contents": {"kind": "markdown", "value": text}}

    def workspace_symbol(self, params: Any) -> list[dict[str, Any]]:
        query = params.get("query", "") if isinstance(params, dict) else ""
        if not isinstance(query, str):
            raise RequestFailed(INVALID_PARAMS, "query must be a string")
        return [
            {
                "name": item.name,
                "kind": SYMBOL_KINDS.get(item.kind, DEFAULT_SYMBOL_KIND),
                "location": self._location(item.path, item.line, item.column, item.name),
                "containerName": self._shown_path(item.path),
            }
            for item in self.queries.workspace_symbols(query, self._buffers())
        ]

    def document_symbol(self, params: Any) -> list[dict[str, Any]]:
        document = self._source(text_document_uri(params))
        if document is None:
            return []
        nodes = self.queries.document_symbols(self._buffer(document))
        if self.hierarchical_symbols:
            return [self._document_symbol(document, node) for node in nodes]
        flat: list[dict[str, Any]] = []
        self._flatten(document, nodes, None, flat)
        return flat

    def _document_symbol(self, document: TextDocument, node: OutlineNode) -> dict[str, Any]:
        item = node.definition
        end_text = document.line(item.end_line - 1)
        full = {"start": {"line": item.line - 1, "character": 0},
                "end": {"line": item.end_line - 1, "character": character_in_line(end_text, len(end_text), self.encoding)}}
        symbol: dict[str, Any] = {
            "name": item.name,
            "detail": item.signature,
            "kind": SYMBOL_KINDS.get(item.kind, DEFAULT_SYMBOL_KIND),
            "range": full,
            "selectionRange": self._name_range(document.line(item.line - 1), item.line, item.column, item.name),
        }
        if node.children:
            symbol["children"] = [self._document_symbol(document, child) for child in node.children]
        return symbol

    def _flatten(self, document: TextDocument, nodes: list[OutlineNode], container: str | None, out: list[dict[str, Any]]) -> None:
        for node in nodes:
            item = node.definition
            entry: dict[str, Any] = {
                "name": item.name,
                "kind": SYMBOL_KINDS.get(item.kind, DEFAULT_SYMBOL_KIND),
                "location": {"uri": document.uri,
                             "range": self._name_range(document.line(item.line - 1), item.line, item.column, item.name)},
            }
            if container is not None:
                entry["containerName"] = container
            out.append(entry)
            self._flatten(document, node.children, item.name, out)

    # Positions -----------------------------------------------------------

    def _line_range(self, text: str, line: int, start: int, end: int) -> dict[str, Any]:
        """The range of indexes `start` to `end` of line `line` (from 1), whose text is `text`."""
        return {"start": {"line": line - 1, "character": character_in_line(text, start, self.encoding)},
                "end": {"line": line - 1, "character": character_in_line(text, end, self.encoding)}}

    def _name_range(self, text: str, line: int, column: int | None, name: str) -> dict[str, Any]:
        if column is None:
            return self._line_range("", line, 0, 0)
        return self._line_range(text, line, column, column + len(name))

    def _line_text(self, path: str, line: int) -> str:
        document = self.documents.get(self.open_paths.get(path, ""))
        if document is not None:
            return document.line(line - 1)
        return self.queries.file_line(path, line)

    def _location(self, path: str, line: int, column: int | None, name: str) -> dict[str, Any]:
        text = self._line_text(path, line) if column is not None else ""
        return {"uri": uri_of_path(path), "range": self._name_range(text, line, column, name)}

    def _reference_location(self, item: Reference) -> dict[str, Any]:
        return {"uri": uri_of_path(item.path),
                "range": self._line_range(item.text, item.line, item.column, item.end_column)}

    def _shown_path(self, path: str) -> str:
        for root in self.roots:
            if is_inside(path, root):
                return os.path.relpath(path, root)
        return path


def is_inside(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def workspace_roots(params: dict[str, Any]) -> list[str]:
    """The folders the client named: workspaceFolders, else rootUri, else rootPath."""
    roots = []
    for folder in params.get("workspaceFolders") or []:
        path = path_of_uri(folder.get("uri")) if isinstance(folder, dict) else None
        if path is not None:
            roots.append(path)
    if not roots:
        path = path_of_uri(params.get("rootUri"))
        if path is None and isinstance(params.get("rootPath"), str):
            path = os.path.abspath(params["rootPath"])
        if path is not None:
            roots.append(path)
    return [root for root in dict.fromkeys(roots) if os.path.isdir(root)]


def serve(stdin: Any, stdout: Any, caller: NativeCaller) -> int:
    endpoint = Endpoint(stdin, stdout)
    server = LanguageServer(endpoint, caller)
    try:
        return endpoint.serve()
    finally:
        server.close()


def run_lsp(args: Any, caller: NativeCaller, out: Any) -> int:
    """`brightloom-index lsp`: the protocol on standard input and output."""
    import sys

    protocol_out = sys.stdout.buffer
    # Standard output carries only framed messages; a stray print goes to stderr.
    sys.stdout = sys.stderr
    status = serve(sys.stdin.buffer, protocol_out, caller)
    protocol_out.flush()
    sys.stderr.flush()
    # The reader thread may still be blocked reading standard input, whose
    # lock the interpreter's shutdown would then wait on and abort: leave at once.
    os._exit(status)
