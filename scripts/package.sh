#!/usr/bin/env bash
# The Windows release: dist/korvane-<version>-windows.zip with the x64 and x86 builds of
# Korvane.dll, its import libraries for Visual Studio and MinGW, the .def file each was made
# from (decorated on x86), korvane.exe, the headers, README.txt and the .NET binding
# (dotnet/Korvane.Net.dll with its XML documentation). The DLL and the exe are stripped;
# their debug data goes to <arch>/debug/<name>.debug, which a .gnu_debuglink section in each
# names. Then checks the zip:
#   - exactly the expected files;
#   - each Korvane.dll is the one that passed the Wine tests of scripts/test-windows.sh
#     (which records its SHA-256 beside the build), stripped: stripping that DLL again gives
#     the zipped one byte for byte;
#   - the debug link of every binary names its .debug file and carries that file's CRC, the
#     binary has no debug sections left and the .debug file has them;
#   - PE facts of every binary: machine, imports of system DLLs only, DYNAMIC_BASE,
#     NX_COMPAT (HIGH_ENTROPY_VA on x64), VERSIONINFO with the project version;
#   - the C# programs of README.txt compile against the zip's Korvane.Net.dll;
#   - under Wine (x86 only where 32-bit Wine runs, see KORVANE_REQUIRE_WINE32): the zipped
#     korvane.exe prints the version, and a C program linked through an import library that
#     dlltool made from the zipped .def calls every export of the zipped DLL.
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
declare -A triple=([x64]=x86_64-w64-mingw32 [x86]=i686-w64-mingw32)
# The export list of each import library: plain names on x64; on x86 the __stdcall names
# with their argument sizes (Korvane_Connect@12), which import libraries map onto the DLL's
# plain names (see cmake/KorvaneImportLibraries.cmake).
declare -A def=([x64]=$root/src/korvane.def [x86]=$root/src/korvane_x86.def)
binaries=(Korvane.dll korvane.exe)

# split_debug_data ARCH FOLDER NAME: FOLDER/NAME loses its debug data and the symbols
# nothing needs at run time; the debug data goes to FOLDER/debug/NAME.debug, and a
# .gnu_debuglink section in NAME names that file with its CRC, for gdb and other tools.
# objcopy stamps the PE header with the current time unless SOURCE_DATE_EPOCH says
# otherwise: the binary's own link time keeps the result the same each time.
split_debug_data() {
    local arch=$1 folder=$2 name=$3 objcopy=${triple[$1]}-objcopy linked
    linked=$(date -d "$("$objdump" -p "$folder/$name" |
        awk -F'\t+' '$1 == "Time/Date" { print $2; exit }')" +%s) ||
        fail "no link time in $folder/$name"
    mkdir -p "$folder/debug"
    SOURCE_DATE_EPOCH=$linked "$objcopy" --only-keep-debug "$folder/$name" "$folder/debug/$name.debug"
    SOURCE_DATE_EPOCH=$linked "$objcopy" --strip-debug --strip-unneeded \
        --add-gnu-debuglink="$folder/debug/$name.debug" "$folder/$name"
}

# check_debug_link FILE DEBUG_FILE: FILE has no debug sections and a .gnu_debuglink that
# names DEBUG_FILE and holds its CRC-32; DEBUG_FILE has the DWARF data.
check_debug_link() {
    local file=$1 debug=$2 scratch name crc wanted
    ! "$objdump" -h "$file" | grep -q ' \.debug_' || fail "$file still carries debug sections"
    "$objdump" -h "$debug" | grep -q ' \.debug_info ' || fail "$debug holds no .debug_info"
    scratch=$(mktemp -d)
    x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$scratch/link" "$file" \
        "$scratch/copy" || fail "no .gnu_debuglink section in $file"
    # The file name, a 0 and padding to four bytes, then the CRC as a 32-bit little-endian word.
    name=$(head -c 256 "$scratch/link" | tr '\0' '\n' | head -n 1)
    crc=$(tail -c +$(((${#name} + 4) / 4 * 4 + 1)) "$scratch/link" | head -c 4 | od -An -tx4 |
        tr -d ' ')
    rm -rf "$scratch"
    [[ $name = "$(basename "$debug")" ]] || fail "the debug link of $file names '$name'"
    # gzip's trailer holds the same CRC-32 of its input, also little-endian.
    wanted=$(gzip -c -1 <"$debug" | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ')
    [[ $crc = "$wanted" ]] || fail "the debug link of $file has CRC $crc, $debug has $wanted"
    pass "debug link of $(basename "$file"): debug/$name (CRC $crc)"
}

# The Korvane symbols an import library defines (_Korvane_Connect@12, __imp_Korvane_Connect).
korvane_symbols() {
    x86_64-w64-mingw32-nm "$1" | awk '$2 ~ /^[TI]$/ && $3 ~ /Korvane_[A-Z]/ { print $3 }' | sort -u
}

# check_windows_version FILE: the PE header asks for no newer Windows than README.txt names
# (Vista, 6.0, which its imports need; see README.txt for how that was found).
check_windows_version() {
    local file=$1 major minor
    major=$("$objdump" -p "$file" | awk '$1 == "MajorSubsystemVersion" { print $2 }')
    minor=$("$objdump" -p "$file" | awk '$1 == "MinorSubsystemVersion" { print $2 }')
    [[ $major =~ ^[0-9]+$ && $minor =~ ^[0-9]+$ ]] || fail "no subsystem version in $file"
    ((major * 100 + minor <= 600)) || fail "$file asks for Windows $major.$minor, README.txt says 6.0"
    pass "subsystem version of $(basename "$file"): $major.$minor (no newer than Vista)"
}

# wine_run ARCH FOLDER PROGRAM [ARGS...]: runs a Windows program of the unpacked zip in a
# Wine prefix of the package checks, made on first use.
wine_prefix=$root/build/package-wine
wine_run() {
    local arch=$1 folder=$2 program=$3
    shift 3
    (cd "$folder" && WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        DISPLAY='' timeout 120 wine "./$program" "$@")
}

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
    cp "${def[$arch]}" "$stage/$arch/Korvane.def"
    for binary in "${binaries[@]}"; do
        before=$(stat -c %s "$stage/$arch/$binary")
        split_debug_data "$arch" "$stage/$arch" "$binary"
        printf '%s/%s: %d bytes, %d stripped; debug/%s.debug: %d bytes\n' "$arch" "$binary" \
            "$before" "$(stat -c %s "$stage/$arch/$binary")" "$binary" \
            "$(stat -c %s "$stage/$arch/debug/$binary.debug")"
        (($(stat -c %s "$stage/$arch/$binary") < before)) || fail "stripping did not shrink $arch/$binary"
    done
done
cp "$root/include/korvane/korvane.h" "${build[x64]}/include/korvane/korvane_version.h" \
    "$stage/include/korvane/"
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

expected="README.txt
include/korvane/korvane.h
include/korvane/korvane_version.h
dotnet/Korvane.Net.dll
dotnet/Korvane.Net.xml"
for arch in x64 x86; do
    for file in Korvane.def Korvane.dll Korvane.lib korvane.exe libkorvane.dll.a \
        debug/Korvane.dll.debug debug/korvane.exe.debug; do
        expected+=$'\n'"$arch/$file"
    done
done
actual=$(cd "$unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [[ $actual != "$(LC_ALL=C sort <<<"$expected")" ]]; then
    diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual") || true
    fail "the files in $zip (< missing, > unexpected)"
fi
pass "files: $(echo $actual)"

wine32_ok=1
wine32_runs || wine32_ok=0
for arch in x64 x86; do
    dir=$unpacked/$arch
    dll=$dir/Korvane.dll
    record=${build[$arch]}/wine-tested.sha256
    if [[ -f $record ]]; then
        [[ $(sha256sum <"${build[$arch]}/src/Korvane.dll" | cut -d' ' -f1) = "$(cat "$record")" ]] ||
            fail "${build[$arch]}/src/Korvane.dll is not the DLL that passed the Wine tests ($record)"
        again=$(mktemp -d)
        cp "${build[$arch]}/src/Korvane.dll" "$again/"
        split_debug_data "$arch" "$again" Korvane.dll
        cmp -s "$again/Korvane.dll" "$dll" ||
            fail "$arch/Korvane.dll is not the DLL that passed the Wine tests, stripped"
        rm -rf "$again"
        pass "$arch/Korvane.dll is the DLL that passed the Wine tests ($(cut -c1-16 "$record")...), stripped"
    elif [[ $arch = x86 && ${KORVANE_REQUIRE_WINE32:-0} != 1 ]]; then
        printf 'SKIPPED: x86/Korvane.dll has not run under Wine on this machine (no 32-bit Wine)\n'
    else
        fail "no record of Wine tests for $arch ($record): run scripts/test-windows.sh first"
    fi
    check_exports "$dll"
    # The DLL imports system DLLs only; the tool also the Korvane.dll beside it.
    check_imports "$dll"
    check_imports "$dir/korvane.exe" Korvane.dll
    for binary in "${binaries[@]}"; do
        check_machine "$dir/$binary" "$arch"
        check_pe_flags "$dir/$binary" "$arch"
        check_version_info "$dir/$binary" "$version"
        check_debug_link "$dir/$binary" "$dir/debug/$binary.debug"
        check_windows_version "$dir/$binary"
    done

    # What a user of another toolchain does: an import library from the zipped .def (-k: the
    # imported names without the @N that x86 symbols carry), a program linked through it.
    linked=$(mktemp -d)
    "${triple[$arch]}-dlltool" -k -d "$dir/Korvane.def" -D Korvane.dll -l "$linked/libtest.a"
    "${triple[$arch]}-gcc" -std=c99 -Wall -Wextra -Werror -I"$unpacked/include" \
        "$root/tests/windows/package_link_check.c" "$linked/libtest.a" \
        -o "$dir/package_link_check.exe" ||
        fail "a program does not link through an import library made from $arch/Korvane.def"
    # The zipped MinGW import library defines the same Korvane symbols as the one just made:
    # it was made from this .def.
    if ! diff <(korvane_symbols "$dir/libkorvane.dll.a") <(korvane_symbols "$linked/libtest.a"); then
        fail "$arch/libkorvane.dll.a defines other symbols than an import library of $arch/Korvane.def"
    fi
    rm -rf "$linked"
    pass "$arch: libkorvane.dll.a has the $(korvane_symbols "$dir/libkorvane.dll.a" | wc -l) symbols of $arch/Korvane.def ($(korvane_symbols "$dir/libkorvane.dll.a" | grep -m1 GetVersion), ...)"
    pass "$arch: a program calling every export links through dlltool -k -d $arch/Korvane.def"
    if [[ $arch = x86 && $wine32_ok = 0 ]]; then
        printf 'SKIPPED: the x86 programs of the zip under Wine: %s\n' "$(wine32_problem)"
        [[ ${KORVANE_REQUIRE_WINE32:-0} = 1 ]] && fail "KORVANE_REQUIRE_WINE32=1 and no 32-bit Wine"
    else
        output=$(wine_run "$arch" "$dir" package_link_check.exe 2>&1) ||
            fail "$arch/package_link_check.exe under Wine: $output"
        pass "$arch: under Wine it called every export of the stripped DLL:" \
            "$(grep -v '^wine:' <<<"$output" | tr -d '\r' | paste -sd' ')"
        output=$(wine_run "$arch" "$dir" korvane.exe --version 2>&1) ||
            fail "$arch/korvane.exe --version under Wine: $output"
        [[ ${output%$'\r'} = "korvane $version" ]] ||
            fail "$arch/korvane.exe --version printed '$output'"
        pass "$arch: the stripped korvane.exe and Korvane.dll run under Wine: $output"
    fi
    rm -f "$dir/package_link_check.exe"
done
grep -q "^#define KORVANE_VERSION_STRING \"$version\"" "$unpacked/include/korvane/korvane_version.h" ||
    fail "the packaged korvane_version.h does not carry $version"
"$root/bindings/dotnet/check-readme.sh" "$unpacked/README.txt" "$unpacked/dotnet/Korvane.Net.dll" \
    "$unpacked/readme-check" >/dev/null || fail "README.txt: a C# program does not compile"
pass "README.txt: both C# programs compile against dotnet/Korvane.Net.dll as pasted"
pass "package $name.zip ($(stat -c %s "$zip") bytes)"
