"""Shared fixtures: the module under test, loaded from the build folder."""
import json

import pytest

import brightloom_index_native


@pytest.fixture
def run_json():
    """Calls run() and decodes its reply."""

    def call(command, payload):
        text = payload if isinstance(payload, str) else json.dumps(payload)
        return json.loads(brightloom_index_native.run(command, text))

    return call
