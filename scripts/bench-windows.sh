#!/usr/bin/env bash
# One "?" status exchange under Wine: Korvane.dll against a minimal Win32 client on the same
# COM port (a symlink to a pty with a controller thread answering at once). Cross-builds the
# 64-bit DLL and korvane_exchange_bench.exe into build/mingw, builds the Linux side in the
# native build, and prints each run and the ratio of the medians.
#
#   scripts/bench-windows.sh [exchanges per run] [runs]      default: 2000 5
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cross=$root/build/mingw
native=$root/build/default

cd "$root"
cmake --preset mingw >/dev/null
cmake --build "$cross" --target korvane_exchange_bench -j2
cmake --preset default >/dev/null
cmake --build "$native" --target wine_exchange_bench -j2
"$native/bench/wine_exchange_bench" "$cross" "${1:-2000}" "${2:-5}"
