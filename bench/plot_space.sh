#!/usr/bin/env bash
# Disk space in use over time while one tree is extracted three ways, drawn
# as one picture: `tar xf` then deleting the .tar, `zarvik extract --keep`
# (the archive stays) and `zarvik extract` (the archive is consumed).
#
#   bench/plot_space.sh TREE_DIR OUT.png [WORKDIR]
#
# Packs TREE_DIR into a .tar and a .zvka in a fresh folder inside WORKDIR
# (default /var/tmp; removed at the end). Every side starts from a file
# system holding only its archive, and the file system's used bytes
# (statvfs) are sampled every 10 ms from the start of the side's command to
# its end: after the archive's deletion for tar, and after `sync -f` for all
# three, so that each side is durable as in bench/compare.sh. As root every
# side gets a fresh private ext4 image (loop mount), where only the run moves
# the figure; elsewhere it runs on WORKDIR's file system, where other writers
# add noise. The samples are kept beside OUT.png as OUT.tar.dat,
# OUT.keep.dat and OUT.ablative.dat ("seconds bytes", bytes above the empty
# file system).
#
# Knobs (environment):
#   ZARVIK=build-bench/zarvik the binary (built with CMake into build-bench if missing)
#   ZARVIK_PLOT_BLOCK=4M      block size of the .zvka
#   ZARVIK_BENCH_LOOP=1       0: sample WORKDIR's file system instead of a private ext4 image
#   ZARVIK_BENCH_KEEP=0       1 keeps the work folder
# Needs: tar, python3, gnuplot with the pngcairo terminal; mkfs.ext4 + loop
# mounts (root) for the private image.
# Debian: apt-get install tar python3 gnuplot-nox e2fsprogs
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
if (($# < 2)); then
  echo "usage: bench/plot_space.sh TREE_DIR OUT.png [WORKDIR]" >&2
  exit 2
fi
TREE=$(cd "$1" && pwd)
OUT=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
BASE=${3:-/var/tmp}
BLOCK=${ZARVIK_PLOT_BLOCK:-4M}
USE_LOOP=${ZARVIK_BENCH_LOOP:-1}
ZARVIK_GIVEN=${ZARVIK:-}
ZARVIK=${ZARVIK:-$ROOT/build-bench/zarvik}

for tool in tar python3 gnuplot; do
  command -v "$tool" >/dev/null || { echo "plot_space.sh: $tool is missing (apt-get install tar python3 gnuplot-nox)" >&2; exit 2; }
done
HELP="python3 $HERE/compare_helper.py"
if [[ -z $ZARVIK_GIVEN ]]; then
  cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$ROOT/build-bench" -j2 --target zarvik >/dev/null
fi
ZARVIK=$(cd "$(dirname "$ZARVIK")" && pwd)/$(basename "$ZARVIK")

mkdir -p "$BASE"
W=$(mktemp -d "$(cd "$BASE" && pwd)/zarvik-plot.XXXXXX")
MNT=""
cleanup() {
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then umount "$MNT" || true; fi
  if [[ ${ZARVIK_BENCH_KEEP:-0} == 1 ]]; then echo "work folder kept: $W" >&2; else rm -rf "$W"; fi
}
trap cleanup EXIT
say() { printf '%s\n' "$*" >&2; }

say "== packing $TREE"
tar cf "$W/a.tar" -C "$(dirname "$TREE")" "$(basename "$TREE")"
"$ZARVIK" create --block-size "$BLOCK" "$TREE" "$W/a.zvka" >/dev/null
TAR_BYTES=$(stat -c %s "$W/a.tar")
ZVKA_BYTES=$(stat -c %s "$W/a.zvka")
TREE_DISK=$(du -sB1 "$TREE" | cut -f1)
read -r FILES TREE_BYTES < <(find "$TREE" -type f -printf '%s\n' | awk '{ n++; s += $1 } END { print n, s }')
sync

FS=$W/fs   # where each side runs: the image's mount point, or a plain folder
mkdir -p "$FS"
WHERE=""
if [[ $USE_LOOP == 1 ]] && ((EUID == 0)) && command -v mkfs.ext4 >/dev/null; then
  # Room for the larger archive, the tree and ext4's own reserve.
  truncate -s $(((TAR_BYTES + TREE_DISK) * 5 / 4 + (256 << 20))) "$W/space.img"
  if mkfs.ext4 -q -F "$W/space.img" && mount -o loop "$W/space.img" "$FS" 2>/dev/null; then
    umount "$FS"; WHERE="private ext4 image"
  fi
fi
if [[ -z $WHERE ]]; then
  [[ $USE_LOOP != 1 ]] || say "   (no private ext4 image here: sampling the shared file system)"
  USE_LOOP=0; WHERE="$(df --output=fstype "$W" | tail -1 | xargs), shared with other writers"
fi

STEM=${OUT%.png}
# side NAME ARCHIVE COMMAND: a file system with only ARCHIVE on it, then
# COMMAND traced into $STEM.NAME.dat.
side() {
  local name=$1 archive=$2 command=$3
  if [[ $USE_LOOP == 1 ]]; then
    mkfs.ext4 -q -F "$W/space.img"   # fresh each time: no leftovers of the previous side
    mount -o loop "$W/space.img" "$FS"; MNT=$FS
  else
    rm -rf "${FS:?}"/*
  fi
  sync -f "$FS"
  local empty; empty=$($HELP used "$FS")
  cp "$W/$archive" "$FS/$archive"
  mkdir "$FS/d"
  sync -f "$FS"
  say "== $name"
  $HELP trace "$FS" "$STEM.$name.dat" 0.01 "$empty" -- bash -c "$command"
  if [[ $USE_LOOP == 1 ]]; then umount "$FS"; MNT=""; else rm -rf "${FS:?}"/*; fi
}
side tar a.tar "tar xf '$FS/a.tar' -C '$FS/d' && rm '$FS/a.tar' && sync -f '$FS'"
side keep a.zvka "'$ZARVIK' extract --keep '$FS/a.zvka' '$FS/d' >/dev/null && sync -f '$FS'"
side ablative a.zvka "'$ZARVIK' extract '$FS/a.zvka' '$FS/d' >/dev/null && sync -f '$FS'"

mb() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1e6 }'; }
# The tree as extracted: the ablative side's last sample, the tree alone.
FINAL=$(tail -1 "$STEM.ablative.dat" | cut -d' ' -f2)
TOP=$((FINAL + TAR_BYTES))
# Each line ends in a dot where its side's command finished.
last() { grep -vc '^#' "$1" | awk '{ print $1 - 1 }'; }
gnuplot <<EOF
set terminal pngcairo size 1000,560 font "DejaVu Sans,10" noenhanced
set output "$OUT"
set title "Disk space in use while extracting a tree of $(mb "$TREE_BYTES") MB" font ",14" offset 0,0.6
set label 1 "$FILES files; .tar $(mb "$TAR_BYTES") MB, .zvka $(mb "$ZVKA_BYTES") MB ($BLOCK blocks, default batch); $WHERE; statvfs every 10 ms" \
  at graph 0.5, graph 1.04 center font ",9" textcolor rgb "#555555"
set tmargin 5
set xlabel "seconds since the start"
set ylabel "disk space in use above the empty file system (MB)"
set xrange [0:*]
set yrange [0:*]
set border 3
set tics nomirror
set grid lc rgb "#e5e5e5" lw 1
set key right bottom Left reverse box lc rgb "#cccccc" opaque spacing 1.3 width 1
set arrow 1 from graph 0, first $FINAL / 1e6 to graph 1, first $FINAL / 1e6 nohead dt 2 lc rgb "#999999" back
set label 2 "extracted tree" at graph 0.99, first $FINAL / 1e6 right offset 0,0.7 font ",9" textcolor rgb "#666666"
set arrow 2 from graph 0, first $TOP / 1e6 to graph 1, first $TOP / 1e6 nohead dt 2 lc rgb "#999999" back
set label 3 "extracted tree + .tar" at graph 0.99, first $TOP / 1e6 right offset 0,0.7 font ",9" textcolor rgb "#666666"
plot "$STEM.tar.dat" using 1:(\$2 / 1e6) with lines lw 2.5 lc rgb "#d95f02" title "tar xf, then delete the archive", \
     "$STEM.keep.dat" using 1:(\$2 / 1e6) with lines lw 2.5 lc rgb "#7570b3" title "zarvik extract --keep", \
     "$STEM.ablative.dat" using 1:(\$2 / 1e6) with lines lw 2.5 lc rgb "#1b9e77" title "zarvik extract", \
     "$STEM.tar.dat" every ::$(last "$STEM.tar.dat") using 1:(\$2 / 1e6) with points pt 7 ps 0.9 lc rgb "#d95f02" notitle, \
     "$STEM.keep.dat" every ::$(last "$STEM.keep.dat") using 1:(\$2 / 1e6) with points pt 7 ps 0.9 lc rgb "#7570b3" notitle, \
     "$STEM.ablative.dat" every ::$(last "$STEM.ablative.dat") using 1:(\$2 / 1e6) with points pt 7 ps 0.9 lc rgb "#1b9e77" notitle
EOF
say "== wrote $OUT (samples: $STEM.{tar,keep,ablative}.dat)"
