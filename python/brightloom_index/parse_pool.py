"""Outline and check many files on several processors.

The module holds the interpreter lock for the whole of each call, so threads
would take turns; worker processes parse side by side instead. Results come
back in request order, so what is stored never depends on the worker count.
Small batches are parsed in this process: starting workers costs more than
it saves below a few dozen files.

    for outcome in parse_files(caller, requests, jobs=2):
        ...
"""

from __future__ import annotations

import signal
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from .native_calls import CommandFailed, NativeCaller, Reply

# Below this many files the batch is parsed without workers.
PARALLEL_MIN_FILES = 64
# Files handed to a worker at a time: few enough to keep both busy to the end.
CHUNK_FILES = 8


@dataclass(frozen=True)
class ParseRequest:
    location: str
    language: str


@dataclass
class ParseOutcome:
    """The replies for one file, or the module's message when it failed."""

    outline: Reply | None = None
    check: Reply | None = None
    error: str | None = None
    outline_seconds: float = 0.0
    check_seconds: float = 0.0
    calls: int = 0


def parse_one(caller: NativeCaller, request: ParseRequest) -> ParseOutcome:
    outcome = ParseOutcome()
    payload = {"path": request.location, "language": request.language}
    try:
        outcome.calls += 1
        outcome.outline = caller.call("outline", payload)
        outcome.outline_seconds = caller.last_seconds
        outcome.calls += 1
        outcome.check = caller.call("syntax-check", payload)
        outcome.check_seconds = caller.last_seconds
    except CommandFailed as failure:
        outcome.error = failure.message
    return outcome


def parse_files(caller: NativeCaller, requests: Sequence[ParseRequest], jobs: int) -> Iterator[ParseOutcome]:
    """Outcomes in the order of `requests`."""
    if jobs <= 1 or len(requests) < PARALLEL_MIN_FILES:
        for request in requests:
            yield parse_one(caller, request)
        return
    # Spawned, not forked: a fork would copy this process's open SQLite
    # transaction and the scan's worker threads, which the child must never touch.
    import multiprocessing

    context = multiprocessing.get_context("spawn")
    with context.Pool(min(jobs, len(requests) // CHUNK_FILES), initializer=start_worker) as pool:
        for outcome in pool.imap(parse_in_worker, requests, chunksize=CHUNK_FILES):
            caller.add_remote_calls(outcome.outline_seconds + outcome.check_seconds, outcome.calls)
            yield outcome


# The caller of a worker process, made by start_worker.
worker_caller: NativeCaller | None = None


def start_worker() -> None:
    global worker_caller
    # Ctrl-C reaches the whole process group; the parent alone reacts to it
    # (and rolls its transaction back), so workers do not print tracebacks.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    worker_caller = NativeCaller()


def parse_in_worker(request: ParseRequest) -> ParseOutcome:
    assert worker_caller is not None, "start_worker runs first in every worker"
    return parse_one(worker_caller, request)
