"""The distribution, built and installed into fresh virtual environments:
it imports, runs, has its stubs found by mypy and uninstalls cleanly.

Each interpreter found (Debian's and the one first on PATH, when they
differ) gets its own environment under the test's temporary folder; they
share one CMake folder, and ccache makes its first build cheap. Set
BRIGHTLOOM_SKIP_PACKAGING=1 to leave this test out of a local run; CI runs it.
"""
import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR

DIGEST_OF_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"

pytestmark = pytest.mark.skipif(
    os.environ.get("BRIGHTLOOM_SKIP_PACKAGING") == "1", reason="BRIGHTLOOM_SKIP_PACKAGING=1"
)


def interpreters():
    """Real paths of the distinct CPython 3.11+ interpreters to install into."""
    found = {}
    for candidate in ["/usr/bin/python3", shutil.which("python3")]:
        if candidate is None or not os.path.exists(candidate):
            continue
        probe = subprocess.run(
            [candidate, "-c", "import sys; print(sys.executable, sys.version_info >= (3, 11))"],
            capture_output=True, text=True, env=clean_env(),
        )
        if probe.returncode != 0:
            continue
        executable, recent = probe.stdout.split()
        if recent == "True":
            found.setdefault(os.path.realpath(executable), executable)
    return sorted(found.values())


def clean_env(**extra):
    # The suite's PYTHONPATH points at the build folder, which holds a copy of
    # the module: the environment must import its own.
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env.update(extra)
    return env


def sh(argv, **kwargs):
    done = subprocess.run([str(arg) for arg in argv], capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{argv} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def files_named_brightloom(root):
    return sorted(str(path.relative_to(root)) for path in root.rglob("*") if "brightloom" in path.name)


@pytest.fixture(scope="module")
def cmake_dir(tmp_path_factory):
    """One CMake folder for all interpreters: a switch recompiles one file."""
    return tmp_path_factory.mktemp("cmake")


@pytest.mark.parametrize("interpreter", interpreters())
def test_install_run_typecheck_uninstall(tmp_path, cmake_dir, interpreter):
    venv = tmp_path / "venv"
    python = venv / "bin" / "python"
    sh([interpreter, "-m", "venv", "--system-site-packages", venv], env=clean_env())
    env = clean_env(BRIGHTLOOM_BUILD_DIR=str(tmp_path / "build"), BRIGHTLOOM_CMAKE_DIR=str(cmake_dir))
    assert files_named_brightloom(venv) == []

    sh([python, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", SOURCE_DIR], env=env)

    (tmp_path / "abc.txt").write_text("abc")
    location = sh([python, "-c", "import brightloom_index_native as m; print(m.__file__)"], env=env, cwd=tmp_path)
    assert location.startswith(str(venv))
    reply = sh([python, "-c", f"import brightloom_index_native as m; print(m.run('hash', '{{\"path\": \"abc.txt\"}}'))"],
               env=env, cwd=tmp_path)
    assert reply == f'{{"hash":"{DIGEST_OF_ABC}","ok":true}}\n'
    assert sh([venv / "bin" / "brightloom-index", "hash", "abc.txt"], env=env, cwd=tmp_path) == f"{DIGEST_OF_ABC}  abc.txt\n"

    # `watch` alone needs a package beyond the standard library (watchdog):
    # where the environment lacks it, one line says how to get it.
    if subprocess.run([python, "-c", "import watchdog"], capture_output=True, env=env).returncode != 0:
        done = subprocess.run([venv / "bin" / "brightloom-index", "watch", "."], capture_output=True, text=True,
                              env=env, cwd=tmp_path, timeout=60)
        assert done.returncode == 2
        assert done.stderr == (
            f"brightloom-index: error: watch needs the Python package watchdog, which is not installed for {python}"
            f" ({python} -m pip install watchdog)\n"
        )

    if importlib.util.find_spec("mypy") is not None:
        typecheck(tmp_path, python)

    sh([python, "-m", "pip", "uninstall", "-y", "-q", "brightloom-index"], env=env)
    assert files_named_brightloom(venv) == []
    assert not (venv / "bin" / "brightloom-index").exists()


def typecheck(tmp_path, python):
    """Debian's mypy, pointed at the environment, finds the stub package."""
    good = tmp_path / "good.py"
    good.write_text("from brightloom_index_native import run\nreply: str = run('hash', '{}')\n")
    bad = tmp_path / "bad.py"
    bad.write_text("from brightloom_index_native import run\nrun('hash', 5)\n")
    mypy = [sys.executable, "-m", "mypy", "--no-incremental", "--python-executable", str(python)]
    # The good script and the command-line package both check clean against
    # the installed stubs; without them mypy would report a missing module.
    clean = subprocess.run(mypy + ["--strict", "-m", "good", "-p", "brightloom_index"],
                           capture_output=True, text=True, env=clean_env(), cwd=tmp_path)
    assert clean.returncode == 0, clean.stdout
    done = subprocess.run(mypy + [str(bad)], capture_output=True, text=True, env=clean_env())
    assert done.returncode == 1
    assert 'Argument 2 to "run" has incompatible type "int"; expected "str"' in done.stdout


def test_fresh_clone_runs_and_installs_the_command(tmp_path):
    """scripts/run.sh in a fresh clone: builds, installs, indexes, finds."""
    clone = tmp_path / "clone"
    sh(["git", "clone", "-q", SOURCE_DIR, clone])
    bin_dir = tmp_path / "bin"
    env = clean_env(BRIGHTLOOM_BIN_DIR=str(bin_dir))
    out = sh([clone / "scripts" / "run.sh"], env=env)
    assert f"installed: {bin_dir}/brightloom-index -> {clone}/.venv/bin/brightloom-index" in out
    assert "Refresh: " in out and "python/brightloom_index/queries.py:" in out
    # Only the module was built: the test suite is the test command's work.
    assert not (clone / "build" / "tests").exists()

    # The link works whichever python3 comes first on PATH, from any folder.
    for path in (f"{bin_dir}:/usr/bin:/bin", f"{bin_dir}:{os.environ['PATH']}"):
        found = sh(["brightloom-index", "find", "run_find", "--root", clone], env=dict(env, PATH=path), cwd=tmp_path)
        assert found.startswith("clone/python/brightloom_index/queries.py:")
    activated = dict(env, PATH=f"{clone}/.venv/bin:{os.environ['PATH']}")
    assert sh(["python3", "-m", "brightloom_index", "--version"], env=activated, cwd=tmp_path).startswith("brightloom")
