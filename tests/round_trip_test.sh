#!/usr/bin/env bash
# A version-4 archive keeps what a tree is, not only its bytes: times to the
# nanosecond, permissions, empty folders and symbolic links, those leading
# out of the tree skipped at extraction. Its bytes do not depend on how many
# threads coded it.
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

finish round_trip
