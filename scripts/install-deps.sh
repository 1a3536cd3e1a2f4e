#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a Debian 12 machine, as root.
# Idempotent: packages already present are not touched, and nothing is fetched then.
#   scripts/install-deps.sh build      compiler, CMake and ncurses (enough for the demo)
#   scripts/install-deps.sh windows    the MinGW-w64 cross compilers (x64 and x86), 64- and
#                                      32-bit Wine, LLVM's dlltool, clang and lld-link, zip
#   scripts/install-deps.sh fuzz       clang with libFuzzer and the sanitizer runtimes
#   scripts/install-deps.sh install    the install test: pkg-config users, manual pages,
#                                      the Debian package
#   scripts/install-deps.sh python     Debian's Python with pytest, setuptools and pip
#   scripts/install-deps.sh dotnet     Mono's C# compiler and runtime, NUnit 2 and its
#                                      console runner (the .NET binding and its tests)
#   scripts/install-deps.sh quick      the native suite: build, GoogleTest, Google Benchmark
#   scripts/install-deps.sh test       everything the test command uses (the default)
set -euo pipefail

want="${1:-test}"
build=(cmake g++ make pkg-config libncurses-dev)
# tmux runs `korvane pendant` in a real terminal for its tests.
unit=(libgtest-dev libgmock-dev googletest libbenchmark-dev locales tmux)
# wine brings the wine command; wine64 runs the 64-bit programs, wine32:i386 (Debian's i386
# architecture) the 32-bit ones. llvm-dlltool makes the Visual Studio import libraries, which
# clang and lld-link prove by linking against them; zip packs the release.
windows=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix
         binutils-mingw-w64-i686 wine wine64 llvm clang lld zip unzip)

# Whether this machine executes 32-bit x86 programs: a 93-byte i386 ELF that only calls
# exit(0). Some kernels are built or booted without 32-bit emulation ("Exec format error",
# and dmesg says "32-bit emulation disabled"); wine32 cannot start there, and installing it
# would even break 64-bit Wine, whose "wine" command then picks the 32-bit loader.
runs_32bit_programs() {
    local probe status=0
    probe=$(mktemp)
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    return "$status"
}
if [ "$want" = windows ] || [ "$want" = test ]; then
    if runs_32bit_programs; then
        windows+=(wine32:i386)
    else
        echo "This machine cannot execute 32-bit programs (Exec format error): wine32 is not" \
             "installed and the 32-bit Wine tests will be skipped." >&2
    fi
fi
fuzz=(clang libclang-rt-14-dev llvm)
# gcc for `cc`; python3 and groff-base check the manual pages; dpkg-dev and file let CPack
# work out the Debian package's dependencies.
install=(gcc python3 groff-base dpkg-dev file)
# Debian's own Python packages: no package index is needed to build or test the package.
python=(python3 python3-pytest python3-setuptools python3-wheel python3-pip)
# Mono builds Korvane.Net.dll and runs its tests; Mono.Posix makes the tests' symbolic links.
dotnet=(mono-mcs mono-devel mono-runtime libmono-posix4.0-cil libnunit-cil-dev nunit-console)
case "$want" in
    build) packages=("${build[@]}") ;;
    windows) packages=("${build[@]}" "${unit[@]}" "${windows[@]}") ;;
    quick) packages=("${build[@]}" "${unit[@]}") ;;
    fuzz) packages=("${build[@]}" "${fuzz[@]}") ;;
    install) packages=("${build[@]}" "${install[@]}") ;;
    python) packages=("${build[@]}" "${python[@]}") ;;
    dotnet) packages=("${build[@]}" "${dotnet[@]}") ;;
    test) packages=("${build[@]}" "${unit[@]}" "${windows[@]}" "${fuzz[@]}" "${install[@]}"
                    "${python[@]}" "${dotnet[@]}") ;;
    *)
        echo "usage: $0 [build|quick|windows|fuzz|install|python|dotnet|test]" >&2
        exit 2
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root, or install them first)" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # 32-bit Wine comes from the i386 architecture, which a plain amd64 system lacks.
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The number tests run once in a locale with a decimal comma, as GUI hosts often set one.
if { [ "$want" = test ] || [ "$want" = quick ]; } && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "The de_DE.UTF-8 locale is missing (run as root to generate it)" >&2
        exit 1
    fi
    sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
