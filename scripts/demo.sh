#!/usr/bin/env bash
# The demo: the stand-in host on the bundled machine (samples/machine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh posix
cmake --preset posix >/dev/null
cmake --build build/posix >/dev/null
host=build/posix/kestrin-host
# The plugin's text is in the machine's ANSI code page (1252); the terminal's is UTF-8.
show() { iconv -f CP1252 -t UTF-8 | tr -d '\r'; }
machine=samples/machine

echo "== kestrin-host info"
"$host" --machine "$machine" info

echo
echo "== the newest entry of the System log (LastLogEntry, template \"%1 - %2\")"
"$host" --machine "$machine" entry | show

echo
echo "== the Service Control Manager's newest entries: its message file is 64-bit only, as on"
echo "   64-bit Windows; the 32-bit plugin reads it through C:\\Windows\\Sysnative"
"$host" --machine "$machine" last --template '%4 %1: %2' | show | grep -a '^[0-9/, :]* Service Control Manager' | head -n 2 || true

echo
echo "== the newest 25 entries of the System log (LastNLogs), one per line"
"$host" --machine "$machine" last --template '%4  %5  %1: %2' | show

echo
echo "== the newest entry of the Application log, with its account"
"$host" --machine "$machine" entry --log Application --template '%4 %5 %1 (%6@%7): %2\n' | show

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
echo
echo "== a new instance, its settings saved to the host's file"
"$host" --machine "$machine" settings save "$scratch/velmora.ini" "Kestrin Viewer"
echo
echo "== the host's file"
cat "$scratch/velmora.ini"
echo
echo "== the host's file edited, then loaded into a new instance"
sed -i 's/^OpenLog=.*/OpenLog=Application/' "$scratch/velmora.ini"
"$host" --machine "$machine" settings load "$scratch/velmora.ini" "Kestrin Viewer"

echo
echo "== the gauge at 62 %, painted by repaint: $scratch/gauge.png"
"$host" --machine "$machine" paint --value 62 --width 240 --height 32 --out "$scratch/gauge.png"
ls -l "$scratch/gauge.png"
