"""Calls that could wait or read forever: a FIFO that nobody opens for
writing, endless devices. Each runs in a child interpreter, which the test
signals the way Ctrl-C does, under a timeout."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import brightloom_index_native

CHILD_TIMEOUT = 20
# The child answers within milliseconds; the bound leaves room for a loaded machine.
PROMPT_SECONDS = 5

CALLER = """
import json, signal, sys
from brightloom_index_native import run

command, path = sys.argv[1], sys.argv[2]
signal.signal(signal.SIGUSR1, lambda *_: print("handled", flush=True))
print("calling", flush=True)
try:
    print(json.dumps({"reply": run(command, json.dumps({"path": path}))}), flush=True)
except KeyboardInterrupt:
    print(json.dumps({"raised": "KeyboardInterrupt"}), flush=True)
except RuntimeError as error:
    print(json.dumps({"raised": "RuntimeError", "text": str(error)}), flush=True)
"""


def _start(command, path):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(brightloom_index_native.__file__))
    # Standard error goes to a file: a report there can be long, and only
    # the few lines on standard output are read through the pipe.
    errors = tempfile.TemporaryFile(mode="w+")
    child = subprocess.Popen(
        [sys.executable, "-c", CALLER, command, str(path)],
        stdout=subprocess.PIPE, stderr=errors, text=True, env=env,
    )
    child.errors = errors
    assert child.stdout.readline() == "calling\n"
    # Long enough for the call to be blocked in its open or deep in its read.
    time.sleep(0.3)
    return child


def _finish(child):
    # Read through the same buffered pipe as the first line: its buffer may
    # already hold the answer.
    try:
        child.wait(timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        pytest.fail("the call neither answered nor stopped")
    out = child.stdout.read()
    child.stdout.close()
    with child.errors as errors:
        errors.seek(0)
        assert child.returncode == 0, errors.read()[-3000:]
    return out.splitlines()


def _interrupt(child):
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    lines = _finish(child)
    assert time.monotonic() - sent < PROMPT_SECONDS
    return lines


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "pipe.py"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("command", ["hash", "outline", "syntax-check"])
def test_ctrl_c_ends_the_open_of_a_fifo_without_writer(fifo, command):
    lines = _interrupt(_start(command, fifo))
    assert json.loads(lines[-1]) == {"raised": "KeyboardInterrupt"}


def test_ctrl_c_ends_the_hash_of_an_endless_device():
    lines = _interrupt(_start("hash", "/dev/zero"))
    assert json.loads(lines[-1]) == {"raised": "KeyboardInterrupt"}


def test_a_handler_that_returns_lets_the_open_go_on(fifo):
    child = _start("hash", fifo)
    child.send_signal(signal.SIGUSR1)
    time.sleep(0.2)  # the handler runs while the open is still blocked
    with open(fifo, "wb") as writer:
        writer.write(b"x\r\n")
    lines = _finish(child)
    assert lines[0] == "handled"
    reply = json.loads(json.loads(lines[-1])["reply"])
    assert reply == {"hash": "73cb3858a687a8494ca3323053016282f3dad39d42cf62ca4e79dda2aac7d9ac", "ok": True}


@pytest.mark.parametrize("command", ["hash", "outline", "syntax-check"])
def test_an_endless_device_that_is_not_text_fails_at_once(command):
    child = _start(command, "/dev/urandom")
    lines = _finish(child)
    assert json.loads(lines[-1]) == {"raised": "RuntimeError", "text": "stream did not contain valid UTF-8"}


# Texts whose error recovery keeps the parser busy for seconds, within the
# parse limits.
SLOW_PARSES = [("slow.ts", ".else:"), ("slow.rs", ".in:")]
# Ctrl-C is looked for during the parse itself, not when it ends.
PARSE_STOP_SECONDS = 1.0


@pytest.mark.parametrize("command", ["outline", "syntax-check"])
@pytest.mark.parametrize("name, unit", SLOW_PARSES)
def test_ctrl_c_ends_a_long_parse(tmp_path, command, name, unit):
    path = tmp_path / name
    path.write_text(unit * ((1 << 20) // len(unit)))
    child = _start(command, path)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    lines = _finish(child)
    assert time.monotonic() - sent < PARSE_STOP_SECONDS
    assert json.loads(lines[-1]) == {"raised": "KeyboardInterrupt"}
