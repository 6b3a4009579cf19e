"""What the Python boundary adds: binding, exception types and texts, str in
and out, module registration, and one exact reply text of each file command."""
import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

import brightloom_index_native as native
from brightloom_index_native import run


class Text(str):
    pass


def test_module_surface():
    public = {name for name in dir(native) if not name.startswith("__")}
    assert public == {"run"}
    assert native.__all__ == ["run"]
    assert native.__doc__ == ""
    assert run.__module__ == "brightloom_index_native"
    assert run.__text_signature__ == "(command, payload_json)"
    assert run.__doc__ is None


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("brightloom_index_native")
    second = importlib.import_module("brightloom_index_native")
    assert second is first
    assert second.__all__ == ["run"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: run("hash", "null"),
        lambda: run(command="hash", payload_json="null"),
        lambda: run(payload_json="null", command="hash"),
        lambda: run("hash", payload_json="null"),
        lambda: run(Text("hash"), Text("null")),
    ],
)
def test_binding_forms_behave_alike(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    assert str(caught.value) == "missing required field: path"
    assert type(caught.value) is RuntimeError


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b", "c"), {}, "run() takes 2 positional arguments but 3 were given"),
        (("a", "b", "c"), {"bogus": 1}, "run() takes 2 positional arguments but 3 were given"),
        (("a",), {"command": "b"}, "run() got multiple values for argument 'command'"),
        (("a", "b"), {"payload_json": "b"}, "run() got multiple values for argument 'payload_json'"),
        ((), {"payload": "x", "command": "a"}, "run() got an unexpected keyword argument 'payload'"),
        ((), {}, "run() missing 2 required positional arguments: 'command' and 'payload_json'"),
        (("hash",), {}, "run() missing 1 required positional argument: 'payload_json'"),
        ((), {"payload_json": "{}"}, "run() missing 1 required positional argument: 'command'"),
        ((b"hash", "{}"), {}, "argument 'command': 'bytes' object cannot be converted to 'PyString'"),
        (("hash", None), {}, "argument 'payload_json': 'NoneType' object cannot be converted to 'PyString'"),
        ((1, None), {}, "argument 'command': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        run(*args, **kwargs)
    assert str(caught.value) == message


def test_type_name_is_the_qualified_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as caught:
        run(Outer.Inner(), "{}")
    assert "'test_type_name_is_the_qualified_name.<locals>.Outer.Inner' object" in str(caught.value)


@pytest.mark.parametrize(
    "qualname, module, shown",
    [
        ("\ud800", "m", "<failed to extract type name>"),
        ("A\udfffB", "m", "<failed to extract type name>"),
        ("N", "\ud800", "N"),
        ("a\x00b", "m", "a\x00b"),
    ],
)
@pytest.mark.parametrize("position", [0, 1])
def test_any_type_name_gives_a_type_error(qualname, module, shown, position):
    odd = type("Odd", (), {})
    odd.__qualname__ = qualname
    odd.__module__ = module
    args = ["hash", "{}"]
    args[position] = odd()
    with pytest.raises(TypeError) as caught:
        run(*args)
    parameter = ("command", "payload_json")[position]
    assert str(caught.value) == f"argument '{parameter}': '{shown}' object cannot be converted to 'PyString'"
    assert caught.value.__context__ is None


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("hash", '{"path": "\udc80"}'), {}),
        (("\ud800", "{}"), {}),
        (("hash",), {"payload_json": "\udfff"}),
    ],
)
def test_lone_surrogate_argument_passes_the_encoding_error_through(args, kwargs):
    with pytest.raises(UnicodeEncodeError):
        run(*args, **kwargs)


def test_keyword_name_with_a_lone_surrogate_is_unexpected():
    with pytest.raises(TypeError) as caught:
        run("hash", "{}", **{"\ud800x": 1})
    assert str(caught.value) == "run() got an unexpected keyword argument '\ud800x'"


def test_malformed_payload_is_reported_before_the_command_name():
    with pytest.raises(RuntimeError) as caught:
        run("no-such-command", "{")
    assert str(caught.value) == "EOF while parsing an object at line 1 column 1"
    with pytest.raises(RuntimeError) as caught:
        run("", "")
    assert str(caught.value) == "EOF while parsing a value at line 1 column 0"


@pytest.mark.parametrize("name", ["Hash", " hash", "hash\x00", "héllo"])
def test_unknown_command_echoes_the_name(name):
    with pytest.raises(RuntimeError) as caught:
        run(name, "{}")
    assert str(caught.value) == "unknown command: " + name


def test_hash_reply_is_compact_text(tmp_path):
    path = tmp_path / "a.txt"
    path.write_bytes(b"a\r\nb")
    reply = run("hash", '{"path": %s}' % __import__("json").dumps(str(path)))
    assert type(reply) is str
    assert reply == '{"hash":"7e18f737311b2dc3b2f269dd78396b0351f14fb66efa879f768cb23181883c78","ok":true}'


def test_hash_read_failures(tmp_path, run_json):
    cases = {
        str(tmp_path / "missing"): "No such file or directory (os error 2)",
        str(tmp_path): "Is a directory (os error 21)",
        "a\x00b": "file name contained an unexpected NUL byte",
    }
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"\xff\xfe")
    cases[str(bad)] = "stream did not contain valid UTF-8"
    for path, message in cases.items():
        with pytest.raises(RuntimeError) as caught:
            run_json("hash", {"path": path})
        assert str(caught.value) == message


def test_hash_agrees_with_hashlib(tmp_path, run_json):
    import hashlib

    text = "ünïcode\r\nline\rmore\n" * 1000
    path = tmp_path / "t.txt"
    path.write_bytes(text.encode())
    expected = hashlib.sha256(text.replace("\r\n", "\n").replace("\r", "\n").encode()).hexdigest()
    assert run_json("hash", {"path": str(path)}) == {"hash": expected, "ok": True}


def test_second_interpreter_is_refused():
    # A fresh process, so the sub-interpreter is the second to import it.
    script = textwrap.dedent(
        """
        import os, sys, _xxsubinterpreters as interpreters
        import brightloom_index_native
        folder = os.path.dirname(brightloom_index_native.__file__)
        sub = interpreters.create()
        try:
            interpreters.run_string(
                sub, f"import sys; sys.path.insert(0, {folder!r}); import brightloom_index_native"
            )
        except interpreters.RunFailedError as error:
            print("refused:", error)
        else:
            print("imported")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(native.__file__))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, env=env)
    assert result.stdout.startswith("refused: <class 'ImportError'>")
    assert "sub-interpreters" in result.stdout


def test_panic_exception_is_not_created_at_import():
    assert not hasattr(native, "PanicException")


def test_outline_reply_text():
    source = "class Café:\n    def brew(self):\n        pass\n"
    reply = run("outline", '{"content": %s, "path": "shop/cafe.py"}' % json_text(source))
    assert reply == (
        '{"checked":true,"language":"python","ok":true,"symbol_count":2,"symbols":['
        '{"depth":0,"end_line":3,"kind":"class","line":1,"name":"Café","signature":"class Café:"},'
        '{"depth":1,"end_line":3,"kind":"method","line":2,"name":"brew","signature":"def brew(self):"}]}'
    )


def test_outline_of_missing_file_raises_the_read_message(tmp_path):
    with pytest.raises(RuntimeError) as caught:
        run("outline", '{"path": %s}' % json_text(str(tmp_path / "gone.toml")))
    assert str(caught.value) == "No such file or directory (os error 2)"


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


def json_text(text):
    return json.dumps(text, ensure_ascii=False)
