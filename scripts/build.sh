#!/usr/bin/env bash
# Configures and builds the module and the native tests into build/ (Release).
# Extra arguments go to the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The suite is switched on explicitly: scripts/run.sh builds into the same
# folder without it.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRIGHTLOOM_TESTS=ON "$@" >/dev/null
cmake --build build -j"$(nproc)"
