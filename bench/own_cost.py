#!/usr/bin/env python3
"""A query's cost split into the platform's calls and the plugin's own code.

    valgrind --tool=callgrind --callgrind-out-file=cg.out \
        build/posix/bench/eventlog_bench --benchmark_filter='BM_LastNLogs/1000000$'
    bench/own_cost.py cg.out LastNLogs [FormatEntry ...]
    bench/own_cost.py short.out,long.out:LastNLogs=short2.out,long2.out:CallFloor::NewestEntries

For each function named, prints its calls and, per call, the instructions it
took in all, those of the platform calls made from outside the emulation
(every name of src/platform/win32api.h that the plugin calls), and the rest:
the plugin's own code, its allocations and string work included. A function
called from several places is given the platform's share of each call that it
has as a whole. "FILE:QUERY" names the file; "SHORT,LONG:QUERY" two runs of one
program, the second longer, of which only the calls the second made beyond the
first count (so the first refreshes, which read the machine's files cold, count
for nothing); "A=B" also prints A's instructions over B's (a query over its floor).
"""
import collections
import os
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
    names = {"fl": {}, "fn": {}}  # callgrind's compressed names, by kind and number
    inclusive = collections.Counter()  # function -> cost of calls made to it
    calls = collections.Counter()
    edges = collections.defaultdict(collections.Counter)  # caller -> callee -> cost
    file_of = {}
    current_file = current_fn = callee = None
    pending = None
    line_kind = re.compile(r"^(c?f[lnie]|cf[il])=\((\d+)\)(?: (.*))?$")

    def name(kind, ident, text):
        table = names["fn" if kind.endswith("fn") else "fl"]
        if text is not None:
            table[ident] = text
        return table.get(ident, "?")

    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            m = line_kind.match(line)
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


def measure(path):
    inclusive, calls, edges, file_of = read(path)
    known = {}

    def platform_share(fn, seen):
        # The platform calls' part of `fn`'s cost: its calls to the platform,
        # and of each other callee the same part as the callee has as a whole
        # (exact for a function called from one place only). What the emulation
        # calls of itself is the platform's own cost.
        if fn in known:
            return known[fn]
        seen = seen | {fn}
        total = 0.0
        for callee, cost in edges.get(fn, {}).items():
            if callee.split("(")[0] in PLATFORM:
                total += cost
            elif callee not in seen and "/platform/emu/" not in (file_of.get(callee) or ""):
                whole = inclusive[callee]
                if whole:
                    total += cost * platform_share(callee, seen) / whole
        known[fn] = total
        return total

    def cost(query):
        # A C++ function is named with its parameters: "FormatEntry" names them all.
        names = [f for f in calls if f == query or f.startswith(query + "(") or
                 f.startswith(query + "[abi:")]
        n = sum(calls[f] for f in names)
        total = sum(inclusive[f] for f in names)
        platform = sum(platform_share(f, set()) for f in names)
        return n, total, platform

    return cost


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    measured = {}

    def per_call(item):
        # "FILE:QUERY", or "SHORT,LONG:QUERY" for two runs of one program, the
        # second longer: then only the calls the second made beyond the first
        # count, which leaves out the first refreshes, made on cold files.
        files, query = sys.argv[1], item
        head, _, rest = item.partition(":")
        if rest and all(os.path.exists(f) for f in head.split(",")):
            files, query = head, rest
        runs = []
        for f in files.split(","):
            if f not in measured:
                measured[f] = measure(f)
            runs.append(measured[f](query))
        n, total, platform = runs[-1]
        if len(runs) == 2:
            n, total, platform = (a - b for a, b in zip(runs[1], runs[0]))
        if n <= 0:
            print(f"{query}: not called")
            return None
        print(f"{query}: {n} calls; per call {total / n:,.0f} in all, "
              f"platform {platform / n:,.0f}, own {(total - platform) / n:,.0f}")
        return total / n

    items = sys.argv[2:] if os.path.exists(sys.argv[1]) else sys.argv[1:]
    for item in items:
        # "A=B": A and B, and A's cost over B's.
        pair = item.split("=")
        results = [per_call(q) for q in pair]
        if len(pair) == 2 and None not in results:
            names = [q.rsplit(":", 1)[-1] for q in pair]
            print(f"{names[0]}/{names[1]}: {results[0] / results[1]:.3f}")


main()
