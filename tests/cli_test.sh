#!/usr/bin/env bash
# zarvik create/list/test as a user runs them: output, exit codes, messages.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

mkdir -p "$work/src/b" "$work/src/😀 dir"
printf 'AAAAAAAAAA' > "$work/src/a.txt"
: > "$work/src/b/c.bin"
head -c 100000 /dev/urandom > "$work/src/😀 dir/noise.bin"

run create --block-size 4 "$work/src" "$work/x.zvka"
check "create exit" 0 "$rc"
check "create lines" "Packing: a.txt
Packing: b/c.bin
Packing: 😀 dir/noise.bin
Archive created: $work/x.zvka" "$(sed -n 1,4p <<<"$out")"
check "create summary" "Summary: files=3, source-bytes=100010, archive-data-bytes=" "$(sed -n 5p <<<"$out" | grep -o '^.*archive-data-bytes=')"
check "no progress when stderr is not a terminal" "" "$err"

run list "$work/x.zvka"
check "list" "$(printf '10\ta.txt\n0\tb/c.bin\n100000\t😀 dir/noise.bin')" "$out"
run test "$work/x.zvka"
check "test exit" 0 "$rc"

for size in 1 1000 64K 4M 4294967295; do
  run create --block-size "$size" "$work/src" "$work/s.zvka"
  check "block size $size" 0 "$rc"
  run test "$work/s.zvka"
  check "test at block size $size" 0 "$rc"
done
run create --block-size=64K "$work/src/a.txt" "$work/single.zvka"
check "single file" "$(printf '10\ta.txt')" "$("$zarvik" list "$work/single.zvka")"

for bad in 0 4294967296 4194304K 4096M 12G abc -1 ""; do
  run create --block-size "$bad" "$work/src" "$work/bad.zvka"
  check "block size '$bad' is a usage error" 2 "$rc"
done
check "usage on stderr" "Usage:" "$(sed -n 2p <<<"$err")"
for args in "" "create onlyone" "list" "list a b" "frobnicate x" "create --what a b"; do
  run $args
  check "usage error: '$args'" 2 "$rc"
done
run --help
check "help exit" 0 "$rc"
check "help on stdout" "Usage:" "$(head -n 1 <<<"$out")"
run --version
check "version" "zarvik " "$(grep -o '^zarvik ' <<<"$out")"

run create "$work/absent" "$work/y.zvka"
check "create failure" "1|Create failed: Input path does not exist" "$rc|$err"
check "no archive after failure" "no" "$([ -e "$work/y.zvka" ] && echo yes || echo no)"
printf 'ZVKJWIN\0\1\0\0\0\0\0\0\0' > "$work/x.zvka.zvkj"
head -c 64 /dev/zero >> "$work/x.zvka.zvkj"
run list "$work/x.zvka.zvkj"
check "list failure" "1|List failed: Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal." "$rc|$err"
run list "$work/absent.zvka"
check "list missing" "1|List failed: Unable to open archive file" "$rc|$err"

# Damage the first stored block of a.txt (81 41 -> 81 42): its CRC no longer matches.
cp "$work/x.zvka" "$work/bad.zvka"
offset=$(( $(od -An -tu8 -j44 -N8 "$work/x.zvka") + 1 ))
printf 'B' | dd of="$work/bad.zvka" bs=1 seek="$offset" conv=notrunc status=none
run test "$work/bad.zvka"
check "test failure" "1|Test failed: Checksum verification failed" "$rc|$err"

finish cli
