#!/usr/bin/env bash
# kestrin-host configure in the terminal: a choice and a template accepted go to
# the plugin's own settings file; Esc leaves it alone.
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
echo "kestrin-host configure: all checks passed"
