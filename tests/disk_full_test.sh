#!/usr/bin/env bash
# A real full disk: archives written onto a small file system that fills up.
# Needs root to mount a size-limited tmpfs; says so and passes when it cannot.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"
disk=$work/disk
unmount_all() { umount "$disk" "$work/dest-disk" 2>/dev/null; }
cleanup_hooks+=(unmount_all)
mkdir -p "$disk" "$work/src"
if ! mount -t tmpfs -o size=8m tmpfs "$disk" 2>/dev/null; then
  echo "disk_full: skipped (cannot mount a tmpfs here)"
  exit 0
fi

head -c 12000000 /dev/urandom > "$work/src/noise.bin"   # incompressible: stored raw, larger than the disk
printf 'an earlier archive' > "$disk/out.zvka"
err=$("$zarvik" create --block-size 64K "$work/src" "$disk/out.zvka" 2>&1 >/dev/null); rc=$?
check "creation onto a full disk fails" "1|Create failed: Failed to write archive file" "$rc|$err"
check "the earlier archive survives" "an earlier archive" "$(cat "$disk/out.zvka")"
check "no temporary file is left" "out.zvka" "$(ls "$disk")"

# Extraction whose destination fills up midway: the run stops with the write
# message, nothing is lost, and once space is made the resumed run completes.
mkdir -p "$work/dest-disk"
mount -t tmpfs -o size=6m tmpfs "$work/dest-disk"
"$zarvik" create --block-size 1M "$work/src" "$work/a.zvka" >/dev/null
err=$("$zarvik" extract "$work/a.zvka" "$work/dest-disk/out" 2>&1 >/dev/null); rc=$?
check "extraction onto a full disk fails" "1|Extract failed: Failed to write destination block (code=28): No space left on device" \
  "$rc|$(head -n 1 <<<"$err")"
check "the failed run says how to resume" "To continue, run: zarvik extract --resume" "$(sed -n 2p <<<"$err" | grep -o '^To continue, run: zarvik extract --resume')"
mount -o remount,size=32m "$work/dest-disk"
"$zarvik" extract --resume "$work/a.zvka" "$work/dest-disk/out" >/dev/null; check "the resumed run completes" 0 $?
cmp "$work/src/noise.bin" "$work/dest-disk/out/noise.bin"; check "every byte restored" 0 $?
check "archive and journal gone" "" "$(ls "$work" | grep zvk)"
umount "$work/dest-disk"

finish disk_full
