"""JSON-RPC 2.0 over `Content-Length` framing, and the dispatch loop of the server.

Written here because Debian 12 packages no Python library for the protocol
and this project installs Python libraries from Debian only. Everything that
knows about ids, error codes, framing and the order of the lifecycle lives in
this module; handlers receive parameters and return results.

One thread reads standard input and queues what it reads; the calling thread
answers the queue in order and runs the tasks handlers scheduled for later
(debounced work), so handlers never run concurrently. A `$/cancelRequest` is
acted on by the reader at once: the request it names, still queued, is then
answered with `RequestCancelled` instead of being run.
"""

from __future__ import annotations

import json
import queue
import sys
import threading
import traceback
from collections.abc import Callable
from time import monotonic
from typing import IO, Any

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
SERVER_NOT_INITIALIZED = -32002
REQUEST_CANCELLED = -32800

# A header block longer than this is not a client speaking the protocol.
MAX_HEADER_BYTES = 8192
# Bodies are read whole; a larger one is refused rather than buffered.
MAX_BODY_BYTES = 256 * 1024 * 1024


class ProtocolError(Exception):
    """The byte stream cannot be read as framed messages any more."""


class RequestFailed(Exception):
    """Raised by a handler to answer with a given error code."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


def read_frame(stream: IO[bytes]) -> bytes | None:
    """The body of the next message, or None at the end of the stream."""
    length = None
    header_bytes = 0
    while True:
        line = stream.readline(MAX_HEADER_BYTES + 1)
        if not line:
            if header_bytes:
                raise ProtocolError("stream ended inside a header")
            return None
        header_bytes += len(line)
        if header_bytes > MAX_HEADER_BYTES:
            raise ProtocolError("header block too long")
        text = line.decode("ascii", "replace").strip()
        if not text:
            if length is None:
                # Stray blank lines between messages carry nothing.
                if header_bytes == len(line):
                    header_bytes = 0
                    continue
                raise ProtocolError("message without Content-Length")
            break
        name, _, value = text.partition(":")
        if name.strip().lower() == "content-length":
            try:
                length = int(value.strip())
            except ValueError:
                raise ProtocolError(f"bad Content-Length: {value.strip()!r}") from None
            if not 0 <= length <= MAX_BODY_BYTES:
                raise ProtocolError(f"Content-Length out of range: {length}")
    body = stream.read(length)
    if len(body) < length:
        raise ProtocolError("stream ended inside a message body")
    return body


def frame(message: dict[str, Any]) -> bytes:
    body = json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


class Writer:
    """Writes whole messages; the reader thread and the loop both answer."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream
        self._lock = threading.Lock()
        self.closed = False

    def send(self, message: dict[str, Any]) -> None:
        data = frame(message)
        with self._lock:
            if self.closed:
                return
            try:
                self._stream.write(data)
                self._stream.flush()
            except (BrokenPipeError, ValueError, OSError):
                # The client is gone; the reader sees the end of input next.
                self.closed = True

    def respond(self, request_id: Any, result: Any) -> None:
        self.send({"jsonrpc": "2.0", "id": request_id, "result": result})

    def fail(self, request_id: Any, code: int, message: str) -> None:
        self.send({"jsonrpc": "2.0", "id": request_id, "error": {"code": code, "message": message}})

    def notify(self, method: str, params: Any) -> None:
        self.send({"jsonrpc": "2.0", "method": method, "params": params})


# What the reader queues: a decoded message, or the end of input.
END_OF_INPUT = object()


class Scheduler:
    """Tasks to run later on the loop's thread; a new task replaces one with the same key."""

    def __init__(self) -> None:
        self._due: dict[Any, tuple[float, Callable[[], None]]] = {}

    def schedule(self, key: Any, delay: float, task: Callable[[], None]) -> None:
        self._due[key] = (monotonic() + delay, task)

    def cancel(self, key: Any) -> None:
        self._due.pop(key, None)

    def seconds_to_next(self) -> float | None:
        if not self._due:
            return None
        return max(0.0, min(when for when, _ in self._due.values()) - monotonic())

    def take_due(self) -> list[Callable[[], None]]:
        now = monotonic()
        keys = [key for key, (when, _) in self._due.items() if when <= now]
        return [self._due.pop(key)[1] for key in keys]


Handler = Callable[[Any], Any]


class Endpoint:
    """The server's side of one connection: lifecycle, dispatch and error answers.

    `requests` and `notifications` map method names to handlers taking the
    `params` member. A handler may raise RequestFailed; any other exception
    is answered as an internal error and the server goes on.
    """

    def __init__(self, instream: IO[bytes], outstream: IO[bytes], log: IO[str] | None = None) -> None:
        self._instream = instream
        self.writer = Writer(outstream)
        self.scheduler = Scheduler()
        self.requests: dict[str, Handler] = {}
        self.notifications: dict[str, Handler] = {}
        self._log = sys.stderr if log is None else log
        self._inbox: queue.Queue[Any] = queue.Queue()
        # Ids of requests read but not yet answered, and those of them cancelled:
        # a cancellation that comes too late is dropped, so neither set grows.
        self._pending: set[Any] = set()
        self._cancelled: set[Any] = set()
        self._cancel_lock = threading.Lock()
        self.initialized = False
        self.shut_down = False

    def log(self, text: str) -> None:
        try:
            self._log.write(f"brightloom-index lsp: {text}\n")
            self._log.flush()
        except (OSError, ValueError):
            pass

    def _read_loop(self) -> None:
        try:
            while True:
                body = read_frame(self._instream)
                if body is None:
                    break
                try:
                    message = json.loads(body)
                except (ValueError, UnicodeDecodeError) as error:
                    self.writer.fail(None, PARSE_ERROR, f"malformed JSON: {error}")
                    continue
                if isinstance(message, dict) and message.get("method") == "$/cancelRequest":
                    params = message.get("params")
                    if isinstance(params, dict) and "id" in params:
                        with self._cancel_lock:
                            key = hashable_id(params["id"])
                            if key in self._pending:
                                self._cancelled.add(key)
                    continue
                if isinstance(message, dict) and "method" in message and valid_id(message.get("id")):
                    with self._cancel_lock:
                        self._pending.add(hashable_id(message["id"]))
                self._inbox.put(message)
        except ProtocolError as error:
            self.log(f"stopped reading: {error}")
        except (OSError, ValueError) as error:
            self.log(f"stopped reading: {error}")
        finally:
            self._inbox.put(END_OF_INPUT)

    def serve(self) -> int:
        """Answers messages until `exit` or the end of input; returns the exit status."""
        reader = threading.Thread(target=self._read_loop, name="lsp-reader", daemon=True)
        reader.start()
        while True:
            try:
                message = self._inbox.get(timeout=self.scheduler.seconds_to_next())
            except queue.Empty:
                message = None
            for task in self.scheduler.take_due():
                self._guarded(task)
            if message is None:
                continue
            if message is END_OF_INPUT:
                # The parent closed our input: it will not send `exit` any more.
                return 0 if self.shut_down else 1
            if isinstance(message, dict) and message.get("method") == "exit":
                return 0 if self.shut_down else 1
            self._handle(message)

    def _guarded(self, task: Callable[[], None]) -> None:
        try:
            task()
        except Exception:
            self.log("a scheduled task failed:\n" + traceback.format_exc())

    def _handle(self, message: Any) -> None:
        if not isinstance(message, dict) or message.get("jsonrpc") != "2.0":
            self.writer.fail(request_id_of(message), INVALID_REQUEST, "not a JSON-RPC 2.0 message")
            return
        method = message.get("method")
        if method is None:
            # A response to a request of ours: the server sends none that need one.
            return
        is_request = "id" in message
        if not isinstance(method, str) or (is_request and not valid_id(message["id"])):
            self.writer.fail(request_id_of(message), INVALID_REQUEST, "invalid method or id")
            return
        params = message.get("params")
        if not is_request:
            self._notification(method, params)
            return
        request_id = message["id"]
        with self._cancel_lock:
            key = hashable_id(request_id)
            cancelled = key in self._cancelled
            self._cancelled.discard(key)
            self._pending.discard(key)
        if cancelled:
            self.writer.fail(request_id, REQUEST_CANCELLED, "request cancelled")
            return
        self._request(request_id, method, params)

    def _request(self, request_id: Any, method: str, params: Any) -> None:
        if method == "initialize":
            if self.initialized:
                self.writer.fail(request_id, INVALID_REQUEST, "initialize was already received")
                return
        elif not self.initialized:
            self.writer.fail(request_id, SERVER_NOT_INITIALIZED, "the server is not initialized")
            return
        elif self.shut_down:
            self.writer.fail(request_id, INVALID_REQUEST, "the server is shut down")
            return
        if method == "shutdown":
            self.shut_down = True
            self.writer.respond(request_id, None)
            return
        handler = self.requests.get(method)
        if handler is None:
            self.writer.fail(request_id, METHOD_NOT_FOUND, f"method not found: {method}")
            return
        try:
            result = handler(params)
        except RequestFailed as failure:
            self.writer.fail(request_id, failure.code, failure.message)
            return
        except Exception as error:
            self.log(f"{method} failed:\n" + traceback.format_exc())
            self.writer.fail(request_id, INTERNAL_ERROR, f"{method} failed: {type(error).__name__}: {error}")
            return
        if method == "initialize":
            self.initialized = True
        self.writer.respond(request_id, result)

    def _notification(self, method: str, params: Any) -> None:
        # Before initialize every notification but exit is dropped.
        if not self.initialized or self.shut_down:
            return
        handler = self.notifications.get(method)
        if handler is None:
            return
        try:
            handler(params)
        except Exception:
            self.log(f"{method} failed:\n" + traceback.format_exc())


def valid_id(value: Any) -> bool:
    return isinstance(value, str) or (isinstance(value, int) and not isinstance(value, bool))


def hashable_id(value: Any) -> Any:
    # 1 and "1" are distinct ids.
    return (type(value).__name__, value) if valid_id(value) else None


def request_id_of(message: Any) -> Any:
    if isinstance(message, dict) and valid_id(message.get("id")):
        return message["id"]
    return None
