#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine:
# system packages (only those missing) and the pinned tree-sitter sources.
# Safe to run again; it does nothing when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config ccache
  libssl-dev libsimdjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-pytest python3-hypothesis
  python3-venv python3-mypy python3-watchdog python3-networkx
  universal-ctags vim tmux emacs-nox neovim
  nodejs
  clang-14 libclang-rt-14-dev llvm-14 valgrind
)
# npm ships inside some Node.js builds (nodesource), which conflict with
# Debian's npm package: ask for the package only when the command is missing.
command -v npm >/dev/null 2>&1 || packages+=(npm)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

# The runtime and grammars are used as C sources only: no package script runs.
if ! (cd third_party && npm ls --depth=0 >/dev/null 2>&1); then
  (cd third_party && npm ci --ignore-scripts --no-audit --no-fund)
fi

# The JSON-RPC client library of the language server's protocol tests.
if ! (cd tests/lsp_client && npm ls --depth=0 >/dev/null 2>&1); then
  (cd tests/lsp_client && npm ci --ignore-scripts --no-audit --no-fund)
fi
