#!/usr/bin/env bash
# The whole test suite: builds, then runs the GoogleTest and pytest suites,
# then the reliability checks (sanitizer builds, valgrind, fuzzing; about
# a quarter of an hour on two cores). BRIGHTLOOM_SKIP_RELIABILITY=1 leaves those out
# of a quick local run; CI always runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --test-dir build --output-on-failure
if [ "${CI:-}" = true ] || [ "${BRIGHTLOOM_SKIP_RELIABILITY:-0}" != 1 ]; then
  scripts/reliability.sh
fi
