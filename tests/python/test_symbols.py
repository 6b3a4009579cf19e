"""The "symbols" command: its outline and check parts are the other commands'
replies byte for byte, its definitions and references follow the per-language
cases in symbols_cases/, and it is bounded like every parse."""
import json
from pathlib import Path

import pytest

import brightloom_index_native

CASES = Path(__file__).parent / "symbols_cases"
SOURCE_DIR = Path(__file__).parents[2]
CASE_SOURCES = sorted(p for p in CASES.iterdir() if p.suffix != ".expected")


def symbols(payload):
    return json.loads(brightloom_index_native.run("symbols", json.dumps(payload)))


def embedded_reply(command, payload):
    """The other command's reply text as "symbols" must embed it: without "ok"."""
    text = brightloom_index_native.run(command, json.dumps(payload))
    return text.replace('"ok":true,', "", 1)


def identity_sample():
    """Source files of this repository and the cases, plus broken texts."""
    files = sorted(SOURCE_DIR.glob("python/brightloom_index/*.py"))[:12] + CASE_SOURCES
    payloads = [{"path": str(path)} for path in files]
    payloads += [
        {"content": "fn main( {\n let x = ;\n}\n" * 30, "language": "rust"},
        {"content": "class A:\n  def f(:\n", "language": "python"},
        {"content": '{"a": [1, 2,, }', "language": "json"},
        {"content": "const x = {a: 1", "language": "tsx"},
        {"content": "x = 1", "language": "toml"},
        {"content": "func main() {}", "path": "main.go"},
    ]
    return payloads


@pytest.mark.parametrize("payload", identity_sample(), ids=lambda p: p.get("path", p.get("language")))
def test_outline_and_check_parts_are_those_replies_byte_for_byte(payload):
    text = brightloom_index_native.run("symbols", json.dumps(payload))
    assert '"outline":' + embedded_reply("outline", payload) in text
    assert '"check":' + embedded_reply("syntax-check", payload) in text


def read_expected(path):
    rows = []
    for line in path.read_text().splitlines():
        if line.strip():
            rows.append(line.split())
    return rows


@pytest.mark.parametrize("source", CASE_SOURCES, ids=lambda p: p.stem)
def test_definitions_and_references_per_language(source):
    reply = symbols({"path": str(source)})
    assert reply["ok"] and reply["language"] == source.stem
    definitions, references = reply["definitions"], reply["references"]
    failures = []
    for row in read_expected(source.with_suffix(".expected")):
        if row[0] == "def":
            kind, name, line = row[1], row[2], int(row[3])
            found = [d for d in definitions if (d["kind"], d["name"], d["line"]) == (kind, name, line)]
            if not found:
                failures.append(row)
            elif len(row) > 4 and (found[0]["scope"] is None or definitions[found[0]["scope"]]["name"] != row[4]):
                failures.append(row + ["(scope)"])
        elif row[0] == "ref":
            kind, name, line = row[1], row[2], int(row[3])
            if not any((r["kind"], r["name"], r["line"]) == (kind, name, line) for r in references):
                failures.append(row)
        elif row[0] == "no-ref":
            if any(r["name"] == row[1] for r in references):
                failures.append(row)
    assert not failures, failures


def test_records_are_well_formed_and_in_source_order():
    for source in CASE_SOURCES:
        reply = symbols({"path": str(source)})
        definitions = reply["definitions"]
        for index, definition in enumerate(definitions):
            assert definition["line"] <= definition["end_line"]
            scope = definition["scope"]
            assert scope is None or (scope < index and definitions[scope]["end_line"] >= definition["end_line"])
        positions = [(r["line"], r["column"]) for r in reply["references"]]
        assert positions == sorted(positions)


@pytest.mark.parametrize("extension,language", [
    ("c", "c"), ("H", "c"), ("cpp", "cpp"), ("hpp", "cpp"), ("go", "go"), ("java", "java"),
    ("cs", "c_sharp"), ("rb", "ruby"), ("php", "php"), ("sh", "bash"), ("rs", "rust"), ("mjs", "javascript"),
])
def test_new_languages_are_read_by_symbols_only(tmp_path, extension, language):
    path = tmp_path / f"file.{extension}"
    path.write_text("x\n")
    reply = symbols({"path": str(path)})
    assert reply["language"] == language
    outline = json.loads(brightloom_index_native.run("outline", json.dumps({"path": str(path)})))
    if language in ("rust", "javascript"):
        assert outline["language"] == language
    else:
        assert outline["language"] == "" and outline["reason"] == "no_outline"
        assert reply["outline"]["reason"] == "no_outline" and reply["check"]["reason"] == "no_parser"


def test_errors_are_those_of_outline(tmp_path):
    missing = {"path": str(tmp_path / "absent.rs")}
    for payload in ({}, missing, {"content": 5}):
        with pytest.raises(Exception) as symbols_error:
            brightloom_index_native.run("symbols", json.dumps(payload))
        with pytest.raises(Exception) as outline_error:
            brightloom_index_native.run("outline", json.dumps(payload))
        assert str(symbols_error.value) == str(outline_error.value)


@pytest.mark.parametrize("language,unit", [
    ("ruby", "# note\n"), ("go", "// note\n"), ("javascript", "/* a */\n"), ("rust", "// a\n"),
])
def test_a_costly_text_fails_with_the_parse_limit_error(language, unit):
    # A long run of comments: each one opens a pattern state that waits for
    # the definition after it, the costliest case for the rules.
    text = unit * 200_000
    try:
        reply = symbols({"content": text, "language": language})
    except Exception as error:  # noqa: BLE001 - the message is the contract
        assert str(error).startswith("source text is too costly to parse: parse abandoned ")
    else:
        assert reply["ok"] and reply["definitions"] == []


def test_definitions_around_a_large_error_region_are_found():
    text = "function before() {}\nfunction mid() {\n  let x = " + "[1," * 1000 + "\n}\nfunction after() {}\n"
    reply = symbols({"content": text, "language": "javascript"})
    assert reply["check"]["error_count"] > 0
    assert {("before", 1), ("after", 5)} <= {(d["name"], d["line"]) for d in reply["definitions"]}


@pytest.mark.parametrize("language,opening", [
    ("python", "x = "), ("javascript", "let x = "), ("rust", "fn f() { let x = "), ("cpp", "template<"),
])
def test_deep_unclosed_nesting_answers_like_the_parse(language, opening):
    # Error recovery nests such text in a long chain of hidden nodes, which
    # made the rules' run quadratic while the parse stayed linear.
    text = opening + ("template<" if language == "cpp" else "(") * 100_000
    reply = symbols({"content": text, "language": language})
    assert reply["ok"] and reply["language"] == language
