#!/usr/bin/env bash
# Makes the release archive (CPack) and checks it as a user gets it: its name
# carries the version, it holds exactly the DLL, the user's README, the example
# settings file and the licences (never KestrinPlugin.INI), its text files have
# CR LF line ends, and its DLL is the shipped one with its version resource.
# usage: check-release.sh BUILD_DIR   (a configured win32 build)
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
version=$(sed -n 's/^project(KestrinViewer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
archive="$build/KestrinViewer-$version-win32.zip"
rm -f "$archive"
cmake --build "$build" --target package >"$build/package.log" 2>&1 || { cat "$build/package.log"; exit 1; }
failed=0
check() { # name command...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
}
check "the archive is named for version $version" test -s "$archive"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
python3 - "$archive" "$unpacked" "$version" <<'PY' || failed=1
import sys, zipfile
archive, target, version = sys.argv[1:]
top = f"KestrinViewer-{version}-win32/"
expected = {top + n for n in ("KestrinPlugin.dll", "README.txt", "KestrinPlugin.INI.example",
                              "LICENSE.txt", "RUNTIME-NOTICE.txt")}
with zipfile.ZipFile(archive) as z:
    names = {n for n in z.namelist() if not n.endswith("/")}
    z.extractall(target)
ok = True
def check(name, good):
    global ok
    print(("ok   " if good else "FAIL ") + name)
    ok = ok and good
check("the archive holds exactly the DLL, the README, the example settings and the licences",
      names == expected)
for name in sorted(expected - {top + "KestrinPlugin.dll"}):
    data = open(f"{target}/{name}", "rb").read()
    check(f"{name[len(top):]} has CR LF line ends", data.count(b"\n") == data.count(b"\r\n") > 0)
readme = open(f"{target}/{top}README.txt", "rb").read().decode("ascii")
check("README.txt names the version and says how to upgrade",
      f"Kestrin Viewer {version}" in readme and "copy only the new KestrinPlugin.dll" in readme)
notice = open(f"{target}/{top}RUNTIME-NOTICE.txt", "rb").read().decode("ascii")
check("RUNTIME-NOTICE.txt reproduces the runtime's licences (GCC, ZPL 2.1, Lucent, winpthreads)",
      all(t in notice for t in ("GCC Runtime Library", "Zope Public License 2.1",
                                "Lucent Technologies", "LUCENT DISCLAIMS", "Lockless Inc.")))
sys.exit(0 if ok else 1)
PY
bash scripts/check-dll.sh "$unpacked/KestrinViewer-$version-win32/KestrinPlugin.dll" \
  src/plugin/exports.txt || failed=1
exit $failed
