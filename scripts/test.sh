#!/usr/bin/env bash
# The whole test suite: builds, then runs the GoogleTest and pytest suites.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --test-dir build --output-on-failure
