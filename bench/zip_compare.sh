#!/usr/bin/env bash
# Extraction of zips made by other tools: zarvik, consuming the zip, against
# unzip, 7-Zip, bsdtar and `zarvik extract --keep`, on a tree of system files
# no one here wrote, zipped by Info-ZIP (`zip -6`) and by 7-Zip
# (`7zz a -tzip`). Prints a Markdown table of medians and ratios.
#
#   bench/zip_compare.sh [WORKDIR]
#
# Every extraction writes a folder of its own and is followed by `sync`
# inside the timing; the page cache is warm; the consuming side extracts a
# fresh copy of the zip, made and synced before its timing starts; the
# tools' order rotates every repetition; each figure is the median of the
# repetitions. A repetition's trees are deleted after it (untimed, synced):
# keeping them all would take about 2 x 5 x REPS trees of disk.
#
# Knobs (environment): ZARVIK_BENCH_MB=1024 (the tree's size in MiB),
# ZARVIK_BENCH_REPS=5, ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install zip unzip 7zip libarchive-tools time python3
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
MB=${ZARVIK_BENCH_MB:-1024}
REPS=${ZARVIK_BENCH_REPS:-5}
BASE=${1:-/var/tmp}

need_tools zip_compare.sh "zip unzip 7zip libarchive-tools python3" zip unzip 7zz bsdtar python3
bench_zarvik

bench_workdir zipbench
SIDES=(unzip 7zz bsdtar zarvik-keep zarvik)

zip_bench_tree "$W" "$MB"
say "   $FILES files, $BYTES bytes; zip -6: $(stat -c %s "$W/infozip.zip") bytes, 7-Zip: $(stat -c %s "$W/7zip.zip") bytes"
cat "$W"/*.zip >/dev/null
need_space "$W" $(((2 * ${#SIDES[@]} + 2) * BYTES * 11 / 10)) zip_compare.sh
"$ZARVIK" extract -q --keep "$W/infozip.zip" "$W/check" >/dev/null 2>&1 && diff -r "$W/tree" "$W/check" >/dev/null ||
  { say "zip_compare.sh: zarvik's extraction differs from the tree"; exit 1; }
rm -rf "$W/check"

run() {  # run TOOL ZIP OUT
  case $1 in
    unzip) timed "$(basename "$2" .zip)/unzip" "$3" unzip -q "$2" ;;
    7zz) timed "$(basename "$2" .zip)/7zz" "$3" 7zz x -bd -bso0 "$2" ;;
    bsdtar) timed "$(basename "$2" .zip)/bsdtar" "$3" bsdtar -xf "$2" ;;
    zarvik*) zarvik_side "$1" "$(basename "$2" .zip)" "$2" "$3" zip_compare.sh ;;
  esac
}
rotated_runs "$W/infozip.zip" "$W/7zip.zip"
$HELP report "$RES" "$BYTES" 0 >&2
echo "$FILES files, $BYTES bytes; zip -6 $(stat -c %s "$W/infozip.zip") bytes, 7-Zip $(stat -c %s "$W/7zip.zip") bytes;" \
  "medians of $REPS; load average (1 min) at each repetition's end: $LOADS"
echo
$HELP table "$RES" zarvik
