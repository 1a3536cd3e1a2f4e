#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a Debian 12 machine, as root.
# Idempotent: packages already present are not touched, and nothing is fetched then.
#   scripts/install-deps.sh build      compiler, CMake and ncurses (enough for the demo)
#   scripts/install-deps.sh windows    the MinGW-w64 cross compiler and Wine
#   scripts/install-deps.sh fuzz       clang with libFuzzer and the sanitizer runtimes
#   scripts/install-deps.sh install    the install test: pkg-config users, manual pages,
#                                      the Debian package
#   scripts/install-deps.sh python     Debian's Python with pytest, setuptools and pip
#   scripts/install-deps.sh test       everything the test command uses (the default)
set -euo pipefail

want="${1:-test}"
build=(cmake g++ make pkg-config libncurses-dev)
# tmux runs `korvane pendant` in a real terminal for its tests.
unit=(libgtest-dev libgmock-dev googletest libbenchmark-dev locales tmux)
# wine brings the wine command; wine64 alone runs the 64-bit programs the tests use.
windows=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64)
fuzz=(clang libclang-rt-14-dev llvm)
# gcc for `cc`; python3 and groff-base check the manual pages; dpkg-dev and file let CPack
# work out the Debian package's dependencies.
install=(gcc python3 groff-base dpkg-dev file)
# Debian's own Python packages: no package index is needed to build or test the package.
python=(python3 python3-pytest python3-setuptools python3-wheel python3-pip)
case "$want" in
    build) packages=("${build[@]}") ;;
    windows) packages=("${build[@]}" "${unit[@]}" "${windows[@]}") ;;
    fuzz) packages=("${build[@]}" "${fuzz[@]}") ;;
    install) packages=("${build[@]}" "${install[@]}") ;;
    python) packages=("${build[@]}" "${python[@]}") ;;
    test) packages=("${build[@]}" "${unit[@]}" "${windows[@]}" "${fuzz[@]}" "${install[@]}"
                    "${python[@]}") ;;
    *)
        echo "usage: $0 [build|windows|fuzz|install|python|test]" >&2
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
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The number tests run once in a locale with a decimal comma, as GUI hosts often set one.
if [ "$want" = test ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "The de_DE.UTF-8 locale is missing (run as root to generate it)" >&2
        exit 1
    fi
    sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
