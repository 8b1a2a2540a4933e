#!/usr/bin/env bash
# Runs scripts/run-wine-tests.sh inside a Debian guest under QEMU, where 32-bit
# Wine runs whatever the host kernel allows. The guest's root is the cached
# one of wine_root.sh; the work tree reaches it on a disk of its own at the
# same absolute path, and its output, exit status and screenshot come back on
# a third disk as a tar.
# Expects build/posix and build/win32. Exits with the tests' status; a guest
# that does not start or does not finish fails, with its console shown.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
minutes=${KESTRIN_GUEST_MINUTES:-30}
source scripts/wine_root.sh
wine_root_ready || exit 1

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
mke2fs -q -t ext4 -d "$run/work" -L kestrin-work "$run/work.img" "${size_mb}M" >/dev/null || exit 1
rm -rf "$run/work"
truncate -s 256M "$run/results.img"

# Software emulation, which runs 32-bit code whatever the host kernel allows
# (nested KVM, where there is one, may not). QEMU 7.2's CPU model faults
# 32-bit programs' iret with SMAP on, hence -smap.
accel=(-accel tcg,thread=multi -cpu max,-smap,-smep)
echo "== booting the Wine guest (QEMU, software emulation) for the Windows tests"
echo "   (its output comes when it powers off: 3 to 20 minutes)"
boot_guest() {
  timeout "$((minutes * 60))" qemu-system-x86_64 -machine q35 "${accel[@]}" -smp 2 -m 4096 \
    -display none -monitor none -serial "file:$run/console.txt" -no-reboot \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=LABEL=kestrin-root rw console=ttyS0 init=/kestrin-init quiet kestrin.work=$repo" \
    -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
    -drive "file=$run/work.img,format=raw,if=virtio" \
    -drive "file=$run/results.img,format=raw,if=virtio" </dev/null >"$run/qemu.txt" 2>&1
}
started=$SECONDS
heartbeat "the QEMU guest: its boot, then the Windows tests" boot_guest
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
