#!/usr/bin/env bash
# Builds Korvane.Net.dll, its documentation file Korvane.Net.xml and Korvane.Net.dll.config
# into OUT with Mono's C# compiler, warnings as errors. The assembly carries the project
# version from CMakeLists.txt.
#
#   bindings/dotnet/build.sh OUT        default: build/dotnet
#
# Needs mcs (Debian: mono-mcs, mono-devel; scripts/install-deps.sh dotnet installs them).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-$root/build/dotnet}
mkdir -p "$out"

version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }

# The version lives in CMakeLists.txt alone; written here rather than kept in the sources.
cat >"$out/AssemblyInfo.g.cs" <<CS
using System.Reflection;
using System.Runtime.InteropServices;

[assembly: AssemblyTitle("Korvane.Net")]
[assembly: AssemblyDescription(".NET binding of the Korvane host library")]
[assembly: AssemblyProduct("Korvane")]
[assembly: AssemblyVersion("$version.0")]
[assembly: AssemblyFileVersion("$version.0")]
[assembly: AssemblyInformationalVersion("$version")]
[assembly: ComVisible(false)]
CS

# C# 5: also the csc.exe that comes with every .NET Framework 4.x builds the sources.
mcs -nologo -target:library -langversion:5 -optimize+ -warn:4 -warnaserror+ \
    -out:"$out/Korvane.Net.dll" -doc:"$out/Korvane.Net.xml" \
    "$out/AssemblyInfo.g.cs" "$here"/src/*.cs
cp "$here/src/Korvane.Net.dll.config" "$out/"
