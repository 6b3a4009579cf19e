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
CLI_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE_DIR), os.environ.get("PYTHONPATH", "")]))
PROGRAM = [sys.executable, "-m", "brightloom_index"]

import brightloom_index_native  # noqa: E402


@pytest.fixture
def run_json():
    """Calls run() and decodes its reply."""

    def call(command, payload):
        text = payload if isinstance(payload, str) else json.dumps(payload)
        return json.loads(brightloom_index_native.run(command, text))

    return call
