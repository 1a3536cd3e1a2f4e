#!/usr/bin/env bash
# The .NET binding against the simulated controller: builds libkorvane.so and korvane-sim,
# then Korvane.Net.dll (warnings as errors, with its XML documentation) and its NUnit tests
# with Mono, and runs them under Mono against the real library and simulator. Last, it
# compiles the two C# programs of the Windows README as a user would paste them: the one
# using Korvane.Net.dll and the one declaring the functions itself.
#
#   scripts/test-dotnet.sh [build-folder]      default: build/default
#
# Installs Mono's compiler and runtime and NUnit 2 when they are missing (as root).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build/default}
[[ $build = /* ]] || build=$root/$build
out=$build/dotnet
start=$SECONDS

"$root/scripts/install-deps.sh" dotnet

if [[ ! -f $build/CMakeCache.txt ]]; then
    if [[ $build = "$root/build/default" ]]; then
        (cd "$root" && cmake --preset default >/dev/null)
    else
        cmake -S "$root" -B "$build" -DKORVANE_BUILD_BENCH=OFF >/dev/null
    fi
fi
cmake --build "$build" --target korvane korvane-sim -j2

rm -rf "$out"
"$root/bindings/dotnet/build.sh" "$out"
mcs -nologo -target:library -langversion:6 -warn:4 -warnaserror+ -out:"$out/Korvane.Net.Tests.dll" \
    -r:"$out/Korvane.Net.dll" -pkg:nunit -r:Mono.Posix -r:System.Core \
    "$root"/bindings/dotnet/tests/*.cs

# The dllmap in Korvane.Net.dll.config names libkorvane.so.1, found through the library
# path as an installed one would be through the system's.
status=0
(
    cd "$out"
    LD_LIBRARY_PATH=$build/src${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} KORVANE_SIM=$build/sim/korvane-sim \
        nunit-console -nologo -noshadow -labels -result:"$out/TestResult.xml" Korvane.Net.Tests.dll
) || status=$?
if [[ -f $out/TestResult.xml ]]; then
    # One closing line in the plain form, whatever the runner printed.
    read -r total failed < <(sed -n 's/.*<test-results [^>]*total="\([0-9]*\)" errors="\([0-9]*\)" failures="\([0-9]*\)".*/\1 \2 \3/p' \
        "$out/TestResult.xml" | awk '{ print $1, $2 + $3 }')
    ((total > 0)) || { echo "FAIL: NUnit ran no tests" >&2; status=1; }
    printf 'dotnet: %d passed, %d failed\n' $((total - failed)) "$failed"
else
    echo "FAIL: NUnit wrote no result file" >&2
    status=1
fi
((status == 0)) || exit "$status"

# The README's C# programs, as pasted: the zip's README.txt is made from this file.
"$root/bindings/dotnet/check-readme.sh" "$root/packaging/windows/README.txt.in" \
    "$out/Korvane.Net.dll" "$out/readme"

# And the binding's program runs: against the simulator, with the binding beside it.
cp "$out/Korvane.Net.dll" "$out/Korvane.Net.dll.config" "$out/readme/"
sim_dir=$(mktemp -d)
"$build/sim/korvane-sim" --link "$sim_dir/port" >/dev/null 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$sim_dir"' EXIT
for _ in $(seq 100); do [[ -e $sim_dir/port ]] && break; sleep 0.1; done
LD_LIBRARY_PATH=$build/src${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
    mono "$out/readme/binding.exe" "$sim_dir/port" >"$out/readme/run.log" ||
    { cat "$out/readme/run.log"; echo "FAIL: the README's C# program failed" >&2; exit 1; }
grep -q '^X is at 5$' "$out/readme/run.log" ||
    { cat "$out/readme/run.log"; echo "FAIL: the README's C# program did not jog X by 5" >&2; exit 1; }
echo "PASS: the README's C# program runs against the simulator"
printf '\n.NET binding tests passed in %d s.\n' $((SECONDS - start))
