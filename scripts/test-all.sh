#!/usr/bin/env bash
# Every test: installs what it needs, builds all targets, runs the unit tests
# (plain and under AddressSanitizer + UndefinedBehaviorSanitizer), checks the
# shipped DLL's form and runs the Windows tests with it under 32-bit Wine:
# this machine's own, a chroot of a Debian root or a guest under QEMU
# (scripts/wine-route.sh). A step that runs long says every minute what it
# waits on.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/heartbeat.sh
heartbeat "the packages (apt-get)" bash scripts/install-deps.sh all || exit 1

passed=0
failed=0
step() { # name command...
  local name=$1
  shift
  echo "== $name"
  if heartbeat "$name" "$@"; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}
build() {
  cmake --preset "$1" >/dev/null && cmake --build "build/$1" | grep -vE '^\[[0-9]+/[0-9]+\] '
  test "${PIPESTATUS[0]}" -eq 0
}

step "posix build" build posix
so_exports() {
  diff <(nm -D --defined-only build/posix/KestrinPlugin.so | awk '{print $3}' | sort) \
       <(sort src/plugin/exports.txt)
}
step "KestrinPlugin.so exports the plugin's names and nothing else" so_exports
step "posix unit tests" ctest --test-dir build/posix --output-on-failure -j2
step "posix-asan build" build posix-asan
step "posix-asan unit tests" ctest --test-dir build/posix-asan --output-on-failure -j2
fuzz() { # target, corpus: about 30 seconds on a copy of the seed corpus
  # Crash and out-of-memory inputs go outside the tree; a failure keeps them
  # (to minimise and add to the seed corpus under a name of their own).
  local corpus artifacts
  corpus=$(mktemp -d)
  artifacts=$(mktemp -d "/tmp/kestrin-fuzz-$1.XXXXXX")
  build/fuzz/"$1" -max_total_time=30 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "tests/fuzz/corpus/$2" >"$corpus.log" 2>&1
  local status=$?
  grep -E '^(Done|stat::number_of_executed_units)' "$corpus.log"
  if [ $status -eq 0 ]; then
    rm -rf "$artifacts"
  else
    tail -n 60 "$corpus.log"
    echo "the failing inputs are in $artifacts"
  fi
  rm -rf "$corpus" "$corpus.log"
  return $status
}
step "fuzz build (clang, ASan, UBSan)" build fuzz
step "fuzz the event log reading (30 s)" fuzz evt_fuzz evt
step "fuzz the .evtx reader (30 s)" fuzz evtx_fuzz evtx
step "fuzz the WEVT_TEMPLATE reader (30 s)" fuzz wevt_fuzz wevt
step "fuzz the PE resource reader (30 s)" fuzz pe_fuzz pe
step "fuzz message formatting (30 s)" fuzz format_fuzz format
step "fuzz the hive file round trip (30 s)" fuzz reg_fuzz reg
step "fuzz INI files read and written (30 s)" fuzz ini_fuzz ini
step "fuzz output templates in double-byte code pages (30 s)" fuzz entry_fuzz entry
step "win32 build (the shipped DLL)" build win32
step "win32 DLL form" bash scripts/check-dll.sh build/win32/KestrinPlugin.dll \
  src/plugin/exports.txt
step "the release archive" bash scripts/check-release.sh build/win32
case $(bash scripts/wine-route.sh) in
  native) where="under this machine's 32-bit Wine" ;;
  chroot) where="under 32-bit Wine in a chroot of the Wine root" ;;
  *) where="under 32-bit Wine in a guest (QEMU)" ;;
esac
step "Windows tests (the win32 build) $where" bash scripts/run-wine-tests.sh

echo
echo "checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
