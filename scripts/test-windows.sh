#!/usr/bin/env bash
# The Windows build of Korvane.dll, checked from Linux: cross-builds it with MinGW-w64 into
# build/mingw, checks its export table, its imports and its PE security flags, then runs the
# Wine tests (windows_dll_test) of a native build against it.
#
#   scripts/test-windows.sh [native-build-folder]      default: build/default
#
# Installs the cross compiler, Wine and the native build's tools when they are missing
# (as root, on Debian 12). Stops at the first failing check with a non-zero status.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=${1:-build/default}
[[ $native = /* ]] || native=$root/$native
cross=$root/build/mingw
exports_list=$root/tests/exports/korvane_exports.txt
objdump=x86_64-w64-mingw32-objdump

step() { printf '\n== %s\n' "$*"; }
pass() { printf 'PASS: %s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

cross_build() {
    local generator=()
    if [[ ! -f $cross/CMakeCache.txt ]] && command -v ninja >/dev/null; then
        generator=(-G Ninja)
    fi
    cmake -S "$root" -B "$cross" "${generator[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DKORVANE_WARNINGS_AS_ERRORS=ON
    cmake --build "$cross" -j2
    [[ -f $cross/src/Korvane.dll ]] || fail "cross build produced no src/Korvane.dll"
    pass "cross build: $cross/src/Korvane.dll"
}

# The names in the DLL's export name table, one a line, sorted.
dll_exports() {
    "$objdump" -p "$1" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
        table && /^[[:space:]]*$/ { table = 0 }
        table && match($0, /\][[:space:]]+[^[:space:]]+$/) {
            name = substr($0, RSTART + 1); gsub(/[[:space:]]/, "", name); print name
        }' | sort
}

check_exports() {
    local dll=$1 expected actual
    expected=$(grep -E '^[A-Za-z_][A-Za-z0-9_]*$' "$exports_list" | sort)
    actual=$(dll_exports "$dll")
    if [[ $actual != "$expected" ]]; then
        echo "export table differs from $exports_list (< missing, > not in the list):"
        diff <(echo "$expected") <(echo "$actual") || true
        fail "export table of $dll"
    fi
    pass "exports: exactly the $(echo "$expected" | wc -l) undecorated names of $(basename "$exports_list")"
}

# Only DLLs every Windows installation has: a static runtime, no MinGW runtime DLLs.
check_imports() {
    local dll=$1 imports name bad=()
    imports=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [[ -n $imports ]] || fail "no imports found in $dll (objdump output not understood)"
    while read -r name; do
        shopt -s nocasematch
        if [[ ! $name =~ ^(kernel32|msvcrt|ntdll|advapi32|user32|ws2_32|bcrypt|ucrtbase|api-ms-win-.*)\.dll$ ]]; then
            bad+=("$name")
        fi
        shopt -u nocasematch
    done <<<"$imports"
    ((${#bad[@]} == 0)) || fail "non-system imports in $dll: ${bad[*]}"
    pass "imports: system DLLs only ($(echo $imports))"
}

# DllCharacteristics bits: 0x0020 HIGH_ENTROPY_VA, 0x0040 DYNAMIC_BASE, 0x0100 NX_COMPAT.
check_pe_flags() {
    local dll=$1 hex value flag bit missing=()
    hex=$("$objdump" -p "$dll" | awk '$1 == "DllCharacteristics" && !seen++ { print $2 }')
    [[ $hex =~ ^[0-9a-fA-F]+$ ]] || fail "no DllCharacteristics in $dll"
    value=$((16#$hex))
    for flag in HIGH_ENTROPY_VA:0x20 DYNAMIC_BASE:0x40 NX_COMPAT:0x100; do
        bit=${flag#*:}
        ((value & bit)) || missing+=("${flag%%:*}")
    done
    ((${#missing[@]} == 0)) || fail "DllCharacteristics 0x$hex lacks ${missing[*]}"
    pass "PE header: DllCharacteristics 0x$hex has DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT"
}

run_wine_tests() {
    if [[ ! -f $native/CMakeCache.txt ]]; then
        cmake -S "$root" -B "$native" -DKORVANE_WARNINGS_AS_ERRORS=ON -DKORVANE_BUILD_BENCH=OFF
    fi
    cmake --build "$native" --target windows_dll_test -j2
    KORVANE_WINDOWS_BUILD=$cross "$native/tests/windows_dll_test" ||
        fail "windows_dll_test (logs of each host run: $cross/wine-logs)"
    pass "Korvane.dll under Wine: windows_dll_test"
}

start=$SECONDS
step "packages"
"$root/scripts/install-deps.sh" windows
step "cross build ($cross)"
cross_build
dll=$cross/src/Korvane.dll
step "export table"
check_exports "$dll"
step "imports"
check_imports "$dll"
step "PE header"
check_pe_flags "$dll"
step "tests under Wine (native build: $native)"
run_wine_tests
printf '\nAll Windows checks passed in %d s.\n' $((SECONDS - start))
