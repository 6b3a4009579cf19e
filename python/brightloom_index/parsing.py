"""One file's "symbols" request for the index, and how a request and its
outcome travel between processes.

`parse_one` is the only code that parses a file for the index, in this
process or in a parse worker. It reads the file under the tree's rules and
hands the module that very text, so the digest, the rows and the stored
text all describe the same bytes, even when the file changes during the
refresh. A worker reads requests with `decode_request` and answers with
`encode_outcome`; the pool writes with `encode_request` and reads with
`decode_outcome`. Requests are JSON lines, ASCII with escapes (a name the
module cannot take fails in the worker as it would here); outcomes are
length-prefixed `marshal` records (the parent and its workers run the same
interpreter), several times cheaper to read than JSON for the tens of
thousands of rows a tree gives.
"""

from __future__ import annotations

import json
import marshal
import zlib
from dataclasses import asdict, dataclass, field

from .native_calls import CommandFailed, NativeCaller, Reply
from .tree_files import Unreadable, read_tree_text

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    # (kind, name, line, column, end_line, scope, signature); scope is the
    # position of the enclosing definition in the file's list, or None.
    DefinitionRow = tuple[str, str, int, int, int, int | None, str]
    # (kind, name, line, column, scope)
    ReferenceRow = tuple[str, str, int, int, int | None]

# The length before each outcome record.
OUTCOME_SIZE_BYTES = 8
# Fast compression: the stored text is read back for tags patterns and refs lines.
TEXT_COMPRESSION_LEVEL = 1


@dataclass(frozen=True)
class ParseRequest:
    """A file of the tree: `root` absolute (workers run in "/"), `path` relative to it."""

    root: str
    path: str
    language: str
    max_size: int


@dataclass
class ParseOutcome:
    """What one file gave, or why it was not parsed (`error`).

    `outline` and `check` are the module's replies as "outline" and
    "syntax-check" would give them. `file_hash` and `total_lines` are the
    digest of the very bytes parsed, which the index stores: the file may
    have changed since it was first digested, and the index must describe
    the text it parsed. `text` is that text, compressed.
    """

    outline: Reply | None = None
    check: Reply | None = None
    definitions: list[DefinitionRow] = field(default_factory=list)
    references: list[ReferenceRow] = field(default_factory=list)
    file_hash: str | None = None
    total_lines: int = 0
    text: bytes = b""
    error: str | None = None
    seconds: float = 0.0
    calls: int = 0


def parse_one(caller: NativeCaller, request: ParseRequest) -> ParseOutcome:
    outcome = ParseOutcome()
    try:
        # Read here under the tree's rules (no link, no FIFO, the size
        # limit) and handed over as text: the module never opens the file.
        text, data, digest = read_tree_text(request.root, request.path, request.max_size)
        outcome.calls = 1
        try:
            reply = caller.call("symbols", {"content": text, "language": request.language})
        finally:
            outcome.seconds = caller.last_seconds
    except (Unreadable, CommandFailed) as failure:
        outcome.error = failure.message
        return outcome
    # As the "outline" and "syntax-check" commands answer, "ok" included.
    outcome.outline = with_ok(reply["outline"])
    outcome.check = with_ok(reply["check"])
    outcome.definitions = [
        (d["kind"], d["name"], d["line"], d["column"], d["end_line"], d["scope"], d["signature"])
        for d in reply["definitions"]
    ]
    outcome.references = [
        (r["kind"], r["name"], r["line"], r["column"], r["scope"]) for r in reply["references"]
    ]
    outcome.file_hash, outcome.total_lines = digest
    # The bytes read are that text's UTF-8 already: no encoding again.
    outcome.text = zlib.compress(data, TEXT_COMPRESSION_LEVEL)
    return outcome


def with_ok(part: Reply) -> Reply:
    return dict(sorted({**part, "ok": True}.items()))


def encode_request(request: ParseRequest) -> bytes:
    # ASCII with escapes: a name the module cannot take fails in the worker
    # as it would here, instead of failing to encode.
    return json.dumps(asdict(request)).encode("ascii") + b"\n"


def decode_request(line: bytes) -> ParseRequest:
    return ParseRequest(**json.loads(line))


def encode_outcome(outcome: ParseOutcome) -> bytes:
    record = marshal.dumps(tuple(getattr(outcome, name) for name in OUTCOME_FIELDS))
    return len(record).to_bytes(OUTCOME_SIZE_BYTES, "little") + record


def decode_outcome(record: bytes) -> ParseOutcome:
    return ParseOutcome(*marshal.loads(record))


OUTCOME_FIELDS = tuple(ParseOutcome.__dataclass_fields__)
