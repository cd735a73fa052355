#!/usr/bin/env bash
# Disk space a consuming tar extraction takes beyond the tree it makes, at the
# default group bound and at `--batch 1` (one unit per group), with the
# largest size the journal (ARCHIVE.zvkj) reached; measured as
# bench/zip_space.sh does (a fresh private ext4 image per run, statvfs polled,
# the peak held for 1 ms and the momentary one). Prints a Markdown table.
#
#   sudo bench/tar_space.sh [WORKDIR]      (as root: it mounts file systems)
#
# Archives: a tree of system files no one here wrote (as in tar_compare.sh)
# by `tar --format=pax`, that tar compressed by gzip -6, and a tar holding one
# file of ZARVIK_BIG_MB made of the tree's files over and over (the tar.gz
# rows only when `zarvik info` takes a tar.gz). The goal beside each row: the
# group bound (64 MiB by default, at most a quarter of the space free beside
# the archive; with `--batch 1` one unit of at most 4 MiB) plus the journal,
# which holds the plan, plus 1 MiB.
#
# With ZARVIK_BENCH_PLOT=OUT.png it also draws the disk in use over time for
# `tar xzf` followed by deleting the tar.gz, against `zarvik extract`, on the
# tar.gz of the tree (samples kept beside it as OUT.tar.dat and
# OUT.zarvik.dat).
#
# Knobs (environment): ZARVIK_BENCH_MB=1024 (the tree in MiB),
# ZARVIK_BIG_MB=3000 (the single file in 10^6 bytes; 0 leaves it out),
# ZARVIK_BENCH_PLOT=, ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install tar gzip python3 e2fsprogs gnuplot-nox
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
MB=${ZARVIK_BENCH_MB:-1024}
BIG_MB=${ZARVIK_BIG_MB:-3000}
PLOT=${ZARVIK_BENCH_PLOT:-}
[[ -z $PLOT ]] || PLOT=$(cd "$(dirname "$PLOT")" && pwd)/$(basename "$PLOT")
BASE=${1:-/var/tmp}

((EUID == 0)) || { say "tar_space.sh: needs root to mount file systems"; exit 2; }
need_tools tar_space.sh "tar gzip python3 e2fsprogs gnuplot-nox" tar gzip python3 mkfs.ext4 ${PLOT:+gnuplot}
bench_zarvik

space_workdir tarspace

BIG=$((BIG_MB * 1000000))
need_space "$W" $(((MB << 20) * 4 + BIG * 3)) tar_space.sh   # tree, its tars, the big file, its tar and the largest image

bench_tree "$W" "$MB"
(cd "$W/tree" && tar --format=pax -cf "$W/tree.tar" .)
TARS=(tree.tar)
gzip -6 -c "$W/tree.tar" >"$W/tree.tar.gz"
if "$ZARVIK" info "$W/tree.tar.gz" >/dev/null 2>&1; then TARS+=(tree.tar.gz); fi
if ((BIG > 0)); then
  bench_big_file "$W/big/big.bin" "$BIG" "$W/tree"
  (cd "$W/big" && tar --format=pax -cf "$W/big.tar" big.bin)
  TARS+=(big.tar)
fi

# space_run TAR BATCH: a consuming extraction of TAR at BATCH, sampled; prints its row.
space_run() {
  local tar=$1 batch=$2 members
  members=$(tar tf "$W/$tar" | grep -vc '/$')
  space_measure "$W/$tar" "$W/$([[ $tar == big.* ]] && echo big || echo tree)" "$batch"
  local goal=$((BOUND + JOURNAL + (1 << 20)))
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$tar" "$members" "$(mib "$(stat -c %s "$W/$tar")")" \
    "$batch" "$(mib "$OVER")" "$(mib "$SEEN")" "$(mib "$JOURNAL")" "$(mib "$goal")" \
    "$( ((OVER <= goal)) && echo met || echo '**missed**')" "$RUN_SECONDS"
}

echo "Tree: $FILES files, $BYTES bytes. Load average (1 min) at the start: $(load)."
echo
echo "| archive | files | archive MiB | --batch | peak − final tree MiB | momentary MiB | journal MiB (largest) | goal MiB | | seconds |"
echo "|---|---:|---:|---|---:|---:|---:|---:|---|---:|"
for tar in "${TARS[@]}"; do
  space_run "$tar" default
  space_run "$tar" 1
done
echo
echo "Load average (1 min) at the end: $(load)."
umount "$FS"

[[ -n $PLOT ]] || exit 0
STEM=${PLOT%.png}
trace_side "$STEM.tar.dat" "$W/tree" "tar xzf tree.tar.gz --one-top-level=d && rm tree.tar.gz && sync -f ." "$W/tree.tar.gz"
trace_side "$STEM.zarvik.dat" "$W/tree" "'$ZARVIK' extract -q tree.tar.gz d >/dev/null && sync -f ." "$W/tree.tar.gz"
GZ_BYTES=$(stat -c %s "$W/tree.tar.gz")
space_picture "$PLOT" "Disk space in use while extracting a tar.gz of $(mb "$BYTES") MB" \
  "$FILES files; tar --format=pax, gzip -6, $(mb "$GZ_BYTES") MB; default batch; private ext4 image; statvfs every 10 ms" \
  "$GZ_BYTES" .tar.gz tar "tar xzf, then delete the tar.gz"
