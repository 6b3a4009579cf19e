#!/usr/bin/env bash
# Builds the module (scripts/build.sh, which installs what is missing) and
# indexes this repository with the command line, without installing it.
# Extra arguments go to `brightloom-index index`, e.g. --json or --profile.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
PYTHONPATH="$PWD/build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" exec python3 -m brightloom_index index . "$@"
