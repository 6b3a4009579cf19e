"""Outline and check of one file, and how a request and its outcome travel
between processes.

`parse_one` is the only code that parses a file for the index, in this
process or in a parse worker. A worker reads requests with `decode_request`
and answers with `encode_outcome`; the pool writes with `encode_request`
and reads with `decode_outcome`. Each message is one line of JSON, ASCII
with escapes: a name the module cannot take fails in the worker as it
would here, instead of failing to encode.
"""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass

from .native_calls import CommandFailed, NativeCaller, Reply
from .tree_files import Unreadable, read_tree_text


@dataclass(frozen=True)
class ParseRequest:
    """A file of the tree: `root` absolute (workers run in "/"), `path` relative to it."""

    root: str
    path: str
    language: str
    max_size: int


@dataclass
class ParseOutcome:
    """The replies for one file, or why it was not parsed.

    `file_hash` and `total_lines` are the digest of the very bytes parsed,
    which the index stores: the file may have changed since it was first
    digested, and the index must describe the text it parsed.
    """

    outline: Reply | None = None
    check: Reply | None = None
    error: str | None = None
    outline_seconds: float = 0.0
    check_seconds: float = 0.0
    calls: int = 0
    file_hash: str | None = None
    total_lines: int = 0


def parse_one(caller: NativeCaller, request: ParseRequest) -> ParseOutcome:
    outcome = ParseOutcome()
    try:
        # Read here under the tree's rules (no link, no FIFO, the size
        # limit) and handed over as text: the module never opens the file.
        text, (outcome.file_hash, outcome.total_lines) = read_tree_text(
            request.root, request.path, request.max_size
        )
        payload = {"content": text, "language": request.language}
        outcome.calls += 1
        outcome.outline = caller.call("outline", payload)
        outcome.outline_seconds = caller.last_seconds
        outcome.calls += 1
        outcome.check = caller.call("syntax-check", payload)
        outcome.check_seconds = caller.last_seconds
    except (Unreadable, CommandFailed) as failure:
        outcome.error = failure.message
        outcome.file_hash = None
    return outcome


def encode_request(request: ParseRequest) -> bytes:
    return json.dumps(asdict(request)).encode("ascii") + b"\n"


def decode_request(line: bytes) -> ParseRequest:
    return ParseRequest(**json.loads(line))


def encode_outcome(outcome: ParseOutcome) -> bytes:
    return json.dumps(asdict(outcome)).encode("ascii") + b"\n"


def decode_outcome(line: bytes) -> ParseOutcome:
    return ParseOutcome(**json.loads(line))
