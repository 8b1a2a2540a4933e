#!/usr/bin/env bash
# The plugin's queries over their floor (call_floor.h) in the emulation, in
# instructions (callgrind: the same count on every run), on the bundled
# machine's System log (0) and on the 1,000,000-record log:
#   bash bench/floor_ratio.sh [0|1000000 ...]
# Expects build/posix. Each benchmark runs twice in a process of its own, the
# second run longer, and only the refreshes the second made beyond the first
# count (bench/own_cost.py). Prints each query's cost, split into
# the platform's calls and its own code, and plugin/floor.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The logs are written once, at full speed, and kept for every run below.
export KESTRIN_BENCH_KEEP=$out/machine
build/posix/bench/eventlog_bench --benchmark_filter='^BM_OpenAndReadNewest/1000000$' \
  --benchmark_min_time=0.001 >/dev/null 2>&1
for log in "${@:-0}" ; do
  echo "== the System log $([ "$log" = 0 ] && echo "of the bundled machine" || echo "of $log records")"
  for query in LastNLogs LastLogEntry; do
    for side in "" Floor; do
      for time in 0.02 0.3; do
        valgrind --tool=callgrind --callgrind-out-file="$out/$side$query.$time" \
          build/posix/bench/eventlog_bench --benchmark_filter="^BM_$side$query/$log\$" \
          --benchmark_min_time=$time >/dev/null 2>&1
      done
    done
    floor=$([ $query = LastNLogs ] && echo CallFloor::NewestEntries || echo CallFloor::NewestEntry)
    /usr/bin/python3 bench/own_cost.py "$out/$query.0.02,$out/$query.0.3:$query=$out/Floor$query.0.02,$out/Floor$query.0.3:$floor"
  done
done
