#!/usr/bin/env bash
# The shipped DLL's refresh under 32-bit Wine in a WoW64 prefix, against its
# floor (bench/call_floor.h: the platform calls the text needs, made once):
# call_floor.exe alternates the two, compares their texts byte for byte and
# prints the minimum and median of each. Two machines: the bundled one
# (both queries on its System log), and the same machine with a System log
# of 25 Service Control Manager entries, whose message file is 64-bit only.
#   bash scripts/wine-refresh-bench.sh [REFRESHES]      (100 by default)
# Expects the posix and win32 builds. Runs by the route the Windows tests
# take (scripts/wine-route.sh): here, in a chroot of the Wine root or in the
# QEMU guest; only here are the times those of the machine itself.
#
# Most Wine calls are a round trip to the wineserver, another process: on a
# machine of several processors each trip may wait for the other to wake on
# another one (on a virtual machine here, a refresh took 28 ms as a rule and
# 6 ms at best). Pinned to one processor (KESTRIN_BENCH_CPU, 0 by default)
# the hand-over is direct and the times steady; KESTRIN_BENCH_CPU=all pins
# nothing. KESTRIN_BENCH_MODULE names another build of the DLL to measure
# (an earlier commit's, say) against the same floor.
set -uo pipefail
cd "$(dirname "$0")/.."
refreshes=${1:-100}
cpu=${KESTRIN_BENCH_CPU:-0}
if [ "$cpu" != all ] && [ -z "${KESTRIN_BENCH_PINNED:-}" ] && command -v taskset >/dev/null; then
  KESTRIN_BENCH_PINNED=$cpu exec taskset -c "$cpu" bash "$0" "$@"
fi
if [ "${KESTRIN_IN_GUEST:-0}" != 1 ]; then
  route=$(bash scripts/wine-route.sh) || exit 2
  case $route in
    chroot) KESTRIN_GUEST_COMMAND="bash scripts/wine-refresh-bench.sh $refreshes" \
      exec bash scripts/wine-chroot.sh ;;
    guest) echo "== (the QEMU guest emulates the processor: its times are not this machine's)"
      KESTRIN_GUEST_COMMAND="bash scripts/wine-refresh-bench.sh $refreshes" \
        exec bash scripts/wine-guest.sh ;;
  esac
fi
source scripts/wine_env.sh
work=$(mktemp -d /tmp/kestrin-refresh-bench.XXXXXX)
trap 'wine_cleanup; rm -rf "$work"' EXIT
pinned=${KESTRIN_BENCH_PINNED:+on processor $KESTRIN_BENCH_PINNED}
echo "== Wine $("$WINE" --version), a WoW64 prefix, ${KESTRIN_BENCH_MODULE:-build/win32/KestrinPlugin.dll}, ${pinned:-on any processor}; $refreshes refreshes each"
# Wine's long-lived processes keep whatever output they were started with:
# files here, never a pipe, which would then never end.
wine_start >"$work/wine-start.txt" 2>&1 || { cat "$work/wine-start.txt"; exit 1; }
export TZ=UTC

mkdir -p "$work/bundled" && cp -r samples/machine/. "$work/bundled/"
mkdir -p "$work/scm" && cp -r samples/machine/. "$work/scm/"
{
  echo "log format=evtx version=3.1 computer=KESTRIN-PC"
  echo 'record time=2026-12-08T07:00:00Z type=Information source="Service Control Manager" style=manifest guid={555908D1-A6D7-4695-8E1E-26931D2012F4} eventsource="Service Control Manager" qualifiers=16384 id=7037 keywords=0x8080000000000000 sid=S-1-5-18'
  echo "value string Windows Update"
  echo "value string running"
  echo "repeat 24"
} >"$work/scm.txt"
build/posix/evt write "$work/scm.txt" "$work/scm/drive_c/Windows/System32/winevt/Logs/System.evtx" \
  >/dev/null || { echo "evt write failed"; exit 1; }

status=0
module=()
if [ -n "${KESTRIN_BENCH_MODULE:-}" ]; then
  other=$(realpath "$KESTRIN_BENCH_MODULE")
  module=(--module "$(wine_path "$other")")
fi
floor() { # machine, options...
  local machine=$1
  shift
  "$WINE" build/win32/call_floor.exe --machine "$(wine_path "$machine")" --refreshes "$refreshes" \
    "${module[@]}" "$@" >"$work/out.txt" 2>&1 || status=1
  tr -d '\r' <"$work/out.txt"
  grep -q "plugin/floor" "$work/out.txt" || status=1
}
echo "== the bundled machine"
floor "$work/bundled"
echo "== 25 Service Control Manager entries (kservice.dll: 64-bit only)"
floor "$work/scm" --query last
prefix_windows="$WINEPREFIX/drive_c/windows"
if [ -e "$prefix_windows/syswow64/kservice.dll" ] || [ ! -e "$prefix_windows/system32/kservice.dll" ]; then
  echo "kservice.dll is not 64-bit only in the prefix: the second machine is not the one named"
  status=1
fi
exit $status
