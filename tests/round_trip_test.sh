#!/usr/bin/env bash
# A version-4 archive keeps what a tree is, not only its bytes: times to the
# nanosecond, permissions, empty folders and symbolic links, those leading
# out of the tree skipped at extraction. Its bytes do not depend on how many
# threads coded it. A tar of the tree (pax keeps times to the nanosecond)
# comes back the same way, and so does a tar compressed with gzip, whichever
# tool made it.
#   tests/round_trip_test.sh ZARVIK
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

src=$work/src
mkdir -p "$src/d/e" "$src/empty/also" "$src/😀 folder"
printf '#!/bin/sh\necho run\n' > "$src/run.sh" && chmod 755 "$src/run.sh"
printf 'read only' > "$src/ro.txt" && chmod 444 "$src/ro.txt"
printf 'group may read' > "$src/plain.txt" && chmod 640 "$src/plain.txt"
for i in $(seq 1 40); do head -c $((i * 997)) /usr/include/stdio.h > "$src/d/small$i.h"; done
head -c 300000 /dev/urandom > "$src/d/e/noise.bin"
printf 'deep' > "$src/😀 folder/deep.txt"
ln -s d/e/noise.bin "$src/in"
ln -s d "$src/folder-link"
ln -s ../outside "$src/out"
ln -s /etc/passwd "$src/absolute"
# Every entry a time of its own with all nine decimals, folders last (what is made inside a folder changes its time).
n=0
while IFS= read -r -d '' path; do
  n=$((n + 1))
  touch -h -d "@$((1600000000 + n * 86400)).$(printf '%09d' $((n * 123456789 % 1000000000)))" "$path"
done < <(find "$src" -mindepth 1 -depth -print0)

# describe TREE: each entry but the root, with its kind, mode, time and a link's target.
describe() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@ %l\n') | LC_ALL=C sort; }

for threads in 1 3; do
  run create --zstd --threads "$threads" --block-size 64K "$src" "$work/t$threads.zvka"
  check "create with $threads threads" 0 "$rc"
done
cmp -s "$work/t1.zvka" "$work/t3.zvka"
check "the same bytes on 1 thread and on 3" 0 $?

run list "$work/t1.zvka"
check "list shows kinds" "0|0	empty/|10	out -> ../outside" "$rc|$(grep -x '0	empty/' <<<"$out")|$(grep -- '-> ../outside' <<<"$out")"
run info "$work/t1.zvka"
check "info names the version and the codecs" "version: 4|codecs: stored, Zstandard" \
  "$(sed -n 1p <<<"$out")|$(sed -n 2p <<<"$out")"

run extract --batch 64K "$work/t1.zvka" "$work/out"
check "extract" 0 "$rc"
check "links out of the destination are skipped" "Skipped link: absolute -> /etc/passwd|Skipped link: out -> ../outside" \
  "$(grep '^Skipped link' <<<"$out" | LC_ALL=C sort | paste -sd '|')"
check "the tree as it was, but the links that lead out" "$(describe "$src" | grep -v '^out \|^absolute ')" \
  "$(describe "$work/out")"
check "the archive is consumed" "" "$(ls "$work" | grep 't1.zvka')"

tar --format=posix -C "$src" -cf "$work/t.tar" .
run extract --batch 64K "$work/t.tar" "$work/from-tar"
check "extract a tar" "0|" "$rc|$(ls "$work" | grep 't.tar')"
check "the tree as tar kept it, but the links that lead out" "$(describe "$src" | grep -v '^out \|^absolute ')" \
  "$(describe "$work/from-tar")"

# What tar alone brings: a later member of a path replaces an earlier one,
# a hard link names the file that stays, sparse files keep their holes, a
# FIFO is skipped.
mkdir -p "$work/tarred"
printf 'first' > "$work/tarred/twice.txt"
tar -C "$work/tarred" -cf "$work/more.tar" twice.txt
printf 'second, longer' > "$work/tarred/twice.txt"
truncate -s 20M "$work/tarred/sparse.bin"
printf 'middle' | dd of="$work/tarred/sparse.bin" bs=1 seek=9000000 conv=notrunc status=none
printf 'end' | dd of="$work/tarred/sparse.bin" bs=1 seek=$((20 * 1048576 - 3)) conv=notrunc status=none
mkfifo "$work/tarred/fifo"
ln "$work/tarred/twice.txt" "$work/tarred/hard"
tar -C "$work/tarred" --sparse -rf "$work/more.tar" twice.txt hard sparse.bin fifo
run extract "$work/more.tar" "$work/more"
check "the later member wins, and its hard link names it; the FIFO is named" \
  "0|second, longer|$(stat -c %i "$work/more/twice.txt") 2|Skipped special file: fifo" \
  "$rc|$(cat "$work/more/twice.txt")|$(stat -c '%i %h' "$work/more/hard")|$(grep '^Skipped special' <<<"$out")"
cmp -s "$work/tarred/sparse.bin" "$work/more/sparse.bin"
check "a sparse member's bytes" 0 $?
check "and its holes" "yes" "$([ "$(du -k "$work/more/sparse.bin" | cut -f1)" -lt 1024 ] && echo yes)"

# `tar -u`: a hard link names the member that precedes it; the later version
# of that path replaces only the path, so the link keeps the first version.
mkdir -p "$work/updated"
printf 'first' >"$work/updated/a" && ln "$work/updated/a" "$work/updated/h"
tar -C "$work/updated" -cf "$work/updated.tar" a h
rm "$work/updated/a" && printf 'second, newer' >"$work/updated/a" && touch -d '+1 hour' "$work/updated/a"
tar -C "$work/updated" -uf "$work/updated.tar" a 2>/dev/null
run extract "$work/updated.tar" "$work/updated.out"
check "tar -u: the link keeps the first version, the path takes the second, the archive is consumed" \
  "0|first|second, newer|1 1|" "$rc|$(cat "$work/updated.out/h")|$(cat "$work/updated.out/a")|$(stat -c %h \
    "$work/updated.out/h") $(stat -c %h "$work/updated.out/a")|$(ls "$work" | grep -x updated.tar)"

# The tree as tar.gz, with a file that decodes past a unit's 4 MiB so that
# units start inside a gzip member: by tar (gzip -6), by pigz, as gzip
# members of a tar cut in two (as split tools make them) with an empty one
# between them and zeros after, and with every optional header field (extra,
# name, comment, header CRC).
cp -a "$src" "$work/gz" && seq 1 1500000 >"$work/gz/d/e/numbers.txt"
tar --format=posix -C "$work/gz" -cf "$work/tree.tar" .
tar --format=posix -C "$work/gz" -czf "$work/tar.tar.gz" .
pigz -c "$work/tree.tar" >"$work/pigz.tgz"
half=$(($(stat -c %s "$work/tree.tar") / 2))
{ head -c "$half" "$work/tree.tar" | gzip -c && gzip -c </dev/null && tail -c +$((half + 1)) "$work/tree.tar" | gzip -c &&
  head -c 1000 /dev/zero; } >"$work/members.tar.gz"
python3 - "$work/tree.tar" "$work/fields.tar.gz" <<'EOF'
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
header = b'\x1f\x8b\x08\x1e' + bytes(6) + struct.pack('<H', 4) + b'AB\0\0' + b'tree.tar\0' + b'a comment\0'
header += struct.pack('<H', zlib.crc32(header) & 0xffff)
deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
body = deflate.compress(data) + deflate.flush()
open(sys.argv[2], 'wb').write(header + body + struct.pack('<II', zlib.crc32(data), len(data) & 0xffffffff))
EOF
cp "$work/fields.tar.gz" "$work/header-crc.tar.gz" && printf 'A' | dd of="$work/header-crc.tar.gz" bs=1 seek=26 conv=notrunc status=none
run test "$work/tar.tar.gz"
check "test a tar.gz" "0|format: tar.gz|./d/e/numbers.txt" \
  "$rc|$("$zarvik" info "$work/tar.tar.gz" | sed -n 1p)|$("$zarvik" list "$work/tar.tar.gz" | grep -o '\./d/e/numbers.txt')"
for gz in tar.tar.gz pigz.tgz members.tar.gz fields.tar.gz; do
  run extract --batch 64K "$work/$gz" "$work/from-$gz"
  check "extract $gz" "0|" "$rc|$(ls "$work" | grep -x "$gz")"
  check "$gz: the tree as tar kept it" "$(describe "$work/gz" | grep -v '^out \|^absolute ')" "$(describe "$work/from-$gz")"
done

# Archives refused before anything is written: the archive as it was, no destination, no journal.
python3 - "$work" <<'EOF'
import io, sys, tarfile
def tar(name, *members):
    with tarfile.open(f'{sys.argv[1]}/{name}.tar', 'w', format=tarfile.GNU_FORMAT) as t:
        for path, kind, target in members:
            info = tarfile.TarInfo(path)
            info.type, info.linkname, info.size = kind, target, 1 if kind == tarfile.REGTYPE else 0
            t.addfile(info, io.BytesIO(b'x') if kind == tarfile.REGTYPE else None)
tar('traversal', ('ok.txt', tarfile.REGTYPE, ''), ('../evil', tarfile.REGTYPE, ''))
tar('hard-link-to-nothing', ('ok.txt', tarfile.REGTYPE, ''), ('h', tarfile.LNKTYPE, 'missing'))
tar('data-after-the-end', ('ok.txt', tarfile.REGTYPE, ''))
open(f'{sys.argv[1]}/data-after-the-end.tar', 'ab').write(b'more')
import zipfile
with zipfile.ZipFile(f'{sys.argv[1]}/trailed.zip', 'w') as z:
    z.writestr('ok.txt', 'x')
open(f'{sys.argv[1]}/trailed.zip', 'ab').write(bytes(100) + b'more')
EOF
zip_size=$(($(stat -c %s "$work/trailed.zip") - 4))
{ cat "$work/t3.zvka" && printf 'more'; } >"$work/trailed.zvka"
printf 'A changelog, compressed on its own.\n' | gzip -c >"$work/changelog.gz"
tar -C "$src" -czf "$work/small.tar.gz" d
size=$(stat -c %s "$work/small.tar.gz")
# The stored CRC's first byte inverted: set to a value, it would stay as it was once in 256 runs.
cp "$work/small.tar.gz" "$work/crc.tar.gz" &&
  python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[-8] ^= 0xFF; open(sys.argv[1], "wb").write(d)' \
    "$work/crc.tar.gz"
head -c $((size - 100)) "$work/small.tar.gz" >"$work/cut.tar.gz"
{ cat "$work/small.tar.gz" && printf 'junk'; } >"$work/junk.tar.gz"
xz -c "$work/tree.tar" >"$work/xz.tar.gz"
head -c 1500 "$work/traversal.tar" | gzip -c >"$work/tar-cut.tar.gz"
gzip -c "$work/data-after-the-end.tar" >"$work/tar-trailed.tar.gz"
# Bytes after the end, which no entry accounts for, in every format.
trailed=("data-after-the-end.tar|Data after the end of the tar archive: at byte 10240"
  "junk.tar.gz|Data after the end of the gzip stream: at byte $size"
  "tar-trailed.tar.gz|Data after the end of the tar archive: at byte 10240"
  "trailed.zip|Data after the end of the zip archive: at byte $zip_size"
  "trailed.zvka|Data after the archive's last block: at byte $(stat -c %s "$work/t3.zvka")")
for refusal in "traversal.tar|Unsafe path in archive: ../evil" \
  "hard-link-to-nothing.tar|Tar hard link names no file the archive holds: h" \
  "crc.tar.gz|Checksum verification failed: gzip member at byte 0" "cut.tar.gz|Gzip data is damaged (ends early): at byte 0" \
  "header-crc.tar.gz|Gzip data is damaged (header checksum mismatch): at byte 0" \
  "xz.tar.gz|Compressed archive (xz), which this program cannot extract" \
  "changelog.gz|This gzip file holds no tar archive: decompress it with gunzip" \
  "tar-cut.tar.gz|Tar archive ends inside a header: at byte 1024" \
  "${trailed[@]/%/: extract with --keep, which leaves the archive as it is}"; do
  name=${refusal%%|*}
  cp "$work/$name" "$work/$name.copy"
  run extract "$work/$name" "$work/$name.out"
  check "$name refused, nothing touched" "1|Extract failed: ${refusal#*|}|same" \
    "$rc|$err|$(cmp -s "$work/$name" "$work/$name.copy" && [ ! -e "$work/$name.out" ] &&
      [ ! -e "$work/$name.zvkj" ] && echo same)"
done
# ...which --keep extracts around and names, as test, list and info do.
for case in "${trailed[@]}"; do
  name=${case%%|*} warning="Warning: ${case#*|} (not extracted)"
  run extract --keep "$work/$name" "$work/$name.kept"
  kept="$rc|$(grep -Fx "$warning" <<<"$out")"
  run test "$work/$name"
  check "$name: --keep extracts the rest and warns, as test, list and info do" "0|$warning|0|$warning|$warning|$warning" \
    "$kept|$rc|$err|$("$zarvik" list "$work/$name" 2>&1 >/dev/null)|$("$zarvik" info "$work/$name" 2>&1 >/dev/null)"
done

# A run that set every time and permission, then stopped before it removed its journal (every block recorded as
# released): the run resumed takes over the read-only file without opening it for writing. Root may write any file,
# so where the test runs as root, these runs go as another user.
again=$work/again
mkdir "$again" && cp "$work/t3.zvka" "$again/x.zvka"
python3 -c 'import struct, sys
open(sys.argv[1], "wb").write(b"ZVKJWIN\0" + struct.pack("<II", 1, int(sys.argv[2])) + bytes([2]) * int(sys.argv[2]))' \
  "$work/journal" "$("$zarvik" info "$again/x.zvka" | sed -n 's/^blocks: //p')"
as_user=()
if [ "$(id -u)" = 0 ]; then
  chmod 711 "$work" && chown -R nobody "$again" "$work/journal" &&
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
"${as_user[@]}" "$zarvik" extract --keep "$again/x.zvka" "$again/out" >/dev/null
mv "$work/journal" "$again/x.zvka.zvkj"
"${as_user[@]}" "$zarvik" extract --resume "$again/x.zvka" "$again/out" >/dev/null
rc=$?
check "a run resumed after the metadata was set" "0|same|out" \
  "$rc|$(cmp -s <(describe "$work/out") <(describe "$again/out") && echo same)|$(ls "$again")"

# Names that are not UTF-8 (Latin-1 years) are restored byte for byte; every name a person reads is shown with its
# controls and such bytes escaped, while the JSON keeps them exact.
python3 - "$work/names.tar" <<'EOF'
import io, sys, tarfile
with tarfile.open(sys.argv[1], 'w', format=tarfile.GNU_FORMAT, encoding='utf-8', errors='surrogateescape') as t:
    for name in ['caf\udce9', 'evil\x1b]0;pwned\x07\x1b[2J.txt', 'two\nlines']:
        info = tarfile.TarInfo(name)
        info.size = 1
        t.addfile(info, io.BytesIO(b'x'))
EOF
run list "$work/names.tar"
check "list: names escaped" "$(printf '1\t%s\n' 'caf\xE9' 'evil\033]0;pwned\007\033[2J.txt' 'two\nlines')" "$out"
check "list --json: the bytes as \\udcNN" '"path":"caf\udce9"' \
  "$("$zarvik" list --json "$work/names.tar" | grep -o '"path":"caf[^"]*"')"
run extract "$work/names.tar" "$work/names"
check "extract: restored byte for byte, logged escaped" \
  "0|[b'caf\\xe9', b'evil\\x1b]0;pwned\\x07\\x1b[2J.txt', b'two\\nlines']|Extracting: caf\xE9" \
  "$rc|$(python3 -c 'import os, sys; print(sorted(os.listdir(sys.argv[1].encode())))' "$work/names")|$(grep -o 'Extracting: caf.*' <<<"$out")"

finish round_trip
