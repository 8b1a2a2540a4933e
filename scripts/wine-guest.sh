#!/usr/bin/env bash
# Runs scripts/run-wine-tests.sh inside a Debian guest under QEMU, where 32-bit
# Wine runs whatever the host kernel allows. The guest's root is made from
# Debian's packages by mmdebstrap (kept in a cache, keyed by what it holds);
# the work tree reaches it on a disk of its own at the same absolute path, and
# its output, exit status and screenshot come back on a third disk as a tar.
# Expects build/posix and build/win32. Exits with the tests' status; a guest
# that does not start or does not finish fails, with its console shown.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
cache=${KESTRIN_GUEST_CACHE:-/var/cache/kestrin-wine-guest}
minutes=${KESTRIN_GUEST_MINUTES:-30}

# What the guest runs: Wine for both word sizes, a display, the screenshot
# tool, and every library that the POSIX programs the tests run there load.
packages=(linux-image-amd64 mount wine wine64 wine32:i386 xvfb xauth imagemagick python3 procps)
posix_programs=(build/posix/kestrin-host build/posix/evt build/posix/tests/conformance/*_probe)
for program in "${posix_programs[@]}"; do
  [ -x "$program" ] || { echo "wine-guest: $program is missing (build the posix preset)"; exit 1; }
done
mapfile -t libraries < <(ldd "${posix_programs[@]}" | awk '$2 == "=>" && $3 ~ /^\// {print $3}' |
  grep -v "^$repo/" | sort -u)
for library in "${libraries[@]}"; do
  owner=$(dpkg -S "$library" 2>/dev/null || dpkg -S "$(readlink -f "$library")" 2>/dev/null) || {
    echo "wine-guest: no package holds $library"; exit 1; }
  packages+=("${owner%%:*}")
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

# The release's own suites from this machine's apt sources (not the security
# archive, whose indexes for i386 can lag behind amd64's: the guest needs one
# consistent set for both architectures, and nothing in it faces a network).
mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(LABEL)' \
  'Created-By: Packages' | awk '$4 == "Debian" {print "deb " $1 " " $2 " " $3}' | sort -u)
[ ${#sources[@]} -gt 0 ] || { echo "wine-guest: no Debian suite in this machine's apt sources"; exit 1; }
release=$(printf '%s\n' "${sources[@]}" | awk '{print $3}' | grep -v -- - | head -n 1)

# PID 1 of the guest: mounts what programs expect, runs .kestrin-guest-run of
# the work disk (its path in the kernel's command line), writes the results
# disk and powers off (an init that exits panics the kernel).
read -r -d '' guest_init <<'INIT'
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
echo kestrin-guest >/proc/sys/kernel/hostname
work=$(sed -n 's/.*kestrin\.work=\([^ ]*\).*/\1/p' /proc/cmdline)
mkdir -p "$work" /results
if mount /dev/vdb "$work"; then
  cd "$work"
  { bash .kestrin-guest-run; echo $? >/results/status; } 2>&1 | tee /results/output.txt
else
  echo "the work disk did not mount"
fi
cd /results && tar -cf /dev/vdc .
sync
echo o >/proc/sysrq-trigger
sleep 30
INIT

key=$( (printf '%s\n' "${packages[@]}" "${sources[@]}" "$guest_init") | sha256sum | cut -c1-16)
image=$cache/$key
build_root() {
  echo "== building the Wine guest ($release, ${#packages[@]} packages) in $image"
  local staging=$cache/$key.new
  rm -rf "$staging" "$cache"/*.new
  mkdir -p "$staging"
  local include
  include=$(IFS=,; echo "${packages[*]}")
  local attempt
  for attempt in 1 2 3; do
    mmdebstrap --quiet --variant=apt --architectures=amd64,i386 --include="$include" \
      "$release" "$staging/root" "${sources[@]}" >"$staging/mmdebstrap.log" 2>&1 && break
    echo "mmdebstrap failed (attempt $attempt):"
    tail -n 20 "$staging/mmdebstrap.log"
    rm -rf "$staging/root"
    [ $attempt -lt 3 ] || return 1
    sleep 20
  done
  printf '%s\n' "$guest_init" >"$staging/root/kestrin-init"
  chmod 755 "$staging/root/kestrin-init"
  cp "$staging"/root/boot/vmlinuz-* "$staging/vmlinuz" &&
    cp "$staging"/root/boot/initrd.img-* "$staging/initrd.img" &&
    mke2fs -q -t ext4 -d "$staging/root" -L kestrin-root "$staging/root.img" 6G || return 1
  rm -rf "$staging/root"
  # Only the newest guest is kept.
  find "$cache" -mindepth 1 -maxdepth 1 ! -name "$key.new" -exec rm -rf {} +
  mv "$staging" "$image"
}
if [ ! -s "$image/root.img" ]; then
  mkdir -p "$cache"
  started=$SECONDS
  build_root || { echo "wine-guest: the guest's root could not be made"; exit 1; }
  echo "   made in $((SECONDS - started)) s"
fi

# The work tree as the tests read it, without what they never touch.
run=$(mktemp -d /tmp/kestrin-guest.XXXXXX)
trap 'rm -rf "$run"' EXIT
mkdir -p "$run/work"
tar -C "$repo" --exclude=./.git --exclude=./build/posix-asan --exclude=./build/fuzz \
  --exclude='*.o' --exclude='*.obj' -cf - . | tar -C "$run/work" -xf -
# What the guest runs: the Windows tests, or KESTRIN_GUEST_COMMAND to look into it.
printf 'export KESTRIN_IN_GUEST=1 KESTRIN_SCREENSHOT_OUT=/results/configure-dialog.png\n%s\n' \
  "${KESTRIN_GUEST_COMMAND:-bash scripts/run-wine-tests.sh}" >"$run/work/.kestrin-guest-run"
size_mb=$(( $(du -sm "$run/work" | cut -f1) * 2 + 512 ))
mke2fs -q -t ext4 -d "$run/work" -L kestrin-work "$run/work.img" "${size_mb}M" || exit 1
rm -rf "$run/work"
truncate -s 256M "$run/results.img"

# Software emulation, which runs 32-bit code whatever the host kernel allows
# (nested KVM, where there is one, may not). QEMU 7.2's CPU model faults
# 32-bit programs' iret with SMAP on, hence -smap.
accel=(-accel tcg,thread=multi -cpu max,-smap,-smep)
echo "== booting the Wine guest (QEMU, software emulation) for the Windows tests"
started=$SECONDS
timeout "$((minutes * 60))" qemu-system-x86_64 -machine q35 "${accel[@]}" -smp 2 -m 4096 \
  -display none -monitor none -serial "file:$run/console.txt" -no-reboot \
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "root=LABEL=kestrin-root rw console=ttyS0 init=/kestrin-init quiet kestrin.work=$repo" \
  -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
  -drive "file=$run/work.img,format=raw,if=virtio" \
  -drive "file=$run/results.img,format=raw,if=virtio" </dev/null >"$run/qemu.txt" 2>&1
qemu_status=$?
mkdir -p "$run/results"
tar -C "$run/results" -xf "$run/results.img" 2>/dev/null
if [ ! -s "$run/results/status" ]; then
  echo "wine-guest: the guest gave no result (qemu exit $qemu_status after $((SECONDS - started)) s)"
  cat "$run/qemu.txt"
  echo "-- the guest's console:"
  tail -n 80 "$run/console.txt"
  exit 1
fi
cat "$run/results/output.txt"
if [ -n "${KESTRIN_SCREENSHOT_OUT:-}" ] && [ -s "$run/results/configure-dialog.png" ]; then
  cp "$run/results/configure-dialog.png" "$KESTRIN_SCREENSHOT_OUT"
fi
[ -n "${KESTRIN_GUEST_KEEP:-}" ] && cp -r "$run/results/." "$KESTRIN_GUEST_KEEP/"
echo "(the guest ran for $((SECONDS - started)) s)"
exit "$(cat "$run/results/status")"
