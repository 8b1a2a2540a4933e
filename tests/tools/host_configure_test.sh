#!/usr/bin/env bash
# kestrin-host configure through its line protocol (standard input not a
# terminal): a choice and a template accepted go to the plugin's own settings
# file; Esc leaves it alone; a line it does not understand is an error.
set -u
host=$1
machine_source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$machine_source/." "$work/"
ini="$work/drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI"
printf 'q\n' | "$host" --machine "$work" configure >/dev/null 2>&1
[ $? -eq 255 ] || { echo "FAIL: cancelling did not end with status 255"; exit 1; }
if [ -e "$ini" ]; then echo "FAIL: Esc wrote the settings file"; exit 1; fi
printf '2\nt [%%5] %%2\n\n' | "$host" --machine "$work" configure >"$work/out.txt"
expected=$(printf '[Kestrin Settings]\r\nOpenLog=Security\r\nParseString=[%%5] %%2\r')
if [ "$(cat "$ini")" != "$expected" ]; then
  echo "FAIL: the settings file holds:"; cat "$ini"; exit 1
fi
grep -q '^OpenLog=Security$' "$work/out.txt" || { echo "FAIL: the instance"; exit 1; }
for bad in 'choose 2' '9' '2x'; do
  if printf '%s\n\n' "$bad" | "$host" --machine "$work" configure >/dev/null 2>"$work/err.txt"; then
    echo "FAIL: \"$bad\" was taken"; exit 1
  fi
  grep -q 'nothing was changed' "$work/err.txt" || { echo "FAIL: no error for \"$bad\""; exit 1; }
done
[ "$(cat "$ini")" = "$expected" ] || { echo "FAIL: a line it did not understand changed the file"; exit 1; }
for missing in "$work/none" "$work/drive_c"; do
  "$host" --machine "$missing" info >/dev/null 2>"$work/err.txt"
  [ $? -eq 2 ] && grep -q 'machine folder' "$work/err.txt" ||
    { echo "FAIL: --machine $missing ran on an empty machine"; exit 1; }
done
# The command line: a usage error is one line; values after "=" or a space;
# numbers whole; a file is not a machine folder; --version needs no machine.
"$host" --machine "$work" entry --log >/dev/null 2>"$work/err.txt"
[ $? -eq 2 ] && [ "$(wc -l <"$work/err.txt")" -eq 1 ] && grep -q -- '--log needs a value' "$work/err.txt" ||
  { echo "FAIL: a missing value"; cat "$work/err.txt"; exit 1; }
[ "$("$host" --machine="$work" entry --log=Application --template=[%1])" = "[Kestrin]" ] ||
  { echo "FAIL: --name=value"; exit 1; }
"$host" --machine "$work" paint --value 5 --width 10x --height 4 --out "$work/g.png" 2>/dev/null &&
  { echo "FAIL: --width 10x was taken"; exit 1; }
"$host" --machine "$work/drive_c/Windows/System32/kernelbase.dll" info 2>&1 | grep -q 'is not a folder' ||
  { echo "FAIL: a file as the machine folder"; exit 1; }
"$host" --machine /nonexistent --version | grep -q '^kestrin-host ' || { echo "FAIL: --version"; exit 1; }
# settings save says when nothing was written, and a relative file is the current folder's.
"$host" --machine "$work" settings save /nonexistent/x.ini S >/dev/null 2>"$work/err.txt" &&
  { echo "FAIL: a save that wrote nothing succeeded"; exit 1; }
grep -q 'not saved' "$work/err.txt" || { echo "FAIL: no reason for the failed save"; exit 1; }
(cd "$work" && "$host" --machine "$work" settings save relative.ini S >/dev/null 2>&1) &&
  grep -q '^OpenLog=' "$work/relative.ini" || { echo "FAIL: a relative settings file"; exit 1; }
echo "kestrin-host configure: all checks passed"
