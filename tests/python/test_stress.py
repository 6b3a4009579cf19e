"""Bounded stress and fault cases: many threads at once, a tree that changes
under a scan, a low descriptor limit, forks right after a scan, and a FIFO
swapped in for a listed file. Each case runs for a few seconds at most;
anything that could hang runs in a child process under a timeout."""
import hashlib
import json
import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from brightloom_index_native import run

CHILD_TIMEOUT = 60


def _scan(root, **options):
    return json.loads(run("scan", json.dumps({"root": str(root), **options})))


def _outcome(command, payload):
    """The reply text, or the exception's type and text."""
    try:
        return run(command, payload)
    except (RuntimeError, TypeError) as error:
        return (type(error).__name__, str(error))


def _run_child(code, timeout=CHILD_TIMEOUT, env=None):
    """Runs Python code in a fresh interpreter; its last line of output is JSON."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_threads_give_the_replies_of_one_thread(tmp_path):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "a.py").write_text("class A:\n    def f(self):\n        return 1\n")
    (tmp_path / "pkg" / "b.rs").write_text("fn main() {\n    let x = ;\n}\n")
    (tmp_path / "c.ts").write_text("export interface I { x: number }\r\n")
    (tmp_path / "d.md").write_text("# notes\n")
    path = lambda name: json.dumps({"path": str(tmp_path / name)})
    calls = [
        ("scan", json.dumps({"root": str(tmp_path)})),
        ("scan", json.dumps({"root": str(tmp_path), "max_files": 2, "extensions": ["py", "md"]})),
        ("hash", path("pkg/a.py")),
        ("hash", path("missing.py")),
        ("outline", path("pkg/a.py")),
        ("outline", json.dumps({"content": "fn f() {}\nstruct S;", "language": "rust"})),
        ("syntax-check", path("pkg/b.rs")),
        ("syntax-check", json.dumps({"content": "{\"a\": [1,]}", "language": "json"})),
        ("syntax-check", path("c.ts")),
        ("hash", "[1,]"),
        ("nope", "{}"),
        ("scan", "null"),
    ]
    expected = [_outcome(command, payload) for command, payload in calls]
    assert len({type(outcome) for outcome in expected}) == 2  # replies and errors both

    rounds = 60
    results = [None] * 8
    start = threading.Barrier(8)

    def worker(index):
        start.wait()
        seen = []
        for round_ in range(rounds):
            # Each thread walks the calls from another starting point.
            for step in range(len(calls)):
                position = (index + round_ + step) % len(calls)
                seen.append((position, _outcome(*calls[position])))
        results[index] = seen

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=CHILD_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads)
    for seen in results:
        assert len(seen) == rounds * len(calls)
        for position, outcome in seen:
            assert outcome == expected[position], calls[position]


# Every version a file of the changing tree can hold: what the mutator may
# write, keyed by the digest of its text with line endings brought to "\n".
VERSIONS = 400


def _version_text(version):
    ending = "\r\n" if version % 3 == 0 else "\n"
    return "".join(f"line {line} of version {version}{ending}" for line in range(version % 9))


def _expected_entry(text):
    normalised = text.replace("\r\n", "\n").replace("\r", "\n")
    lines = 0 if text == "" else text.count("\n") + 1
    return hashlib.sha256(normalised.encode()).hexdigest(), lines


MUTATOR = """
import os, sys, time
root, versions, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
names = [f"d{i % 4}/f{i}.py" for i in range(40)]
def text(v):
    ending = "\\r\\n" if v % 3 == 0 else "\\n"
    return "".join(f"line {line} of version {v}{ending}" for line in range(v % 9))
def put(name, v):
    # Written under a name the scan does not list, then renamed into place,
    # so a listed name always holds one whole version.
    scratch = os.path.join(root, "scratch.tmp")
    with open(scratch, "w", newline="") as out:
        out.write(text(v))
    os.rename(scratch, os.path.join(root, name))
print("ready", flush=True)
deadline = time.monotonic() + seconds
step = 0
while time.monotonic() < deadline:
    name = names[step % len(names)]
    other = names[(step * 7 + 3) % len(names)]
    action = step % 4
    try:
        if action == 0:
            put(name, step % versions)
        elif action == 1:
            os.unlink(os.path.join(root, name))
        elif action == 2:
            os.rename(os.path.join(root, name), os.path.join(root, other))
        else:
            os.makedirs(os.path.join(root, f"d{step % 4}", f"n{step % 5}"), exist_ok=True)
            put(f"d{step % 4}/n{step % 5}/g{step % 11}.py", (step * 13) % versions)
    except FileNotFoundError:
        pass
    step += 1
print(step, flush=True)
"""


def test_scan_of_a_changing_tree_reports_whole_versions(tmp_path):
    known = dict(_expected_entry(_version_text(v)) for v in range(VERSIONS))
    for folder in range(4):
        (tmp_path / f"d{folder}").mkdir()
    for i in range(40):
        (tmp_path / f"d{i % 4}" / f"f{i}.py").write_text(_version_text(i))
    mutator = subprocess.Popen(
        [sys.executable, "-c", MUTATOR, str(tmp_path), str(VERSIONS), "3"],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        assert mutator.stdout.readline().strip() == "ready"
        scans = 0
        deadline = time.monotonic() + 2.5
        while time.monotonic() < deadline:
            reply = _scan(tmp_path, max_files=1000)
            paths = [entry["path"] for entry in reply["entries"]]
            assert paths == sorted(set(paths))
            assert reply["count"] == len(paths)
            for entry in reply["entries"]:
                assert entry["path"].endswith(".py"), entry
                assert known.get(entry["file_hash"]) == entry["total_lines"], entry
            scans += 1
        steps = int(mutator.communicate(timeout=CHILD_TIMEOUT)[0].strip())
    finally:
        mutator.kill()
        mutator.wait()
    assert scans > 5 and steps > 100


def test_scan_under_a_descriptor_limit_of_32(tmp_path):
    # A chain of 40 nested folders (more than the limit) with a file at every
    # level, and a wide folder of 300 files: 340 entries in all.
    deep = tmp_path
    for level in range(40):
        deep = deep / f"l{level:02d}"
        deep.mkdir()
        (deep / "x.py").write_text(f"level = {level}\n")
    (tmp_path / "wide").mkdir()
    for i in range(300):
        (tmp_path / "wide" / f"w{i:03d}.rs").write_text("fn f() {}\n" * (i % 4))
    reply = _run_child(f"""
        import json, resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))
        from brightloom_index_native import run
        reply = json.loads(run("scan", json.dumps({{"root": {str(tmp_path)!r}, "max_files": 1000}})))
        print(json.dumps(reply))
    """)
    assert reply["count"] == 340
    deepest = "/".join(f"l{level:02d}" for level in range(40)) + "/x.py"
    by_path = {entry["path"]: entry for entry in reply["entries"]}
    assert by_path[deepest]["total_lines"] == 2
    assert by_path["wide/w003.rs"]["total_lines"] == 4
    assert by_path["wide/w000.rs"]["total_lines"] == 0


ADDRESS_LIMIT_CHILD = """
import json, resource, sys
from brightloom_index_native import run

def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

root, path, extra = sys.argv[1], sys.argv[2], int(sys.argv[3])
limit = mapped_bytes() + extra
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
outcomes = []
for command, payload in (("scan", {"root": root}), ("hash", {"path": path})):
    try:
        outcomes.append(json.loads(run(command, json.dumps(payload)))["ok"])
    except MemoryError:
        outcomes.append("MemoryError")
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(
    bool(os.environ.get("BRIGHTLOOM_SANITIZER")),
    reason="a sanitizer maps its shadow memory outside any address-space limit",
)
def test_scan_and_hash_under_an_address_space_limit(tmp_path):
    # Each child may map only so much beyond what it holds after the import:
    # too little for thread stacks, enough for stacks but not for a worker's
    # first allocations, and so on up to plenty. glibc used to end the process
    # when a worker's thread-local data could not be allocated; every child
    # must now answer or raise MemoryError.
    for i in range(12):
        (tmp_path / f"f{i:02d}.py").write_text("x = 1\n" * i)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(sys.modules["brightloom_index_native"].__file__))
    seen = set()
    for extra in range(0, 48 * 2**20, 3 * 2**19):
        result = subprocess.run(
            [sys.executable, "-c", ADDRESS_LIMIT_CHILD, str(tmp_path), str(tmp_path / "f05.py"), str(extra)],
            capture_output=True, text=True, timeout=CHILD_TIMEOUT, env=env,
        )
        assert result.returncode == 0, (extra, result.stderr[-2000:])
        outcomes = json.loads(result.stdout)
        assert all(outcome in (True, "MemoryError") for outcome in outcomes), (extra, outcomes)
        seen.update(outcomes)
    assert True in seen


def test_forks_right_after_scans(tmp_path):
    for i in range(30):
        (tmp_path / f"m{i:02d}.py").write_text(f"value = {i}\n")
    expected = _scan(tmp_path)
    assert expected["count"] == 30
    for _ in range(20):
        _scan(tmp_path)  # the pool's workers have only just finished
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                import signal

                signal.alarm(30)  # a hang kills the child instead of the suite
                code = 0 if _scan(tmp_path) == expected else 1
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status


def _outcomes(calls):
    return [_outcome(command, payload) for command, payload in calls]


def test_multiprocessing_fork_children_answer_like_the_parent(tmp_path):
    for i in range(12):
        (tmp_path / f"p{i:02d}.py").write_text(f"def f{i}():\n    return {i}\n")
    calls = [
        ("scan", json.dumps({"root": str(tmp_path)})),
        ("outline", json.dumps({"path": str(tmp_path / "p03.py")})),
        ("syntax-check", json.dumps({"content": "def (:", "language": "python"})),
        ("hash", json.dumps({"path": str(tmp_path / "gone.py")})),
    ]
    expected = _outcomes(calls)  # the parent's pool exists before the fork
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        results = pool.map_async(_outcomes, [calls] * 6).get(timeout=CHILD_TIMEOUT)
    assert results == [expected] * 6


SWAPPER = """
import os, sys, time
root, swapped_in, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
print("ready", flush=True)
deadline = time.monotonic() + seconds
step = 0
while time.monotonic() < deadline:
    # Each round turns all ten names into the swapped-in kind (a FIFO, or a
    # link to the named outside file), the next one back into files.
    target = os.path.join(root, f"t{step % 10}.py")
    scratch = os.path.join(os.path.dirname(root), "scratch")
    if (step // 10) % 2 == 0:
        if swapped_in == "fifo":
            os.mkfifo(scratch)
        else:
            os.symlink(swapped_in, scratch)
    else:
        with open(scratch, "w") as out:
            out.write("x = 1\\n")
    os.rename(scratch, target)
    step += 1
print(step, flush=True)
"""


def _start_swapper(root, swapped_in):
    """Fills `root` with 200 steady and 10 swapped files; starts the swapper."""
    for i in range(200):
        (root / f"a{i:03d}.py").write_text("x = 1\n")
    for i in range(10):
        (root / f"t{i}.py").write_text("x = 1\n")
    swapper = subprocess.Popen(
        [sys.executable, "-c", SWAPPER, str(root), swapped_in, "3"], stdout=subprocess.PIPE, text=True
    )
    assert swapper.stdout.readline().strip() == "ready"
    return swapper


def test_fifo_renamed_over_a_listed_file_does_not_block(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    swapper = _start_swapper(root, "fifo")
    try:
        # A scan that opened a FIFO for reading would wait for a writer that
        # never comes: the scans run in a child so that a hang is a failure.
        result = _run_child(f"""
            import json, time
            from brightloom_index_native import run
            digests = set()
            scans = 0
            deadline = time.monotonic() + 2.5
            while time.monotonic() < deadline:
                reply = json.loads(run("scan", json.dumps({{"root": {str(root)!r}, "max_files": 1000}})))
                digests.update((e["file_hash"], e["total_lines"]) for e in reply["entries"])
                scans += 1
            print(json.dumps({{"scans": scans, "digests": sorted(digests)}}))
        """, timeout=30)
        swaps = int(swapper.communicate(timeout=CHILD_TIMEOUT)[0].strip())
    finally:
        swapper.kill()
        swapper.wait()
    assert result["scans"] > 5 and swaps > 100
    one_line = hashlib.sha256(b"x = 1\n").hexdigest()
    assert result["digests"] == [[one_line, 2]]


def test_link_renamed_over_a_listed_file_is_never_followed(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    outside = tmp_path / "outside.py"
    outside.write_text("secret = 2\n")
    swapper = _start_swapper(root, str(outside))
    try:
        digests = set()
        scans = 0
        deadline = time.monotonic() + 2.5
        while time.monotonic() < deadline:
            digests.update((e["file_hash"], e["total_lines"]) for e in _scan(root, max_files=1000)["entries"])
            scans += 1
        swaps = int(swapper.communicate(timeout=CHILD_TIMEOUT)[0].strip())
    finally:
        swapper.kill()
        swapper.wait()
    assert scans > 5 and swaps > 100
    assert digests == {(hashlib.sha256(b"x = 1\n").hexdigest(), 2)}


def test_deeply_nested_sources_in_every_language():
    # 20,000 open brackets make a tree deeper than a 512 KiB thread stack
    # could follow by recursion; the calls run on such a thread, in a child
    # process so that a crash is a failure rather than the end of the suite.
    result = _run_child("""
        import json, threading
        from brightloom_index_native import run
        nested = "[" * 20000 + "]" * 10000
        counts = {}
        def calls():
            for language in ["python", "javascript", "typescript", "tsx", "rust", "json"]:
                for command in ["outline", "syntax-check"]:
                    payload = json.dumps({"content": "x = " + nested + "\\n", "language": language})
                    reply = json.loads(run(command, payload))
                    items = reply["errors"] if command == "syntax-check" else reply["symbols"]
                    counts[command + " " + language] = len(items)
        threading.stack_size(512 * 1024)
        thread = threading.Thread(target=calls)
        thread.start()
        thread.join()
        print(json.dumps(counts))
    """)
    assert len(result) == 12
    for name, count in result.items():
        assert count <= (20 if name.startswith("syntax-check") else 200), name
    assert all(result[f"syntax-check {language}"] >= 1 for language in ["python", "json", "rust"])


def test_an_unexpected_keyword_is_named_whole():
    with pytest.raises(TypeError) as caught:
        run("hash", **{"pay\x00load": "{}"})
    assert str(caught.value) == "run() got an unexpected keyword argument 'pay\x00load'"


def test_a_runaway_parse_is_abandoned():
    # 102 bytes the fuzzer found: NUL characters followed by line feeds send
    # the TypeScript error recovery into minutes of work and gigabytes of
    # memory. The parse stops at its limits and says so, within seconds.
    text = "let x: = 1;\nik\x00[\x00ntace langua" + "\n" * 50 + "}m" + "\n" * 17 + "\x00\x00\x00\n{"
    payload = json.dumps({"content": text, "language": "typescript"})
    result = _run_child(f"""
        import json, time
        from brightloom_index_native import run
        outcomes = []
        for command in ["syntax-check", "outline"]:
            start = time.monotonic()
            try:
                run(command, {payload!r})
                outcomes.append("reply")
            except RuntimeError as error:
                outcomes.append(str(error))
            outcomes.append(time.monotonic() - start < 20)
        print(json.dumps(outcomes))
    """, timeout=120)
    for message, in_time in zip(result[::2], result[1::2]):
        assert message.startswith("source text is too costly to parse: parse abandoned after ")
        assert in_time


@pytest.mark.skipif(bool(os.environ.get("BRIGHTLOOM_SANITIZER")),
                    reason="the sanitizer's shadow memory does not fit an address-space limit")
def test_running_out_of_memory_in_a_parse_raises_memory_error():
    # A 14 MB file of a million functions needs about 700 MB of parser
    # memory; under a 700 MB address-space limit the parser's allocation
    # fails part-way. That is a MemoryError (or the too-costly error when the
    # limit is reached first), the process lives on and parses again.
    result = _run_child("""
        import json, resource
        from brightloom_index_native import run
        resource.setrlimit(resource.RLIMIT_AS, (700 << 20, 700 << 20))
        text = "def f(): pass\\n" * 1000000
        outcomes = []
        for command in ["outline", "syntax-check"]:
            try:
                run(command, json.dumps({"content": text, "language": "python"}))
                outcomes.append("reply")
            except MemoryError:
                outcomes.append("MemoryError")
            except RuntimeError as error:
                outcomes.append(str(error)[:36])
        del text
        after = json.loads(run("outline", json.dumps({"content": "def g(): pass\\n", "language": "python"})))
        outcomes.append(after["symbols"][0]["name"])
        print(json.dumps(outcomes))
    """, timeout=120)
    assert result[2] == "g"
    for outcome in result[:2]:
        assert outcome in ("MemoryError", "source text is too costly to parse")
