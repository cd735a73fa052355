#!/usr/bin/env bash
# A real full disk: archives written onto a small file system that fills up:
# an ext4 image on a loop device where the machine allows it, else a tmpfs.
# Needs root to mount; says so and passes when it cannot.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"
unmount_all() { umount "$work/disk" "$work/dest-disk" "$work/squeeze" "$work/tiny-disk" 2>/dev/null; }
cleanup_hooks+=(unmount_all)

# small_fs DIR [MIB]: mounts a file system of MIB MiB (default 32) at DIR.
small_fs() {
  mkdir -p "$1"
  local size=${2:-32}M
  if command -v mkfs.ext4 >/dev/null && truncate -s "$size" "$1.img" && mkfs.ext4 -q -F -m 0 "$1.img" 2>/dev/null &&
    mount -o loop "$1.img" "$1" 2>/dev/null; then
    kind=ext4
    return 0
  fi
  kind=tmpfs
  mount -t tmpfs -o size="$size" tmpfs "$1" 2>/dev/null
}
# leave_free DIR MIB: a filler file takes all but MIB MiB of DIR's file system.
leave_free() { fallocate -l $(($(df -B1 --output=avail "$1" | tail -n 1) - $2 * 1048576)) "$1/filler"; }

mkdir -p "$work/src"
if ! small_fs "$work/disk"; then
  echo "disk_full: skipped (cannot mount a file system here)"
  exit 0
fi
echo "disk_full: on $kind"

head -c 12000000 /dev/urandom > "$work/src/noise.bin"   # incompressible: stored raw, larger than the space left
printf 'an earlier archive' > "$work/disk/out.zvka"
leave_free "$work/disk" 8
err=$("$zarvik" create --block-size 64K "$work/src" "$work/disk/out.zvka" 2>&1 >/dev/null); rc=$?
check "creation onto a full disk fails" "1|Create failed: Failed to write archive file" "$rc|$err"
check "the earlier archive survives" "an earlier archive" "$(cat "$work/disk/out.zvka")"
check "no temporary file is left" "out.zvka" "$(ls "$work/disk" | grep zvka)"

# An extraction that does not fit is refused before it writes anything.
small_fs "$work/dest-disk"
leave_free "$work/dest-disk" 6
"$zarvik" create --block-size 1M "$work/src" "$work/a.zvka" >/dev/null
err=$("$zarvik" extract "$work/a.zvka" "$work/dest-disk/out" 2>&1 >/dev/null); rc=$?
needed=$(grep -o 'needs [0-9]* bytes' <<<"$err" | grep -o '[0-9]*')
check "refused for space" "1|Extract failed: Not enough free space at $work/dest-disk/out: the extraction needs |True" \
  "$rc|$(grep -o '^.*needs ' <<<"$err")|$(python3 -c "print(${needed:-0} >= 12000000)")"
check "refused before writing" "absent" "$([ -e "$work/dest-disk/out" ] || [ -e "$work/a.zvka.zvkj" ] || echo absent)"

# Told not to check, it fills the disk midway, after some groups of 1 MiB
# were released: the run stops with the write message, nothing is lost, and
# once space is made the resumed run completes.
err=$("$zarvik" extract --no-space-check --batch 1M "$work/a.zvka" "$work/dest-disk/out" 2>&1 >/dev/null); rc=$?
check "extraction onto a full disk fails" "3|Extract failed: Failed to write destination block (code=28): No space left on device" \
  "$rc|$(head -n 1 <<<"$err")"
check "the failed run says how to resume" "To continue, run: zarvik extract --resume --no-space-check --batch 1M" \
  "$(sed -n 2p <<<"$err" | grep -o '^To continue, run: zarvik extract --resume --no-space-check --batch 1M')"
rm "$work/dest-disk/filler"
"$zarvik" extract --resume "$work/a.zvka" "$work/dest-disk/out" >/dev/null; check "the resumed run completes" 0 $?
cmp "$work/src/noise.bin" "$work/dest-disk/out/noise.bin"; check "every byte restored" 0 $?
check "archive and journal gone" "" "$(ls "$work" | grep zvk)"

# The squeeze: a 40 MB archive extracted onto the 64 MiB file system that holds
# it. Groups shrink to a quarter of the space free at the start, so the disk
# never has to hold much of the archive twice.
small_fs "$work/squeeze" 64
rm "$work/src/noise.bin" && head -c 40000000 /dev/urandom > "$work/src/noise.bin"
"$zarvik" create --block-size 1M "$work/src" "$work/squeeze/s.zvka" >/dev/null
err=$("$zarvik" extract "$work/squeeze/s.zvka" "$work/squeeze/out" 2>&1 >/dev/null); rc=$?
check "a 40 MB archive extracts on a 64 MiB disk" "0|" "$rc|$err"
cmp -s "$work/src/noise.bin" "$work/squeeze/out/noise.bin"; check "every byte of it" 0 $?

# Where the check says a run fits, it succeeds: 3,000 files of 100 bytes,
# each taking a whole allocation unit, extracted beside their archive with
# little more than the predicted space free.
small_fs "$work/tiny-disk"
mkdir "$work/tiny"
python3 -c 'import os, sys
for i in range(3000): open(os.path.join(sys.argv[1], "f%04d" % i), "wb").write(os.urandom(100))' "$work/tiny"
"$zarvik" create "$work/tiny" "$work/tiny-disk/t.zvka" >/dev/null
space() { # free and needed, as info reports them
  "$zarvik" info --json "$work/tiny-disk/t.zvka" "$work/tiny-disk/out" |
    python3 -c 'import json, sys; o = json.load(sys.stdin); print(o["freeAtDestination"], o["neededToExtract"])'
}
read -r free needed < <(space)
fallocate -l $((free - needed - 16384)) "$work/tiny-disk/filler"
read -r free needed < <(space)
check "little more than the predicted space is free" True "$(python3 -c "print(0 <= $free - $needed < 65536)")"
err=$("$zarvik" extract "$work/tiny-disk/t.zvka" "$work/tiny-disk/out" 2>&1 >/dev/null)
check "a run the check lets through completes" "0|" "$?|$err"
diff -r "$work/tiny" "$work/tiny-disk/out" >/dev/null
check "with every file" 0 $?

finish disk_full
