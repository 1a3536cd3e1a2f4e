#!/usr/bin/env bash
# Compiles the two C# programs of the Windows README as a user would paste them: the one that
# uses Korvane.Net.dll, against KORVANE_NET_DLL, and the one that declares the functions
# itself. Warnings are errors.
#
#   bindings/dotnet/check-readme.sh README KORVANE_NET_DLL WORK_FOLDER
#
# README is packaging/windows/README.txt.in or the README.txt of the zip (CR LF).
set -euo pipefail

readme=$1
binding=$2
work=$3
mkdir -p "$work"
rm -f "$work"/snippet*.cs

# In the C# section, each program begins with its "using System;" line and ends with the
# first closing brace back at the text's indentation.
tr -d '\r' <"$readme" | sed -n '/^C# (.NET)$/,/^Python (ctypes)$/p' |
    awk -v dir="$work" '
        /^  using System;$/ { n++; file = dir "/snippet" n ".cs"; inside = 1 }
        inside { print substr($0, 3) > file }
        inside && /^  }$/ { inside = 0; close(file) }
        END {
            if (n != 2) {
                print "expected 2 C# programs in the C# section of the README, found " n > "/dev/stderr"
                exit 1
            }
        }'
mcs -nologo -target:exe -warn:4 -warnaserror+ -r:"$binding" -out:"$work/binding.exe" \
    "$work/snippet1.cs"
mcs -nologo -target:library -warn:4 -warnaserror+ -out:"$work/declarations.dll" \
    "$work/snippet2.cs"
echo "PASS: both C# programs of $(basename "$readme") compile as pasted"
