#!/usr/bin/env bash
# The soak run: builds korvane_soak and drives the library against the simulator for
# DURATION_SECONDS with mixed traffic from several threads, then prints the calls made, the
# failures by result code and the latency of every export. Options after the duration go to
# the program, for example a hostile simulator:
#   scripts/soak.sh 600 --latency 20 --byte-rate 2000 --drop-every 50
# KORVANE_SOAK_BUILD_DIR chooses the build folder (default build/soak).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/soak.sh DURATION_SECONDS [korvane_soak options]" >&2
    exit 2
fi
duration=$1
shift

build=${KORVANE_SOAK_BUILD_DIR:-build/soak}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target korvane_soak -j2
exec "$build/bench/korvane_soak" --seconds "$duration" "$@"
