#!/usr/bin/env bash
# A tree comes back whole (times to the ns, modes, empty folders, links; those leading out skipped) from a version-5
# archive (its bytes the same whatever the threads), a pax tar, tar.gz, tar.zst, tar.xz and tar.bz2 by any tool (a tar.xz
# split into parts too);
# non-UTF-8 names byte for byte.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

src=$work/src
mkdir -p "$src/d/e" "$src/empty/also" "$src/😀 folder"
printf '#!/bin/sh\necho run\n' >"$src/run.sh" && chmod 755 "$src/run.sh"
printf 'read only' >"$src/ro.txt" && chmod 444 "$src/ro.txt"
printf 'group may read' >"$src/plain.txt" && chmod 640 "$src/plain.txt"
for i in $(seq 1 40); do head -c $((i * 997)) /usr/include/stdio.h >"$src/d/small$i.h"; done
head -c 300000 /dev/urandom >"$src/d/e/noise.bin" && printf 'deep' >"$src/😀 folder/deep.txt"
ln -s d/e/noise.bin "$src/in" && ln -s d "$src/folder-link" && ln -s ../outside "$src/out" && ln -s /etc/passwd "$src/absolute"
# Every entry a time of its own with nine decimals, folders last (making an entry changes its folder's time).
n=0 && while IFS= read -r -d '' path; do
  n=$((n + 1)) && touch -h -d "@$((1600000000 + n * 86400)).$(printf '%09d' $((n * 123456789 % 1000000000)))" "$path"
done < <(find "$src" -mindepth 1 -depth -print0)
describe() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@ %l\n') | LC_ALL=C sort; }  # kind, mode, time, target
inside=$(describe "$src" | grep -v '^out \|^absolute ')  # the tree but the links that lead out

for threads in 1 3; do "$zarvik" create --zstd --threads "$threads" --block-size 64K "$src" "$work/t$threads.zvka" >/dev/null; done
check "the same bytes on 1 thread and on 3" same "$(cmp -s "$work/t1.zvka" "$work/t3.zvka" && echo same)"
check "list shows kinds; info the version and the codecs" "0	empty/|10	out -> ../outside|version: 5|codecs: stored, \
Zstandard" "$("$zarvik" list "$work/t1.zvka" | grep -x '0	empty/\|10	out -> ../outside' | paste -sd '|')|$(
  "$zarvik" info "$work/t1.zvka" | head -n 2 | paste -sd '|')"
run extract --batch 64K "$work/t1.zvka" "$work/out"
check "extract: the links that lead out skipped" "0|Skipped link: absolute -> /etc/passwd|Skipped link: out -> ../outside|" \
  "$rc|$(grep '^Skipped link' <<<"$out" | LC_ALL=C sort | paste -sd '|')|$(ls "$work" | grep t1.zvka)"
check "the tree as it was" "$inside" "$(describe "$work/out")"
tar --format=posix -C "$src" -cf "$work/t.tar" . && run extract --batch 64K "$work/t.tar" "$work/from-tar"
check "extract a tar: the tree as it was, the tar consumed" "0||$inside" "$rc|$(ls "$work" | grep t.tar)|$(describe "$work/from-tar")"
mkdir "$work/sparse" && truncate -s 20M "$work/sparse/s.bin" && printf 'middle' | dd of="$work/sparse/s.bin" bs=1 seek=9000000 \
  conv=notrunc status=none && tar -C "$work/sparse" --sparse -cf "$work/sparse.tar" s.bin
run extract "$work/sparse.tar" "$work/sparse.out"
check "a sparse member's bytes, and its holes" "0|same|yes" "$rc|$(cmp -s "$work/sparse/s.bin" "$work/sparse.out/s.bin" && echo same)|$(
  [ "$(du -k "$work/sparse.out/s.bin" | cut -f1)" -lt 1024 ] && echo yes)"
# The tree as tar.gz, a file past a unit's 4 MiB so units start inside a member: by tar, by pigz, as members of a tar cut
# in two with an empty one between and zeros after, and with every optional header field (extra, name, comment, CRC).
cp -a "$src" "$work/gz" && seq 1 1500000 >"$work/gz/d/e/numbers.txt"
tar --format=posix -C "$work/gz" -cf "$work/tree.tar" . && tar --format=posix -C "$work/gz" -czf "$work/tar.tar.gz" .
pigz -c "$work/tree.tar" >"$work/pigz.tgz" && half=$(($(stat -c %s "$work/tree.tar") / 2))
{ head -c "$half" "$work/tree.tar" | gzip -c && gzip -c </dev/null && tail -c +$((half + 1)) "$work/tree.tar" | gzip -c &&
  head -c 1000 /dev/zero; } >"$work/members.tar.gz"
python3 -c 'import struct, sys, zlib
data, deflate = open(sys.argv[1], "rb").read(), zlib.compressobj(6, zlib.DEFLATED, -15)
head = b"\x1f\x8b\x08\x1e" + bytes(6) + struct.pack("<H", 4) + b"AB\0\0" + b"tree.tar\0" + b"a comment\0"
open(sys.argv[2], "wb").write(head + struct.pack("<H", zlib.crc32(head) & 0xffff) + deflate.compress(data) + deflate.flush() +
                              struct.pack("<II", zlib.crc32(data), len(data) & 0xffffffff))' "$work/tree.tar" "$work/fields.tar.gz"
check "test, info and list a tar.gz" "0|format: tar.gz|./d/e/numbers.txt" "$("$zarvik" test "$work/tar.tar.gz" >/dev/null; echo $?)|$(
  "$zarvik" info "$work/tar.tar.gz" | sed -n 1p)|$("$zarvik" list "$work/tar.tar.gz" | grep -o '\./d/e/numbers.txt')"
# And as tar.zst: one frame by tar, one frame with a small window so that decoding starts again inside it, and the
# frames of pzstd with the skippable frames it puts before them.
tar --format=posix -C "$work/gz" -I zstd -cf "$work/tar.tar.zst" . && zstd -q -T2 --zstd=wlog=17 -c "$work/tree.tar" >"$work/window.tzst"
pzstd -q -p 2 -c "$work/tree.tar" >"$work/pzstd.tar.zst"
# And as tar.xz: by tar (one block), by xz in blocks of 1 MiB, as xz streams (SHA-256, none) with padding between; and
# as tar.bz2: by tar, pbzip2 (a stream a block), lbzip2, as bzip2 streams of two block sizes. Each is extracted with
# --keep, as GNU tar extracts it, then consumed.
tar --format=posix -C "$work/gz" -cJf "$work/tar.tar.xz" . && tar --format=posix -C "$work/gz" -cjf "$work/tar.tar.bz2" .
xz -T2 --block-size=1M -c "$work/tree.tar" >"$work/blocks.txz" && pbzip2 -c "$work/tree.tar" >"$work/pbzip2.tbz2"
lbzip2 -c "$work/tree.tar" >"$work/lbzip2.tbz" && { head -c "$half" "$work/tree.tar" | xz --block-size=300K -C sha256 &&
  head -c 8 /dev/zero && tail -c +$((half + 1)) "$work/tree.tar" | xz -C none; } >"$work/streams.xz"
{ head -c "$half" "$work/tree.tar" | bzip2 -1 && tail -c +$((half + 1)) "$work/tree.tar" | bzip2; } >"$work/streams.bz2"
split -b 300K --numeric-suffixes=1 -a 3 "$work/blocks.txz" "$work/set.txz."
for gz in tree.tar tar.tar.gz pigz.tgz members.tar.gz fields.tar.gz tar.tar.zst window.tzst pzstd.tar.zst tar.tar.xz blocks.txz \
  streams.xz tar.tar.bz2 pbzip2.tbz2 lbzip2.tbz streams.bz2; do
  mkdir "$work/tar-$gz" && tar -C "$work/tar-$gz" -xf "$work/$gz" && "$zarvik" extract -q --keep "$work/$gz" "$work/kept-$gz" \
    >/dev/null
  check "extract --keep $gz: what GNU tar extracts" "$(describe "$work/tar-$gz" | grep -v '^out \|^absolute ')" \
    "$(describe "$work/kept-$gz")"
  run extract --batch 64K "$work/$gz" "$work/from-$gz"
  check "extract $gz: the tree as tar kept it, the archive consumed" "0||$(describe "$work/gz" | grep -v '^out \|^absolute ')" \
    "$rc|$(ls "$work" | grep -x "$gz")|$(describe "$work/from-$gz")"
done
run extract --batch 64K "$work/set.txz.002" "$work/from-set"
check "extract a tar.xz split into parts, from its second: the tree, every part consumed" \
  "0||$(describe "$work/gz" | grep -v '^out \|^absolute ')" "$rc|$(ls "$work" | grep '^set')|$(describe "$work/from-set")"
# One xz block past what a piece may take, as xz on one thread writes it: consuming refused before anything is written,
# info saying why; with --keep, read from its start.
mkdir "$work/one" && truncate -s 270M "$work/one/zeros.bin" && printf 'after' >"$work/one/after.txt"
tar -C "$work/one" -cf - . | xz -0 -T1 >"$work/one.tar.xz" && cp "$work/one.tar.xz" "$work/one.copy"
run extract "$work/one.tar.xz" "$work/one-consumed"
check "one large xz block: not consumed" "1|same|no" \
  "$rc|$(cmp -s "$work/one.tar.xz" "$work/one.copy" && echo same)|$([ -e "$work/one-consumed" ] && echo made || echo no)"
check "one large xz block: info says so" "release: none, extract with --keep (Xz stream cannot be split into pieces small \
enough to extract: at byte 12)" "$("$zarvik" info "$work/one.tar.xz" | grep '^release:')"
run extract -q --keep "$work/one.tar.xz" "$work/one-kept"
check "one large xz block: extracted with --keep" "0||" "$rc|$(diff -r "$work/one" "$work/one-kept")|$(rm -rf "$work/one"*)"
# A run stopped after it set every time and mode, before removing its journal: the resume takes over the read-only
# file without opening it for writing. Root may write any file, so as root these runs go as another user.
again=$work/again && mkdir "$again" && cp "$work/t3.zvka" "$again/x.zvka"
python3 -c 'import struct, sys
open(sys.argv[1], "wb").write(b"ZVKJWIN\0" + struct.pack("<II", 1, int(sys.argv[2])) + bytes([2]) * int(sys.argv[2]))' \
  "$work/journal" "$("$zarvik" info "$again/x.zvka" | sed -n 's/^blocks: //p')"
as_user=() && [ "$(id -u)" = 0 ] && chmod 711 "$work" && chown -R nobody "$again" "$work/journal" &&
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
"${as_user[@]}" "$zarvik" extract --keep "$again/x.zvka" "$again/out" >/dev/null && mv "$work/journal" "$again/x.zvka.zvkj"
"${as_user[@]}" "$zarvik" extract --resume "$again/x.zvka" "$again/out" >/dev/null
check "a run resumed after the metadata was set" "0|$(describe "$work/out")|out" "$?|$(describe "$again/out")|$(ls "$again")"
# Latin-1 names are restored byte for byte; names a person reads are shown escaped, the JSON keeps them exact.
python3 -c 'import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT, encoding="utf-8", errors="surrogateescape") as t:
    for name in ["caf\udce9", "evil\x1b]0;pwned\x07\x1b[2J.txt", "two\nlines"]:
        i = tarfile.TarInfo(name)
        i.size = 1
        t.addfile(i, io.BytesIO(b"x"))' "$work/names.tar"
check "list: names escaped; list --json: the bytes as \\udcNN" "$(printf '1\t%s\n' 'caf\xE9' 'evil\033]0;pwned\007\033[2J.txt' \
  'two\nlines')|\"path\":\"caf\\udce9\"" "$("$zarvik" list "$work/names.tar")|$("$zarvik" list --json "$work/names.tar" | grep -o '"path":"caf[^"]*"')"
run extract "$work/names.tar" "$work/names"
check "extract: restored byte for byte, logged escaped" \
  "0|[b'caf\\xe9', b'evil\\x1b]0;pwned\\x07\\x1b[2J.txt', b'two\\nlines']|Extracting: caf\xE9" \
  "$rc|$(python3 -c 'import os, sys; print(sorted(os.listdir(sys.argv[1].encode())))' "$work/names")|$(grep -o 'Extracting: caf.*' <<<"$out")"
finish round_trip
