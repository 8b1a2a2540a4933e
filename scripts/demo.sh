#!/usr/bin/env bash
# The demo: the stand-in host on the bundled machine (samples/machine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh posix
cmake --preset posix >/dev/null
cmake --build build/posix >/dev/null
host=build/posix/kestrin-host
machine=samples/machine

echo "== kestrin-host info"
"$host" --machine "$machine" info

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
