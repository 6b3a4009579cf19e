"""One outline call through run(): str in, compact JSON text out."""
import json

import pytest

from brightloom_index_native import run


def test_outline_reply_text():
    source = "class Café:\n    def brew(self):\n        pass\n"
    reply = run("outline", '{"content": %s, "path": "shop/cafe.py"}' % _quote(source))
    assert reply == (
        '{"checked":true,"language":"python","ok":true,"symbol_count":2,"symbols":['
        '{"depth":0,"end_line":3,"kind":"class","line":1,"name":"Café","signature":"class Café:"},'
        '{"depth":1,"end_line":3,"kind":"method","line":2,"name":"brew","signature":"def brew(self):"}]}'
    )


def test_outline_of_missing_file_raises_the_read_message(tmp_path):
    with pytest.raises(RuntimeError) as caught:
        run("outline", '{"path": %s}' % _quote(str(tmp_path / "gone.toml")))
    assert str(caught.value) == "No such file or directory (os error 2)"


def _quote(text):
    return json.dumps(text, ensure_ascii=False)
