#!/usr/bin/env bash
# Under Wine (the machine's own, or inside the Wine root): the real DLL's
# LastNLogs on a machine that bench/parameter_strings_bench.sh made, 10 times
# in new processes; prints the minimum and the median (start-up included).
#   KESTRIN_GUEST_COMMAND="bash bench/wine_parameter_strings.sh MACHINE" \
#     bash scripts/wine-chroot.sh        (or wine-guest.sh, or directly where Wine is)
set -uo pipefail
cd "$(dirname "$0")/.."
machine=$1
source scripts/wine_env.sh
wine_start || exit 1
times=()
for _ in $(seq 10); do
  start=$(date +%s%N)
  "$WINE" build/win32/kestrin-host.exe --machine "$(wine_path "$machine")" last --log Application \
    --template '%2|' >"$WINEPREFIX/out.txt" 2>/dev/null || { echo "kestrin-host.exe failed"; exit 1; }
  times+=($((($(date +%s%N) - start) / 1000000)))
done
grep -q 'Parameter 39' "$WINEPREFIX/out.txt" || { echo "no parameter string was resolved"; exit 1; }
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "Wine, one LastNLogs in a new process: minimum ${sorted[0]} ms, median ${sorted[5]} ms"
