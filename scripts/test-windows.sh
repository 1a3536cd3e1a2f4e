#!/usr/bin/env bash
# The Windows builds, checked from Linux: cross-builds the 64-bit (x64) and the 32-bit (x86)
# Korvane.dll, its import libraries and korvane.exe with MinGW-w64 into build/mingw and
# build/mingw32, checks each DLL's machine, export table, imports, PE security flags and
# VERSIONINFO, then runs the Wine tests of a native build against each: windows_dll_test (the
# DLL loaded by a host program, every scenario) and windows_programs_test (korvane.exe, and C
# programs linked through libkorvane.dll.a and Korvane.lib). The 32-bit Wine tests need a
# kernel that runs 32-bit programs; where it cannot, they are reported SKIPPED (set
# KORVANE_REQUIRE_WINE32=1 to fail instead).
#
#   scripts/test-windows.sh [native-build-folder]      default: build/default
#
# Installs the cross compiler, Wine and the native build's tools when they are missing
# (as root, on Debian 12). Stops at the first failing check with a non-zero status.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=${1:-build/default}
[[ $native = /* ]] || native=$root/$native

step() { printf '\n== %s\n' "$*"; }
source "$root/scripts/pe-checks.sh"

# cross_build <folder> <toolchain file>
cross_build() {
    local cross=$1 toolchain=$2 generator=()
    if [[ ! -f $cross/CMakeCache.txt ]] && command -v ninja >/dev/null; then
        generator=(-G Ninja)
    fi
    cmake -S "$root" -B "$cross" "${generator[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DKORVANE_WARNINGS_AS_ERRORS=ON
    cmake --build "$cross" -j2
    [[ -f $cross/src/Korvane.dll ]] || fail "cross build produced no src/Korvane.dll"
    pass "cross build: $cross/src/Korvane.dll"
}

# run_wine_tests <cross-build folder>
run_wine_tests() {
    local cross=$1
    rm -f "$cross/wine-tested.sha256"
    local copy
    for copy in tests/windows/Korvane.dll tools/korvane/Korvane.dll; do
        cmp -s "$cross/src/Korvane.dll" "$cross/$copy" ||
            fail "the Wine tests would load $cross/$copy, which differs from src/Korvane.dll"
    done
    if [[ ! -f $native/CMakeCache.txt ]]; then
        cmake -S "$root" -B "$native" -DKORVANE_WARNINGS_AS_ERRORS=ON -DKORVANE_BUILD_BENCH=OFF
    fi
    cmake --build "$native" --target windows_dll_test windows_programs_test -j2
    KORVANE_WINDOWS_BUILD=$cross "$native/tests/windows_dll_test" ||
        fail "windows_dll_test (logs of each host run: $cross/wine-logs)"
    KORVANE_WINDOWS_BUILD=$cross "$native/tests/windows_programs_test" ||
        fail "windows_programs_test (logs of each program run: $cross/wine-logs)"
    # scripts/package.sh ships only this DLL, and checks that by its hash.
    sha256sum <"$cross/src/Korvane.dll" | cut -d' ' -f1 >"$cross/wine-tested.sha256"
    pass "$(basename "$cross") under Wine: windows_dll_test, windows_programs_test"
}

start=$SECONDS
step "packages"
"$root/scripts/install-deps.sh" windows
for arch in x64 x86; do
    if [[ $arch = x64 ]]; then
        cross=$root/build/mingw toolchain=mingw-w64-x86_64.cmake
    else
        cross=$root/build/mingw32 toolchain=mingw-w64-i686.cmake
    fi
    begun=$SECONDS
    step "$arch: cross build ($cross)"
    cross_build "$cross" "$toolchain"
    dll=$cross/src/Korvane.dll
    step "$arch: PE checks of Korvane.dll"
    check_machine "$dll" "$arch"
    check_exports "$dll"
    check_imports "$dll"
    check_pe_flags "$dll" "$arch"
    check_version_info "$dll" "$(project_version "$cross")"
    step "$arch: tests under Wine (native build: $native)"
    if [[ $arch = x86 ]] && ! wine32_runs; then
        # Everything else about the x86 build is checked above and in the package stage.
        printf 'SKIPPED: the x86 Wine tests: %s\n' "$(wine32_problem)"
        [[ ${KORVANE_REQUIRE_WINE32:-0} = 1 ]] && fail "KORVANE_REQUIRE_WINE32=1 and no 32-bit Wine"
    else
        run_wine_tests "$cross"
    fi
    printf '%s done in %d s\n' "$arch" $((SECONDS - begun))
done
printf '\nAll Windows checks passed in %d s.\n' $((SECONDS - start))
