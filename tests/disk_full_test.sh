#!/usr/bin/env bash
# A real full disk: archives written onto a small file system that fills up.
# Needs root to mount a size-limited tmpfs; says so and passes when it cannot.
set -u
zarvik=$1
work=$(mktemp -d)
disk=$work/disk
cleanup() { umount "$disk" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$disk" "$work/src"
if ! mount -t tmpfs -o size=8m tmpfs "$disk" 2>/dev/null; then
  echo "disk_full: skipped (cannot mount a tmpfs here)"
  exit 0
fi
passed=0 failed=0
check() {
  if [ "$2" == "$3" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

head -c 12000000 /dev/urandom > "$work/src/noise.bin"   # incompressible: stored raw, larger than the disk
printf 'an earlier archive' > "$disk/out.zvka"
err=$("$zarvik" create --block-size 64K "$work/src" "$disk/out.zvka" 2>&1 >/dev/null); rc=$?
check "creation onto a full disk fails" "1|Create failed: Failed to write archive file" "$rc|$err"
check "the earlier archive survives" "an earlier archive" "$(cat "$disk/out.zvka")"
check "no temporary file is left" "out.zvka" "$(ls "$disk")"

echo "disk_full: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
