#!/usr/bin/python3
"""Compares what our .evtx reader makes of real logs with two readers nobody
here wrote: python3-evtx (its XML) and libevtx's evtxexport (its text).

usage: evtx_compare.py EVT_TOOL FILE.evtx...

Every record, field by field: record number, creation and written times, event
id and qualifiers, level and legacy type, provider and source name, computer,
SID, strings and binary data. A difference fails the run, except the renderings
listed in RENDERING below, each of which is counted and printed.
"""
import base64
import datetime
import json
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import Evtx.Evtx as evtx_module

NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
EPOCH_1601 = datetime.datetime(1601, 1, 1)

# Renderings that differ by design, not by reading:
RENDERING = {
    # python3-evtx shows a string array inside one Data element as
    # "<string>a</string>\n<string>b</string>\n"; the legacy calls hand over one
    # string per element, as we do (evtxexport agrees).
    "python-evtx string array": 0,
    # evtxexport lists the Binary element's bytes (as hex) as a last string;
    # the legacy calls hand them over as the record's data.
    "evtxexport binary as string": 0,
    # python3-evtx rounds times to the microsecond (through a float).
    "python-evtx microseconds": 0,
    # Values as the platform's XML shows them, where a reader shows them its own
    # way: 32-bit hexadecimal integers padded to 8 digits (both readers; the
    # platform writes 0x0, as we do), GUIDs in lower case, True/False, times
    # as "YYYY-MM-DD HH:MM:SS.ffffff" (python3-evtx), CR LF made LF by its XML.
    "hexadecimal padding": 0,
    "python-evtx GUID case": 0,
    "python-evtx booleans": 0,
    "python-evtx times": 0,
    "python-evtx line ends": 0,
    # python3-evtx shows binary values inside Data as base64; the platform
    # shows hexadecimal, as we do.
    "python-evtx binary as base64": 0,
    # python3-evtx loses its way in string arrays with empty elements (it
    # repeats or moves them: EventLog 6013 gives ['376', '376', '60', ...] where
    # the platform's "The system uptime is %5 seconds." needs four empty strings
    # first); evtxexport agrees with us there, so only its strings are compared.
    "python-evtx string array with empty elements": 0,
    # evtxexport's text output cannot show a string's last line end.
    "evtxexport last line end": 0,
    # A manifest event's optional value left NULL: the platform's XML leaves its
    # Data element out (python3-evtx follows); the legacy strings keep its place
    # as an empty string, as evtxexport does, so that %N still names the Nth
    # data item of the event's template.
    "python-evtx drops NULL Data": 0,
}

HEX = re.compile(r"^0x[0-9a-fA-F]+$")
GUID = re.compile(r"^\{[0-9A-Fa-f-]{36}\}$")
ISO_TIME = re.compile(r"^(\d{4}-\d\d-\d\d)T(\d\d:\d\d:\d\d)(?:\.(\d+))?Z$")


def same_rendering(mine, theirs):
    """Whether two texts differ only by a rendering listed above (and which)."""
    if mine == theirs:
        return True, None
    if HEX.match(mine) and HEX.match(theirs) and int(mine, 16) == int(theirs, 16):
        return True, "hexadecimal padding"
    if GUID.match(mine) and mine.lower() == theirs:
        return True, "python-evtx GUID case"
    if mine in ("true", "false") and theirs == mine.capitalize():
        return True, "python-evtx booleans"
    if mine.replace("\r\n", "\n") == theirs:
        return True, "python-evtx line ends"
    if mine.rstrip("\r\n") == theirs.rstrip("\r\n"):
        return True, "evtxexport last line end"
    try:
        if len(mine) % 2 == 0 and mine and base64.b64decode(theirs, validate=True) == bytes.fromhex(mine):
            return True, "python-evtx binary as base64"
    except ValueError:
        pass
    iso = ISO_TIME.match(mine)
    if iso:
        fraction = (iso.group(3) or "0")[:6]
        moment = datetime.datetime.fromisoformat(f"{iso.group(1)} {iso.group(2)}.{fraction:0<6}")
        try:
            other = datetime.datetime.fromisoformat(theirs)
        except ValueError:
            return False, None
        if abs((moment - other).total_seconds()) <= 5e-6:
            return True, "python-evtx times"
    return False, None


def same_strings(mine, theirs):
    if len(mine) != len(theirs):
        return False
    kinds = []
    for a, b in zip(mine, theirs):
        same, kind = same_rendering(a, b)
        if not same:
            return False
        kinds.append(kind)
    for kind in set(kinds) - {None}:
        RENDERING[kind] += 1
    return True


def ours(tool, path):
    out = subprocess.run([tool, "dump", "--json", path], check=True, capture_output=True,
                         text=True).stdout
    return {r["number"]: r for r in map(json.loads, out.splitlines())}


def filetime(moment):
    delta = moment - EPOCH_1601
    return (delta.days * 86400 + delta.seconds) * 10**7 + delta.microseconds * 10


def leaf_texts(element, out):
    for name, value in element.attrib.items():
        out.append(value)
    children = list(element)
    if not children:
        if element.text is not None:
            out.append(element.text)
        return
    for child in children:
        leaf_texts(child, out)


def python_evtx(path):
    records = {}
    with evtx_module.Evtx(path) as log:
        for record in log.records():
            root = ET.fromstring(record.xml())
            system = root.find(NS + "System")
            provider = system.find(NS + "Provider")
            event_id = system.find(NS + "EventID")
            created = system.find(NS + "TimeCreated").get("SystemTime")
            strings, data, arrays = [], b"", 0
            for part in root:
                if part.tag == NS + "EventData":
                    for child in part:
                        text = child.text or ""
                        if child.tag == NS + "Binary":
                            data = base64.b64decode(text)
                        elif text.startswith("<string>"):
                            strings += re.findall(r"<string>(.*?)</string>", text, re.S)
                            arrays += 1
                        elif child.text is not None or child.get("Name") is not None:
                            strings.append(text)
                elif part.tag != NS + "System":
                    for child in part:
                        leaf_texts(child, strings)
            sid = system.find(NS + "Security").get("UserID") or "-"
            records[record.record_num()] = {
                "number": int(system.find(NS + "EventRecordID").text),
                "created": created,
                "written": filetime(record.timestamp()),
                "eventId": int(event_id.text),
                "qualifiers": event_id.get("Qualifiers") or None,
                "level": int(system.find(NS + "Level").text),
                "provider": provider.get("Name"),
                "source": provider.get("EventSourceName") or provider.get("Name"),
                "computer": system.find(NS + "Computer").text or "",
                "sid": sid,
                "strings": strings,
                "data": data.hex().upper(),
                "arrays": arrays,
            }
    return records


FIELD = re.compile(r"^([A-Z][A-Za-z ]+?)(?:: (\d+))?\t+: ?(.*)$")


def evtxexport(path):
    out = subprocess.run(["evtxexport", path], check=True, capture_output=True).stdout
    records, current, last_string = {}, None, None
    for line in out.decode("utf-8", "replace").split("\n"):
        match = FIELD.match(line)
        if not match:
            if current is not None and last_string is not None and line:
                current["strings"][last_string] += "\n" + line
            continue
        key, index, value = match.groups()
        if key == "Event number":
            current = {"number": int(value), "strings": [], "sid": "-"}
            records[current["number"]] = current
            last_string = None
        elif current is None:
            continue
        elif key == "Written time":
            current["written_text"] = value
        elif key == "Event level":
            current["level"] = int(re.search(r"\((\d+)\)", value).group(1))
        elif key == "User security identifier":
            current["sid"] = value
        elif key == "Computer name":
            current["computer"] = value
        elif key == "Source name":
            current["source"] = value
        elif key == "Event identifier":
            current["eventId"] = int(re.search(r"\((\d+)\)", value).group(1))
        elif key == "String":
            current["strings"].append(value)
            last_string = len(current["strings"]) - 1
    return records


def written_text(ticks):
    moment = EPOCH_1601 + datetime.timedelta(microseconds=ticks // 10)
    return moment.strftime("%b %d, %Y %H:%M:%S.") + "%09d UTC" % ((ticks % 10**7) * 100)


def main():
    tool, paths = sys.argv[1], sys.argv[2:]
    failures = 0
    compared = 0

    def differ(path, number, what, mine, theirs):
        nonlocal failures
        failures += 1
        if failures <= 40:
            print(f"{path}: record {number}: {what}: ours {mine!r}, theirs {theirs!r}")

    for path in paths:
        mine = ours(tool, path)
        python = python_evtx(path)
        libevtx = evtxexport(path)
        for label, theirs in (("python3-evtx", python), ("evtxexport", libevtx)):
            if set(mine) != set(theirs):
                differ(path, "-", label + " record numbers", sorted(set(mine) - set(theirs))[:5],
                       sorted(set(theirs) - set(mine))[:5])
        for number, record in sorted(mine.items()):
            compared += 1
            p, x = python.get(number), libevtx.get(number)
            if p:
                created = p["created"].replace(" ", "T")
                ticks = record["created"]
                ours_created = EPOCH_1601 + datetime.timedelta(microseconds=ticks // 10)
                theirs_created = datetime.datetime.fromisoformat(created)
                if abs((ours_created - theirs_created).total_seconds()) > 5e-6:
                    differ(path, number, "created", str(ours_created), created)
                elif ticks % 10:
                    RENDERING["python-evtx microseconds"] += 1
                if abs(record["written"] - p["written"]) > 50:
                    differ(path, number, "written", record["written"], p["written"])
                qualifiers = None if record["qualifiers"] is None else str(record["qualifiers"])
                for field, value in (("eventId", record["eventId"]), ("qualifiers", qualifiers),
                                     ("level", record["level"]), ("provider", record["provider"]),
                                     ("source", record["source"]),
                                     ("computer", record["computer"]), ("sid", record["sid"]),
                                     ("data", record["data"])):
                    if value != p[field]:
                        differ(path, number, "python3-evtx " + field, value, p[field])
                if p["arrays"] and "" in record["strings"]:
                    RENDERING["python-evtx string array with empty elements"] += 1
                elif same_strings([t for t in record["strings"] if t], p["strings"]) and \
                        len(record["strings"]) > len(p["strings"]):
                    RENDERING["python-evtx drops NULL Data"] += 1
                elif not same_strings(record["strings"], p["strings"]):
                    differ(path, number, "python3-evtx strings", record["strings"], p["strings"])
                if p["arrays"]:
                    RENDERING["python-evtx string array"] += 1
            if x:
                strings = list(record["strings"])
                if record["data"] and len(x["strings"]) == len(strings) + 1 and \
                        x["strings"][-1] == record["data"]:
                    RENDERING["evtxexport binary as string"] += 1
                    strings.append(record["data"])
                if written_text(record["written"]) != x.get("written_text"):
                    differ(path, number, "evtxexport written", written_text(record["written"]),
                           x.get("written_text"))
                for field, value in (("eventId", record["eventId"]), ("level", record["level"]),
                                     ("source", record["source"]),
                                     ("computer", record["computer"]), ("sid", record["sid"])):
                    if value != x.get(field):
                        differ(path, number, "evtxexport " + field, value, x.get(field))
                if not same_strings(strings, x["strings"]):
                    differ(path, number, "evtxexport strings", strings, x["strings"])
    for what, count in RENDERING.items():
        print(f"rendering difference, by design: {what}: {count} records")
    print(f"{compared} records compared, {failures} differences")
    return 1 if failures or not compared else 0


if __name__ == "__main__":
    sys.exit(main())
