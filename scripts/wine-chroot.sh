#!/usr/bin/env bash
# Runs scripts/run-wine-tests.sh in a chroot of the cached Wine root
# (wine_root.sh), at native speed, on a kernel that runs 32-bit code where
# this machine's own 32-bit Wine cannot be installed. The root image is
# mounted read-only under an overlay whose changes live in memory; /proc,
# /sys, /dev, /tmp and the work tree (at the same absolute path: the posix
# build's RUNPATH is absolute) come from this machine.
#
# Whatever happens (a failure, Ctrl-C, a kill), the run's own processes are
# ended by their ids and its mounts undone in reverse order. Where loop or
# overlay mounts are refused (a container), it says so and runs the QEMU
# guest instead. Exits with the tests' status.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source scripts/wine_root.sh
wine_root_ready || exit 1

run=$(mktemp -d /tmp/kestrin-chroot.XXXXXX)
root=$run/root
mounted=()
mount_step() { # target, mount arguments...: mounts and remembers it for the teardown
  local target=$1
  shift
  mkdir -p "$target" && mount "$@" "$target" || return 1
  mounted+=("$target")
}

# Every process whose root is this chroot: Xvfb, the wineserver and whatever
# Wine left running, found by their ids, not by their names.
chroot_processes() {
  local entry pid
  for entry in /proc/[0-9]*; do
    pid=${entry#/proc/}
    [ "$(readlink "$entry/root" 2>/dev/null)" = "$root" ] && echo "$pid"
  done
}
teardown() {
  local pids i
  mapfile -t pids < <(chroot_processes)
  if [ ${#pids[@]} -gt 0 ]; then
    kill -TERM "${pids[@]}" 2>/dev/null
    for _ in $(seq 50); do
      mapfile -t pids < <(chroot_processes)
      [ ${#pids[@]} -eq 0 ] && break
      sleep 0.1
    done
    [ ${#pids[@]} -eq 0 ] || kill -KILL "${pids[@]}" 2>/dev/null
  fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
      echo "wine-chroot: ${mounted[i]} could not be unmounted"
  done
  mounted=()
  rm -rf "$run"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The overlay's upper layer is a tmpfs of its own: nothing of a run is left on
# the image or on this machine's disk.
if ! mount_step "$run/lower" -o loop,ro "$image/root.img" ||
  ! mount_step "$run/rw" -t tmpfs tmpfs ||
  ! mkdir -p "$run/rw/upper" "$run/rw/work" ||
  ! mount_step "$root" -t overlay overlay \
    -o "lowerdir=$run/lower,upperdir=$run/rw/upper,workdir=$run/rw/work"; then
  echo "wine-chroot: loop or overlay mounts are refused here (a container?):" \
    "the Windows tests run in the QEMU guest instead"
  teardown
  trap - EXIT INT TERM
  exec bash scripts/wine-guest.sh
fi
mount_step "$root/proc" -t proc proc &&
  mount_step "$root/sys" --bind /sys &&
  mount_step "$root/dev" --bind /dev &&
  { ! mountpoint -q /dev/pts || mount_step "$root/dev/pts" --bind /dev/pts; } &&
  { ! mountpoint -q /dev/shm || mount_step "$root/dev/shm" --bind /dev/shm; } &&
  mount_step "$root/tmp" --bind /tmp &&
  mount_step "$root$repo" --bind "$repo" || {
  echo "wine-chroot: the chroot could not be set up"
  exit 1
}

echo "== ${KESTRIN_GUEST_COMMAND:-the Windows tests} in a chroot of the Wine root ($(basename "$image"), native speed)"
# A clean environment, as the guest's: only what the tests read passes in.
environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
  LANG=C.UTF-8 KESTRIN_IN_GUEST=1)
for name in $(compgen -e); do
  case $name in KESTRIN_* | CI | TZ) environment+=("$name=${!name}") ;; esac
done
# In the background, so that an interrupt reaches the trap at once (the shell
# would wait for a foreground chroot to end, and Wine's processes may not).
# KESTRIN_GUEST_COMMAND runs another command there, as in the guest.
chroot "$root" /usr/bin/env -i "${environment[@]}" \
  /bin/bash -c 'cd "$1" && eval "$2"' _ "$repo" "${KESTRIN_GUEST_COMMAND:-bash scripts/run-wine-tests.sh}" &
wait $!
