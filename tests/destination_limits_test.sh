#!/usr/bin/env bash
# What a destination's file system cannot hold is refused before anything is
# written, naming the entry and the limit, on small file systems of each
# kind: ext4, and FAT and exFAT through the kernel's drivers or through FUSE,
# whichever this machine mounts; and a disk that fills up. Needs root to mount;
# skips what it cannot.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"
mounted=()
loops=()
unmount_all() {
  for dir in "${mounted[@]}"; do umount "$dir" 2>/dev/null; done
  for dev in "${loops[@]}"; do losetup -d "$dev" 2>/dev/null; done
}
cleanup_hooks+=(unmount_all)

# mount_as KIND DIR [MIB]: a file system of KIND and MIB MiB (48 unless given) at DIR; false where it cannot be mounted.
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

# tar_of ARCHIVE MEMBER...: a tar made by Python, each MEMBER "f:NAME", "d:NAME",
# "s:NAME:TARGET" (a symbolic link) or "h:NAME:TARGET" (a hard link).
tar_of() {
  python3 - "$@" <<'EOF'
import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT) as tar:
    for member in sys.argv[2:]:
        kind, name, *target = member.split(":", 2)
        info = tarfile.TarInfo(name)
        info.mtime, info.mode = 1000000000, 0o640
        data = b""
        if kind == "f": data = name.encode() * 3
        if kind == "d": info.type = tarfile.DIRTYPE
        if kind in "sh":
            info.type = tarfile.SYMTYPE if kind == "s" else tarfile.LNKTYPE
            info.linkname, info.mtime = target[0], 1200000000
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
EOF
}

# refused NAME ARCHIVE DEST MESSAGE: the run fails with MESSAGE, before it writes anything.
refused() {
  local size
  size=$(stat -c %s "$2")
  run extract "$2" "$3"
  check "$1" "1|Extract failed: $4" "$rc|$err"
  check "$1: nothing written" "$size|absent" \
    "$(stat -c %s "$2")|$([ -e "$3" ] || [ -e "$2.zvkj" ] || echo absent)"
}

cjk100=$(python3 -c 'print("名" * 100)')  # 300 bytes, 100 UTF-16 units
cjk256=$(python3 -c 'print("名" * 256)')
deep=$(python3 -c 'print("/".join(["d" * 200] * 21))')  # 4220 bytes
far=$(python3 -c 'print("t/" * 2047 + "ab")')             # a link target of 4096 bytes, as long as a tar's may be
mkdir -p "$work/sparse"
if mount -t tmpfs -o size=1M tmpfs "$work/sparse" 2>/dev/null; then
  mounted+=("$work/sparse")
  truncate -s 1P "$work/sparse/huge" && truncate -s 5G "$work/sparse/big"
  (cd "$work/sparse" && tar --sparse --format=posix -cf "$work/huge.tar" huge && tar --sparse --format=posix -cf "$work/big.tar" big)
fi

tested=()
for kind in ext4 vfat exfat exfat-fuse; do
  disk=$work/$kind
  mount_as "$kind" "$disk" || continue
  tested+=("$kind")
  case $kind in
  ext4)
    tar_of "$disk/cjk.tar" "f:$cjk100"
    refused "$kind: a name over 255 bytes" "$disk/cjk.tar" "$disk/out" \
      "Name too long for the destination's file system (at most 255 bytes): $disk/out/$cjk100"
    tar_of "$disk/deep.tar" "f:$deep"
    refused "$kind: a path over 4095 bytes" "$disk/deep.tar" "$disk/out" \
      "Path too long for the destination (at most 4095 bytes below it): $disk/out/$deep"
    tar_of "$disk/far.tar" "f:a" "s:l:$far"
    refused "$kind: a link target over 4095 bytes" "$disk/far.tar" "$disk/out" \
      "Link target too long for the destination (at most 4095 bytes): $disk/out/l"
    if [ -e "$work/huge.tar" ]; then
      cp "$work/huge.tar" "$disk/"
      run extract "$disk/huge.tar" "$disk/out"
      check "$kind: a 1 PiB member, all holes" "1|Extract failed: The destination's file system holds no file over N bytes: $disk/out/huge" \
        "$rc|$(sed -E 's/over [0-9]+ bytes/over N bytes/' <<<"$err")"
    fi
    tar_of "$disk/case.tar" "f:README" "f:readme" "f:Docs/a" "f:docs/a"
    run extract "$disk/case.tar" "$disk/out"
    check "$kind: names differing in case are different files" "0|README readme|Docs/a docs/a" \
      "$rc|$(ls "$disk/out" | grep -i readme | xargs)|$(cd "$disk/out" && ls -d */a | xargs)"
    ;;
  *)
    tar_of "$disk/case.tar" "f:README" "f:readme"
    refused "$kind: README and readme" "$disk/case.tar" "$disk/out" \
      "Names that the destination holds as one, since it ignores letter case: $disk/out/README and $disk/out/readme"
    tar_of "$disk/umlaut.tar" "f:Äpfel" "f:äpfel"
    refused "$kind: names differing in the case of a letter beyond ASCII" "$disk/umlaut.tar" "$disk/out" \
      "Names that the destination holds as one, since it ignores letter case: $disk/out/Äpfel and $disk/out/äpfel"
    tar_of "$disk/clash.tar" "f:Docs" "f:docs/a"
    refused "$kind: a file and a folder differing in case" "$disk/clash.tar" "$disk/out" \
      "Names that the destination holds as one, since it ignores letter case: $disk/out/Docs and $disk/out/docs"
    tar_of "$disk/merge.tar" "f:Docs/a" "f:docs/b" "f:DOCS/c"
    run extract "$disk/merge.tar" "$disk/out"
    check "$kind: folders differing in case are one" "0|a b c" "$rc|$(ls "$disk/out/"* | xargs)"
    rm -rf "$disk/out"
    tar_of "$disk/reserved.tar" "f:a?b"
    refused "$kind: a name Windows refuses" "$disk/reserved.tar" "$disk/out" \
      "Name not allowed by the destination's file system: $disk/out/a?b"
    tar_of "$disk/cjk.tar" "f:$cjk256"
    refused "$kind: a name over 255 UTF-16 units" "$disk/cjk.tar" "$disk/out" \
      "Name too long for the destination's file system (at most 255 UTF-16 units): $disk/out/$cjk256"
    tar_of "$disk/links.tar" "f:a" "s:l:a" "h:h:a"
    run extract "$disk/links.tar" "$disk/out"
    check "$kind: a link the file system cannot hold is skipped" \
      "0|Skipped link: l -> a (the destination's file system holds no links)" "$rc|$(grep -o 'Skipped.*' <<<"$out")"
    check "$kind: a hard link is copied" "aaa" "$(cat "$disk/out/h")"
    rm -rf "$disk/out"
    tar_of "$disk/r.tar" "f:a"
    check "$kind: info says how the archive gives space back" "cuts from the end" \
      "$("$zarvik" info "$disk/r.tar" | grep -o 'cuts from the end')"
    if [ "$kind" = vfat ] && [ -e "$work/big.tar" ]; then
      cp "$work/big.tar" "$disk/"
      refused "$kind: a 5 GiB member, all holes" "$disk/big.tar" "$disk/out" \
        "The destination's file system holds no file over 4294967295 bytes: $disk/out/big"
    fi
    ;;
  esac
done

# The journal is counted where it lives: beside the archive, on a full disk
# apart from the destination's.
if [ -d "$work/ext4/out" ] && mount_as ext4 "$work/full"; then
  head -c 3000000 /dev/urandom >"$work/noise"
  tar -C "$work" -czf "$work/full/n.tar.gz" noise
  fallocate -l $(($(df -B1 --output=avail "$work/full" | tail -n 1))) "$work/full/filler" 2>/dev/null
  free=$(df -B1 --output=avail "$work/full" | tail -n 1 | tr -d ' ')
  run extract "$work/full/n.tar.gz" "$work/ext4/journal-out"
  check "a full disk beside the archive" \
    "1|Extract failed: Not enough free space beside the archive at $work/full for its journal: N bytes needed, $free free|absent" \
    "$rc|$(sed -E 's/journal: [0-9]+ bytes/journal: N bytes/' <<<"$err")|$([ -e "$work/ext4/journal-out" ] || echo absent)"
fi

# The space check is monotonic: as the free space grows by steps, a run once
# accepted stays accepted; and the run accepted with the least space completes.
if mount_as ext4 "$work/steps" 96; then
  mkdir -p "$work/src"
  for i in $(seq 10 29); do head -c 200000 /dev/urandom >"$work/src/f$i" && cat "$work/src/f$i" "$work/src/f$i" >"$work/src/g$i"; done
  tar -C "$work/src" -czf "$work/steps/s.tar.gz" .
  verdicts="" first=""
  avail=$(df -B1 --output=avail "$work/steps" | tail -n 1)
  for leave in 4 5 6 7 8 9 10 11 12 14 16 20; do
    rm -f "$work/steps/filler"
    fallocate -l $((avail - leave * 1048576)) "$work/steps/filler"
    verdict=$("$zarvik" info --json "$work/steps/s.tar.gz" "$work/steps/out" |
      python3 -c 'import json, sys; o = json.load(sys.stdin); print(int(o["neededToExtract"] <= o["freeAtDestination"]))')
    verdicts+=$verdict
    [ -z "$first" ] && [ "$verdict" = 1 ] && first=$leave
  done
  check "accepted from some free space on, never refused with more" True \
    "$(python3 -c "v = '$verdicts'; print('1' in v and '10' not in v)")"
  rm -f "$work/steps/filler"
  fallocate -l $((avail - ${first:-20} * 1048576)) "$work/steps/filler"
  run extract "$work/steps/s.tar.gz" "$work/steps/out"
  check "the run accepted with the least space completes" "0|" "$rc|$err"
  diff -r "$work/src" "$work/steps/out" >/dev/null
  check "with every file" 0 $?
fi

# A full disk: an extraction that does not fit is refused before it writes anything. Told not to check, it fills
# the disk midway, after some groups of 1 MiB were released: the run stops with the write message and how to resume,
# nothing is lost, and once space is made the resumed run completes.
leave_free() { fallocate -l $(($(df -B1 --output=avail "$1" | tail -n 1) - $2 * 1048576)) "$1/filler"; }
if mount_as ext4 "$work/dest-disk" 32; then
  mkdir -p "$work/fill" && head -c 12000000 /dev/urandom >"$work/fill/noise.bin"  # incompressible: stored raw
  "$zarvik" create --block-size 1M "$work/fill" "$work/a.zvka" >/dev/null
  leave_free "$work/dest-disk" 6
  run extract "$work/a.zvka" "$work/dest-disk/out"
  needed=$(grep -o 'needs [0-9]* bytes' <<<"$err" | grep -o '[0-9]*')
  check "refused for space" "1|Extract failed: Not enough free space at $work/dest-disk/out: the extraction needs |True" \
    "$rc|$(grep -o '^.*needs ' <<<"$err")|$(python3 -c "print(${needed:-0} >= 12000000)")"
  check "refused before writing" "absent" "$([ -e "$work/dest-disk/out" ] || [ -e "$work/a.zvka.zvkj" ] || echo absent)"
  run extract --no-space-check --batch 1M "$work/a.zvka" "$work/dest-disk/out"
  check "extraction onto a full disk fails, saying how to resume" \
    "3|Extract failed: Failed to write destination block (code=28): No space left on device|To continue, run: zarvik \
extract --resume --no-space-check --batch 1M" "$rc|$(head -n 1 <<<"$err")|$(sed -n 2p <<<"$err" | grep -o '^.*--batch 1M')"
  rm "$work/dest-disk/filler"
  run extract --resume "$work/a.zvka" "$work/dest-disk/out"
  check "the resumed run completes, every byte, archive and journal gone" "0|same|" \
    "$rc|$(cmp -s "$work/fill/noise.bin" "$work/dest-disk/out/noise.bin" && echo same)|$(ls "$work" | grep zvk)"
fi
# The squeeze: a 40 MB archive extracted onto the 64 MiB file system that holds it. Groups shrink to a quarter of the
# space free at the start, so the disk never has to hold much of the archive twice.
if mount_as ext4 "$work/squeeze" 64; then
  head -c 40000000 /dev/urandom >"$work/fill/noise.bin"
  "$zarvik" create --block-size 1M "$work/fill" "$work/squeeze/s.zvka" >/dev/null
  run extract "$work/squeeze/s.zvka" "$work/squeeze/out"
  check "a 40 MB archive extracts on a 64 MiB disk, every byte of it" "0||same" \
    "$rc|$err|$(cmp -s "$work/fill/noise.bin" "$work/squeeze/out/noise.bin" && echo same)"
fi
# Where the check says a run fits, it succeeds: 3,000 files of 100 bytes, each taking a whole allocation unit,
# extracted beside their archive with little more than the predicted space free.
if mount_as ext4 "$work/tiny-disk" 32; then
  mkdir "$work/tiny"
  python3 -c 'import os, sys
for i in range(3000): open(os.path.join(sys.argv[1], "f%04d" % i), "wb").write(os.urandom(100))' "$work/tiny"
  "$zarvik" create "$work/tiny" "$work/tiny-disk/t.zvka" >/dev/null
  space() {  # free and needed, as info reports them
    "$zarvik" info --json "$work/tiny-disk/t.zvka" "$work/tiny-disk/out" |
      python3 -c 'import json, sys; o = json.load(sys.stdin); print(o["freeAtDestination"], o["neededToExtract"])'
  }
  read -r free needed < <(space)
  fallocate -l $((free - needed - 16384)) "$work/tiny-disk/filler"
  read -r free needed < <(space)
  check "little more than the predicted space is free" True "$(python3 -c "print(0 <= $free - $needed < 65536)")"
  run extract "$work/tiny-disk/t.zvka" "$work/tiny-disk/out"
  check "a run the check lets through completes, with every file" "0||same" \
    "$rc|$err|$(diff -r "$work/tiny" "$work/tiny-disk/out" >/dev/null && echo same)"
fi
if [ ${#tested[@]} -eq 0 ]; then
  echo "destination_limits: skipped (cannot mount a file system here)"
  exit 0
fi
echo "destination_limits: on ${tested[*]}"
finish destination_limits
