"""Shared set-up: the module under test, loaded from the build folder (on
PYTHONPATH), and the command-line package from the source tree."""
import json
import os
import sys
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("BRIGHTLOOM_SOURCE_DIR", Path(__file__).resolve().parents[2]))
PACKAGE_DIR = SOURCE_DIR / "python"
sys.path.insert(0, str(PACKAGE_DIR))

# A child process running the command line from the source tree.
# Absolute, as the child may run in another folder than the suite.
_SEARCH_PATH = [str(PACKAGE_DIR)] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
CLI_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(_SEARCH_PATH))
PROGRAM = [sys.executable, "-m", "brightloom_index"]

import brightloom_index_native  # noqa: E402


@pytest.fixture
def run_json():
    """Calls run() and decodes its reply."""

    def call(command, payload):
        text = payload if isinstance(payload, str) else json.dumps(payload)
        return json.loads(brightloom_index_native.run(command, text))

    return call


def age_tree(root, seconds=10):
    """Sets every file's times back, so that an index made at once is not
    taken for older than its files (file times come from a coarse clock)."""
    past = os.stat(root).st_mtime - seconds
    for folder, _, files in os.walk(root):
        for name in files:
            os.utime(os.path.join(folder, name), (past, past))
