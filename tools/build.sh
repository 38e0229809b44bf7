#!/usr/bin/env bash
# Installs what is missing to build, then builds the named targets in build/.
#   tools/build.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh build
cmake -S . -B build >/dev/null
cmake --build build --target "$@" -j"$(nproc)"
