#!/usr/bin/env bash
# The evt tool: a description written and dumped back; a damaged file dumped as
# far as it can be read, with a message and a failing exit.
set -u
evt=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
expect() { # name, expected, actual
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failed=1
  fi
}

cat >"$work/log.txt" <<'DESC'
log maxsize=512 computer=PC dirty=yes first=41
record time=2038-01-19T03:14:08Z type=Warning source="Caf\u00e9" id=0xC0000005 sid=S-1-5-32-544
string a
string
record time=2026-01-01T00:00:00Z type=AuditFailure source=Disk id=7
repeat 6
DESC
sed -i 's/Caf\\u00e9/Café/' "$work/log.txt"
"$evt" write "$work/log.txt" "$work/log.evt" 2>/dev/null || { echo "FAIL write"; exit 1; }
expected=$(printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
  44 2026-01-01T00:02:00Z 0x00000007 'Audit Failure' Disk 0 - \
  45 2026-01-01T00:03:00Z 0x00000007 'Audit Failure' Disk 0 - \
  46 2026-01-01T00:04:00Z 0x00000007 'Audit Failure' Disk 0 - \
  47 2026-01-01T00:05:00Z 0x00000007 'Audit Failure' Disk 0 - \
  48 2026-01-01T00:06:00Z 0x00000007 'Audit Failure' Disk 0 -)
expect "a wrapped log dumps its remaining records" "$expected" "$("$evt" dump "$work/log.evt")"

head -c 1024 /dev/zero >"$work/small.txt"
printf 'log maxsize=4096\nrecord time=2038-01-19T03:14:08Z type=Warning source="Café" id=0xC0000005 sid=S-1-5-32-544\nstring a\nstring\nrecord time=2026-01-01T00:00:00Z type=19 source=X id=1\n' >"$work/two.txt"
"$evt" write "$work/two.txt" "$work/two.evt" 2>/dev/null
expected=$(printf '1\t2038-01-19T03:14:08Z\t0xC0000005\tWarning\tCafé\t2\tS-1-5-32-544\n2\t2026-01-01T00:00:00Z\t0x00000001\tN/A\tX\t0\t-')
expect "fields of a record" "$expected" "$("$evt" dump "$work/two.evt")"

# Break the second record's signature: the first is still dumped.
second=$((48 + $(od -An -tu4 -j48 -N4 "$work/two.evt" | tr -d ' ')))
printf 'XXXX' | dd of="$work/two.evt" bs=1 seek=$((second + 4)) conv=notrunc 2>/dev/null
out=$("$evt" dump "$work/two.evt" 2>"$work/err.txt")
status=$?
expect "damaged: exit status" 1 "$status"
expect "damaged: what could be read" "$(printf '1\t2038-01-19T03:14:08Z\t0xC0000005\tWarning\tCafé\t2\tS-1-5-32-544')" "$out"
grep -q "record 2 is damaged" "$work/err.txt" || { echo "FAIL damaged: message"; failed=1; }

"$evt" write /dev/null "$work/x.evt" 2>/dev/null
printf 'record time=yesterday type=Error source=X id=1\n' >"$work/bad.txt"
"$evt" write "$work/bad.txt" "$work/bad.evt" 2>"$work/err.txt"
expect "a bad description fails" 1 $?
grep -q "bad.txt:1" "$work/err.txt" || { echo "FAIL bad description: where"; failed=1; }

"$evt" --help 2>/dev/null | grep -q '^usage: evt write'
expect "--help prints the usage on standard output" 0 $?

[ $failed -eq 0 ] && echo "evt tool: all checks passed"
exit $failed
