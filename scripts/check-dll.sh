#!/usr/bin/env bash
# Checks the shipped DLL's form: PE32 for i386, exactly the plugin's exports
# under their plain names, imports only from DLLs every Windows install has, and
# the version resource's identity. Prints one line per check.
set -uo pipefail
dll=$1
exports_list=$2
failed=0
check() { # name, command...
  local name=$1; shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failed=1; fi
}
dump=$(i686-w64-mingw32-objdump -p "$dll")

check "PE32 for i386" grep -q 'file format pei-i386' <<<"$dump"
check "PE32 optional header" grep -qE 'Magic\s+010b' <<<"$dump"

actual=$(awk '/Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF} t&&/^$/{t=0}' \
         <<<"$dump" | sort)
expected=$(sort "$exports_list")
check "exports are exactly the plugin's names" test "$actual" = "$expected"

imports=$(grep 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)
allowed="advapi32.dll gdi32.dll gdiplus.dll kernel32.dll msvcrt.dll user32.dll"
unexpected=$(for d in $imports; do grep -qw "$d" <<<"$allowed" || echo "$d"; done)
check "imports only system DLLs ($(echo $imports))" test -z "$unexpected"

texts=$(strings -el "$dll") # the resource's texts are UTF-16LE
has_text() { grep -qF "$1" <<<"$texts"; }
check "version: description" has_text "Kestrin Velmora Plugin"
# The project's version (CMakeLists.txt), as VERSIONINFO writes it: "1, 0, 0, 0".
version=$(sed -n 's/^project(KestrinViewer VERSION \([0-9]*\)\.\([0-9]*\)\.\([0-9]*\).*/\1, \2, \3, 0/p' \
  "$(dirname "$0")/../CMakeLists.txt")
check "version: file version $version" has_text "$version"
check "version: comment" has_text "Monitors a Windows event log"
check "version: legal copyright" has_text "Copyright (c) 2026 The Kestrin Viewer developers"
exit $failed
