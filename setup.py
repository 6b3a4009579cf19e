"""Build steps of the Python distribution; the metadata is in pyproject.toml.

The native module is built by the project's own CMake build, not by
setuptools' compiler driver: `build_ext` configures and builds the
`brightloom_index_native` target and copies the stable-ABI library into the
wheel. The pinned tree-sitter sources are fetched with npm when they are
missing. Build folders go under $BRIGHTLOOM_BUILD_DIR (default
build-python/), never into the CMake folder build/ that scripts/build.sh uses.
"""

import base64
import csv
import hashlib
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE_DIR = Path(__file__).resolve().parent
BUILD_DIR = Path(os.environ.get("BRIGHTLOOM_BUILD_DIR", SOURCE_DIR / "build-python")).resolve()
# The CMake folder may be shared by builds for several interpreters: the
# module uses only the stable ABI, so a switch recompiles one file.
CMAKE_DIR = Path(os.environ.get("BRIGHTLOOM_CMAKE_DIR", BUILD_DIR / "cmake")).resolve()
LIMITED_API_TAG = "cp311"
MODULE_NAME = "brightloom_index_native"


def fetch_tree_sitter_sources():
    """Installs the pinned npm packages (C sources only) when they are absent."""
    third_party = SOURCE_DIR / "third_party"
    if (third_party / "node_modules" / "tree-sitter" / "vendor" / "tree-sitter" / "lib" / "src" / "lib.c").exists():
        return
    npm = shutil.which("npm")
    if npm is None:
        sys.exit("error: the tree-sitter sources are missing and npm is not installed (see scripts/setup.sh)")
    # --ignore-scripts: the packages serve as sources; none of their scripts runs.
    subprocess.run([npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund"], cwd=third_party, check=True)


class CMakeBuildExt(build_ext):
    """Builds the module with the project's CMake build."""

    def build_extension(self, ext):
        fetch_tree_sitter_sources()
        cmake_dir = CMAKE_DIR
        configure = [
            "cmake", "-S", str(SOURCE_DIR), "-B", str(cmake_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBRIGHTLOOM_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(
            ["cmake", "--build", str(cmake_dir), "--target", MODULE_NAME, "-j", jobs], check=True
        )
        built = cmake_dir / f"{MODULE_NAME}.abi3.so"
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


class PlainBdistWheel(Command):
    """Writes the wheel when the `wheel` package is not installed.

    setuptools before 70.1 takes its bdist_wheel command from the `wheel`
    package; with --no-build-isolation on an interpreter that lacks it (and
    no package index to fetch it from) the build would stop. This command
    packs the `build` output and the egg-info metadata as a wheel of the
    stable ABI; the real command is used whenever it is importable.
    """

    description = "create a wheel distribution (without the wheel package)"
    user_options = [
        ("dist-dir=", "d", "directory to put the wheel in"),
        ("py-limited-api=", None, "stable-ABI tag of the wheel"),
    ]

    def initialize_options(self):
        self.dist_dir = None
        self.py_limited_api = None

    def finalize_options(self):
        self.dist_dir = self.dist_dir or "dist"
        self.py_limited_api = self.py_limited_api or LIMITED_API_TAG

    def egg2dist(self, egg_info_dir, dist_info_dir):
        """Turns egg-info metadata into a dist-info folder (used by dist_info)."""
        source, target = Path(egg_info_dir), Path(dist_info_dir)
        target.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source / "PKG-INFO", target / "METADATA")
        if (source / "entry_points.txt").exists():
            shutil.copyfile(source / "entry_points.txt", target / "entry_points.txt")

    def run(self):
        self.run_command("build")
        self.run_command("egg_info")
        build_lib = Path(self.get_finalized_command("build").build_platlib)
        egg_info = self.get_finalized_command("egg_info").egg_info
        name = self.distribution.get_name().replace("-", "_")
        version = self.distribution.get_version()
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        tag = f"{self.py_limited_api}-abi3-{platform}"
        dist_info = f"{name}-{version}.dist-info"

        metadata_dir = BUILD_DIR / "plain-wheel" / dist_info
        shutil.rmtree(metadata_dir, ignore_errors=True)
        self.egg2dist(egg_info, metadata_dir)
        (metadata_dir / "WHEEL").write_text(
            f"Wheel-Version: 1.0\nGenerator: setup.py\nRoot-Is-Purelib: false\nTag: {tag}\n"
        )

        members = [(path, path.relative_to(build_lib).as_posix()) for path in sorted(build_lib.rglob("*"))]
        members += [(path, f"{dist_info}/{path.name}") for path in sorted(metadata_dir.iterdir())]
        Path(self.dist_dir).mkdir(parents=True, exist_ok=True)
        wheel_path = Path(self.dist_dir) / f"{name}-{version}-{tag}.whl"
        record = io.StringIO()
        writer = csv.writer(record, lineterminator="\n")
        with zipfile.ZipFile(wheel_path, "w", zipfile.ZIP_DEFLATED) as archive:
            for path, arcname in members:
                if path.is_dir():
                    continue
                data = path.read_bytes()
                archive.writestr(arcname, data)
                writer.writerow([arcname, record_hash(data), len(data)])
            writer.writerow([f"{dist_info}/RECORD", "", ""])
            archive.writestr(f"{dist_info}/RECORD", record.getvalue())


def wheel_command():
    """The fallback wheel writer, only where no real bdist_wheel exists."""
    for module in ("setuptools.command.bdist_wheel", "wheel.bdist_wheel"):
        try:
            __import__(module)
        except ImportError:
            continue
        return {}
    return {"bdist_wheel": PlainBdistWheel}


BUILD_DIR.mkdir(parents=True, exist_ok=True)
setup(
    package_dir={"": "python"},
    packages=["brightloom_index", "brightloom_index.lsp", "brightloom_index_native-stubs"],
    package_data={"brightloom_index": ["py.typed"], "brightloom_index_native-stubs": ["__init__.pyi"]},
    include_package_data=False,
    ext_modules=[Extension(MODULE_NAME, sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuildExt, **wheel_command()},
    options={
        "build": {"build_base": str(BUILD_DIR / "setuptools")},
        "egg_info": {"egg_base": str(BUILD_DIR)},
        "bdist_wheel": {"py_limited_api": LIMITED_API_TAG},
    },
)
