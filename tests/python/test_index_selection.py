"""Which files `files` and `index` take: git's view inside a work tree, the
ignore files outside one, the user's globs and limit, and what the digest
step steers around."""
import json
import os
import subprocess

import pytest

from brightloom_index.digests import plan_scans
from brightloom_index.native_calls import NativeCaller
from brightloom_index.selection import SelectionRules, select_files
from brightloom_index_native import run
from test_cli import cli, json_lines


def make_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def git(root, *argv):
    subprocess.run(["git", *argv], cwd=root, check=True, capture_output=True)


def listed(root, *options):
    status, out, err = cli("files", str(root), *options)
    assert status == 0, err
    return out.splitlines()


# One tree, read twice: as a git work tree and as a plain folder.
LAYERED = {
    ".gitignore": "build/\n*.gen.py\n!keep.gen.py\n",
    "main.py": "",
    "keep.gen.py": "",
    "skip.gen.py": "",
    "build/out.ts": "",
    "src/app.ts": "",
    "src/.gitignore": "local_*.js\n!local_ok.js\n",
    "src/local_a.js": "",
    "src/local_ok.js": "",
    "src/deep/local_b.js": "",
    "src/deep/readme.md": "",
    "notes.txt": "",
    "Upper.PY": "",
}
LAYERED_EXPECTED = ["Upper.PY", "keep.gen.py", "main.py", "src/app.ts", "src/local_ok.js"]


class TestIgnoreRules:
    def test_git_work_tree_uses_nested_gitignore_and_negation(self, tmp_path):
        make_tree(tmp_path, LAYERED)
        git(tmp_path, "init", "-q")
        assert listed(tmp_path) == LAYERED_EXPECTED

    def test_plain_folder_reads_the_same_rules(self, tmp_path):
        make_tree(tmp_path, LAYERED)
        assert listed(tmp_path) == LAYERED_EXPECTED

    def test_plain_folder_ignore_file_overrides_gitignore_and_deeper_rules_win(self, tmp_path):
        make_tree(tmp_path, {
            ".gitignore": "*.js\n",
            ".ignore": "!wanted.js\n",
            "wanted.js": "",
            "other.js": "",
            "sub/.gitignore": "!other.js\n",
            "sub/other.js": "",
            "node_modules/dep.js": "",
        })
        assert listed(tmp_path) == ["sub/other.js", "wanted.js"]

    def test_plain_folder_does_not_reenter_an_ignored_folder(self, tmp_path):
        # As in git: a negated file inside an excluded folder stays out.
        make_tree(tmp_path, {".gitignore": "gen/\n!gen/keep.py\n", "gen/keep.py": "", "a.py": ""})
        assert listed(tmp_path) == ["a.py"]

    def test_git_takes_tracked_files_even_when_ignored_and_pruned_names(self, tmp_path):
        make_tree(tmp_path, {".gitignore": "*.js\n", "forced.js": "", "dist/bundle.js": "", "loose.js": ""})
        git(tmp_path, "init", "-q")
        git(tmp_path, "add", "-f", "forced.js", "dist/bundle.js")
        assert listed(tmp_path) == ["dist/bundle.js", "forced.js"]

    def test_git_info_exclude_and_global_excludes(self, tmp_path, monkeypatch):
        make_tree(tmp_path / "repo", {"a.py": "", "b.py": "", "c.py": ""})
        git(tmp_path / "repo", "init", "-q")
        (tmp_path / "repo/.git/info/exclude").write_text("a.py\n")
        (tmp_path / "global-ignore").write_text("b.py\n")
        (tmp_path / "gitconfig").write_text(f"[core]\n\texcludesFile = {tmp_path / 'global-ignore'}\n")
        monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(tmp_path / "gitconfig"))
        assert listed(tmp_path / "repo") == ["c.py"]

    def test_git_leaves_out_files_deleted_from_the_work_tree(self, tmp_path):
        make_tree(tmp_path, {"a.py": "", "b.py": ""})
        git(tmp_path, "init", "-q")
        git(tmp_path, "add", ".")
        (tmp_path / "b.py").unlink()
        assert listed(tmp_path) == ["a.py"]

    def test_subfolder_of_a_work_tree_lists_relative_to_itself(self, tmp_path):
        make_tree(tmp_path, {".gitignore": "*.gen.py\n", "top.py": "", "sub/a.py": "", "sub/b.gen.py": ""})
        git(tmp_path, "init", "-q")
        assert listed(tmp_path / "sub") == ["a.py"]

    @pytest.mark.parametrize("in_git", [False, True])
    def test_no_ignore_takes_everything_but_the_git_folder(self, tmp_path, in_git):
        make_tree(tmp_path, {".gitignore": "*.py\n", "a.py": "", "node_modules/m.js": ""})
        if in_git:
            git(tmp_path, "init", "-q")
            (tmp_path / ".git/hook.py").write_text("")
        assert listed(tmp_path, "--no-ignore") == ["a.py", "node_modules/m.js"]

    @pytest.mark.parametrize("in_git", [False, True])
    def test_exclude_and_include_globs(self, tmp_path, in_git):
        make_tree(tmp_path, {"a.py": "", "b.rs": "", "tests/t.py": "", "src/c.py": ""})
        if in_git:
            git(tmp_path, "init", "-q")
        assert listed(tmp_path, "--exclude", "tests/") == ["a.py", "b.rs", "src/c.py"]
        assert listed(tmp_path, "--include", "*.py") == ["a.py", "src/c.py", "tests/t.py"]
        assert listed(tmp_path, "--include", "*.py", "--exclude", "src/*") == ["a.py", "tests/t.py"]


class TestChoice:
    def test_every_grammar_extension_and_no_cap(self, tmp_path):
        names = [f"f{i:03}.{ext}" for i, ext in enumerate(
            ["py", "rs", "js", "mjs", "cjs", "jsx", "ts", "mts", "cts", "tsx", "json", "c", "h", "cc", "cpp",
             "hpp", "go", "java", "cs", "rb", "php", "sh", "bash", "GO"] * 15)]
        make_tree(tmp_path, {name: "" for name in names + ["a.md", "b.toml", "c.yaml", "d.pyi", "e.kt"]})
        assert listed(tmp_path) == sorted(names)

    def test_max_files_takes_the_first_in_path_order(self, tmp_path):
        make_tree(tmp_path, {"c.py": "", "a.py": "", "b/z.py": ""})
        status, out, err = cli("files", str(tmp_path), "--max-files", "2")
        assert out.splitlines() == ["a.py", "b/z.py"]
        assert "only the first 2 files" in err

    @pytest.mark.parametrize("command", ["files", "index", "scan"])
    def test_root_that_is_not_a_folder_is_one_line_and_status_2(self, tmp_path, command):
        (tmp_path / "file.py").write_text("")
        for root, reason in ((tmp_path / "missing", "no such folder"), (tmp_path / "file.py", "not a folder")):
            status, out, err = cli(command, str(root))
            assert (status, out) == (2, "")
            assert err == f"brightloom-index: error: {root}: {reason}\n"
        assert not (tmp_path / "missing").exists()

    def test_file_name_that_is_not_utf8_is_named_not_dropped(self, tmp_path):
        (tmp_path / "ok.py").write_text("")
        os.close(os.open(os.fsencode(tmp_path) + b"/bad\xff.py", os.O_CREAT | os.O_WRONLY))
        status, out, err = cli("files", str(tmp_path))
        assert out.splitlines() == ["ok.py"]
        assert err == "brightloom-index: left out bad\\xff.py: file name is not valid UTF-8\n"


class TestScanPlan:
    def test_root_is_scanned_whole_without_ignored_folders(self):
        assert plan_scans(["a.py", "src/b.py"], []) == ([""], [])

    def test_folders_beside_an_ignored_one_are_scanned_and_files_beside_it_left_over(self):
        paths = ["setup.py", "src/a.py", "src/pkg/b.py", "tools/venv_helper/c.py", "tools/d.py"]
        roots, loose = plan_scans(paths, ["venv", "tools/venv"])
        assert roots == ["src", "tools/venv_helper"]
        assert loose == ["setup.py", "tools/d.py"]

    def test_ignored_venv_is_neither_digested_nor_parsed(self, tmp_path):
        body = "def f():\n    return 1\n"
        make_tree(tmp_path, {".gitignore": "venv/\n", "app.py": body, "src/lib.py": body})
        for package in range(100):
            make_tree(tmp_path / "venv/lib" / f"p{package}", {f"m{i}.py": body for i in range(100)})
        git(tmp_path, "init", "-q")
        selection = select_files(str(tmp_path), SelectionRules())
        assert selection.paths == ["app.py", "src/lib.py"]
        assert selection.ignored_dirs == ["venv"]
        assert plan_scans(selection.paths, selection.ignored_dirs) == (["src"], ["app.py"])

    def test_index_scans_beside_the_ignored_folder_and_digests_the_rest_itself(self, tmp_path):
        make_tree(tmp_path, {".gitignore": "venv/\n", "a.py": "def a(): pass\n", "src/b.py": "def b(): pass\n",
                             "venv/lib/c.py": "def c(): pass\n", "z.py": "def z(): pass\n"})
        git(tmp_path, "init", "-q")
        scanned = []

        def recording_run(command, payload):
            if command == "scan":
                scanned.append(json.loads(payload)["root"])
            return run(command, payload)

        status, out, err = cli("index", str(tmp_path), "--json", caller=NativeCaller(recording_run))
        assert (status, err) == (0, "")
        assert scanned == [f"{tmp_path}/src"]
        records = json_lines(out)
        assert [r["path"] for r in records[:-1]] == ["a.py", "src/b.py", "z.py"]
        assert records[-1]["files"] == 3

    def test_ignored_folders_without_grammar_files_do_not_split_the_scan(self, tmp_path):
        make_tree(tmp_path, {".gitignore": "__pycache__/\n", "pkg/a.py": "", "pkg/__pycache__/a.pyc": ""})
        git(tmp_path, "init", "-q")
        selection = select_files(str(tmp_path), SelectionRules())
        assert selection.ignored_dirs == []
        assert plan_scans(selection.paths, selection.ignored_dirs) == ([""], [])
