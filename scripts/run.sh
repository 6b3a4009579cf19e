#!/usr/bin/env bash
# Sets the command line up and shows it at work on this repository.
#
# Installs what is missing (scripts/setup.sh), builds the module alone into
# build/ (the tests are built by scripts/test.sh), installs the package with
# pip into the virtual environment .venv, made from Debian's interpreter with
# --system-site-packages so that Debian's watchdog serves `watch` and no package
# index is needed, and links .venv/bin/brightloom-index into
# $BRIGHTLOOM_BIN_DIR (default: /usr/local/bin when writable, else
# ~/.local/bin). Then it indexes this repository and looks a name up.
# Extra arguments go to `brightloom-index index`, e.g. --json or --profile.
# Run it again after changing the sources: it rebuilds and reinstalls.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

venv="$PWD/.venv"
if [ ! -x "$venv/bin/python" ]; then
  /usr/bin/python3 -m venv --system-site-packages "$venv"
fi
# The module is built by pip through the project's CMake build, in build/
# (shared with scripts/build.sh, so the tests later compile only themselves).
BRIGHTLOOM_CMAKE_DIR="$PWD/build" "$venv/bin/python" -m pip install \
  --quiet --no-index --no-build-isolation --disable-pip-version-check .

bin_dir="${BRIGHTLOOM_BIN_DIR:-}"
if [ -z "$bin_dir" ]; then
  if [ -w /usr/local/bin ]; then bin_dir=/usr/local/bin; else bin_dir="$HOME/.local/bin"; fi
fi
mkdir -p "$bin_dir"
ln -sfn "$venv/bin/brightloom-index" "$bin_dir/brightloom-index"
echo "installed: $bin_dir/brightloom-index -> $venv/bin/brightloom-index"
case ":$PATH:" in
  *":$bin_dir:"*) ;;
  *) echo "note: $bin_dir is not on PATH; add it, or run: . .venv/bin/activate" ;;
esac

echo
echo "\$ brightloom-index index ."
"$bin_dir/brightloom-index" index . "$@"
echo
echo "\$ brightloom-index find run_find"
"$bin_dir/brightloom-index" find run_find
