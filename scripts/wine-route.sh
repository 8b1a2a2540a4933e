#!/usr/bin/env bash
# Prints how this machine runs the shipped 32-bit Windows build under Wine:
#   native  the machine's own 32-bit Wine runs it
#   chroot  the kernel runs 32-bit code but this machine's 32-bit Wine is not
#           installed (its apt could not pair wine32:i386 with the amd64
#           libraries): a chroot of the cached Wine root (wine-chroot.sh)
#   guest   inside a Debian guest under QEMU (wine-guest.sh): the kernel runs
#           no 32-bit x86 code, or a chroot cannot be made (not root)
# KESTRIN_WINE_ROUTE=native|chroot|guest names the route outright, and
# KESTRIN_WINE_GUEST=1 is the same as KESTRIN_WINE_ROUTE=guest.
# "why" as the argument prints the route and the reason for it; "kernel" only
# tells whether the kernel runs 32-bit x86 programs (exit 0 if it does), which
# holds before Wine is installed.
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

route() { # prints "route reason"
  case ${KESTRIN_WINE_ROUTE:-} in
    native | chroot | guest) echo "$KESTRIN_WINE_ROUTE KESTRIN_WINE_ROUTE names it"; return ;;
    '') ;;
    *) echo "bad KESTRIN_WINE_ROUTE='$KESTRIN_WINE_ROUTE' (native, chroot or guest)"; return 1 ;;
  esac
  if [ "${KESTRIN_WINE_GUEST:-0}" = 1 ]; then
    echo "guest KESTRIN_WINE_GUEST=1 asks for the QEMU guest"
  elif ! kernel_runs_32bit; then
    echo "guest this kernel runs no 32-bit x86 code"
  elif /usr/lib/wine/wine --version >/dev/null 2>&1 && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    echo "native this machine's own 32-bit Wine is installed"
  elif [ "$(id -u)" -ne 0 ]; then
    echo "guest this kernel runs 32-bit code, but a chroot needs root"
  else
    echo "chroot this kernel runs 32-bit code, this machine's 32-bit Wine is not installed"
  fi
}
answer=$(route) || { echo "$answer" >&2; exit 2; }
if [ "${1:-}" = why ]; then
  echo "${answer%% *}: ${answer#* }"
else
  echo "${answer%% *}"
fi
