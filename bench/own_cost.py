#!/usr/bin/env python3
"""A query's cost split into the platform's calls and the plugin's own code.

    valgrind --tool=callgrind --callgrind-out-file=cg.out \
        build/posix/bench/eventlog_bench --benchmark_filter='BM_LastNLogs/1000000$'
    bench/own_cost.py cg.out LastNLogs [LastLogEntry ...]

For each function named, prints its calls and, per call, the instructions it
took in all, those of the platform calls made from outside the emulation
(every name of src/platform/win32api.h that the plugin calls), and the rest:
the plugin's own code, its allocations and string work included.
"""
import collections
import re
import sys

PLATFORM = set("""CloseEventLog ExpandEnvironmentStringsA FindResourceA FormatMessageA
FreeLibrary GetACP GetLastError GetNumberOfEventLogRecords GetOldestEventLogRecord
GetSystemTimeAsFileTime IsDBCSLeadByte LoadLibraryExA LoadResource LocalAlloc LocalFree
LockResource LookupAccountSidA OpenEventLogA ReadEventLogA RegCloseKey RegEnumKeyExA
RegOpenKeyExA RegQueryValueExA SetLastError SizeofResource GetPrivateProfileStringA
WritePrivateProfileStringA RegCreateKeyExA RegSetValueExA GetModuleFileNameA
GetModuleHandleExA""".split())


def read(path):
    names = {"fl": {}, "fn": {}}
    inclusive = collections.Counter()  # function -> cost of calls made to it
    calls = collections.Counter()
    platform_from_plugin = collections.Counter()  # caller -> platform cost under it
    edges = collections.defaultdict(collections.Counter)  # caller -> callee -> cost
    file_of = {}
    current_file = current_fn = callee = None
    pending = None
    spec = re.compile(r"^(c?f[lnie]|cf[il])=\((\d+)\)(?: (.*))?$")

    def name(kind, ident, text):
        table = names["fn" if kind.endswith("fn") else "fl"]
        if text is not None:
            table[ident] = text
        return table.get(ident, "?")

    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            m = spec.match(line)
            if m:
                kind, ident, text = m.groups()
                value = name(kind, ident, text)
                if kind == "fl":
                    current_file = value
                elif kind == "fn":
                    current_fn = value
                    file_of.setdefault(current_fn, current_file)
                elif kind == "cfn":
                    callee = value
                continue
            if line.startswith("calls="):
                pending = int(line.split("=")[1].split()[0])
                continue
            if pending is not None and line and (line[0].isdigit() or line[0] in "+-*"):
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                inclusive[callee] += cost
                calls[callee] += pending
                edges[current_fn][callee] += cost
                pending = None
    return inclusive, calls, edges, file_of


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    inclusive, calls, edges, file_of = read(sys.argv[1])

    def platform_cost(fn, seen):
        # Platform calls made anywhere below `fn`, stopping at them (what the
        # emulation calls of itself is the platform's own cost).
        total = 0
        for callee, cost in edges.get(fn, {}).items():
            short = callee.split("(")[0]
            if short in PLATFORM:
                total += cost
            elif callee not in seen and "/platform/emu/" not in (file_of.get(callee) or ""):
                seen.add(callee)
                total += platform_cost(callee, seen)
        return total

    for query in sys.argv[2:]:
        # A C++ function is named with its parameters: "FormatEntry" names them all.
        names = [f for f in calls if f == query or f.startswith(query + "(") or
                 f.startswith(query + "[abi:")]
        n = sum(calls[f] for f in names)
        if n == 0:
            print(f"{query}: not called")
            continue
        total = sum(inclusive[f] for f in names)
        platform = sum(platform_cost(f, {f}) for f in names)
        print(f"{query}: {n} calls; per call {total // n:,} in all, "
              f"platform {platform // n:,}, own {(total - platform) // n:,}")


main()
