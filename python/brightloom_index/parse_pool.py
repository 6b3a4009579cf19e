"""Parse many files on several processors.

The module holds the interpreter lock for the whole of each call, so threads
would take turns; worker processes (parse_worker.py) parse side by side
instead, each file through `parsing.parse_one`. They are plain child
processes talking over pipes (see parsing), with no shared state and no helper
process, so a parent killed at any moment leaves nothing behind: each worker sees its input close and ends quietly.
Results come back in request order, so what is stored never depends on the
worker count. Small batches are parsed in this process: starting workers
costs more than it saves below a few dozen files.

    for outcome in parse_files(caller, requests, jobs=2):
        ...
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from collections.abc import Iterator, Sequence
from typing import IO

from .errors import Failure
from .native_calls import NativeCaller
from .parsing import OUTCOME_SIZE_BYTES, ParseOutcome, ParseRequest, decode_outcome, encode_request, parse_one

# Below this many files the batch is parsed without workers.
PARALLEL_MIN_FILES = 64
# Consecutive requests given to one worker: neighbours in path order are of
# similar size, and a short run keeps every worker busy to the end.
CHUNK_FILES = 4
# Requests sent ahead of the one awaited, so that no worker waits for work.
# Small enough that the request pipes never fill (see parse_on_workers).
AHEAD_FILES = 64


def parse_files(caller: NativeCaller, requests: Sequence[ParseRequest], jobs: int) -> Iterator[ParseOutcome]:
    """Outcomes in the order of `requests`."""
    if jobs <= 1 or len(requests) < PARALLEL_MIN_FILES:
        for request in requests:
            yield parse_one(caller, request)
        return
    for outcome in parse_on_workers(requests, min(jobs, len(requests) // CHUNK_FILES)):
        caller.add_remote_calls(outcome.seconds, outcome.calls)
        yield outcome


# The worker's start: isolated mode (no PYTHON* variables, no user site, no
# script folder on the path), then exactly the folders this process took the
# package and the module from. Started from "/", nothing of the indexed tree
# or of the caller's folder can be imported in place of them.
WORKER_START = (
    "import sys; sys.path[:0] = sys.argv[1:]; "
    "from brightloom_index.parse_worker import main; main()"
)


def import_folders() -> list[str]:
    """The folders holding this package and the native module, in that order."""
    package_folder = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    spec = importlib.util.find_spec("brightloom_index_native")
    folders = [package_folder]
    if spec is not None and spec.origin is not None:
        folders.append(os.path.dirname(os.path.abspath(spec.origin)))
    return folders


class Worker:
    """One parse process: requests go in as lines, outcomes come back as sized records."""

    def __init__(self, folders: list[str]) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-I", "-c", WORKER_START, *folders],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd="/",
        )
        assert self.process.stdin is not None and self.process.stdout is not None
        self.requests: IO[bytes] = self.process.stdin
        self.replies: IO[bytes] = self.process.stdout

    def send(self, request: ParseRequest) -> None:
        self.requests.write(encode_request(request))
        self.requests.flush()

    def receive(self) -> ParseOutcome:
        size = int.from_bytes(self.read_exactly(OUTCOME_SIZE_BYTES), "little")
        return decode_outcome(self.read_exactly(size))

    def read_exactly(self, size: int) -> bytes:
        data = self.replies.read(size)
        if len(data) != size:
            status = self.process.wait()
            raise Failure(f"a parse worker ended unexpectedly (exit status {status})")
        return data

    def stop(self) -> None:
        """Ends the worker at once; it may be in the middle of a file nobody awaits."""
        self.requests.close()
        self.process.terminate()
        self.process.wait()
        self.replies.close()


def parse_on_workers(requests: Sequence[ParseRequest], jobs: int) -> Iterator[ParseOutcome]:
    """Request i goes to worker (i // CHUNK_FILES) % jobs; replies are read in order.

    Each worker answers its own requests in the order sent, so reading them
    back in global order needs no reordering. At most AHEAD_FILES requests
    are outstanding, a few kilobytes, so writing a request never blocks on
    a worker that is itself blocked writing a reply this process has not
    read yet.
    """
    folders = import_folders()
    workers = [Worker(folders) for _ in range(jobs)]
    try:
        sent = 0
        for index in range(len(requests)):
            while sent < len(requests) and sent <= index + AHEAD_FILES:
                workers[(sent // CHUNK_FILES) % jobs].send(requests[sent])
                sent += 1
            yield workers[(index // CHUNK_FILES) % jobs].receive()
    finally:
        for worker in workers:
            worker.stop()
