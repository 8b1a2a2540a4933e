#!/usr/bin/env bash
# The work of parameter strings bounded: 25 entries of 3,000 distinct "%%N"
# each against a parameter file of 4,000,000 messages (the ids near its end,
# the dearest to find). Prints the time of one LastNLogs in a new process
# (start-up, the file's first read and its index included) and of a refresh
# in a process that has read it (eventlog_bench), on the emulated machine.
#
#   bash bench/parameter_strings_bench.sh [BUILD]   (BUILD: build/posix)
# With KESTRIN_BENCH_WINE=1 the real DLL is timed too, under Wine by this
# machine's route (bench/wine_parameter_strings.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/posix}
# Inside the work tree: the guest sees only that.
mkdir -p build/bench
work=$(mktemp -d "$PWD/build/bench/parameters.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r samples/machine/. "$work/"
python3 bench/big_message_file.py "$work/drive_c/Windows/System32/kbig.dll" 4000000
cp "$build/test-messages/kbroken.dll" "$work/drive_c/Windows/System32/"
printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\KestrinHostile]\r\n"EventMessageFile"="%%SystemRoot%%\\\\System32\\\\kbroken.dll"\r\n"ParameterMessageFile"="%%SystemRoot%%\\\\System32\\\\kbig.dll"\r\n\r\n' \
  >>"$work/registry/HKEY_LOCAL_MACHINE.reg"
python3 - "$work/log.txt" <<'PY'
import sys
lines = ["log maxsize=8388608 computer=KESTRIN-PC"]
for entry in range(25):
    ids = " ".join("%%%%%d" % n for n in range(3997000 - entry * 3000, 4000000 - entry * 3000))
    lines += ["record time=2026-12-09T07:%02d:00Z type=Error source=KestrinHostile id=0x0000000A" % entry,
              "string " + ids]
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
PY
"$build/evt" write "$work/log.txt" "$work/drive_c/Windows/System32/config/AppEvent.Evt" >/dev/null
host="$build/kestrin-host --machine $work"
start=$(date +%s%N)
$host last --log Application --template '%2|' >"$work/out.txt"
echo "one LastNLogs in a new process: $((($(date +%s%N) - start) / 1000000)) ms"
grep -c 'Parameter 39' "$work/out.txt" >/dev/null || { echo "no parameter string was resolved"; exit 1; }
# A refresh in a process that has read the file once (it is kept while unchanged).
KESTRIN_BENCH_MACHINE=$work KESTRIN_BENCH_LOG=Application "$build/bench/eventlog_bench" \
  --benchmark_filter=BM_LastNLogsOfMachine --benchmark_min_time=1 2>/dev/null | grep BM_
if [ "${KESTRIN_BENCH_WINE:-0}" = 1 ]; then
  case $(bash scripts/wine-route.sh) in
    native) bash bench/wine_parameter_strings.sh "$work" ;;
    chroot) KESTRIN_GUEST_COMMAND="bash bench/wine_parameter_strings.sh $work" bash scripts/wine-chroot.sh ;;
    guest) KESTRIN_GUEST_COMMAND="bash bench/wine_parameter_strings.sh $work" bash scripts/wine-guest.sh ;;
  esac
fi
