#!/usr/bin/env bash
# Builds the library and the korvane tool, then tours the whole API against the built-in
# simulated controller. No hardware needed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BUILD_TESTS=OFF \
      -DKORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null
exec build/demo/tools/korvane/korvane demo "$@"
