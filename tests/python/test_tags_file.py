"""Tags files read back by the real clients: readtags, Vim after an edit above
the definition, Emacs visiting a TAGS file; escaping as ctags does it; file
names an editor would expand left out; what `write_tags` may replace."""
import os
import shutil
import stat
import subprocess
import threading

import pytest

from brightloom_index.tags_file import TagEntry, ctags_text, etags_text, search_pattern, write_tags

needs = {tool: pytest.mark.skipif(shutil.which(tool) is None, reason=f"{tool} not installed")
         for tool in ("readtags", "vim", "emacs")}

# (source line, expected address): ctags escapes `\` and `/`, a `$` that ends
# the text, and leaves off the closing `$` of a cut line.
PATTERNS = [
    ("def f(a, b):", "/^def f(a, b):$/"),
    ('    return "a/b" + "\\\\"', '/^    return "a\\/b" + "\\\\\\\\"$/'),
    ("let cost = $", "/^let cost = \\$$/"),
    ("cost$ = 1", "/^cost$ = 1$/"),
    ("^starts = 1", "/^^starts = 1$/"),
    ("x" * 100, "/^" + "x" * 96 + "/"),
    ("y" * 95 + "$$", "/^" + "y" * 95 + "\\$/"),
    ("before\rafter", "/^before/"),
    ("nul\0inside", "/^nul/"),
    (None, "7"),
]


@pytest.mark.parametrize("text, expected", PATTERNS)
def test_search_pattern_escapes_as_ctags(text, expected):
    assert search_pattern(TagEntry("f", "a.py", 7, 7, "function", "python", text=text)) == expected


def entry(name, path="a.py", line=1, **fields):
    return TagEntry(name, path, line, line, fields.pop("kind", "function"), fields.pop("language", "python"),
                    text=fields.pop("text", f"def {name}(): pass"), **fields)


def body(content):
    return [line for line in content.decode().splitlines() if not line.startswith("!_TAG_")]


class TestCtagsLines:
    def test_names_are_escaped_and_sorted_unescaped(self):
        names = ["b", "!", " lead", "back\\slash", "A", "!bang"]
        lines = body(ctags_text([entry(name) for name in names], lambda path: path)[0])
        assert [line.split("\t")[0] for line in lines] == [
            "\\x20lead", "\\x21", "\\x21bang", "A", "b", "back\\\\slash"]

    @pytest.mark.parametrize("name, path", [
        ("ok", "x`touch PWNED`.py"), ("ok", "$HOME.py"), ("ok", "~user.py"), ("ok", "-rf.py"),
        ("ok", "+cmd.py"), ("ok", "tab\there.py"), ("ok", "line\nbreak.py"), ("ok", "cr\rx.py"),
        ("nul\0name", "a.py"), ("-flag", "a.py"), ("+cmd", "a.py"), ("tab\tname", "a.py"),
        ("line\nname", "a.py"), ("", "a.py"),
    ])
    def test_expanded_or_split_entries_are_left_out(self, name, path):
        for render in (ctags_text, etags_text):
            content, left_out = render([entry(name, path), entry("kept")], lambda shown: shown)
            assert left_out == 1
            assert b"kept" in content and path.encode() not in content.replace(b"a.py", b"")

    def test_dollar_and_backtick_in_names_are_ordinary(self):
        content, left_out = ctags_text([entry("$scope"), entry("`odd`")], lambda path: path)
        assert left_out == 0 and len(body(content)) == 2


@needs["readtags"]
@pytest.mark.parametrize("odd", [["!", " lead", "!="], []])
def test_readtags_finds_escaped_and_ordinary_names(tmp_path, odd):
    names = odd + ["back\\slash", "A", "Z", "_u", "~t", "!~"] + [f"name{i:04d}" for i in range(500)]
    content, _ = ctags_text([entry(name, line=i + 1) for i, name in enumerate(names)], lambda path: path)
    (tmp_path / "tags").write_bytes(content)
    # Names sorting among the header lines make the file unsorted; others keep it sorted.
    assert f"!_TAG_FILE_SORTED\t{0 if odd else 1}\t".encode() in content
    for name in names[:10] + names[-3:]:
        done = subprocess.run(["readtags", "-t", str(tmp_path / "tags"), "-e", "-", name],
                              capture_output=True, text=True, check=True)
        assert done.stdout.split("\t")[:2] == [name, "a.py"], name
    absent = subprocess.run(["readtags", "-t", str(tmp_path / "tags"), "-", "Nowhere"], capture_output=True)
    assert absent.stdout == b""


# A file and the definitions in it: (name, kind, line, scope kind, scope name).
SOURCE = {
    "pkg/shapes.py": "import os\n\nclass Shape:\n    def area(self):\n        return 0\n\n"
                     "def make_shape(path='a/b\\\\c'):\n    return Shape()\n",
    "src/lib.rs": "struct Handle;\n\nimpl Handle {\n    fn join(&self) -> u8 { 0 }\n}\n",
}
DEFINITIONS = [
    ("pkg/shapes.py", "Shape", "class", 3, None, None),
    ("pkg/shapes.py", "area", "method", 4, "class", "Shape"),
    ("pkg/shapes.py", "make_shape", "function", 7, None, None),
    ("src/lib.rs", "Handle", "struct", 1, None, None),
    ("src/lib.rs", "join", "method", 4, "impl", "Handle"),
]


def project(root):
    for path, text in SOURCE.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    entries = []
    for path, name, kind, line, scope_kind, scope_name in DEFINITIONS:
        text = SOURCE[path].splitlines()[line - 1]
        language = "rust" if path.endswith(".rs") else "python"
        entries.append(TagEntry(name, path, line, line, kind, language, scope_kind, scope_name, text))
    return entries


def insert_lines_above_everything(root):
    for path in SOURCE:
        (root / path).write_text("# a\n# b\n# c\n" + (root / path).read_text())


def vim_lands(cwd, tags, name, report):
    script = [f"set tags={tags}", f"silent! tag {name}",
              f"call writefile([expand('%:p') . ':' . line('.')], '{report}')", "qa!"]
    argv = ["vim", "-es", "-N", "-u", "NONE", "-i", "NONE"]
    for command in script:
        argv += ["-c", command]
    subprocess.run(argv, cwd=cwd, capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
    return report.read_text().strip() if report.exists() else ""


@needs["vim"]
def test_vim_reaches_definitions_after_lines_are_added_above(tmp_path):
    root = tmp_path / "repo"
    entries = project(root)
    (root / "tags").write_bytes(ctags_text(entries, lambda path: path)[0])
    insert_lines_above_everything(root)
    for path, name, _, line, _, _ in DEFINITIONS:
        assert vim_lands(root, root / "tags", name, tmp_path / "where") == f"{root / path}:{line + 3}", name


@needs["emacs"]
def test_emacs_finds_definitions_in_etags_after_an_edit(tmp_path):
    root = tmp_path / "repo"
    entries = project(root)
    content, left_out = etags_text(entries, lambda path: path)
    assert left_out == 0
    (root / "TAGS").write_bytes(content)
    insert_lines_above_everything(root)
    lisp = ['(visit-tags-table "TAGS")']
    for _, name, *_ in DEFINITIONS:
        lisp.append(f'(find-tag "{name}") (princ (format "%s:%d\\n" buffer-file-name (line-number-at-pos)))')
    done = subprocess.run(["emacs", "--batch", "-Q", "--eval", f"(progn {' '.join(lisp)})"], cwd=root,
                          capture_output=True, text=True, timeout=120)
    assert done.stdout.splitlines() == [f"{root / path}:{line + 3}" for path, _, _, line, _, _ in DEFINITIONS]


# File names that an editor could expand, split or run; each is written to the
# tags file only when Vim then opens exactly that file.
HOSTILE_NAMES = ["x`touch PWNED`.py", "$(touch PWNED).py", "a'`touch PWNED`'.py", "{`touch PWNED`}.py",
                 "a;touch PWNED.py", "a|touch PWNED.py", "a b.py", "a*b.py", "a?b.py", "a[b].py", "a%b.py",
                 "a#b.py", "a'b.py", 'a"b.py', "a\\b.py", "a&b.py", "a(b).py", "~x.py", "-x.py", "+x.py",
                 "$HOME.py", "a{b,c}.py"]


@needs["vim"]
def test_no_listed_file_name_runs_anything_in_vim(tmp_path):
    root = tmp_path / "repo"
    root.mkdir()
    entries = []
    for number, name in enumerate(HOSTILE_NAMES):
        (root / name).write_text(f"x = 0\ndef victim{number}(): pass\n")
        entries.append(TagEntry(f"victim{number}", name, 2, 2, "function", "python",
                                text=f"def victim{number}(): pass"))
    (root / "aXb.py").write_text("decoy\n")
    content, left_out = ctags_text(entries, lambda path: path)
    (root / "tags").write_bytes(content)
    listed = [line.split("\t")[0] for line in body(content)]
    assert left_out == len(HOSTILE_NAMES) - len(listed) and left_out >= 6
    for number, name in enumerate(HOSTILE_NAMES):
        if f"victim{number}" in listed:
            report = tmp_path / f"where{number}"
            assert vim_lands(root, root / "tags", f"victim{number}", report) == f"{root / name}:2", name
    assert not list(tmp_path.rglob("PWNED"))


class TestWriteTags:
    def test_replaces_a_regular_file_by_rename_and_creates_a_missing_one(self, tmp_path):
        target = tmp_path / "tags"
        write_tags(str(target), b"one\n")
        before = target.stat().st_ino
        write_tags(str(target), b"two\n")
        assert target.read_bytes() == b"two\n" and target.stat().st_ino != before
        assert [p.name for p in tmp_path.iterdir()] == ["tags"]

    def test_writes_into_a_fifo_in_place(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
        reader.start()
        write_tags(str(fifo), b"x" * 200_000)
        reader.join(10)
        assert received == [b"x" * 200_000] and stat.S_ISFIFO(fifo.lstat().st_mode)

    def test_writes_into_a_character_device_without_replacing_it(self):
        write_tags("/dev/null", b"tags\n")
        assert stat.S_ISCHR(os.lstat("/dev/null").st_mode)

    @pytest.mark.parametrize("make", ["symlink", "directory"])
    def test_refuses_links_and_folders(self, tmp_path, make):
        victim = tmp_path / "victim"
        victim.write_text("keep\n")
        target = tmp_path / "tags"
        if make == "symlink":
            target.symlink_to(victim)
        else:
            target.mkdir()
        with pytest.raises(OSError):
            write_tags(str(target), b"tags\n")
        assert victim.read_text() == "keep\n" and sorted(p.name for p in tmp_path.iterdir()) == ["tags", "victim"]
