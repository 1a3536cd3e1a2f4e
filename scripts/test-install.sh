#!/usr/bin/env bash
# The library as a Linux user gets it, proved from outside the source tree:
#   1. `cmake --install` of a build into a scratch prefix: the file list, the versioned
#      library and its links, the pkg-config and CMake files, the manual pages;
#   2. the examples as installed in share/doc/korvane/examples, copied to a folder of their
#      own and built twice, as a CMake project with find_package(Korvane) and with plain
#      `cc $(pkg-config ...)`, warnings as errors;
#   3. every example run against the installed simulator, its output held against what the
#      installed tool reads from the simulator; bad input ends quickly with one line;
#   4. the tool's message for a port that exists but may not be opened, as user nobody;
#   5. the Debian package made with CPack: its file list, control fields, and a build
#      against its unpacked files.
#
#   scripts/test-install.sh [build-folder]      default: build/default
#
# Installs what it needs when run as root on Debian 12. Prints one PASS or FAIL line per
# check and ends with "N passed, N failed"; exits non-zero when any check failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build/default}
[[ $build = /* ]] || build=$root/$build
package_build=$root/build/package

"$root/scripts/install-deps.sh" install

version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
multiarch=$(gcc -print-multiarch)

# A world-readable scratch folder: the permission checks run programs from it as nobody.
work=$(mktemp -d /tmp/korvane-install.XXXXXX)
chmod 755 "$work"
prefix=$work/prefix
sims=()
cleanup() {
    local pid
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
step() { printf '\n== %s\n' "$*"; }
pass() {
    printf 'PASS: %s\n' "$*"
    passed=$((passed + 1))
}
fail() {
    printf 'FAIL: %s\n' "$*"
    failed=$((failed + 1))
}
# check DESCRIPTION COMMAND...: one check, passing when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# A step the rest depends on: stop with its log when it fails.
must() {
    local what=$1 log=$work/must.log
    shift
    if "$@" >"$log" 2>&1; then
        pass "$what"
    else
        cat "$log"
        fail "$what"
        printf '\n%d passed, %d failed\n' "$passed" "$failed"
        exit 1
    fi
}
same() { [[ $1 == "$2" ]] || { printf '  expected: %s\n  actual:   %s\n' "$2" "$1"; false; }; }
contains() { [[ $1 == *"$2"* ]] || { printf '  no "%s" in:\n%s\n' "$2" "$1"; false; }; }
lines() { if [[ -z $1 ]]; then echo 0; else printf '%s\n' "$1" | wc -l; fi; }

# run NAME LIMIT COMMAND...: runs with a time limit; sets out, err, status, seconds.
run() {
    local name=$1 limit=$2 started
    shift 2
    started=$(date +%s%N)
    status=0
    timeout "$limit" "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    seconds=$((($(date +%s%N) - started) / 1000000000))
    out=$(<"$work/$name.out")
    err=$(<"$work/$name.err")
}

# start_sim NAME OPTIONS...: the installed simulator, its port linked at $work/NAME.
start_sim() {
    local name=$1
    shift
    "$prefix/bin/korvane-sim" --link "$work/$name" "$@" >"$work/$name.sim" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do
        [[ -L $work/$name ]] && return 0
        sleep 0.05
    done
    echo "korvane-sim did not start: $(cat "$work/$name.sim")"
    return 1
}

# What the installed tool reads from the simulator: the state word, x, and all positions.
tool() { "$prefix/bin/korvane" "$@"; }
tool_state() { tool status --port "$1" --json | sed -n 's/.*"state":{"name":"\([A-Za-z]*\)".*/\1/p'; }
tool_x() { tool position --port "$1" --json | sed -n 's/.*"positions":\[\([^,]*\),.*/\1/p'; }
tool_positions() { tool status --port "$1" | sed -n 's/^positions *\(x .*\)  (.*/\1/p'; }
plus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a + b }'; }

# The files an installation holds, relative to its prefix, one a line, sorted.
expected_files() {
    local libdir=$1 config=$2
    {
        printf '%s\n' bin/korvane bin/korvane-sim include/korvane/korvane.h \
            include/korvane/korvane_version.h \
            "$libdir/cmake/Korvane/KorvaneConfig.cmake" \
            "$libdir/cmake/Korvane/KorvaneConfigVersion.cmake" \
            "$libdir/cmake/Korvane/KorvaneTargets-$config.cmake" \
            "$libdir/cmake/Korvane/KorvaneTargets.cmake" \
            "$libdir/libkorvane.so" "$libdir/libkorvane.so.1" "$libdir/libkorvane.so.$version" \
            "$libdir/pkgconfig/korvane.pc" \
            share/man/man1/korvane-sim.1.gz share/man/man1/korvane.1.gz
        # Every example of the tree, with the CMakeLists.txt that builds them.
        (cd "$root/examples" && ls CMakeLists.txt ./*.c) | sed 's|^\(\./\)\?|share/doc/korvane/examples/|'
    } | sort
}

# The tree's examples and the installed ones: the same files, byte for byte.
same_examples() {
    diff -r "$root/examples" "$1" >/dev/null || { diff -r "$root/examples" "$1" | head; false; }
}

# needs_versioned_library PROGRAM: it asks the loader for the SONAME, not libkorvane.so.
needs_versioned_library() {
    local needed
    needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(libkorvane[^]]*\)\].*/\1/p')
    same "$needed" libkorvane.so.1
}

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# ---------------------------------------------------------------------------------------
step "Install into a scratch prefix"
# A folder configured before keeps its settings.
must "configure $build" cmake -S "$root" -B "$build"
must "build the library, the tool, the simulator and the manual pages" \
    nice -n 10 cmake --build "$build" -j2 --target korvane korvane_cli korvane-sim \
    korvane_manual_pages
must "cmake --install $build --prefix $prefix" cmake --install "$build" --prefix "$prefix"

libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
config=$(cache_value CMAKE_BUILD_TYPE | tr '[:upper:]' '[:lower:]')
check "installed files are exactly the expected ones" \
    same "$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)" \
    "$(expected_files "$libdir" "$config")"
check "share/doc/korvane/examples holds the tree's examples unchanged" \
    same_examples "$prefix/share/doc/korvane/examples"
check "libkorvane.so -> libkorvane.so.1 -> libkorvane.so.$version" \
    same "$(readlink "$prefix/$libdir/libkorvane.so") $(readlink "$prefix/$libdir/libkorvane.so.1")" \
    "libkorvane.so.1 libkorvane.so.$version"
check "SONAME libkorvane.so.1" \
    same "$(readelf -d "$prefix/$libdir/libkorvane.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" \
    libkorvane.so.1
check "the installed tool loads the installed library" \
    contains "$(ldd "$prefix/bin/korvane")" "$prefix/bin/../$libdir/libkorvane.so.1"
check "the installed header is the source tree's" cmp -s "$root/include/korvane/korvane.h" \
    "$prefix/include/korvane/korvane.h"
check "the installed version header carries $version" \
    grep -q "^#define KORVANE_VERSION_STRING \"$version\"\$" "$prefix/include/korvane/korvane_version.h"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
check "pkg-config --modversion korvane is $version" same "$(pkg-config --modversion korvane)" "$version"
check "pkg-config --cflags --libs korvane point into the prefix" \
    same "$(pkg-config --cflags --libs korvane | xargs)" "-I$prefix/include -L$prefix/$libdir -lkorvane"

for page in korvane korvane-sim; do
    run "groff-$page" 30 sh -c "zcat '$prefix/share/man/man1/$page.1.gz' | groff -man -ww -z"
    check "$page(1) formats without warnings" same "$status$err" 0
done
run manual-pages 60 python3 "$root/docs/check-manual-pages.py" "$prefix/bin/korvane" \
    "$prefix/bin/korvane-sim" "$prefix/share/man/man1/korvane.1.gz" \
    "$prefix/share/man/man1/korvane-sim.1.gz"
check "installed manual pages match the installed programs' --help" same "$status" 0
[[ $status -eq 0 ]] || printf '%s\n' "$out"

# ---------------------------------------------------------------------------------------
step "The CMake package from a project of its own"
# find_package(Korvane VERSION) in an empty project: "found <version> <include dirs>".
mkdir -p "$work/probe"
cat >"$work/probe/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(probe LANGUAGES NONE)
find_package(Korvane ${REQUEST} QUIET)
if(Korvane_FOUND)
    get_target_property(includes Korvane::korvane INTERFACE_INCLUDE_DIRECTORIES)
    message(STATUS "probe: found ${Korvane_VERSION} ${includes}")
else()
    message(STATUS "probe: not found")
endif()
EOF
probe() {
    rm -rf "$work/probe/build"
    cmake -S "$work/probe" -B "$work/probe/build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DREQUEST="$1" 2>&1 | sed -n 's/^-- probe: //p'
}
major=${version%%.*}
check "find_package(Korvane $major.0) finds $version with include dir $prefix/include" \
    same "$(probe "$major.0")" "found $version $prefix/include"
check "find_package(Korvane $version) finds it" same "$(probe "$version")" \
    "found $version $prefix/include"
check "find_package(Korvane $((major + 1)).0) does not (SameMajorVersion)" \
    same "$(probe "$((major + 1)).0")" "not found"
check "find_package(Korvane $major.99) does not (newer than installed)" \
    same "$(probe "$major.99")" "not found"

# The examples as installed, copied out so that the build leaves nothing in the prefix: what
# a user finds in the documentation folder must build on its own.
cp -r "$prefix/share/doc/korvane/examples" "$work/examples"
must "examples build with find_package(Korvane) (C99, -Wall -Wextra -pedantic -Werror)" \
    sh -c "cmake -S '$work/examples' -B '$work/cmake-build' -DCMAKE_PREFIX_PATH='$prefix' \
               -DCMAKE_C_FLAGS=-Werror && cmake --build '$work/cmake-build' -j2"
mkdir -p "$work/pc-build"
build_with_pkg_config() {
    local example
    for example in status jog velocity homing; do
        # shellcheck disable=SC2046 # the flags are words
        cc -std=c99 -Wall -Wextra -pedantic -Werror "$work/examples/$example.c" \
            $(pkg-config --cflags --libs korvane) \
            -Wl,-rpath,"$(pkg-config --variable=libdir korvane)" -o "$work/pc-build/$example" ||
            return 1
    done
}
must "examples build with cc \$(pkg-config --cflags --libs korvane), same warnings" \
    build_with_pkg_config
for example in status jog velocity homing; do
    check "$example (CMake) needs libkorvane.so.1" needs_versioned_library "$work/cmake-build/$example"
    check "$example (pkg-config) needs libkorvane.so.1" needs_versioned_library "$work/pc-build/$example"
done

# ---------------------------------------------------------------------------------------
step "The examples against the installed simulator"
uuid="install-test-$RANDOM-$RANDOM"
must "korvane-sim starts" start_sim port --uuid "$uuid" --homing-ms 300
port=$work/port

run_examples() {
    local how=$1 dir=$2 before after expected final

    run "$how-status" 20 "$dir/status" "$port"
    check "$how status: exit 0, nothing on stderr" same "$status:$err" "0:"
    # Korvane_GetVersion's text must follow the project version that names the packages.
    check "$how status: Korvane_GetVersion is the project version $version" \
        contains "$out" "library   $version"
    check "$how status: state Idle" contains "$out" "state     Idle"
    check "$how status: positions as the tool reads them" \
        contains "$out" "position  $(tool_positions "$port")  (6 reported)"
    check "$how status: the simulator's UUID" contains "$out" "uuid      $uuid"

    before=$(tool_x "$port")
    expected=$(plus "$before" 5)
    run "$how-jog" 30 "$dir/jog" "$port"
    check "$how jog: exit 0, nothing on stderr" same "$status:$err" "0:"
    check "$how jog: x from $before to $expected" contains "$out" "done: x at $expected, Idle"
    check "$how jog: the tool finds x at $expected, Idle" \
        same "$(tool_x "$port") $(tool_state "$port")" "$expected Idle"

    before=$(tool_x "$port")
    run "$how-velocity" 30 "$dir/velocity" "$port"
    check "$how velocity: exit 0, nothing on stderr" same "$status:$err" "0:"
    # x rises at +600 and falls at -300; the last line is where it stopped.
    # shellcheck disable=SC2016 # an awk program
    check "$how velocity: x rises, then falls after the rate change" \
        awk -v start="$before" '
            /^velocity x at -300/ { second = 1; next }
            /^ +[0-9.]+ s / { x = $NF + 0; if (!second) top = x; else { if (!seen) first = x; seen = 1; last = x } }
            END { exit !(top > start + 2 && seen && last < first - 1) }' "$work/$how-velocity.out"
    final=$(sed -n 's/^stopped: Idle, x at //p' <<<"$out")
    check "$how velocity: the tool finds x where the example stopped, Idle" \
        same "$(tool_x "$port") $(tool_state "$port")" "$final Idle"
    sleep 0.5
    check "$how velocity: nothing moves after the stop" same "$(tool_x "$port")" "$final"

    run "$how-homing" 40 "$dir/homing" "$port"
    check "$how homing: exit 0, nothing on stderr" same "$status:$err" "0:"
    check "$how homing: positions as the tool reads them" \
        contains "$out" "homed: Idle, $(tool_positions "$port")"

    tool estop --port "$port" >/dev/null
    after=$(tool_state "$port")
    run "$how-homing-alarm" 40 "$dir/homing" "$port"
    check "$how homing: recovers from Alarm ($after after an emergency stop)" \
        contains "$status $after $out" "0 Alarm the machine is in Alarm: homing clears it"
    check "$how homing: Idle after recovering" same "$(tool_state "$port")" Idle
}
run_examples cmake "$work/cmake-build"
run_examples pkg-config "$work/pc-build"

# Ctrl-C while velocity mode runs: the example stops the axis on its way out.
"$work/cmake-build/velocity" "$port" >"$work/sigint.out" 2>"$work/sigint.err" &
velocity_pid=$!
for _ in $(seq 100); do
    grep -q ' Jog ' "$work/sigint.out" && break
    sleep 0.05
done
kill -INT "$velocity_pid"
status=0
wait "$velocity_pid" || status=$?
stopped_at=$(tool_x "$port")
check "velocity: Ctrl-C while moving ends it with exit 1 and one line" \
    same "$status $(<"$work/sigint.err")" "1 velocity: stopped by a signal"
check "velocity: after Ctrl-C the machine is Idle where the example says it stopped" \
    same "$(tool_state "$port") $(sed -n 's/^stopped: Idle, x at //p' "$work/sigint.out")" \
    "Idle $stopped_at"
sleep 0.5
check "velocity: nothing moves after Ctrl-C" same "$(tool_x "$port")" "$stopped_at"

must "korvane-sim --homing-fails starts" start_sim failing --homing-fails --homing-ms 300
run homing-fails 40 "$work/cmake-build/homing" "$work/failing"
# The message quotes the simulator's alarm line, with its meaning in brackets after it.
check "homing that ends in Alarm: exit 1 with the library's message" \
    same "$status ${err% (*}" \
    "1 homing: the cycle did not complete (result 7): Homing failed: alarm state: ALARM:6"

# ---------------------------------------------------------------------------------------
step "Bad input: one line on stderr, a non-zero exit, no hang"
must "korvane-sim --silent starts" start_sim silent --silent
for example in status jog velocity homing; do
    program=$work/cmake-build/$example
    run "$example-usage" 10 "$program"
    check "$example without a port: exit 2, one line of usage" \
        same "$status $(lines "$err") ${out:-nothing}" "2 1 nothing"
    run "$example-extra" 10 "$program" "$port" extra
    check "$example with a second argument: exit 2, one line" same "$status $(lines "$err")" "2 1"
    run "$example-missing" 10 "$program" /dev/korvane-no-such-port
    check "$example on a missing port: exit 1, one line" \
        same "$status $(lines "$err") ${err%%: no such port*}" \
        "1 1 $example: Port open failed: /dev/korvane-no-such-port"
    run "$example-silent" 20 "$program" "$work/silent"
    check "$example where no controller answers: exit 1 after ${seconds}s, one line" \
        same "$status $(lines "$err") $([[ $seconds -le 10 ]] && echo prompt) ${err%% within*}" \
        "1 1 prompt $example: no controller answered on $work/silent"
done

# ---------------------------------------------------------------------------------------
step "A serial port the user may not open"
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: needs root to run programs as nobody and to change the port's group"
else
    # As on a Debian machine: the port belongs to group dialout, mode 0660.
    device=$(readlink "$port")
    chgrp dialout "$device"
    chmod 0660 "$device"
    as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    run denied 20 "${as_nobody[@]}" "$prefix/bin/korvane" status --port "$device"
    check "korvane as nobody: exit 3" same "$status" 3
    check "korvane as nobody: says permission denied" \
        contains "$err" "korvane: cannot open port $device: permission denied"
    check "korvane as nobody: says how to join the group" \
        contains "$err" "is open to group 'dialout', which you are not in: run \`sudo usermod -aG dialout \$USER\`"
    run denied-example 20 "${as_nobody[@]}" "$work/cmake-build/status" "$device"
    check "status example as nobody: exit 1, one line naming permission and the group" \
        same "$status $(lines "$err") $([[ $err == *"permission denied; join the group 'dialout'"* ]] && echo named)" "1 1 named"
    run allowed 20 setpriv --reuid=nobody --regid=nogroup --groups=dialout -- \
        "$prefix/bin/korvane" status --port "$device"
    check "korvane as nobody in group dialout: the advice works (exit 0, Idle)" \
        contains "$status $out" "0 state      Idle"
fi

# ---------------------------------------------------------------------------------------
step "Debian package"
must "configure $package_build for /usr" cmake -S "$root" -B "$package_build" \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF
must "build for the package" nice -n 10 cmake --build "$package_build" -j2
rm -f "$package_build"/*.deb
must "cpack -G DEB" sh -c "cd '$package_build' && cpack -G DEB"
deb=$package_build/korvane_${version}_$(dpkg --print-architecture).deb
must "package file $(basename "$deb")" test -f "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
check "control: Package korvane, Version $version, Architecture amd64" \
    same "$(field Package) $(field Version) $(field Architecture)" "korvane $version amd64"
check "control: Depends on libc6 and libstdc++6" \
    same "$(field Depends | grep -o -E 'libc6 \(>= |libstdc\+\+6 \(>= ' | tr -d '\n')" \
    "libc6 (>= libstdc++6 (>= "
check "control: Maintainer, Section, Description" \
    same "$([[ -n $(field Maintainer) ]] && echo m) $(field Section) $(field Description | head -n 1)" \
    "m libs host library and tools for Korvane motion controllers"
check "control: shlibs for libkorvane.so.1" \
    same "$(dpkg-deb -I "$deb" shlibs)" "libkorvane 1 korvane (>= $version)"
check "dpkg-deb -c: exactly the expected files under /usr" \
    same "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | sort)" \
    "$(expected_files "lib/$multiarch" relwithdebinfo)"
check "dpkg-deb -c: the library links" \
    contains "$(dpkg-deb -c "$deb")" "./usr/lib/$multiarch/libkorvane.so.1 -> libkorvane.so.$version"

unpacked=$work/deb
dpkg-deb -x "$deb" "$unpacked"
check "packaged korvane.pc names /usr" \
    contains "$(cat "$unpacked/usr/lib/$multiarch/pkgconfig/korvane.pc")" $'prefix=/usr\nlibdir=${prefix}/lib/'"$multiarch"
check "packaged tool has no library search path of its own" \
    same "$(readelf -d "$unpacked/usr/bin/korvane" | grep -c -E 'RPATH|RUNPATH')" 0
must "status example builds against the unpacked package's CMake files" \
    sh -c "cmake -S '$work/examples' -B '$work/deb-build' -DCMAKE_PREFIX_PATH='$unpacked/usr' \
               -DCMAKE_C_FLAGS=-Werror && cmake --build '$work/deb-build' --target status"
run deb-status 20 env LD_LIBRARY_PATH="$unpacked/usr/lib/$multiarch" "$work/deb-build/status" \
    "$port"
check "and runs against the simulator with the packaged library" \
    contains "$status $out" "0 library   $version"

printf '\n%d passed, %d failed\n' "$passed" "$failed"
[[ $failed -eq 0 ]]
