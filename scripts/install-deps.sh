#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root).
# usage: install-deps.sh [posix|all]   posix: enough for the demo
set -euo pipefail
what=${1:-all}

# The message files of the bundled machine are built with the mingw tools.
posix_packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libpng-dev clang
                libclang-rt-14-dev binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                gcc-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix)
windows_packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
                  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                  googletest wine wine64 wine32:i386 xvfb xauth imagemagick)

packages=("${posix_packages[@]}")
if [ "$what" = all ]; then
  packages+=("${windows_packages[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
