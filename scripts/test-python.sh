#!/usr/bin/env bash
# The Python package against the simulated controller: builds the shared library and
# korvane-sim, installs the package offline from a fresh copy of python/ into a private
# folder, and runs its pytest suite there with Debian's Python.
#
#   scripts/test-python.sh [build-folder]      default: build/default
#
# Installs Debian's Python, pytest, setuptools and pip when they are missing (as root).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build/default}
[[ $build = /* ]] || build=$root/$build
# Debian's interpreter, whose pytest and setuptools the packages above installed; not
# whatever python3 comes first on PATH.
python=/usr/bin/python3
stage=$build/python
start=$SECONDS

"$root/scripts/install-deps.sh" python

if [[ ! -f $build/CMakeCache.txt ]]; then
    if [[ $build = "$root/build/default" ]]; then
        (cd "$root" && cmake --preset default >/dev/null)
    else
        cmake -S "$root" -B "$build" -DKORVANE_BUILD_BENCH=OFF >/dev/null
    fi
fi
cmake --build "$build" --target korvane korvane-sim -j2

# setuptools writes build/ and *.egg-info into the tree it builds, and a stale build/ can
# carry deleted modules into the next install: build from a fresh copy each time.
rm -rf "$stage"
mkdir -p "$stage"
cp -r "$root/python" "$stage/source"
rm -rf "$stage/source/build" "$stage/source"/*.egg-info
# No package index: the build backend is the installed setuptools, and there is nothing else
# to fetch.
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-build-isolation --no-index \
    --no-deps --target "$stage/site" "$stage/source"

status=0
(
    cd "$stage"  # not python/: the tests must import the installed copy
    KORVANE_LIBRARY=$build/src/libkorvane.so.1 KORVANE_SIM=$build/sim/korvane-sim \
        PYTHONPATH=$stage/site PYTHONDONTWRITEBYTECODE=1 \
        "$python" -m pytest -p no:cacheprovider "$root/python/tests"
) || status=$?
if ((status == 5)); then
    echo "FAIL: pytest collected no tests" >&2
elif ((status == 0)); then
    printf '\nPython package tests passed in %d s.\n' $((SECONDS - start))
fi
exit "$status"
