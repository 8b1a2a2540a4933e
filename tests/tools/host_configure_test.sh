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
printf 'q\n' | "$host" --machine "$work" configure >/dev/null
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
echo "kestrin-host configure: all checks passed"
