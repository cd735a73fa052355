#!/usr/bin/env bash
# zarvik extract as a user runs it: output lines, exit codes, the resume file
# given as the archive, and the advice after an interrupted run.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

mkdir -p "$work/src/b"
printf 'AAAAAAAAAA' > "$work/src/a.txt"
printf 'xyzxyz' > "$work/src/b/c.bin"
: > "$work/src/b/empty"
"$zarvik" create --block-size 4 "$work/src" "$work/x.zvka" >/dev/null
cp "$work/x.zvka" "$work/copy.zvka"

run extract --keep "$work/x.zvka" "$work/kept"
check "keep exit" 0 "$rc"
check "keep lines" "Extracting: b/c.bin
Extracting: a.txt
Original archive kept as requested.
Extraction complete: $work/kept" "$out"
check "keep leaves the archive" "same" "$(cmp -s "$work/x.zvka" "$work/copy.zvka" && echo same)"
check "keep tree" "" "$(diff -r "$work/src" "$work/kept")"
# On a terminal, a progress line of bytes and the space given back (the rate and time left come after half a second).
check "progress line on a terminal" "100%  16 B of 16 B  freed 0 B" "$(script -q -e -c "'$zarvik' extract --keep \
  '$work/x.zvka' '$work/tty'" /dev/null | tr '\r' '\n' | grep -a '%' | tail -n 1 | sed 's/ *$//')"
run extract -q --keep "$work/x.zvka" "$work/quiet"
check "-q leaves out the file lines" "Original archive kept as requested." "$(head -n 1 <<<"$out")"

run extract "$work/x.zvka" "$work/out dir"
check "ablative exit" 0 "$rc"
check "ablative last line" "Extraction complete: $work/out dir" "$(tail -n 1 <<<"$out")"
check "ablative tree" "" "$(diff -r "$work/src" "$work/out dir")"
check "archive and journal gone" "" "$(ls "$work" | grep zvka | grep -v copy)"

# A destination that is the archive or its journal, under any spelling or through a link, is refused before
# anything is created.
cp "$work/copy.zvka" "$work/z.zvka" && ln -s "$work/z.zvka" "$work/z link"
for dest in "$work/z.zvka" "$work/z.zvka.zvkj" "$work/z.zvka.zvkj/" "$work/src/../z.zvka" "$work/z link"; do
  run extract "$work/z.zvka" "$dest"
  check "destination $dest refused" "1|Extract failed: The destination is the archive or its journal: $dest|z.zvka" \
    "$rc|$err|$(ls "$work" | grep '^z\.')"
done

# A journal that records progress (the last block, b/c.bin's second, written): a fresh start is refused, and so
# is a resume into a folder that does not hold that block; neither writes anything.
cp "$work/copy.zvka" "$work/y.zvka"
printf 'ZVKJWIN\0\1\0\0\0\5\0\0\0\0\0\0\0\1' > "$work/y.zvka.zvkj"
cp "$work/y.zvka.zvkj" "$work/journal.copy"
run extract "$work/y.zvka" "$work/y out"
check "refused exit: resumable" 3 "$rc"
check "refused message" "Extract failed: An earlier extraction of this archive was interrupted; resume it to continue
To continue, resume it into the folder where it started: zarvik extract --resume $work/y.zvka FOLDER" "$err"
run extract --json "$work/y.zvka" "$work/y out"
check "refused, as JSON" "3|error|True|['zarvik', 'extract', '--resume', '$work/y.zvka']|" "$rc|$(python3 -c 'import json, sys
e = json.loads(sys.stdin.read()); print(e["event"], e["resumable"], e["resume"], sep="|")' <<<"$out")|$err"
run extract --resume "$work/y.zvka" "$work/elsewhere"
check "wrong folder refused" "3:Extract failed: The destination does not hold the data already extracted from this archive: $work/elsewhere/b/c.bin
Resume into the folder where the extraction started." "$rc:$err"
check "nothing written" "absent same same" "$([ -e "$work/elsewhere" ] || echo absent)$(
  cmp -s "$work/y.zvka" "$work/copy.zvka" && echo " same")$(cmp -s "$work/y.zvka.zvkj" "$work/journal.copy" && echo " same")"

mkdir -p "$work/y out/b" && printf 'xyzxyz' > "$work/y out/b/c.bin"
run extract --resume "$work/y.zvka.zvkj" "$work/y out"
check "resume through the journal exit" 0 "$rc"
check "switch line" "Info: Resume file selected; switched to archive: $work/y.zvka" "$(head -n 1 <<<"$out")"
check "resumed tree" "" "$(diff -r "$work/src" "$work/y out")"

# A damaged last block stops a plain run for good; salvage extracts the rest, names the file, keeps the archive.
cp "$work/copy.zvka" "$work/d.zvka"
printf 'q' | dd of="$work/d.zvka" bs=1 seek=$(($(stat -c %s "$work/d.zvka") - 1)) conv=notrunc 2>/dev/null
run extract "$work/d.zvka" "$work/d"
check "damaged block: exit 4 and how to salvage" "4:Extract failed: Checksum verification failed in block 4 of: b/c.bin
The archive is damaged there; resuming would stop at the same block. To extract everything else, run: zarvik \
extract --salvage $work/d.zvka $work/d" "$rc:$err"
run extract --salvage "$work/d.zvka" "$work/d"
check "salvage" "1:Extract failed: 1 files could not be fully extracted" "$rc:$err"
check "salvage names it" "Damaged: b/c.bin" "$(grep Damaged <<<"$out")"
check "salvage keeps the rest" "AAAAAAAAAA|xyzx|6" \
  "$(cat "$work/d/a.txt")|$(head -c 4 "$work/d/b/c.bin")|$(stat -c %s "$work/d/b/c.bin")"

# The recovery after a lost journal, in each format: a run released the last block (b/c.bin's "yz"; in a tar, tar.gz
# or zip, b/c.bin's data and what follows, the zip's directory too; the tar.gz is two gzip members, the second from
# b/c.bin's data, and is cut where that one's deflate data starts), then its journal was lost. Every command says so.
# --salvage into the folder that run filled finds the block there and completes; a tar keeps no checksums, nor does a
# cut tar.gz, so there it names the block lost, the file keeping its bytes. Into another folder it names what is lost,
# by file and range, and ends all the same: exit 1, the archive and journal gone. Where a block the archive still holds
# is damaged too, the archive stays for it, and info and test count the lost block.
cut_archive() {  # cut_archive cut|spoil ARCHIVE BLOCK: cuts a .zvka where the block starts, or changes its first byte;
  # a tar or zip where b/c.bin's data starts, a tar.gz where its second member's deflate data does
  python3 - "$@" <<'PY'
import struct, sys, tarfile, zipfile, zlib
what, path, block = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(path, "r+b") as f:
    if path.endswith(".tar.gz"):
        first = zlib.decompressobj(31)
        first.decompress(f.read())
        f.truncate(f.tell() - len(first.unused_data) + 10)  # gzip -n writes no name: a 10-byte header
        sys.exit()
    if path.endswith(".tar"):
        f.truncate(tarfile.open(path).getmember("b/c.bin").offset_data)
        sys.exit()
    if path.endswith(".zip"):
        f.seek(zipfile.ZipFile(path).getinfo("b/c.bin").header_offset)
        name, extra = struct.unpack_from("<HH", f.read(30), 26)
        f.truncate(f.tell() + name + extra)
        sys.exit()
    head = f.read(56)
    paths, files = struct.unpack_from("<II", head, 24)
    f.seek(56 + paths + (24 if head[8] == 3 else 40) * files + 24 * block)
    offset = struct.unpack("<Q", f.read(8))[0]
    if what == "cut":
        f.truncate(offset)
    else:
        f.seek(offset)
        byte = f.read(1)[0] ^ 0x55
        f.seek(offset)
        f.write(bytes([byte]))
PY
}
tail_lost="1 files could not be fully extracted; the archive held nothing more and was deleted"
for format in 3 4 tar tgz zip; do
  w=$work/lost$format && mkdir "$w"
  case $format in
    3) x=$w/x.zvka blocks=5 there="0|" lost="2 bytes from byte 4" c="xyzx\0\0" ;;
    4) x=$w/x.zvka blocks=5 there="0|" lost="2 bytes from byte 4" c="xyzx\0\0" ;;
    tar) x=$w/x.tar blocks=2 there="1|Lost: b/c.bin, 6 bytes from byte 0" lost="6 bytes from byte 0" c="\0\0\0\0\0\0" ;;
    tgz) x=$w/x.tar.gz blocks=2 there="1|Lost: b/c.bin, 6 bytes from byte 0" lost="6 bytes from byte 0" c="\0\0\0\0\0\0" ;;
    zip) x=$w/x.zip blocks=2 there="0|" lost="6 bytes from byte 0" c="\0\0\0\0\0\0" ;;
  esac
  case $format in
    3) "$zarvik" create --block-size 4 "$work/src" "$x" >/dev/null ;;
    4) "$zarvik" create --zstd --block-size 4 "$work/src" "$x" >/dev/null ;;
    tar) tar -C "$work/src" -cf "$x" a.txt b/c.bin b/empty ;;
    tgz) tar -C "$work/src" -cf "$w/t" a.txt b/c.bin b/empty  # b/c.bin's data starts at byte 1536
      { head -c 1536 "$w/t" | gzip -n && tail -c +1537 "$w/t" | gzip -n; } >"$x" && rm "$w/t" ;;
    zip) (cd "$work/src" && zip -q "$x" a.txt b/c.bin b/empty) ;;
  esac
  "$zarvik" extract -q --keep "$x" "$w/there" >/dev/null
  cut_archive cut "$x" 4 && cp "$x" "$w/cut"
  gone="This archive was partly extracted and its journal is missing: 1 of $blocks blocks are gone, from 1 files, the \
first: b/c.bin"
  run extract "$x" "$w/out"
  check "$format lost journal: refused" "1|Extract failed: $gone" "$rc|$err"
  run test "$x"
  check "$format lost journal: test" "1|Test failed: $gone" "$rc|$err"
  run info "$x"
  check "$format lost journal: info" "state: partly extracted, journal missing: 1 of $blocks blocks gone" \
    "$(grep state <<<"$out")"
  run extract --salvage "$x" "$w/there"
  check "$format salvage where the run was: ended" "$there||$(ls "$w" | grep -v x\\.)" \
    "$rc|$(grep Lost <<<"$out")|$(diff -r "$work/src" "$w/there")|$(ls "$w")"
  cp "$w/cut" "$x"
  run extract --salvage "$x" "$w/other"
  check "$format salvage elsewhere: lost, named, ended" "1|Extract failed: $tail_lost|Lost: b/c.bin, $lost|AAAAAAAAAA|$c|" \
    "$rc|$err|$(grep Lost <<<"$out")|$(cat "$w/other/a.txt")|$(od -An -c "$w/other/b/c.bin" | tr -d ' ')|$(ls "$w" | grep x\\.)"
  case $format in tar | tgz | zip) continue ;; esac
  cp "$w/cut" "$x" && cut_archive spoil "$x" 0
  run extract --salvage "$x" "$w/third"
  check "$format salvage with a damaged block: kept" "1|Extract failed: 2 files could not be fully extracted|x.zvka x.zvka.zvkj" \
    "$rc|$err|$(ls "$w" | grep x.zvka | paste -sd ' ')"
  run info "$x"
  check "$format info counts the lost block" "state: partly extracted, 3 of 5 blocks released, 1 lost" "$(grep state <<<"$out")"
  run info --json "$x"
  check "$format info JSON" "1" "$(python3 -c 'import json, sys; print(json.load(sys.stdin)["blocksLost"])' <<<"$out")"
done

# A journal written for another archive (here one of four blocks, where y.zvka has five) is refused with exit 5,
# never as resumable, the archive and journal as they were.
cp "$work/copy.zvka" "$work/y.zvka"
printf 'ZVKJWIN\0\1\0\0\0\4\0\0\0\0\0\0\1' > "$work/y.zvka.zvkj"
cp "$work/y.zvka.zvkj" "$work/journal.copy"
changed="The archive is not the one this journal was written for: put the original back, or delete the journal to start over"
run extract --resume "$work/y.zvka" "$work/y out"
check "another archive's journal" "5:Extract failed: $changed" "$rc:$err"
run extract --json --resume "$work/y.zvka" "$work/y out"
check "another archive's journal, as JSON" "5|$changed|False|True|same same" "$rc|$(python3 -c 'import json, sys
e = json.loads(sys.stdin.read()); print(e["message"], e["resumable"], e["archiveChanged"], sep="|")' <<<"$out")|$(
  cmp -s "$work/y.zvka" "$work/copy.zvka" && echo same) $(cmp -s "$work/y.zvka.zvkj" "$work/journal.copy" && echo same)"

# An archive that may only be read, and a folder where no journal can be made: the system's reason, and --keep,
# which works there. Root may write anywhere, so where the test runs as root these runs go as another user.
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
mkdir -p "$work/locked" && cp "$work/copy.zvka" "$work/read-only.zvka" && cp "$work/copy.zvka" "$work/locked/l.zvka"
chmod 444 "$work/read-only.zvka" && chmod 555 "$work/locked" && chmod 777 "$work"
[ ${#as_user[@]} -gt 0 ] && chown nobody "$work/locked/l.zvka"
for refusal in "read-only.zvka|Failed to open archive for ablation: $work/read-only.zvka (Permission denied); \
extract with --keep, which only reads it" "locked/l.zvka|Failed to initialize journal: $work/locked/l.zvka.zvkj \
(Permission denied); extract with --keep, which needs no journal"; do
  name=${refusal%%|*}
  err=$("${as_user[@]}" "$zarvik" extract "$work/$name" "$work/o" 2>&1 >/dev/null)
  check "$name: the reason and --keep" "Extract failed: ${refusal#*|}|kept" \
    "$err|$(cmp -s "$work/$name" "$work/copy.zvka" && [ ! -e "$work/$name.zvkj" ] && echo kept)"
  check "$name: --keep extracts it" 0 "$("${as_user[@]}" "$zarvik" extract --keep "$work/$name" "$work/k" >/dev/null
    echo $?)"
  rm -rf "$work/k" "$work/o"
done
chmod 755 "$work/locked"

run extract --resume "$work/gone.zvka" "$work/z"
check "resume with neither archive nor journal" "1:Extract failed: Nothing to resume: neither $work/gone.zvka nor its \
journal exists" "$rc:$err"

# A .tar.gz cut where a member's header starts (here its first, where its deflate data starts) names no block gone:
# it is refused by where it ends, and --salvage ends it, with nothing to extract or lose.
w=$work/lostgz && mkdir "$w" && tar -C "$work/src" -czf "$w/x.tar.gz" a.txt b/c.bin b/empty
head -c 10 "$w/x.tar.gz" > "$w/cut" && cp "$w/cut" "$w/x.tar.gz"
gone="This archive was partly extracted and its journal is missing: it ends at byte 10, where an extraction cuts it"
for command in "Extract:extract" "Test:test"; do
  run ${command#*:} "$w/x.tar.gz" $([ "${command%:*}" = Extract ] && echo "$w/out")
  check "tar.gz cut at a header: ${command#*:}" "1|${command%:*} failed: $gone|cut x.tar.gz" "$rc|$err|$(ls "$w" | paste -sd ' ')"
done
run info "$w/x.tar.gz"
check "tar.gz cut at a header: info" "state: partly extracted, journal missing: 0 of 0 blocks gone" "$(grep state <<<"$out")"
run extract --salvage "$w/x.tar.gz" "$w/out"
check "tar.gz cut at a header: salvage ends it" "0|cut out" "$rc|$(ls "$w" | paste -sd ' ')"

run extract "$work/none.zvka.zvkj" "$work/z"
check "journal without archive" "1:Extract failed: Please select the .zvka archive file." "$rc:$err"
run extract "$work/none.zvka" "$work/z"
check "missing archive" "1:Extract failed: Unable to open archive file" "$rc:$err"
run extract "$work/none.zvka"
check "usage" 2 "$rc"
run extract --fast "$work/none.zvka" "$work/z"
check "unknown option" 2 "$rc"

finish extract_cli
