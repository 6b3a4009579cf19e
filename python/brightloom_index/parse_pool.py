"""Parse many files on several processors.

The module holds the interpreter lock for the whole of each call, so threads
would take turns; worker processes (parse_worker.py) parse side by side
instead, each file through `parsing.parse_one`. They are plain child
processes talking over pipes (see parsing), with no shared state and no helper
process, so a parent killed at any moment leaves nothing behind: each worker sees its input close and ends quietly.
This process is one of the `jobs` parsers: whenever the outcome it awaits
is not ready, it parses the next request no worker has taken yet, instead
of waiting. A worker in its place would cost another interpreter, another
copy of each compiled query and its memory, and the share each takes adapts
to how busy the machine and this process (storing outcomes) are.
Results come back in request order, so what is stored never depends on the
worker count. Small batches are parsed in this process alone: starting workers
costs more than it saves below a few dozen files.

    for outcome in parse_files(caller, requests, jobs=2):
        ...
"""

from __future__ import annotations

import fcntl
import importlib.util
import os
import select
import subprocess
import sys
from collections import deque
from collections.abc import Iterator, Sequence
from typing import IO

from .errors import Failure
from .native_calls import NativeCaller
from .parsing import OUTCOME_SIZE_BYTES, ParseOutcome, ParseRequest, decode_outcome, encode_request, parse_one

# Below this many files the batch is parsed without workers.
PARALLEL_MIN_FILES = 64
# Requests waiting in each worker's queue: enough that a worker never waits
# for the next, few enough that this process finds requests left to parse
# while it would otherwise wait.
WORKER_QUEUE_FILES = 4
# How far past the outcome awaited requests are handed out, which bounds
# the outcomes this process holds for later.
AHEAD_FILES = 64
# The reply pipe a worker writes to, asked of the kernel: while this process
# parses, a worker goes on writing outcomes (tens of kilobytes each) instead
# of waiting for room in a 64 KiB pipe. The system's cap for unprivileged
# users is 1 MiB unless lowered.
REPLY_PIPE_BYTES = 1 << 20


def parse_files(caller: NativeCaller, requests: Sequence[ParseRequest], jobs: int) -> Iterator[ParseOutcome]:
    """Outcomes in the order of `requests`."""
    if jobs <= 1 or len(requests) < PARALLEL_MIN_FILES:
        for request in requests:
            yield parse_one(caller, request)
        return
    yield from parse_beside_workers(caller, requests, min(jobs, len(requests) // WORKER_QUEUE_FILES))


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
    found = importlib.util.find_spec("brightloom_index_native")
    folders = [package_folder]
    if found is not None and found.origin is not None:
        folders.append(os.path.dirname(os.path.abspath(found.origin)))
    return folders


class Worker:
    """One parse process: requests go in as lines, outcomes come back as sized records.

    The reply pipe is read unbuffered, so `has_reply` sees all that is waiting.
    """

    def __init__(self, folders: list[str]) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-I", "-c", WORKER_START, *folders],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd="/", bufsize=0,
        )
        assert self.process.stdin is not None and self.process.stdout is not None
        self.requests: IO[bytes] = self.process.stdin
        self.replies: IO[bytes] = self.process.stdout
        # poll, unlike select, takes descriptors of any number.
        self.reply_poll = select.poll()
        self.reply_poll.register(self.replies, select.POLLIN)
        # Positions of the requests sent and not yet answered, oldest first.
        self.waiting: deque[int] = deque()
        try:
            fcntl.fcntl(self.replies.fileno(), fcntl.F_SETPIPE_SZ, REPLY_PIPE_BYTES)
        except OSError:
            pass  # a lower cap, or the user's pipe budget spent: the default pipe works, only slower

    def send(self, index: int, request: ParseRequest) -> None:
        view = memoryview(encode_request(request))
        try:
            while view:
                view = view[self.requests.write(view) or 0:]
        except BrokenPipeError:
            raise self.ended() from None
        self.waiting.append(index)

    def has_reply(self) -> bool:
        """True when an outcome (or the worker's end) is waiting to be read."""
        return bool(self.reply_poll.poll(0))

    def receive(self) -> tuple[int, ParseOutcome]:
        """The oldest request's position and outcome."""
        size = int.from_bytes(self.read_exactly(OUTCOME_SIZE_BYTES), "little")
        outcome = decode_outcome(self.read_exactly(size))
        return self.waiting.popleft(), outcome

    def read_exactly(self, size: int) -> bytes:
        data = bytearray()
        while len(data) < size:
            part = os.read(self.replies.fileno(), size - len(data))
            if not part:
                raise self.ended()
            data += part
        return bytes(data)

    def ended(self) -> Failure:
        return Failure(f"a parse worker ended unexpectedly (exit status {self.process.wait()})")

    def stop(self) -> None:
        """Ends the worker at once; it may be in the middle of a file nobody awaits."""
        self.requests.close()
        self.process.terminate()
        self.process.wait()
        self.replies.close()


def parse_beside_workers(caller: NativeCaller, requests: Sequence[ParseRequest],
                         processes: int) -> Iterator[ParseOutcome]:
    """Requests are handed out in order to the worker with the shortest
    queue while a queue has room. Whenever the outcome awaited is not ready,
    this process reads the outcomes that are (so the queues refill) and
    parses the next request itself. Outcomes are yielded in request order.

    Each worker answers its own requests in the order sent, and its queue
    holds a few requests, a few kilobytes, so writing a request never blocks
    on a worker that is itself blocked writing a reply this process has not
    read yet.
    """
    folders = import_folders()
    workers = [Worker(folders) for _ in range(processes - 1)]
    handed_out = 0
    # Outcomes read or parsed before their turn; at most AHEAD_FILES.
    ready: dict[int, ParseOutcome] = {}

    def hand_out_to_workers(limit: int) -> None:
        nonlocal handed_out
        while handed_out < limit:
            worker = min(workers, key=lambda candidate: len(candidate.waiting))
            if len(worker.waiting) >= WORKER_QUEUE_FILES:
                return
            worker.send(handed_out, requests[handed_out])
            handed_out += 1

    def read_waiting_outcomes() -> None:
        for worker in workers:
            while worker.waiting and worker.has_reply():
                index, outcome = worker.receive()
                caller.add_remote_calls(outcome.seconds, outcome.calls)
                ready[index] = outcome

    try:
        for index in range(len(requests)):
            limit = min(len(requests), index + AHEAD_FILES)
            while index not in ready:
                read_waiting_outcomes()
                hand_out_to_workers(limit)
                if index in ready:
                    break
                if handed_out < limit:
                    ready[handed_out] = parse_one(caller, requests[handed_out])
                    handed_out += 1
                    continue
                # Nothing left to parse here: wait for the worker holding it.
                owner = next(worker for worker in workers if worker.waiting and worker.waiting[0] == index)
                _, outcome = owner.receive()
                caller.add_remote_calls(outcome.seconds, outcome.calls)
                ready[index] = outcome
            yield ready.pop(index)
    finally:
        for worker in workers:
            worker.stop()
