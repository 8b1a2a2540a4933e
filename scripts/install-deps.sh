#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root).
# usage: install-deps.sh [posix|all]   posix: enough for the demo
set -uo pipefail
what=${1:-all}
here=$(dirname "$0")

# The message files of the bundled machine are built with the mingw tools.
posix_packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libpng-dev libncurses-dev tmux clang
                libclang-rt-14-dev binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                gcc-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix
                python3-evtx libevtx-utils) # the two .evtx readers our own is compared with
windows_packages=(g++-mingw-w64-i686-posix googletest)
# Wine for the shipped 32-bit build, where this kernel runs 32-bit code; else
# (or when KESTRIN_WINE_ROUTE names the chroot or the guest) what makes the
# Debian root that runs it, and boots it as a guest where a chroot cannot be.
wine_packages=(wine wine64 wine32:i386 xvfb xauth imagemagick)
guest_packages=(qemu-system-x86 mmdebstrap e2fsprogs)

apt_updated=
install() { # packages...: installs those not installed yet
  local missing=() p attempt
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "$apt_updated" ]; then
    # A mirror in the middle of a sync fails one index of many; the lists that
    # did arrive are enough for most installs, so try again a few times, then go on.
    for attempt in 1 2 3; do
      apt-get update -qq && break
      echo "apt-get update failed (attempt $attempt)" >&2
      [ $attempt -lt 3 ] && sleep 10
    done
    apt_updated=1
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

packages=("${posix_packages[@]}")
[ "$what" = all ] && packages+=("${windows_packages[@]}")
install "${packages[@]}" || exit 1
[ "$what" = all ] || exit 0

named_route=${KESTRIN_WINE_ROUTE:-}
[ "${KESTRIN_WINE_GUEST:-0}" = 1 ] && named_route=guest
if [ -z "$named_route" ] || [ "$named_route" = native ] && bash "$here/wine-route.sh" kernel; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt_updated=
  fi
  # wine32:i386 needs its i386 libraries at the versions of the amd64 ones
  # installed; where the mirror cannot give them, a chroot or a guest runs
  # Wine instead. A refusal is remembered for 12 hours, so that a test run
  # does not pay for the same apt-get update and refusal every time.
  refused=/var/cache/kestrin-wine-guest/wine32-refused
  if [ -n "$(find "$refused" -mmin -720 2>/dev/null)" ]; then
    echo "32-bit Wine could not be installed here at $(date -r "$refused" +%H:%M) (tried again" \
      "after 12 hours): the Windows tests run in a chroot or a guest" >&2
  elif install "${wine_packages[@]}" 2>/dev/null; then
    rm -f "$refused"
    exit 0
  else
    mkdir -p "$(dirname "$refused")" && touch "$refused"
    echo "32-bit Wine could not be installed here: the Windows tests run in a chroot or a guest" >&2
  fi
fi
install "${guest_packages[@]}"
