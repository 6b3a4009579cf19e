"""One file's "symbols" request for the index, and how a request and its
outcome travel between processes.

`parse_one` is the only code that parses a file for the index, in this
process or in a parse worker. It reads the file itself, without following a
link or waiting on a FIFO, and hands the module that very text: so the
digest, the rows and the stored text all describe the same bytes, even when
the file changes during the refresh. A worker reads requests with
`decode_request` and answers with `encode_outcome`; the pool writes with
`encode_request` and reads with `decode_outcome`. Requests are JSON lines;
outcomes are length-prefixed `marshal` records (the parent and its workers
run the same interpreter), several times cheaper to read than JSON for the
tens of thousands of rows a tree gives.
"""

from __future__ import annotations

import json
import marshal
import os
import stat
import zlib
from dataclasses import asdict, dataclass, field

from .digests import NOT_UTF8, digest_bytes, os_message
from .native_calls import CommandFailed, NativeCaller, Reply

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    # (kind, name, line, column, end_line, scope, signature); scope is the
    # position of the enclosing definition in the file's list, or None.
    DefinitionRow = tuple[str, str, int, int, int, int | None, str]
    # (kind, name, line, column, scope)
    ReferenceRow = tuple[str, str, int, int, int | None]

NOT_REGULAR = "not a regular file"
# The length before each outcome record.
OUTCOME_SIZE_BYTES = 8
# Fast compression: the stored text is read back for tags patterns and refs lines.
TEXT_COMPRESSION_LEVEL = 1


@dataclass(frozen=True)
class ParseRequest:
    location: str
    language: str


@dataclass
class ParseOutcome:
    """What one file gave, or the reason it gave nothing (`error`).

    `outline` and `check` are the module's replies as "outline" and
    "syntax-check" would give them; `digest` and `lines` describe the text
    that was parsed, as the scan would; `text` is that text, compressed.
    """

    outline: Reply | None = None
    check: Reply | None = None
    definitions: list[DefinitionRow] = field(default_factory=list)
    references: list[ReferenceRow] = field(default_factory=list)
    digest: str = ""
    lines: int = 0
    text: bytes = b""
    error: str | None = None
    seconds: float = 0.0
    calls: int = 0


def read_source(location: str) -> tuple[str, bytes]:
    """The file's text and its bytes; raises OSError or ValueError with the module's message.

    A link is not followed and a FIFO or device is refused without opening
    it for a blocking read, as the module's own scan does.
    """
    descriptor = os.open(location, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise ValueError(NOT_REGULAR)
        chunks = []
        while chunk := os.read(descriptor, 1 << 20):
            chunks.append(chunk)
    finally:
        os.close(descriptor)
    data = b"".join(chunks)
    try:
        return data.decode("utf-8"), data
    except UnicodeDecodeError:
        raise ValueError(NOT_UTF8) from None


def parse_one(caller: NativeCaller, request: ParseRequest) -> ParseOutcome:
    outcome = ParseOutcome()
    try:
        text, data = read_source(request.location)
    except OSError as error:
        outcome.error = os_message(error)
        return outcome
    except ValueError as error:
        outcome.error = str(error)
        return outcome
    try:
        outcome.calls = 1
        reply = caller.call("symbols", {"content": text, "language": request.language})
    except CommandFailed as failure:
        outcome.error = failure.message
        return outcome
    finally:
        outcome.seconds = caller.last_seconds
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
    outcome.digest, outcome.lines = digest_bytes(data)
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
