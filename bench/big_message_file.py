#!/usr/bin/env python3
"""Writes a resource-only PE32 whose message table holds COUNT messages in one
block (ids FIRST to FIRST+COUNT-1, ANSI, "Parameter N\\r\\n"): a parameter
file far larger than any the toolchain makes in reasonable time.

    big_message_file.py OUT.dll [COUNT] [FIRST]
"""
import struct
import sys

out = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 4000000
first = int(sys.argv[3]) if len(sys.argv) > 3 else 1

# The message table: one block, then its entries (length, flags, text).
entries = []
for n in range(first, first + count):
    text = b"Parameter %d\r\n\0" % n
    text += b"\0" * (-(len(text) + 4) % 4)
    entries.append(struct.pack("<HH", len(text) + 4, 0) + text)
table = struct.pack("<I", 1) + struct.pack("<III", first, first + count - 1, 16) + b"".join(entries)

# The resource directory: type 11 (RT_MESSAGETABLE) > name 1 > language 0x409.
rsrc_rva = 0x1000
def directory(entry_id, target, is_dir):
    return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack(
        "<II", entry_id, target | (0x80000000 if is_dir else 0))
root = directory(11, 24, True)
names = directory(1, 48, True)
langs = directory(0x409, 72, False)
data_entry = struct.pack("<IIII", rsrc_rva + 88, len(table), 0, 0)
rsrc = root + names + langs + data_entry + table
raw_size = (len(rsrc) + 0x1FF) & ~0x1FF
virtual_size = (len(rsrc) + 0xFFF) & ~0xFFF

dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 64)
coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x2102)  # i386, DLL
optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 0, 0, 0, raw_size, 0, 0,
                       rsrc_rva, rsrc_rva, 0x10000000, 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0,
                       rsrc_rva + virtual_size, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000,
                       0x1000, 0, 16)
dirs = [(0, 0)] * 16
dirs[2] = (rsrc_rva, len(rsrc))
optional += b"".join(struct.pack("<II", *d) for d in dirs)
section = b".rsrc\0\0\0" + struct.pack("<IIIIIIHHI", virtual_size, rsrc_rva, raw_size, 0x200,
                                        0, 0, 0, 0, 0x40000040)
headers = dos + b"PE\0\0" + coff + optional + section
with open(out, "wb") as f:
    f.write(headers + b"\0" * (0x200 - len(headers)))
    f.write(rsrc + b"\0" * (raw_size - len(rsrc)))
