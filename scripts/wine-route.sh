#!/usr/bin/env bash
# Prints how this machine runs the shipped 32-bit Windows build under Wine:
#   native  the machine's own 32-bit Wine runs it
#   guest   inside a Debian guest under QEMU (scripts/wine-guest.sh): the kernel
#           runs no 32-bit x86 code, 32-bit Wine could not be installed, or
#           KESTRIN_WINE_GUEST=1 asks for the guest
# With "kernel" as its argument it only tells whether the kernel runs 32-bit
# x86 programs (exit 0 if it does), which holds before Wine is installed.
set -uo pipefail

kernel_runs_32bit() {
  # The smallest i386 program: a header, one program header and exit(0).
  local probe
  probe=$(mktemp /tmp/kestrin-i386.XXXXXX) || return 1
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5c\x00\x00\x00\x5c\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
  local status=$?
  rm -f "$probe"
  return $status
}

if [ "${1:-}" = kernel ]; then
  kernel_runs_32bit
  exit
fi
if [ "${KESTRIN_WINE_GUEST:-0}" = 1 ] || ! kernel_runs_32bit ||
  ! /usr/lib/wine/wine --version >/dev/null 2>&1 ||
  ! /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
  echo guest
else
  echo native
fi
