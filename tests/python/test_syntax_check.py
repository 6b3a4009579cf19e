"""Syntax-check calls through run(): str in, compact JSON text out."""
import json

import pytest

from brightloom_index_native import run


def test_syntax_check_reply_text():
    # "é" takes two bytes, so the stray "=" is at byte column 6.
    reply = run("syntax-check", json.dumps({"content": "é = = 1\r\n", "path": "x.py"}))
    assert reply == (
        '{"checked":true,"error_count":1,"errors":[{"column":6,"kind":"error","line":1,'
        '"message":"syntax error","snippet":"é = = 1"}],"language":"python","ok":true,"valid":false}'
    )


def test_syntax_check_of_unparsed_language_and_unreadable_file(tmp_path):
    reply = run("syntax-check", '{"content": "a = [", "path": "pyproject.toml"}')
    assert json.loads(reply) == {
        "checked": False, "error_count": 0, "errors": [], "language": "toml",
        "ok": True, "reason": "no_parser", "valid": True,
    }
    with pytest.raises(RuntimeError) as caught:
        run("syntax-check", json.dumps({"path": str(tmp_path)}))
    assert str(caught.value) == "Is a directory (os error 21)"
