# Sourced by the zip_* and tar_* benchmarks: the zarvik they time, the tree of
# system files no one here wrote, the archives other tools make of it, and the
# timing and disk-sampling steps they share.

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
HELP="python3 $HERE/compare_helper.py"
PEAK="python3 $HERE/space_check_helper.py peak"
read -ra SOURCES <<<"${ZARVIK_BENCH_SOURCES:-/usr/include /usr/lib/x86_64-linux-gnu /usr/share}"   # the folders a tree is taken from
say() { printf '%s\n' "$*" >&2; }
load() { cut -d' ' -f1 /proc/loadavg; }
mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }

# Sets ZARVIK to an absolute path: as given, else built from this checkout,
# never taken stale.
bench_zarvik() {
  if [[ -z ${ZARVIK:-} ]]; then
    cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$ROOT/build-bench" -j2 --target zarvik >/dev/null
    ZARVIK=$ROOT/build-bench/zarvik
  fi
  ZARVIK=$(cd "$(dirname "$ZARVIK")" && pwd)/$(basename "$ZARVIK")
}

# bench_tree DIR MB: DIR/tree of MB MiB; sets FILES and BYTES.
bench_tree() {
  say "== a $2 MiB tree from ${SOURCES[*]}"
  read -r FILES BYTES _ < <($HELP tree "$1/tree" "$2" "${SOURCES[@]}")
}

# zip_bench_tree DIR MB: bench_tree, zipped by Info-ZIP (DIR/infozip.zip) and
# by 7-Zip (DIR/7zip.zip).
zip_bench_tree() {
  bench_tree "$@"
  (cd "$1/tree" && zip -q -6 -r "$1/infozip.zip" .)
  (cd "$1/tree" && 7zz a -tzip -bd -bso0 "$1/7zip.zip" . >/dev/null)
}

# bench_big_file FILE BYTES TREE: one file of BYTES made of the files of TREE
# (of $BYTES bytes, as bench_tree sets) over and over.
bench_big_file() {
  say "== one file of $2 bytes: the tree's files over and over"
  mkdir -p "$(dirname "$1")"
  for ((pass = 0; pass <= $2 / BYTES; pass++)); do find "$3" -type f -print0 | sort -z | xargs -0 cat; done 2>/dev/null |
    head -c "$2" >"$1" || true
}

# need_tools SCRIPT PACKAGES TOOL...: exits unless every TOOL is on the path.
need_tools() {
  local script=$1 packages=$2 tool
  shift 2
  for tool; do
    command -v "$tool" >/dev/null || { say "$script: $tool is missing (apt-get install $packages)"; exit 2; }
  done
}

# warn_unjournaled DIR: says so when DIR is on an ext4 without a journal. There
# the kernel skips every inode freed in the last minute when it picks one for
# a new file, so creating a tree soon after deleting one costs up to 0.2 ms a
# file more, and the repetitions of one command spread several-fold.
warn_unjournaled() {
  local source type
  read -r source type < <(findmnt -n -o SOURCE,FSTYPE --target "$1")
  [[ $type == ext4 && $(cat "/sys/fs/ext4/${source##*/}/journal_task" 2>/dev/null) == "<none>" ]] || return 0
  say "warning: $1 is on an ext4 without a journal ($source): times will spread; a journaled ext4"
  say "  image serves: truncate -s 24G img && mkfs.ext4 -q img && mount -o loop img DIR"
}

# bench_workdir NAME: W, a fresh folder under BASE removed on exit, and RES,
# the empty file of results in it.
bench_workdir() {
  mkdir -p "$BASE"
  warn_unjournaled "$BASE"
  W=$(mktemp -d "$(cd "$BASE" && pwd)/zarvik-$1.XXXXXX")
  trap 'rm -rf "$W"' EXIT
  RES=$W/results
  : >"$RES"
}

# space_workdir NAME: bench_workdir, with FS, the mount point of the images,
# unmounted on exit.
space_workdir() {
  bench_workdir "$1"
  FS=$W/fs
  mkdir "$FS"
  trap 'umount "$FS" 2>/dev/null || true; rm -rf "$W"' EXIT
}

# rotated_runs ARCHIVE...: every side of SIDES on every ARCHIVE, REPS times,
# the sides' order rotated each repetition; `run SIDE ARCHIVE OUT` does one. A
# repetition's output folders are deleted after it. Sets LOADS.
rotated_runs() {
  LOADS=$(load)
  local rep archive k
  for ((rep = 0; rep < REPS; rep++)); do
    say "== repetition $((rep + 1))/$REPS (load $(load))"
    for archive in "$@"; do
      for ((k = 0; k < ${#SIDES[@]}; k++)); do
        local side=${SIDES[(k + rep) % ${#SIDES[@]}]}
        run "$side" "$archive" "$W/out-$rep-$(basename "$archive")-$side"
      done
    done
    LOADS="$LOADS $(load)"
    rm -rf "$W"/out-*; sync; sleep 5   # the deletion settled before the next repetition
  done
}

# need_space DIR BYTES SCRIPT: exits unless DIR's file system has BYTES free.
need_space() {
  (($(df -B1 --output=avail "$1" | tail -1) >= $2)) && return
  say "$3: needs about $(($2 >> 30)) GiB free in $(dirname "$1"); lower ZARVIK_BENCH_MB or ZARVIK_BIG_MB"
  exit 2
}

# timed NAME FOLDER CMD...: CMD in a fresh FOLDER, then sync; the wall time of
# both appended to $RES as "NAME seconds".
timed() {
  local name=$1 folder=$2; shift 2
  mkdir -p "$folder"
  local t0=$EPOCHREALTIME
  (cd "$folder" && "$@" >/dev/null 2>&1)
  sync
  echo "$name $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }')" >>"$RES"
}

# zarvik_side SIDE ROW ARCHIVE OUT SCRIPT: zarvik-keep extracts ARCHIVE; zarvik
# consumes a copy of it, which must leave neither the copy nor its journal.
zarvik_side() {
  case $1 in
    zarvik-keep) timed "$2/zarvik-keep" "$4" "$ZARVIK" extract -q --keep "$3" "$4/x" ;;
    zarvik)
      local name=${3##*/}
      local copy=$4.${name#*.}
      cp "$3" "$copy" && sync
      timed "$2/zarvik" "$4" "$ZARVIK" extract -q "$copy" "$4/x"
      [[ ! -e $copy && ! -e $copy.zvkj ]] || { say "$5: the consumed archive or its journal is left"; exit 1; }
      ;;
  esac
}

# fresh_image TREE FILE...: a new ext4 image mounted at $FS (under $W) with
# room for the FILEs (an archive, or a volume set's parts), the TREE they hold
# and a margin.
fresh_image() {
  local tree=$1
  shift
  umount "$FS" 2>/dev/null || true
  rm -f "$W/space.img"
  local tree_bytes files
  tree_bytes=$(du -sB1 "$tree" | cut -f1)
  files=$(stat -c %s "$@" | awk '{ s += $1 } END { print s }')
  truncate -s $((files + tree_bytes * 11 / 10 + (512 << 20))) "$W/space.img"
  mkfs.ext4 -q -F -m 0 "$W/space.img"
  mount -o loop "$W/space.img" "$FS"
}

# space_measure ARCHIVE TREE BATCH [PART...]: a consuming extraction of a copy
# of ARCHIVE on a fresh image, at BATCH (default or a --batch SIZE), sampled
# and checked against TREE. For a volume set the PARTs are its files in order
# (ARCHIVE one of them), copied under their own names, the journal beside the
# first; none may be left. Sets BOUND (the group bound the run had: 64 MiB or
# one unit of about 4 MiB, at most a quarter of the space free beside the
# archive), OVER (the peak held beyond the final tree), SEEN (the momentary
# peak beyond it), JOURNAL (its largest size) and RUN_SECONDS.
space_measure() {
  local archive=$1 tree=$2 batch=$3 opts=() name files
  shift 3
  [[ $batch == default ]] || opts=(--batch "$batch")
  if (($#)); then
    fresh_image "$tree" "$@"
    cp "$@" "$FS/"
    name=$(basename "$archive")
    files=("${@##*/}")
  else
    fresh_image "$tree" "$archive"
    name=a.$(basename "$archive" | cut -d. -f2-)
    cp "$archive" "$FS/$name"
    files=("$name")
  fi
  local journal=${files[0]}.zvkj
  sync -f "$FS"
  local free; free=$(($(df -B1 --output=avail "$FS" | tail -1)))
  BOUND=$((64 << 20)); [[ $batch == default ]] || BOUND=$((4 << 20))
  ((BOUND <= free / 4)) || BOUND=$((free / 4))
  say "== $(basename "$archive"), bound $batch"
  $HELP sample "$FS" "$W/journal" 0.01 "$FS/$journal" & local sampler=$!
  local before t0=$EPOCHREALTIME held seen rc
  before=$($HELP used "$FS")
  read -r held seen rc < <($PEAK "$FS" "$ZARVIK" extract -q "${opts[@]}" "$FS/$name" "$FS/d")
  ((rc == 0)) || { say "the extraction of $archive failed"; exit 1; }
  sync -f "$FS"
  RUN_SECONDS=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  kill -TERM "$sampler"; wait "$sampler" || true
  local after; after=$($HELP used "$FS")
  read -r _ _ _ JOURNAL <"$W/journal"
  diff -rq "$tree" "$FS/d" >/dev/null || { say "the extraction of $archive differs"; exit 1; }
  local file
  for file in "${files[@]}" "$journal"; do
    [[ ! -e $FS/$file ]] || { say "$file is left after the extraction of $archive"; exit 1; }
  done
  OVER=$((before + held - after))
  SEEN=$((before + seen - after))
}

# trace_side DAT TREE COMMAND FILE...: a fresh image holding only the FILEs
# (under their own names), then COMMAND, run in the image's root, traced into
# DAT (bytes above the empty file system, every 10 ms).
trace_side() {
  local dat=$1 tree=$2 command=$3
  shift 3
  fresh_image "$tree" "$@"
  sync -f "$FS"
  local empty; empty=$($HELP used "$FS")
  cp "$@" "$FS/"
  sync -f "$FS"
  say "== picture: $(basename "$dat")"
  (cd "$FS" && $HELP trace "$FS" "$dat" 0.01 "$empty" -- bash -c "$command")
  umount "$FS"
}

# mb BYTES: in 10^6 bytes, whole.
mb() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1e6 }'; }

# space_picture OUT TITLE NOTE ARCHIVE_BYTES ARCHIVE_LABEL NAIVE NAIVE_TITLE:
# draws the disk in use over time traced into OUT's stem + .NAIVE.dat (the
# way without zarvik) against its stem + .zarvik.dat (zarvik extract), with
# the extracted tree (zarvik's last sample) and the tree plus the archive as
# dashed lines, and a dot where each side's command finished.
space_picture() {
  local out=$1 title=$2 note=$3 archive_bytes=$4 archive_label=$5 naive=$6 naive_title=$7
  local stem=${out%.png} final
  final=$(tail -1 "$stem.zarvik.dat" | cut -d' ' -f2)
  local top=$((final + archive_bytes))
  last() { grep -vc '^#' "$1" | awk '{ print $1 - 1 }'; }
  gnuplot <<EOF
set terminal pngcairo size 1000,560 font "DejaVu Sans,10" noenhanced
set output "$out"
set title "$title" font ",14" offset 0,0.6
set label 1 "$note" at graph 0.5, graph 1.04 center font ",9" textcolor rgb "#555555"
set tmargin 5
set xlabel "seconds since the start"
set ylabel "disk space in use above the empty file system (MB)"
set xrange [0:*]
set yrange [0:*]
set border 3
set tics nomirror
set grid lc rgb "#e5e5e5" lw 1
set key right bottom Left reverse box lc rgb "#cccccc" opaque spacing 1.3 width 1
set arrow 1 from graph 0, first $final / 1e6 to graph 1, first $final / 1e6 nohead dt 2 lc rgb "#999999" back
set label 2 "extracted tree" at graph 0.99, first $final / 1e6 right offset 0,0.7 font ",9" textcolor rgb "#666666"
set arrow 2 from graph 0, first $top / 1e6 to graph 1, first $top / 1e6 nohead dt 2 lc rgb "#999999" back
set label 3 "extracted tree + $archive_label" at graph 0.99, first $top / 1e6 right offset 0,0.7 font ",9" textcolor rgb "#666666"
plot "$stem.$naive.dat" using 1:(\$2 / 1e6) with lines lw 2.5 lc rgb "#d95f02" title "$naive_title", \
     "$stem.zarvik.dat" using 1:(\$2 / 1e6) with lines lw 2.5 lc rgb "#1b9e77" title "zarvik extract", \
     "$stem.$naive.dat" every ::$(last "$stem.$naive.dat") using 1:(\$2 / 1e6) with points pt 7 ps 0.9 lc rgb "#d95f02" notitle, \
     "$stem.zarvik.dat" every ::$(last "$stem.zarvik.dat") using 1:(\$2 / 1e6) with points pt 7 ps 0.9 lc rgb "#1b9e77" notitle
EOF
  say "== wrote $out (samples: $stem.{$naive,zarvik}.dat)"
}
