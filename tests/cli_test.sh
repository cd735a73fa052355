#!/usr/bin/env bash
# zarvik as a user runs it: what create, list, info, test and extract print, then a table of refusals and
# recoveries, each row a setup, a run, its exit code and its message (a refusal changing nothing).
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

src=$work/src x=$work/x.zvka
mkdir -p "$src/b" && printf 'AAAAAAAAAA' >"$src/a.txt" && printf 'xyzxyz' >"$src/b/c.bin" && : >"$src/b/empty"
run create --block-size 4 "$src" "$x"
check "create" "0|Packing: a.txt|Packing: b/c.bin|Packing: b/empty|Archive created: $x|Summary: files=3, source-bytes=16, \
archive-data-bytes=12, ratio=0.750000|" "$rc|$(paste -sd '|' <<<"$out")|$err"
check "list; through the journal's name too" "$(printf '10\ta.txt\n6\tb/c.bin\n0\tb/empty')|same" \
  "$("$zarvik" list "$x")|$(cmp -s <("$zarvik" list "$x") <("$zarvik" list "$x.zvkj") && echo same)"
run info "$x.zvkj" "$work/not/yet"
check "info (through the journal's name), and the space an extraction needs" "0|version: 3|files: 3|blocks: 5|block size: \
4|source bytes: 16|stored bytes: 12|state: intact|release: holes|free at destination: |needed to extract: |needed with \
--keep: " "$rc|$(head -n 8 <<<"$out" | paste -sd '|')|$(tail -n 3 <<<"$out" | grep -o '^[a-z -]*: ' | paste -sd '|')"
check "info --json (space in whole allocation units)" "info 5 16 intact True" "$("$zarvik" info --json "$x" "$work" | python3 -c 'import json, os, sys
o, unit = json.loads(sys.stdin.read()), os.statvfs(sys.argv[1]).f_frsize
print(o["event"], o["blocks"], o["sourceBytes"], o["state"], 16 <= o["neededWithKeep"] < 16 + 10 * unit)' "$work")"
for size in 1 1000 64K 4M 4294967295; do
  row 0 "" "Archive created: $work/s.zvka" create -q --block-size "$size" "$src" "$work/s.zvka" &&
    row 0 "" "OK: 3 files, $([ "$size" = 1 ] && echo 16 || echo 2) blocks verified" test "$work/s.zvka"
done
row 0 "" "Archive created: $work/v.zvka.001" create -q --volume-size 1G "$src" "$work/v.zvka"
run create --block-size "" "$src" "$work/bad.zvka"
check "what is wrong, then the usage" "2|zarvik: invalid block size: |Usage:" "$rc|$(head -n 2 <<<"$err" | paste -sd '|')"
for args in "create --block-size "{0,4294967296,4194304K,4096M,4G,abc,-1}" s a" "create --volume-size 63K s a" "" "create onlyone" "list" "list a b" \
  "frobnicate x" "create --what a b" "extract --batch 0 a b" "extract --batch 12X a b" "extract a b --batch" \
  "info --keep a" "test --json a b" "extract --keep --resume a b" "extract a" "extract --fast a b"; do
  run $args && check "usage error: '$args'" 2 "$rc"
done
mkdir "$work/j" && printf 'x' >"$work/j/tab	and
newline" && row 0 "" '{"event":"done","ok":true}' create --json "$work/j" "$work/j.zvka"
check "create --json: control characters escaped" 1 "$(grep -cF '"line":"Packing: tab\u0009and\u000anewline"' <<<"$out")"
row 0 "" '{"event":"file","path":"tab\u0009and\u000anewline","size":1}' list --json "$work/j.zvka"
cp "$x" "$work/copy.zvka" && run extract --keep "$x" "$work/kept"
check "extract --keep" "0|Extracting: b/c.bin|Extracting: a.txt|Original archive kept as requested.|Extraction complete: \
$work/kept||same" "$rc|$(paste -sd '|' <<<"$out")|$(diff -r "$src" "$work/kept")|$(cmp -s "$x" "$work/copy.zvka" && echo same)"
check "progress line on a terminal" "100%  16 B of 16 B  freed 0 B" "$(script -q -e -c "'$zarvik' extract --keep '$x' \
'$work/tty'" /dev/null | tr '\r' '\n' | grep -a '%' | tail -n 1 | sed 's/ *$//')"
run extract "$x" "$work/out dir"
check "extract" "0|Extraction complete: $work/out dir||" "$rc|$(tail -n 1 <<<"$out")|$(diff -r "$src" "$work/out dir")|$(
  ls "$work" | grep '^x\.')"
# The table. Each setup makes $t afresh: x.zvka (a.txt in blocks 0-2, b/c.bin in 3-4), or the archive it names.
t=$work/t scope=$work/t
fresh() { rm -rf "$t" && mkdir "$t" && cp "$work/copy.zvka" "$t/x.zvka"; }
journal() { fresh && printf "ZVKJWIN\0\1\0\0\0$1" >"$t/x.zvka.zvkj"; }  # journal STATES: version 1 over x.zvka
made() { rm -rf "$t" && mkdir "$t" && cp "$work/made/$1" "$t/"; }      # made NAME: one of the archives made below
refused() { made "$1" && row 1= "Extract failed: $2" "" extract "$t/$1" "$t/o"; }  # refused NAME MESSAGE
# lost FORMAT [spoil]: x.zvka (version 3 or 5), x.tar or x.zip ($a) extracted with --keep into $t/there, then cut where
# the last file's data starts (x.zvka: its last block), as a run that released it leaves it, its journal lost; "spoil"
# damages block 0 too.
lost() {
  fresh && rm "$t/x.zvka" && a=$t/x.$1 && case $1 in
    zvka) "$zarvik" create --block-size 4 "$src" "$a" ;; 4.zvka) "$zarvik" create --zstd --block-size 4 "$src" "$a" ;;
    tar) tar -C "$src" -cf "$a" a.txt b/c.bin b/empty ;; zip) (cd "$src" && zip -qX0 "$a" a.txt b/c.bin b/empty) ;;
  esac >/dev/null && "$zarvik" extract -q --keep "$a" "$t/there" >/dev/null || return
  local version paths files blocks at
  case $1 in tar) truncate -s 1536 "$a" ;; zip) truncate -s 82 "$a" ;; *)  # the offsets in the block table
    read -r version paths files coded <<<"$(od -An -tu4 -j8 -N4 "$a") $(od -An -tu4 -j24 -N8 "$a") $(od -An -tu8 -j36 -N8 "$a")"
    blocks=$((56 + (version == 5 ? coded : paths + 24 * files))) && at=$(od -An -tu8 -j"$blocks" -N8 "$a")
    truncate -s "$(od -An -tu8 -j$((blocks + 96)) -N8 "$a")" "$a" && [ -n "${2:-}" ] || return 0
    printf "\\$(printf %o $(($(od -An -tu1 -j"$at" -N1 "$a") ^ 0x55)))" | dd of="$a" bs=1 seek="$at" conv=notrunc status=none ;;
  esac
}
mkdir -p "$work/made/in" && (cd "$work/made/in" && printf x >ok.txt && printf x >missing && ln missing h && printf x >../evil
tar -cf ../trailed.tar ok.txt && tar -P -cf ../traversal.tar ok.txt ../evil && zip -q ../trailed.zip ok.txt &&
  tar -cf ../hard-link-to-nothing.tar ok.txt missing h && tar --delete -f ../hard-link-to-nothing.tar missing && cd ..
printf more >>trailed.tar && { head -c 100 /dev/zero && printf more; } >>trailed.zip && { cat "$work/copy.zvka" && printf more; } >trailed.zvka
printf 'A changelog, compressed on its own.\n' | gzip -c >changelog.gz
tar -C "$src" -czf small.tar.gz . && head -c $(($(stat -c %s small.tar.gz) - 100)) small.tar.gz >cut.tar.gz
# The stored CRC's first byte inverted: set to a value, it would stay as it was once in 256 runs.
python3 -c 'd = bytearray(open("small.tar.gz", "rb").read()); d[-8] ^= 0xFF; open("crc.tar.gz", "wb").write(d)'
python3 -c 'import gzip; open("header-crc.tar.gz", "wb").write(b"\x1f\x8b\x08\x02" + bytes(6) + b"AA" + gzip.compress(b"")[10:])'
{ cat small.tar.gz && printf junk; } >junk.tar.gz && printf 'LZIP\1' >lzip.tar.gz && head -c 10 small.tar.gz >at-header.tar.gz
tar -C "$src" -I zstd -cf small.tar.zst . && printf 'A changelog, compressed on its own.\n' | zstd -q -c >changelog.zst
head -c $(($(stat -c %s small.tar.zst) - 100)) small.tar.zst >cut.tar.zst && { cat small.tar.zst && printf junk; } >junk.tar.zst
python3 -c 'd = bytearray(open("small.tar.zst", "rb").read()); d[-4] ^= 0xFF; open("crc.tar.zst", "wb").write(d)'
tar -C "$src" -cJf small.tar.xz . && tar -C "$src" -cjf small.tar.bz2 . && tar -C "$src" -cf - . | xz -T2 --block-size=4K >sized.tar.xz
for z in xz bz2; do { cat small.tar.$z && printf junk; } >junk.tar.$z; done
gzip -dc changelog.gz | xz -c >changelog.xz && gzip -dc changelog.gz | bzip2 -c >changelog.bz2
# Spoiled: the xz block's check, the compressed size its header claims and the dictionary it names (4 GiB; the header's
# CRC-32 set anew), the bzip2 block's CRC and the stream's, and a block magic planted in a block's data.
python3 -c 'import zlib
def spoil(name, out, change):
    d = bytearray(open(name, "rb").read())
    change(d)
    open(out, "wb").write(d)
def flip(d, at, bits=0xFF):
    d[at] ^= bits
def reheader(d, at, value):
    end = 12 + (d[12] + 1) * 4
    d[at] = value
    d[end - 4:end] = zlib.crc32(d[12:end - 4]).to_bytes(4, "little")
def claim(d):
    reheader(d, 14, d[14] ^ 1)
spoil("small.tar.xz", "check.tar.xz", lambda d: flip(d, -13 - (int.from_bytes(d[-8:-4], "little") + 1) * 4))
spoil("sized.tar.xz", "claims.tar.xz", claim)
spoil("small.tar.xz", "dictionary.tar.xz", lambda d: reheader(d, 16, 40))
spoil("small.tar.bz2", "block-crc.tar.bz2", lambda d: flip(d, 10))
spoil("small.tar.bz2", "stream-crc.tar.bz2", lambda d: flip(d, -2))
spoil("small.tar.bz2", "planted.tar.bz2", lambda d: d.__setitem__(slice(40, 46), bytes.fromhex("314159265359")))'
gzip -c trailed.tar >tar-trailed.tar.gz && mkfifo in/fifo && tar -C in -cf fifo.tar fifo) && size=$(stat -c %s "$work/made/small.tar.gz")
zst=$(stat -c %s "$work/made/small.tar.zst")
keep=": extract with --keep, which leaves the archive as it is"
gone="This archive was partly extracted and its journal is missing"
changed="The archive is not the one this journal was written for: put the original back, or delete the journal to start over"
# Bytes after the end, which no entry accounts for, in every format: refused, or with --keep extracted around and named.
for case in "trailed.tar|Data after the end of the tar archive: at byte 10240" \
  "junk.tar.gz|Data after the end of the gzip stream: at byte $size" \
  "junk.tar.xz|Data after the end of the xz stream: at byte $(stat -c %s "$work/made/small.tar.xz")" \
  "junk.tar.bz2|Data after the end of the bzip2 stream: at byte $(stat -c %s "$work/made/small.tar.bz2")" \
  "tar-trailed.tar.gz|Data after the end of the tar archive: at byte 10240" \
  "junk.tar.zst|Data after the end of the Zstandard stream: at byte $zst" \
  "trailed.zip|Data after the end of the zip archive: at byte $(($(stat -c %s "$work/made/trailed.zip") - 4))" \
  "trailed.zvka|Data after the archive's last block: at byte $(stat -c %s "$work/copy.zvka")"; do
  name=${case%%|*} warning="Warning: ${case#*|} (not extracted)"
  refused "$name" "${case#*|}$keep" && row 0 "" "$warning" extract --keep "$t/$name" "$t/o"
  for command in test list info; do row 0 "$warning" "" $command "$t/$name"; done
done
refused traversal.tar "Unsafe path in archive: ../evil"
refused hard-link-to-nothing.tar "Tar hard link names no file the archive holds: h"
refused crc.tar.gz "Checksum verification failed: gzip member at byte 0"
refused cut.tar.gz "Gzip data is damaged (ends early): at byte 0"
refused header-crc.tar.gz "Gzip data is damaged (header checksum mismatch): at byte 0"
refused lzip.tar.gz "Compressed archive (lzip), which this program cannot extract"
refused changelog.gz "This gzip file holds no tar archive: decompress it with gunzip"
refused crc.tar.zst "Checksum verification failed: Zstandard frame at byte 0"
refused cut.tar.zst "Zstandard data is damaged (ends early): at byte 0"
refused changelog.zst "This Zstandard file holds no tar archive: decompress it with unzstd"
refused changelog.xz "This xz file holds no tar archive: decompress it with unxz"
refused changelog.bz2 "This bzip2 file holds no tar archive: decompress it with bunzip2"
for name in check.tar.xz claims.tar.xz; do refused $name "Xz data is damaged (invalid compressed data): at byte 12"; done
refused dictionary.tar.xz "Xz block needs more than 1 GiB of memory to decode: at byte 12"
for name in block-crc.tar.bz2 planted.tar.bz2; do refused $name "Bzip2 data is damaged (invalid compressed data): at byte 0"; done
refused stream-crc.tar.bz2 "Checksum verification failed: bzip2 stream at byte 0"
made fifo.tar && row 0 "" "Skipped special file: fifo" extract "$t/fifo.tar" "$t/o"
fresh && row 1= "Create failed: Input path does not exist" "" create "$t/absent" "$t/y.zvka"
row 1= "List failed: Unable to open archive file" "" list "$t/absent.zvka"
row 1= "" '{"event":"error","message":"Unable to open archive file","resumable":false}' test --json "$t/absent.zvka"
row 1= "Extract failed: Unable to open archive file" "" extract "$t/absent.zvka" "$t/o"
row 1= "Info failed: Invalid archive format (header read failed)" "" info "$src/a.txt"
head -c 100 /dev/zero >"$t/orphan.zvka.zvkj" && row 1= "List failed: Invalid archive format (bad magic). Ensure you \
selected a .zvka archive, not a .zvkj journal." "" list "$t/orphan.zvka.zvkj"  # a journal without its archive is no archive
row 1= "Extract failed: Please select the .zvka archive file." "" extract "$t/none.zvka.zvkj" "$t/o"
row 1= "Extract failed: Nothing to resume: neither $t/gone.zvka nor its journal exists" "" extract --resume "$t/gone.zvka" "$t/o"
# A destination that is the archive or its journal, under any spelling or through a link.
ln -s "$t/x.zvka" "$t/z link" && for dest in "$t/x.zvka" "$t/x.zvka.zvkj" "$t/x.zvka.zvkj/" "$t/../t/x.zvka" "$t/z link"; do
  row 1= "Extract failed: The destination is the archive or its journal: $dest" "" extract "$t/x.zvka" "$dest"
done
# Damage: test names the block; extraction stops for good and says how to salvage, which extracts the rest.
fresh && printf q | dd of="$t/x.zvka" bs=1 seek=$(($(stat -c %s "$t/x.zvka") - 1)) conv=notrunc status=none
row 1= "Test failed: Checksum verification failed in block 4 of: b/c.bin" "" test "$t/x.zvka"
row 4 "Extract failed: Checksum verification failed in block 4 of: b/c.bin
The archive is damaged there; resuming would stop at the same block. To extract everything else, run: zarvik \
extract --salvage $t/x.zvka $t/d" "" extract "$t/x.zvka" "$t/d"
row 1 "Extract failed: 1 files could not be fully extracted" "Damaged: b/c.bin" extract --salvage "$t/x.zvka" "$t/d"
check "salvage keeps the rest" "AAAAAAAAAA|xyzx|6" "$(cat "$t/d/a.txt")|$(head -c 4 "$t/d/b/c.bin")|$(stat -c %s "$t/d/b/c.bin")"
# A journal with b/c.bin's last block written: a fresh start and a resume elsewhere are refused; one into the folder
# holding that block, through the journal's name, completes.
journal '\5\0\0\0\0\0\0\0\1' && row 3= "Extract failed: An earlier extraction of this archive was interrupted; resume it to \
continue
To continue, resume it into the folder where it started: zarvik extract --resume $t/x.zvka FOLDER" "" extract "$t/x.zvka" "$t/o"
row 3= "" '{"event":"error","message":"An earlier extraction of this archive was interrupted; resume it to continue",'\
'"resumable":true,"resume":["zarvik","extract","--resume","'"$t"'/x.zvka"]}' extract --json "$t/x.zvka" "$t/o"
row 3= "Extract failed: The destination does not hold the data already extracted from this archive: $t/o/b/c.bin
Resume into the folder where the extraction started." "" extract --resume "$t/x.zvka" "$t/o"
# Moved away (or on a disk not at hand), the archive is missing, not consumed: the run resumes once it is back.
mv "$t/x.zvka" "$work/away.zvka" && row 3= "Extract failed: The archive is missing: $t/x.zvka; its journal records an \
extraction partly done: put the archive back, then resume
To continue, resume it into the folder where it started: zarvik extract --resume $t/x.zvka FOLDER" "" extract --resume "$t/x.zvka" "$t/o"
mv "$work/away.zvka" "$t/x.zvka"
mkdir -p "$t/o/b" && printf 'xyzxyz' >"$t/o/b/c.bin" &&
  row 0 "" "Info: Resume file selected; switched to archive: $t/x.zvka" extract --resume "$t/x.zvka.zvkj" "$t/o"
check "resumed: the tree, archive and journal gone" "|o" "$(diff -r "$src" "$t/o")|$(ls "$t")"
# A journal written for another archive (of four blocks, where x.zvka has five).
journal '\4\0\0\0\0\0\0\1' && row 5= "Extract failed: $changed" "" extract --resume "$t/x.zvka" "$t/o"
row 5= "" '{"event":"error","message":"'"$changed"'","resumable":false,"archiveChanged":true}' extract --json --resume "$t/x.zvka" "$t/o"
# A journal lost after a run released the last file's data (b/c.bin; a.txt in version 5, which puts files in the order
# of their extensions): every command says so; --salvage into that run's folder finds the data and ends (a tar, with no
# checksum, calls it lost but keeps its bytes); elsewhere it names what is lost. A damaged block keeps the archive.
for format in zvka 4.zvka tar zip; do
  n=5 last=b/c.bin lost="2 bytes from byte 4" kept="AAAAAAAAAA|xyzx" ended="0||"
  [ "${format%zvka}" = "$format" ] && n=2 lost="6 bytes from byte 0" kept="AAAAAAAAAA|"
  [ $format = 4.zvka ] && last=a.txt lost="2 bytes from byte 8" kept="AAAAAAAA|xyzxyz"
  [ $format = tar ] && ended="1|Extract failed: 1 files could not be fully extracted; the archive held nothing more and was \
deleted|Lost: b/c.bin, 6 bytes from byte 0"
  lost $format && row 1= "Extract failed: $gone: 1 of $n blocks are gone, from 1 files, the first: $last" "" extract "$a" "$t/o"
  row 1= "Test failed: $gone: 1 of $n blocks are gone, from 1 files, the first: $last" "" test "$a"
  row 0= "" "state: partly extracted, journal missing: 1 of $n blocks gone" info "$a"
  row "${ended%%|*}" "$(cut -d '|' -f 2 <<<"$ended")" "${ended##*|}" extract --salvage "$a" "$t/there"
  check "$format: salvaged where the run was: all there, archive gone" "|there" "$(diff -r "$src" "$t/there")|$(ls "$t")"
  lost $format && row 1 "Extract failed: 1 files could not be fully extracted; the archive held nothing more and was deleted" \
    "Lost: $last, $lost" extract --salvage "$a" "$t/o"
  check "$format: salvaged elsewhere" "$kept|o there" \
    "$(cat "$t/o/a.txt")|$(tr -d '\0' <"$t/o/b/c.bin")|$(ls "$t" | paste -sd ' ')"
done
lost zvka spoil && row 1 "Extract failed: 2 files could not be fully extracted" "" extract --salvage "$a" "$t/o"
row 0= "" "state: partly extracted, 3 of 5 blocks released, 1 lost" info "$a"
check "a damaged block keeps the archive; JSON counts the lost block" "1|o there x.zvka x.zvka.zvkj" \
  "$("$zarvik" info --json "$a" | python3 -c 'import json, sys; print(json.load(sys.stdin)["blocksLost"])')|$(ls "$t" | paste -sd ' ')"
# A .tar.gz cut where a member's header starts names no block gone: refused by where it ends, and --salvage ends it.
made at-header.tar.gz && a=$t/at-header.tar.gz cut="$gone: it ends at byte 10, where an extraction cuts it"
row 1= "Extract failed: $cut" "" extract "$a" "$t/o" && row 1= "Test failed: $cut" "" test "$a"
row 0= "" "state: partly extracted, journal missing: 0 of 0 blocks gone" info "$a" && row 0 "" "" extract --salvage "$a" "$t/o"
check "the cut tar.gz ended" "o" "$(ls "$t")"
# Several archives into one tree: a .zvka, a .zip and a .tar.gz merged, one forecast for them all; a file two of them
# hold is refused before anything is written, and taken from the later one with --overwrite; a path that is a file in
# one and a folder in another, an archive missing or named twice are refused.
m=$work/m && mkdir -p "$m/p/d" "$m/q/d" "$m/r/e" "$m/s" && printf a >"$m/p/a" && printf b >"$m/p/d/b" && printf c >"$m/q/d/c"
printf f >"$m/r/e/f" && printf A >"$m/s/a" && printf D >"$m/s/d" && "$zarvik" create -q "$m/p" "$m/1.zvka" >/dev/null
(cd "$m/q" && zip -qr ../2.zip .) && tar -C "$m/r" -czf "$m/3.tar.gz" . && (cd "$m/s" && zip -q ../a.zip a && zip -q ../ad.zip d)
mkdir "$m/all" && cp -r "$m"/{p,q,r}/* "$m/all" && set3() { rm -rf "$t" && mkdir "$t" && cp "$m"/*.z* "$m/3.tar.gz" "$t"; }
set3 && for x in 1.zvka 2.zip 3.tar.gz; do "$zarvik" info --json "$t/$x" "$t/o"; done >"$work/each.json"
check "info on a set: one forecast, from each archive's" "3 True" "$("$zarvik" info --json "$t"/{1.zvka,2.zip,3.tar.gz} \
  "$t/o" | python3 -c 'import json, os, sys
each = [json.loads(l) for l in open(sys.argv[1])]
run = json.loads(sys.stdin.read().splitlines()[-1])
peak = grown = 0
for e, x in zip(each, ["1.zvka", "2.zip", "3.tar.gz"]):
    peak, grown = max(peak, grown + e["neededToExtract"]), grown + e["neededWithKeep"] - os.path.getsize(sys.argv[2] + "/" + x)
print(run["archives"], (run["neededWithKeep"], run["neededToExtract"]) == (sum(e["neededWithKeep"] for e in each), peak))' \
  "$work/each.json" "$t")"
row 0 "" "Archive 3 of 3: $t/3.tar.gz" extract "$t"/{1.zvka,2.zip,3.tar.gz} "$t/o"
check "three archives merged, each consumed, no record left" "|a.zip ad.zip o" "$(diff -r "$m/all" "$t/o")|$(ls "$t" | paste -sd ' ')"
set3 && row 1= "Extract failed: Two archives hold the file a: $t/1.zvka and $t/a.zip; with --overwrite the later one \
wins" "" extract "$t"/{1.zvka,2.zip,a.zip} "$t/o"
row 1= "Extract failed: A path is a file in one archive and a folder in another: d ($t/1.zvka and $t/ad.zip)" "" \
  extract --overwrite "$t"/{1.zvka,ad.zip} "$t/o"
row 1= "Extract failed: The archive is missing: $t/none.zip" "" extract "$t"/{1.zvka,none.zip} "$t/o"
row 1= "Extract failed: The archive is named twice: $t/./1.zvka" "" extract "$t"/{1.zvka,./1.zvka} "$t/o"
row 0 "" "" extract --overwrite "$t"/{1.zvka,a.zip} "$t/o" && check "--overwrite: the later wins" "A|b" "$(cat "$t/o/a")|$(cat "$t/o/d/b")"
finish cli
