#!/usr/bin/env bash
# The Windows release: dist/korvane-<version>-windows.zip with the x64 and x86 builds of
# Korvane.dll, its import libraries for Visual Studio and MinGW, korvane.exe, the headers,
# the .def file, README.txt and the .NET binding (dotnet/Korvane.Net.dll with its XML
# documentation), then checks the zip:
#   - exactly the expected files;
#   - each Korvane.dll is byte for byte the one that passed the Wine tests of
#     scripts/test-windows.sh (which records its SHA-256 beside the build);
#   - PE facts of every binary: machine, imports of system DLLs only, DYNAMIC_BASE,
#     NX_COMPAT (HIGH_ENTROPY_VA on x64), VERSIONINFO with the project version;
#   - the C# programs of README.txt compile against the zip's Korvane.Net.dll.
#
#   scripts/package.sh
#
# Uses the cross builds build/mingw (x64) and build/mingw32 (x86), building them first if
# they are missing or out of date, exactly as scripts/test-windows.sh does.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/pe-checks.sh"
"$root/scripts/install-deps.sh" windows
"$root/scripts/install-deps.sh" dotnet

declare -A build=([x64]=$root/build/mingw [x86]=$root/build/mingw32)
declare -A toolchain=([x64]=mingw-w64-x86_64.cmake [x86]=mingw-w64-i686.cmake)

for arch in x64 x86; do
    cmake -S "$root" -B "${build[$arch]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/${toolchain[$arch]}" \
        -DCMAKE_BUILD_TYPE=Release -DKORVANE_WARNINGS_AS_ERRORS=ON >/dev/null
    cmake --build "${build[$arch]}" -j2 >/dev/null
done

version=$(project_version "${build[x64]}")
[[ $(project_version "${build[x86]}") = "$version" ]] || fail "the two builds carry different versions"
name=korvane-$version-windows
dist=$root/dist
stage=$dist/$name
zip=$dist/$name.zip

rm -rf "$stage" "$zip"
mkdir -p "$stage/include/korvane"
for arch in x64 x86; do
    b=${build[$arch]}
    mkdir -p "$stage/$arch"
    cp "$b/src/Korvane.dll" "$b/src/Korvane.lib" "$b/src/libkorvane.dll.a" \
        "$b/tools/korvane/korvane.exe" "$stage/$arch/"
done
cp "$root/include/korvane/korvane.h" "${build[x64]}/include/korvane/korvane_version.h" \
    "$stage/include/korvane/"
cp "$root/src/korvane.def" "$stage/Korvane.def"
"$root/bindings/dotnet/build.sh" "$root/build/dotnet" >/dev/null
mkdir -p "$stage/dotnet"
cp "$root/build/dotnet/Korvane.Net.dll" "$root/build/dotnet/Korvane.Net.xml" "$stage/dotnet/"
sed "s/@VERSION@/$version/g" "$root/packaging/windows/README.txt.in" |
    sed 's/$/\r/' >"$stage/README.txt" # CR LF: Notepad before Windows 10 shows nothing else
(cd "$stage" && find . -type f | sort | sed 's|^\./||' | zip -q -X "$zip" -@)
rm -rf "$stage"
pass "made $zip"

# ---- checks of the zip as a user receives it ----
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"

expected="Korvane.def
README.txt
include/korvane/korvane.h
include/korvane/korvane_version.h
dotnet/Korvane.Net.dll
dotnet/Korvane.Net.xml
x64/Korvane.dll
x64/Korvane.lib
x64/korvane.exe
x64/libkorvane.dll.a
x86/Korvane.dll
x86/Korvane.lib
x86/korvane.exe
x86/libkorvane.dll.a"
actual=$(cd "$unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [[ $actual != "$(LC_ALL=C sort <<<"$expected")" ]]; then
    diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual") || true
    fail "the files in $zip (< missing, > unexpected)"
fi
pass "files: $(echo $actual)"

for arch in x64 x86; do
    dll=$unpacked/$arch/Korvane.dll
    record=${build[$arch]}/wine-tested.sha256
    if [[ -f $record ]]; then
        [[ $(sha256sum <"$dll" | cut -d' ' -f1) = "$(cat "$record")" ]] ||
            fail "$arch/Korvane.dll is not the DLL that passed the Wine tests ($record)"
        pass "$arch/Korvane.dll is the DLL that passed the Wine tests ($(cut -c1-16 "$record")...)"
    elif [[ $arch = x86 && ${KORVANE_REQUIRE_WINE32:-0} != 1 ]]; then
        printf 'SKIPPED: x86/Korvane.dll has not run under Wine on this machine (no 32-bit Wine)\n'
    else
        fail "no record of Wine tests for $arch ($record): run scripts/test-windows.sh first"
    fi
    check_exports "$dll"
    # The DLL imports system DLLs only; the tool also the Korvane.dll beside it.
    check_imports "$dll"
    check_imports "$unpacked/$arch/korvane.exe" Korvane.dll
    for file in "$dll" "$unpacked/$arch/korvane.exe"; do
        check_machine "$file" "$arch"
        check_pe_flags "$file" "$arch"
        check_version_info "$file" "$version"
    done
done
grep -q "^#define KORVANE_VERSION_STRING \"$version\"" "$unpacked/include/korvane/korvane_version.h" ||
    fail "the packaged korvane_version.h does not carry $version"
"$root/bindings/dotnet/check-readme.sh" "$unpacked/README.txt" "$unpacked/dotnet/Korvane.Net.dll" \
    "$unpacked/readme-check" >/dev/null || fail "README.txt: a C# program does not compile"
pass "README.txt: both C# programs compile against dotnet/Korvane.Net.dll as pasted"
pass "package $name.zip ($(stat -c %s "$zip") bytes)"
