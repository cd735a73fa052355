#!/usr/bin/env bash
# zarvik create/list/test/info as a user runs them: output, JSON, exit codes, messages.
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
printf 'ZVKJWIN\0\1\0\0\0\0\0\0\0' > "$work/x.zvka.zvkj"   # a journal that records nothing
head -c 64 /dev/zero >> "$work/x.zvka.zvkj"
run create --block-size=64K "$work/src/a.txt" "$work/single.zvka"
check "single file" "$(printf '10\ta.txt')" "$("$zarvik" list "$work/single.zvka")"

for bad in 0 4294967296 4194304K 4096M 12G abc -1 ""; do
  run create --block-size "$bad" "$work/src" "$work/bad.zvka"
  check "block size '$bad' is a usage error" 2 "$rc"
done
check "usage on stderr" "zarvik: invalid block size: |Usage:" "$(head -n 2 <<<"$err" | tr '\n' '|' | head -c 35)"
for args in "" "create onlyone" "list" "list a b" "frobnicate x" "create --what a b" "extract --batch 0 a b" \
  "extract --batch 12X a b" "extract a b --batch" "info a b c" "info --keep a" "test --json a b" \
  "extract --keep --resume a b"; do
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
listing=$("$zarvik" list "$work/x.zvka")
run list "$work/x.zvka.zvkj"
check "list through the journal's name" "0|$listing" "$rc|$out"
run list "$work/absent.zvka"
check "list missing" "1|List failed: Unable to open archive file" "$rc|$err"

# info: the archive's facts, then the space an extraction needs; JSON with the same facts.
run info "$work/x.zvka"
check "info" "0|version: 3
files: 3
blocks: 25003
block size: 4
source bytes: 100010 (100.0 kB)
state: intact
release: holes|stored bytes: " "$rc|$(sed 6d <<<"$out")|$(sed -n 6p <<<"$out" | grep -o '^stored bytes: ')"
run info "$work/x.zvka" "$work/not/yet"
check "info with a destination" "free at destination: |needed to extract: |needed with --keep: " \
  "$(sed -n 9p <<<"$out" | grep -o '^[a-z ]*: ')|$(sed -n 10p <<<"$out" | grep -o '^[a-z ]*: ')|$(sed -n 11p <<<"$out" | grep -o '^[a-z -]*: ')"
# Space goes in whole allocation units a file, not a block: 3 files of 25003 blocks take a few units more than their bytes.
run info --json "$work/x.zvka" "$work"
check "info --json" "info 25003 100010 intact True" "$(python3 -c 'import json, os, sys; o = json.loads(sys.stdin.read())
unit = os.statvfs(sys.argv[1]).f_frsize
print(o["event"], o["blocks"], o["sourceBytes"], o["state"], 100010 <= o["neededWithKeep"] < 100010 + 10 * unit)' "$work" <<<"$out")"
run info "$work/x.zvka.zvkj"
check "info through the journal's name" "0|files: 3" "$rc|$(grep '^files' <<<"$out")"
head -c 100 /dev/zero >"$work/orphan.zvka.zvkj"  # a journal without its archive is no archive
run list "$work/orphan.zvka.zvkj"
check "list failure" "1|List failed: Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal." "$rc|$err"
run info "$work/src/a.txt"
check "info on a small file" "1|Info failed: Invalid archive format (header read failed)" "$rc|$err"

# --json: every line an object, names with control characters escaped; -q drops the file lines.
printf 'x' > "$work/src/tab	and
newline"
run create --json "$work/src" "$work/j.zvka"
check "create --json" "0|Packing: tab\\tand\\nnewline|done" "$rc|$(python3 -c 'import json, sys
events = [json.loads(line) for line in sys.stdin]
print(next(e["line"] for e in events if "tab" in e.get("line", "")).encode("unicode_escape").decode() + "|" + events[-1]["event"])' <<<"$out")"
run list --json "$work/j.zvka"
check "list --json: one object per file, the newline kept" "0|file tab\\tand\\nnewline 1|done" "$rc|$(python3 -c 'import json, sys
events = [json.loads(line) for line in sys.stdin]
named = next(e for e in events if "tab" in e.get("path", ""))
print(named["event"], named["path"].encode("unicode_escape").decode(), named["size"], end="|")
print(events[-1]["event"])' <<<"$out")"
run create -q "$work/src" "$work/q.zvka"
check "create -q" "Archive created: $work/q.zvka" "$(head -n 1 <<<"$out")"
run test --json "$work/absent.zvka"
check "test --json failure" '1|{"event":"error","message":"Unable to open archive file","resumable":false}|' "$rc|$out|$err"

# Damage the first stored block of a.txt (81 41 -> 81 42): its CRC no longer matches.
cp "$work/x.zvka" "$work/bad.zvka"
offset=$(( $(od -An -tu8 -j44 -N8 "$work/x.zvka") + 1 ))
printf 'B' | dd of="$work/bad.zvka" bs=1 seek="$offset" conv=notrunc status=none
run test "$work/bad.zvka"
check "test failure" "1|Test failed: Checksum verification failed in block 0 of: a.txt" "$rc|$err"

finish cli
