#!/usr/bin/env bash
# What a destination's file system cannot hold (ext4, FAT, exFAT by kernel or FUSE, whichever mounts) is refused before
# anything is written, naming entry and limit; and the space a run needs, on disks that fill up. Needs root to mount.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"
mounted=() loops=() && cleanup_hooks+=(unmount_all)
unmount_all() { for d in "${mounted[@]}"; do umount "$d"; done; for d in "${loops[@]}"; do losetup -d "$d"; done; } 2>/dev/null

# mount_as KIND DIR [MIB]: a file system of KIND and MIB MiB (48 unless given) at DIR; false where it cannot be.
mount_as() {
  local kind=$1 dir=$2 image=$2.img dev
  mkdir -p "$dir" && truncate -s "${3:-48}M" "$image" || return 1
  case $kind in
  ext4) mkfs.ext4 -q -F -m 0 "$image" 2>/dev/null && mount -o loop "$image" "$dir" 2>/dev/null ;;
  vfat) mkfs.vfat -F 32 "$image" >/dev/null 2>&1 && mount -t vfat -o loop "$image" "$dir" 2>/dev/null ;;
  exfat) mkfs.exfat "$image" >/dev/null 2>&1 && mount -t exfat -o loop "$image" "$dir" 2>/dev/null ;;
  exfat-fuse) command -v mount.exfat-fuse >/dev/null && mkfs.exfat "$image" >/dev/null 2>&1 &&
    dev=$(losetup -f --show "$image" 2>/dev/null) && loops+=("$dev") && mount.exfat-fuse "$dev" "$dir" >/dev/null 2>&1 ;;
  esac || return 1
  mounted=("$dir" "${mounted[@]}")
}
# tar_of ARCHIVE MEMBER...: a tar, each MEMBER "f:NAME", "s:NAME:TARGET" (symbolic link) or "h:NAME:TARGET" (hard link).
tar_of() {
  python3 -c 'import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT) as tar:
    for kind, name, *target in (member.split(":", 2) for member in sys.argv[2:]):
        info, data = tarfile.TarInfo(name), name.encode() * 3 if kind == "f" else b""
        info.size, info.mode, info.mtime = len(data), 0o640, 1000000000
        if target: info.type, info.linkname = tarfile.SYMTYPE if kind == "s" else tarfile.LNKTYPE, target[0]
        tar.addfile(info, io.BytesIO(data))' "$@"
}

cjk100=$(python3 -c 'print("名" * 100)') cjk256=$(python3 -c 'print("名" * 256)')  # 300 bytes, 100 UTF-16 units; 256 units
deep=$(python3 -c 'print("/".join(["d" * 200] * 21))')  # 4220 bytes
far=$(python3 -c 'print("t/" * 2047 + "ab")')             # a link target of 4096 bytes, as long as a tar's may be
mkdir -p "$work/sparse" && mount -t tmpfs -o size=1M tmpfs "$work/sparse" 2>/dev/null && mounted+=("$work/sparse") &&
  truncate -s 1P "$work/sparse/huge" && truncate -s 5G "$work/sparse/big" && (cd "$work/sparse" &&
  tar --sparse --format=posix -cf "$work/huge.tar" huge && tar --sparse --format=posix -cf "$work/big.tar" big)

limit() { local message=$1 && shift && tar_of "$scope/a.tar" "$@" && row 1= "Extract failed: $message" "" extract "$scope/a.tar" "$d"; }
clash="Names that the destination holds as one, since it ignores letter case" tested=()
for kind in ext4 vfat exfat exfat-fuse; do
  scope=$work/$kind d=$work/$kind/out && mount_as "$kind" "$scope" && tested+=("$kind") || continue
  if [ $kind = ext4 ]; then
    limit "Name too long for the destination's file system (at most 255 bytes): $d/$cjk100" "f:$cjk100"
    limit "Path too long for the destination (at most 4095 bytes below it): $d/$deep" "f:$deep"
    limit "Link target too long for the destination (at most 4095 bytes): $d/l" "f:a" "s:l:$far"
    [ -e "$work/huge.tar" ] && cp "$work/huge.tar" "$scope/" && run extract "$scope/huge.tar" "$d" && check "$kind: a 1 PiB \
member, all holes" "1|Extract failed: The destination's file system holds no file over N bytes: $d/huge" "$rc|$(sed -E \
      's/over [0-9]+ bytes/over N bytes/' <<<"$err")"
    tar_of "$scope/a.tar" "f:README" "f:readme" "f:Docs/a" "f:docs/a" && row 0 "" "" extract "$scope/a.tar" "$d"
    check "$kind: names differing in case are different files" "README readme|Docs/a docs/a" \
      "$(ls "$d" | grep -i readme | xargs)|$(cd "$d" && ls -d */a | xargs)"
    continue
  fi
  limit "$clash: $d/README and $d/readme" "f:README" "f:readme"
  limit "$clash: $d/Äpfel and $d/äpfel" "f:Äpfel" "f:äpfel"
  limit "$clash: $d/Docs and $d/docs" "f:Docs" "f:docs/a"
  limit "Name not allowed by the destination's file system: $d/a?b" "f:a?b"
  limit "Name too long for the destination's file system (at most 255 UTF-16 units): $d/$cjk256" "f:$cjk256"
  [ "$kind" = vfat ] && [ -e "$work/big.tar" ] && cp "$work/big.tar" "$scope/a.tar" &&
    row 1= "Extract failed: The destination's file system holds no file over 4294967295 bytes: $d/big" "" extract "$scope/a.tar" "$d"
  tar_of "$scope/a.tar" "f:Docs/a" "f:docs/b" "f:DOCS/c" && row 0 "" "" extract "$scope/a.tar" "$d"
  check "$kind: folders differing in case are one" "a b c" "$(ls "$d/"* | xargs)"
  rm -rf "$d" && tar_of "$scope/a.tar" "f:a" "s:l:a" "h:h:a" && row 0= "" "release: cuts from the end" info "$scope/a.tar"
  row 0 "" "Skipped link: l -> a (the destination's file system holds no links)" extract "$scope/a.tar" "$d"
  check "$kind: a hard link is copied" "aaa" "$(cat "$d/h")"
done

avail() { df -B1 --output=avail "$1" | tail -n 1 | tr -d ' '; }
leave_free() { rm -f "$1/filler" && fallocate -l $(($(avail "$1") - $2)) "$1/filler" 2>/dev/null; }  # leave_free DIR BYTES
space() {  # space ARCHIVE DEST: free space and space needed, from info --json
  "$zarvik" info --json "$1" "$2" | python3 -c 'import json, sys; o = json.load(sys.stdin); print(o["freeAtDestination"], o["neededToExtract"])'
}
# The journal is counted where it lives: beside the archive, on a full disk apart from the destination's.
if [ -d "$work/ext4/out" ] && mount_as ext4 "$work/full"; then
  head -c 3000000 /dev/urandom >"$work/noise" && tar -C "$work" -czf "$work/full/n.tar.gz" noise && leave_free "$work/full" 0
  run extract "$work/full/n.tar.gz" "$work/ext4/journal-out"
  check "a full disk beside the archive" "1|Extract failed: Not enough free space beside the archive at $work/full for its \
journal: N bytes needed, $(avail "$work/full") free|absent" \
    "$rc|$(sed -E 's/journal: [0-9]+ bytes/journal: N bytes/' <<<"$err")|$([ -e "$work/ext4/journal-out" ] || echo absent)"
fi
# As free space grows by steps, a run once accepted stays accepted; the one accepted with the least space completes.
if mount_as ext4 "$work/steps" 96; then
  mkdir -p "$work/src" && for i in $(seq 10 29); do
    head -c 200000 /dev/urandom >"$work/src/f$i" && cat "$work/src/f$i" "$work/src/f$i" >"$work/src/g$i"
  done
  tar -C "$work/src" -czf "$work/steps/s.tar.gz" . && verdicts="" first="" all=$(avail "$work/steps")
  for leave in 4 5 6 7 8 9 10 11 12 14 16 20; do
    rm -f "$work/steps/filler" && fallocate -l $((all - leave * 1048576)) "$work/steps/filler"
    read -r free needed <<<"$(space "$work/steps/s.tar.gz" "$work/steps/out")"
    verdicts+=$((needed <= free)) && [ -z "$first" ] && [ "$needed" -le "$free" ] && first=$leave
  done
  check "accepted from some free space on, never refused with more" "accepted" "$([[ $verdicts = *1* && $verdicts != *10* ]] && echo accepted)"
  rm -f "$work/steps/filler" && fallocate -l $((all - ${first:-20} * 1048576)) "$work/steps/filler"
  run extract "$work/steps/s.tar.gz" "$work/steps/out"
  check "the run accepted with the least space completes, with every file" "0||" "$rc|$err|$(diff -r "$work/src" "$work/steps/out")"
fi
# A run that does not fit is refused before writing. Told not to check, it fills the disk midway: it stops saying how to
# resume, nothing lost, and once space is made the resumed run completes.
if mount_as ext4 "$work/dest-disk" 32; then
  mkdir -p "$work/fill" && head -c 12000000 /dev/urandom >"$work/fill/noise.bin"  # incompressible: stored raw
  "$zarvik" create --block-size 1M "$work/fill" "$work/a.zvka" >/dev/null && leave_free "$work/dest-disk" 6291456
  run extract "$work/a.zvka" "$work/dest-disk/out"
  check "refused for space, before writing" "1|Extract failed: Not enough free space at $work/dest-disk/out: the extraction \
needs |True|absent" "$rc|$(grep -o '^.*needs ' <<<"$err")|$(python3 -c "print($(grep -o 'needs [0-9]*' <<<"$err" |
    grep -o '[0-9]*' || echo 0) >= 12000000)")|$([ -e "$work/dest-disk/out" ] || [ -e "$work/a.zvka.zvkj" ] || echo absent)"
  run extract --no-space-check --batch 1M "$work/a.zvka" "$work/dest-disk/out"
  check "extraction onto a full disk fails, saying how to resume" \
    "3|Extract failed: Failed to write destination block (code=28): No space left on device|To continue, run: zarvik \
extract --resume --no-space-check --batch 1M" "$rc|$(head -n 1 <<<"$err")|$(sed -n 2p <<<"$err" | grep -o '^.*--batch 1M')"
  rm "$work/dest-disk/filler" && run extract --resume "$work/a.zvka" "$work/dest-disk/out"
  check "the resumed run completes, every byte, archive and journal gone" "0|same|" \
    "$rc|$(cmp -s "$work/fill/noise.bin" "$work/dest-disk/out/noise.bin" && echo same)|$(ls "$work" | grep zvk)"
fi
# The squeeze: groups shrink to the space free, so a 40 MB archive extracts on the 64 MiB disk that holds it.
if mount_as ext4 "$work/squeeze" 64; then
  head -c 40000000 /dev/urandom >"$work/fill/noise.bin" && "$zarvik" create --block-size 1M "$work/fill" "$work/squeeze/s.zvka" >/dev/null
  run extract "$work/squeeze/s.zvka" "$work/squeeze/out"
  check "a 40 MB archive extracts on a 64 MiB disk, every byte of it" "0||same" \
    "$rc|$err|$(cmp -s "$work/fill/noise.bin" "$work/squeeze/out/noise.bin" && echo same)"
fi
# Where the check says a run fits, it succeeds: 3,000 files of 100 bytes (a whole unit each), little more space free.
if mount_as ext4 "$work/tiny-disk" 32; then
  mkdir "$work/tiny" && python3 -c 'import os, sys
for i in range(3000): open(os.path.join(sys.argv[1], "f%04d" % i), "wb").write(os.urandom(100))' "$work/tiny"
  "$zarvik" create "$work/tiny" "$work/tiny-disk/t.zvka" >/dev/null
  read -r free needed <<<"$(space "$work/tiny-disk/t.zvka" "$work/tiny-disk/out")"
  fallocate -l $((free - needed - 16384)) "$work/tiny-disk/filler"
  read -r free needed <<<"$(space "$work/tiny-disk/t.zvka" "$work/tiny-disk/out")"
  margin=$((free - needed)) && run extract "$work/tiny-disk/t.zvka" "$work/tiny-disk/out"
  check "a run let through with little more than the predicted space completes" "yes|0||" \
    "$([ $margin -ge 0 ] && [ $margin -lt 65536 ] && echo yes)|$rc|$err|$(diff -r "$work/tiny" "$work/tiny-disk/out")"
fi
[ ${#tested[@]} -gt 0 ] || { echo "destination_limits: skipped (cannot mount a file system here)"; exit 0; }
echo "destination_limits: on ${tested[*]}"
finish destination_limits
