#!/usr/bin/env bash
# Disk space a consuming zip extraction takes beyond the tree it makes: the
# peak of the file system's used bytes (statvfs polled in a tight loop) less
# the figure once the run is over and synced, at the default group bound and
# at `--batch 1` (one unit per group), with the largest size the journal
# (ARCHIVE.zvkj) reached (sampled every 10 ms). Prints a Markdown table. The
# peak is the highest level the used bytes held for 1 ms; the momentary
# column has the highest any sample saw, which on ext4 includes an instant at
# writeback where new blocks count twice (see bench/space_check.sh).
#
#   sudo bench/zip_space.sh [WORKDIR]      (as root: it mounts file systems)
#
# Zips: a tree of system files no one here wrote (as in zip_compare.sh) by
# Info-ZIP `zip -6` and by 7-Zip (`7zz a -tzip`), and one file of
# ZARVIK_BIG_MB, made of the tree's files over and over, stored (`zip -0`)
# and deflated (`zip -6`). Every run gets a fresh private ext4 image (loop
# mount) holding only its zip, so only the run moves the figure. The goal
# beside each row: the group bound (64 MiB by default, at most a quarter of
# the space free beside the zip; with `--batch 1` one unit, a whole entry or
# a piece of about 4 MiB) plus the central directory plus 1 MiB.
#
# With ZARVIK_BENCH_PLOT=OUT.png it also draws the disk in use over time for
# `unzip` followed by deleting the zip, against `zarvik extract`, on the
# Info-ZIP zip of the tree (samples kept beside it as OUT.unzip.dat and
# OUT.zarvik.dat).
#
# Knobs (environment): ZARVIK_BENCH_MB=1024 (the tree in MiB),
# ZARVIK_BIG_MB=3000 (the single file in 10^6 bytes; 0 leaves it out),
# ZARVIK_BENCH_PLOT=, ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install zip unzip 7zip python3 e2fsprogs gnuplot-nox
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
MB=${ZARVIK_BENCH_MB:-1024}
BIG_MB=${ZARVIK_BIG_MB:-3000}
PLOT=${ZARVIK_BENCH_PLOT:-}
[[ -z $PLOT ]] || PLOT=$(cd "$(dirname "$PLOT")" && pwd)/$(basename "$PLOT")
BASE=${1:-/var/tmp}

((EUID == 0)) || { say "zip_space.sh: needs root to mount file systems"; exit 2; }
need_tools zip_space.sh "zip unzip 7zip python3 e2fsprogs gnuplot-nox" zip unzip 7zz python3 mkfs.ext4 ${PLOT:+gnuplot}
bench_zarvik

space_workdir zipspace

BIG=$((BIG_MB * 1000000))
need_space "$W" $(((MB << 20) * 4 + BIG * 4)) zip_space.sh   # tree, its zips, the big file, its zips and the largest image

zip_bench_tree "$W" "$MB"
ZIPS=(infozip 7zip)
if ((BIG > 0)); then
  bench_big_file "$W/big/big.bin" "$BIG" "$W/tree"
  (cd "$W/big" && zip -q -0 "$W/big-stored.zip" big.bin && zip -q -6 "$W/big-deflated.zip" big.bin)
  ZIPS+=(big-stored big-deflated)
fi
source_of() { [[ $1 == big-* ]] && echo "$W/big" || echo "$W/tree"; }

# space_run ZIP BATCH: a consuming extraction of ZIP at BATCH, sampled; prints its row.
space_run() {
  local zip=$1 batch=$2 cd entries
  read -r cd entries < <($HELP zipdir "$W/$zip.zip")
  space_measure "$W/$zip.zip" "$(source_of "$zip")" "$batch"
  local goal=$((BOUND + cd + (1 << 20)))
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$zip" "$entries" "$(mib "$(stat -c %s "$W/$zip.zip")")" \
    "$batch" "$(mib "$cd")" "$(mib "$OVER")" "$(mib "$SEEN")" "$(mib "$goal")" \
    "$( ((OVER <= goal)) && echo met || echo '**missed**')" "$(mib "$JOURNAL")" "$RUN_SECONDS"
}

echo "Tree: $FILES files, $BYTES bytes. Load average (1 min) at the start: $(cut -d' ' -f1 /proc/loadavg)."
echo
echo "| zip | entries | zip MiB | --batch | directory MiB | peak − final tree MiB | momentary MiB | goal MiB | | journal MiB (largest) | seconds |"
echo "|---|---:|---:|---|---:|---:|---:|---:|---|---:|---:|"
for zip in "${ZIPS[@]}"; do
  space_run "$zip" default
  space_run "$zip" 1
done
echo
echo "Load average (1 min) at the end: $(cut -d' ' -f1 /proc/loadavg)."
umount "$FS"

[[ -n $PLOT ]] || exit 0
STEM=${PLOT%.png}
trace_side "$STEM.unzip.dat" "$W/tree" "unzip -q infozip.zip -d d && rm infozip.zip && sync -f ." "$W/infozip.zip"
trace_side "$STEM.zarvik.dat" "$W/tree" "'$ZARVIK' extract -q infozip.zip d >/dev/null && sync -f ." "$W/infozip.zip"
ZIP_BYTES=$(stat -c %s "$W/infozip.zip")
space_picture "$PLOT" "Disk space in use while extracting a zip of $(mb "$BYTES") MB" \
  "$FILES files; Info-ZIP zip -6, $(mb "$ZIP_BYTES") MB; default batch; private ext4 image; statvfs every 10 ms" \
  "$ZIP_BYTES" .zip unzip "unzip, then delete the zip"
