#!/usr/bin/env bash
# Runs every test: the native suite, a stress run of the stop and reply paths, the pendant in
# a real terminal, the same suite under AddressSanitizer and UndefinedBehaviorSanitizer (the
# pendant too), the threaded parts under ThreadSanitizer, the PE and Wine checks of the 64- and
# 32-bit Korvane.dll and korvane.exe, the Windows release zip, the installed library proved
# from outside the tree, the Python package and the .NET binding against the simulator, and
# bounded fuzzing runs.
# Installs what it needs first.
#   scripts/test.sh            everything (CI runs this)
#   scripts/test.sh --quick    the native suite and the stress run only, for a change to the
#                              library or the simulator: the first few minutes of the above
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
case "${1:-}" in
    "") ;;
    --quick) quick=true ;;
    *)
        echo "usage: scripts/test.sh [--quick]" >&2
        exit 2
        ;;
esac

step() { printf '\n==> %s\n' "$*"; }

step "Dependencies"
if $quick; then
    scripts/install-deps.sh quick
else
    scripts/install-deps.sh test
fi

step "Native build and tests"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

step "Safety stress: stops, refusals, reversals and stale reports against real-controller behaviour"
build/default/tests/korvane_safety_stress

if $quick; then
    step "Quick subset passed (scripts/test.sh without --quick runs every stage)"
    exit 0
fi

step "Pendant: korvane pendant in a tmux terminal against the simulator"
scripts/test-pendant.sh build/default

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    scripts/test-pendant.sh build/asan

step "ThreadSanitizer: connections, velocity mode, concurrency and stops during other calls"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset tsan -L '^(connection_test|velocity_mode_test|motion_commands_test|concurrency_test|real_controller_stops_test)$'

step "Windows: 64- and 32-bit Korvane.dll and korvane.exe cross-built and run under Wine"
scripts/test-windows.sh build/default

step "Windows release: dist/korvane-<version>-windows.zip built and checked"
scripts/package.sh

step "Installed: cmake --install, find_package, pkg-config, examples, Debian package"
scripts/test-install.sh build/default

step "Python package against the simulator"
scripts/test-python.sh build/default

step ".NET binding under Mono against the simulator, and the README's C# programs"
scripts/test-dotnet.sh build/default

if [ -x scripts/fuzz.sh ]; then
    step "Fuzzing"
    scripts/fuzz.sh
fi

step "All test stages passed"
