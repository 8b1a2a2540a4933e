#!/usr/bin/env bash
# Prints the Windows build that this machine's Wine can run: win32 where the
# kernel runs 32-bit x86 code, else win64 (the same sources built for x86_64).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo win32; else echo win64; fi
