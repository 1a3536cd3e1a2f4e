# Checks of Windows binaries (PE files) from Linux with MinGW's objdump and windres, shared by
# scripts/test-windows.sh and scripts/package.sh. Source it; each check prints PASS or
# FAIL and exits on failure.
#
#   check_machine FILE x64|x86        the COFF machine field
#   check_exports DLL                 exactly the undecorated names of the export list
#   check_imports FILE [DLL...]       imports only system DLLs (and the DLLs named)
#   check_pe_flags FILE x64|x86       DYNAMIC_BASE, NX_COMPAT, and HIGH_ENTROPY_VA on x64
#   check_version_info FILE VERSION   a VERSIONINFO resource with the version
#   project_version BUILD_FOLDER      the version a configured build carries
#   wine32_runs, wine32_problem       whether 32-bit Windows programs run here, and why not

pe_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exports_list=$pe_root/tests/exports/korvane_exports.txt
objdump=x86_64-w64-mingw32-objdump  # reads PE32 (x86) and PE32+ (x64) alike
windres=x86_64-w64-mingw32-windres

pass() { printf 'PASS: %s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

# The version from the header the build generated from the CMake project version.
project_version() {
    sed -n 's/^#define KORVANE_VERSION_STRING "\(.*\)"$/\1/p' \
        "$1/include/korvane/korvane_version.h"
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

# Only DLLs every Windows installation has: a static runtime, no MinGW runtime DLLs
# (libgcc_s, libstdc++, libwinpthread). Further names, such as Korvane.dll for the tool that
# ships beside it, are allowed when given.
check_imports() {
    local file=$1 imports name allowed bad=()
    shift
    imports=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [[ -n $imports ]] || fail "no imports found in $file (objdump output not understood)"
    shopt -s nocasematch
    while read -r name; do
        [[ $name =~ ^(kernel32|msvcrt|ntdll|advapi32|user32|ws2_32|bcrypt|ucrtbase|api-ms-win-.*)\.dll$ ]] &&
            continue
        for allowed in "$@"; do [[ $name == "$allowed" ]] && continue 2; done
        bad+=("$name")
    done <<<"$imports"
    shopt -u nocasematch
    ((${#bad[@]} == 0)) || fail "non-system imports in $file: ${bad[*]}"
    pass "imports of $(basename "$file"): $(echo $imports)"
}

# DllCharacteristics bits: 0x0020 HIGH_ENTROPY_VA (x64 only), 0x0040 DYNAMIC_BASE,
# 0x0100 NX_COMPAT.
check_pe_flags() {
    local file=$1 arch=$2 hex value flag bit missing=() flags=(DYNAMIC_BASE:0x40 NX_COMPAT:0x100)
    [[ $arch = x64 ]] && flags+=(HIGH_ENTROPY_VA:0x20)
    hex=$("$objdump" -p "$file" | awk '$1 == "DllCharacteristics" && !seen++ { print $2 }')
    [[ $hex =~ ^[0-9a-fA-F]+$ ]] || fail "no DllCharacteristics in $file"
    value=$((16#$hex))
    for flag in "${flags[@]}"; do
        bit=${flag#*:}
        ((value & bit)) || missing+=("${flag%%:*}")
    done
    ((${#missing[@]} == 0)) || fail "DllCharacteristics 0x$hex of $file lacks ${missing[*]}"
    pass "PE header of $(basename "$file"): DllCharacteristics 0x$hex has ${flags[*]%%:*}"
}

# The machine field of the COFF header: x86 is i386 (0x14c), x64 is amd64 (0x8664).
check_machine() {
    local file=$1 arch=$2 format
    format=$("$objdump" -f "$file" | sed -n 's/.*file format //p')
    case "$arch:$format" in
        x64:pei-x86-64 | x86:pei-i386) pass "machine of $(basename "$file"): $arch ($format)" ;;
        *) fail "$file is $format, wanted $arch" ;;
    esac
}

# The VERSIONINFO resource, decoded by windres: the fixed file and product versions and
# the string values, each the project version, and the original file name.
check_version_info() {
    local file=$1 version=$2 rc numbers
    [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no project version to check $file against"
    numbers="${version//./, }, 0"
    rc=$("$windres" -J coff -O rc -i "$file" 2>/dev/null) || fail "no resources in $file"
    [[ $rc == *"FILEVERSION $numbers"* && $rc == *"PRODUCTVERSION $numbers"* ]] ||
        fail "VERSIONINFO of $file lacks FILEVERSION/PRODUCTVERSION $numbers"
    [[ $rc == *"VALUE \"FileVersion\", \"$version\""* &&
        $rc == *"VALUE \"ProductVersion\", \"$version\""* ]] ||
        fail "VERSIONINFO of $file lacks FileVersion/ProductVersion \"$version\""
    [[ $rc == *"VALUE \"OriginalFilename\", \"$(basename "$file")\""* ]] ||
        fail "VERSIONINFO of $file names another original file name"
    pass "VERSIONINFO of $(basename "$file"): $version"
}

# 32-bit Windows programs run under Debian's wine32:i386, whose loader is a 32-bit Linux
# program; install-deps.sh leaves it out on kernels without 32-bit emulation.
wine32_runs() {
    [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
wine32_problem() {
    if [[ ! -x /usr/lib/wine/wine ]]; then
        echo "wine32:i386 is not installed (this kernel cannot execute 32-bit programs)"
    else
        /usr/lib/wine/wine --version 2>&1 | head -n 1
    fi
}
