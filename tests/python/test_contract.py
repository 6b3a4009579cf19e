"""The package's copy of the module's facts (contract.py) against the module's
own answers, and the package's digest of a file against the scan's."""
import pytest

from brightloom_index import contract
from brightloom_index.tree_files import Unreadable, digest_bytes


class TestLanguages:
    @pytest.mark.parametrize("extension", sorted(contract.GRAMMAR_LANGUAGES))
    def test_module_parses_each_listed_extension_as_the_listed_language(self, run_json, extension):
        expected = contract.GRAMMAR_LANGUAGES[extension]
        for name in (f"x.{extension}", f"dir/X.{extension.upper()}"):
            # The path only names the language; the content is what is parsed.
            check = run_json("syntax-check", {"content": "", "path": name})
            outline = run_json("outline", {"content": "", "path": name})
            assert (check["language"], check["checked"]) == (expected, True)
            assert outline["checked"] == (expected in contract.OUTLINED_LANGUAGES)
            assert contract.grammar_language(name) == expected

    @pytest.mark.parametrize("extension", sorted(contract.SYMBOLS_ONLY_LANGUAGES))
    def test_symbols_alone_parses_the_other_indexed_languages(self, run_json, extension):
        expected = contract.SYMBOLS_ONLY_LANGUAGES[extension]
        for name in (f"x.{extension}", f"dir/X.{extension.upper()}"):
            assert run_json("symbols", {"content": "", "path": name})["language"] == expected
            assert not run_json("syntax-check", {"content": "", "path": name})["checked"]
            assert contract.grammar_language(name) == expected

    @pytest.mark.parametrize("extension", ["md", "toml", "yaml", "pyi", "tsv", "jsonc", "kt"])
    def test_other_extensions_have_no_grammar_in_the_module_either(self, run_json, extension):
        assert not run_json("syntax-check", {"content": "", "path": f"x.{extension}"})["checked"]
        assert run_json("symbols", {"content": "", "path": f"x.{extension}"})["language"] not in \
            contract.INDEXED_LANGUAGES.values()
        assert contract.grammar_language(f"x.{extension}") is None

    def test_only_the_last_component_names_the_language(self):
        assert contract.grammar_language("pkg.py/README") is None
        assert contract.grammar_language("py") is None
        assert contract.grammar_language("a.d/b.rs") == "rust"
        assert contract.grammar_language(".py") == "python"


class TestLimits:
    def test_outline_and_check_limits(self, run_json):
        many = "".join(f"def f{i}(): pass\n" for i in range(contract.OUTLINE_SYMBOL_LIMIT + 30))
        assert run_json("outline", {"content": many, "language": "python"})["symbol_count"] == \
            contract.OUTLINE_SYMBOL_LIMIT
        faulty = "f(1,,2)\n" * (contract.CHECK_ERROR_LIMIT + 10)
        assert run_json("syntax-check", {"content": faulty, "language": "python"})["error_count"] == \
            contract.CHECK_ERROR_LIMIT

    def test_scan_defaults_and_pruned_folders(self, run_json, tmp_path):
        for i in range(contract.DEFAULT_MAX_FILES + 20):
            (tmp_path / f"f{i:04}.py").write_text("")
        assert run_json("scan", contract.scan_payload(str(tmp_path)))["count"] == contract.DEFAULT_MAX_FILES
        assert run_json("scan", contract.scan_payload(str(tmp_path), max_files=contract.UNLIMITED_FILES))[
            "count"] == contract.DEFAULT_MAX_FILES + 20

        other = tmp_path / "other"
        for extension in list(contract.DEFAULT_SCAN_EXTENSIONS) + ["json", "jsx", "c"]:
            (other / "keep").mkdir(parents=True, exist_ok=True)
            (other / "keep" / f"a.{extension}").write_text("")
        for name in contract.PRUNED_DIRS:
            (other / name).mkdir()
            (other / name / "a.py").write_text("")
        listed = [entry["path"] for entry in run_json("scan", contract.scan_payload(str(other)))["entries"]]
        assert listed == sorted(f"keep/a.{extension}" for extension in contract.DEFAULT_SCAN_EXTENSIONS)


class TestDigest:
    @pytest.mark.parametrize("data", [
        b"", b"x", b"a\nb\n", b"a\r\nb\r\n", b"a\rb", b"a\r\r\nb", b"\xef\xbb\xbfbom\n", "\u00e9\u4e2d\n".encode(),
        b"\n\n\n", b"line without end",
    ])
    def test_same_digest_and_lines_as_the_scan(self, run_json, tmp_path, data):
        (tmp_path / "f.py").write_bytes(data)
        entry = run_json("scan", {"root": str(tmp_path), "extensions": ["py"]})["entries"][0]
        assert digest_bytes(data) == (entry["file_hash"], entry["total_lines"])

    def test_non_utf8_is_refused_as_the_scan_drops_it(self, run_json, tmp_path):
        (tmp_path / "f.py").write_bytes(b"ok\xff\n")
        assert run_json("scan", {"root": str(tmp_path), "extensions": ["py"]})["count"] == 0
        with pytest.raises(Unreadable):
            digest_bytes(b"ok\xff\n")
