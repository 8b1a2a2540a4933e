# Sourced by wine-guest.sh and wine-chroot.sh: the Debian root in which 32-bit
# Wine runs where this machine's own cannot, made from Debian's packages by
# mmdebstrap and kept in a cache keyed by what it holds. The QEMU guest boots
# it; a kernel that runs 32-bit code runs it as a chroot. One root for both
# routes, made the same way, so that they test the same Wine.
#
# wine_root_ready sets `image` to the folder holding root.img (a 6 GB sparse
# ext4 image), vmlinuz and initrd.img, making them first if they are missing.
# Expects the posix build (its programs' libraries go into the root).

source scripts/heartbeat.sh
wine_root_cache=${KESTRIN_GUEST_CACHE:-/var/cache/kestrin-wine-guest}

# PID 1 of the guest: mounts what programs expect, runs .kestrin-guest-run of
# the work disk (its path in the kernel's command line), writes the results
# disk and powers off (an init that exits panics the kernel). A chroot never
# runs it.
read -r -d '' wine_root_guest_init <<'INIT'
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

wine_root_ready() {
  local repo=$PWD
  # Wine for both word sizes, a display, the screenshot tool, and every
  # library that the POSIX programs the tests run there load.
  local packages=(linux-image-amd64 mount wine wine64 wine32:i386 xvfb xauth imagemagick python3 procps)
  local posix_programs=(build/posix/kestrin-host build/posix/evt build/posix/tests/conformance/*_probe)
  local program library owner libraries sources
  for program in "${posix_programs[@]}"; do
    [ -x "$program" ] || { echo "wine-root: $program is missing (build the posix preset)"; return 1; }
  done
  mapfile -t libraries < <(ldd "${posix_programs[@]}" | awk '$2 == "=>" && $3 ~ /^\// {print $3}' |
    grep -v "^$repo/" | sort -u)
  for library in "${libraries[@]}"; do
    owner=$(dpkg -S "$library" 2>/dev/null || dpkg -S "$(readlink -f "$library")" 2>/dev/null) || {
      echo "wine-root: no package holds $library"; return 1; }
    packages+=("${owner%%:*}")
  done
  mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

  # The release's own suites from this machine's apt sources (not the security
  # archive, whose indexes for i386 can lag behind amd64's: the root needs one
  # consistent set for both architectures, and nothing in it faces a network).
  mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(LABEL)' \
    'Created-By: Packages' | awk '$4 == "Debian" {print "deb " $1 " " $2 " " $3}' | sort -u)
  [ ${#sources[@]} -gt 0 ] || { echo "wine-root: no Debian suite in this machine's apt sources"; return 1; }
  local release key
  release=$(printf '%s\n' "${sources[@]}" | awk '{print $3}' | grep -v -- - | head -n 1)
  key=$( (printf '%s\n' "${packages[@]}" "${sources[@]}" "$wine_root_guest_init") | sha256sum | cut -c1-16)
  image=$wine_root_cache/$key
  if [ -s "$image/root.img" ]; then
    touch "$image" # the most recently used roots are the ones kept
    return 0
  fi

  mkdir -p "$wine_root_cache"
  local started=$SECONDS
  echo "== building the Wine root ($release, ${#packages[@]} packages) in $image"
  heartbeat "the Wine root (mmdebstrap, then mke2fs)" \
    wine_root_build "$key" "$release" "$(IFS=,; echo "${packages[*]}")" "${sources[@]}" || {
    echo "wine-root: the root could not be made"; return 1; }
  echo "   made in $((SECONDS - started)) s"
}

wine_root_build() { # key, release, packages (comma-separated), sources...
  local key=$1 release=$2 include=$3 attempt
  shift 3
  local staging=$wine_root_cache/$key.new
  rm -rf "$staging" "$wine_root_cache"/*.new
  mkdir -p "$staging"
  for attempt in 1 2 3; do
    mmdebstrap --quiet --variant=apt --architectures=amd64,i386 --include="$include" \
      "$release" "$staging/root" "$@" >"$staging/mmdebstrap.log" 2>&1 && break
    echo "mmdebstrap failed (attempt $attempt):"
    tail -n 20 "$staging/mmdebstrap.log"
    rm -rf "$staging/root"
    [ $attempt -lt 3 ] || return 1
    sleep 20
  done
  printf '%s\n' "$wine_root_guest_init" >"$staging/root/kestrin-init"
  chmod 755 "$staging/root/kestrin-init"
  cp "$staging"/root/boot/vmlinuz-* "$staging/vmlinuz" &&
    cp "$staging"/root/boot/initrd.img-* "$staging/initrd.img" &&
    mke2fs -q -t ext4 -d "$staging/root" -L kestrin-root "$staging/root.img" 6G \
      >>"$staging/mmdebstrap.log" || return 1
  rm -rf "$staging/root"
  # The new root and the one used last are kept (two checkouts of different
  # packages do not make each other's again); one that a run has mounted
  # stays readable to it until it unmounts.
  local old
  ls -1dt "$wine_root_cache"/*/ 2>/dev/null | sed 's:/$::' | grep -v -- '\.new$' | tail -n +2 |
    while read -r old; do rm -rf "$old"; done
  mv "$staging" "$image"
}
