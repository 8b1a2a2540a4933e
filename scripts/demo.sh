#!/usr/bin/env bash
# The demo: the stand-in host on the bundled machine (samples/machine).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== installing what the demo needs (apt-get, the first time only)"
bash scripts/install-deps.sh posix
echo "== building the plugin, the stand-in host and the sample message files"
cmake --preset posix >/dev/null
# Only what the demo runs: the unit tests are two thirds of a cold build.
cmake --build build/posix --target KestrinPlugin kestrin-host message_files

# The plugin's text is in the machine's ANSI code page; --convert shows it in
# the terminal's character set also through the pipes below.
show() { tr -d '\r'; }
# A scratch copy of the bundled machine: nothing a user did to it before (a
# configure that saved settings) changes what the demo shows.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r samples/machine "$scratch/machine"
machine=$scratch/machine
host() { "$PWD/build/posix/kestrin-host" --convert "$@"; }

echo "== kestrin-host info"
host --machine "$machine" info

echo
echo "== the newest entry of the System log (LastLogEntry, template \"%1 - %2\")"
host --machine "$machine" entry | show

echo
echo "== the Service Control Manager's newest entries: its message file is 64-bit only, as on"
echo "   64-bit Windows; the 32-bit plugin reads it through C:\\Windows\\Sysnative"
host --machine "$machine" last --template '%4 %1: %2' | show | grep -a '^[0-9/, :]* Service Control Manager' | head -n 2 || true

echo
echo "== the newest 25 entries of the System log (LastNLogs), one per line"
host --machine "$machine" last --template '%4  %5  %1: %2' | show

echo
echo "== the newest entry of the Application log, with its account"
host --machine "$machine" entry --log Application --template '%4 %5 %1 (%6@%7): %2\n' | show

echo
echo "== a new instance, its settings saved to the host's file"
host --machine "$machine" settings save "$scratch/velmora.ini" "Kestrin Viewer"
echo
echo "== the host's file"
cat "$scratch/velmora.ini"
echo
echo "== the host's file edited, then loaded into a new instance"
sed -i 's/^OpenLog=.*/OpenLog=Application/' "$scratch/velmora.ini"
host --machine "$machine" settings load "$scratch/velmora.ini" "Kestrin Viewer"

echo
mkdir -p build/demo
gauge=$PWD/build/demo/gauge.png
echo "== the gauge at 62 %, painted by repaint"
host --machine "$machine" paint --value 62 --width 240 --height 32 --out "$gauge"
echo "   written to $gauge (240 x 32 pixels): open it with any picture viewer"
