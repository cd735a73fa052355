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

run extract "$work/x.zvka" "$work/out dir"
check "ablative exit" 0 "$rc"
check "ablative last line" "Extraction complete: $work/out dir" "$(tail -n 1 <<<"$out")"
check "ablative tree" "" "$(diff -r "$work/src" "$work/out dir")"
check "archive and journal gone" "" "$(ls "$work" | grep zvka | grep -v copy)"

# A journal that records progress: a fresh start is refused, with advice.
cp "$work/copy.zvka" "$work/y.zvka"
printf 'ZVKJWIN\0\1\0\0\0\5\0\0\0\0\0\0\0\1' > "$work/y.zvka.zvkj"
run extract "$work/y.zvka" "$work/y out"
check "refused exit" 1 "$rc"
check "refused message" "Extract failed: An earlier extraction of this archive was interrupted; resume it to continue
To continue, run: zarvik extract --resume $work/y.zvka '$work/y out'" "$err"

run extract --resume "$work/y.zvka.zvkj" "$work/y out"
check "resume through the journal exit" 0 "$rc"
check "switch line" "Info: Resume file selected; switched to archive: $work/y.zvka" "$(head -n 1 <<<"$out")"
check "resumed tree" "" "$(diff -r "$work/src" "$work/y out")"

run extract "$work/none.zvka.zvkj" "$work/z"
check "journal without archive" "1:Extract failed: Please select the .zvka archive file." "$rc:$err"
run extract "$work/none.zvka" "$work/z"
check "missing archive" "1:Extract failed: Unable to open archive file" "$rc:$err"
run extract "$work/none.zvka"
check "usage" 2 "$rc"
run extract --fast "$work/none.zvka" "$work/z"
check "unknown option" 2 "$rc"

finish extract_cli
