# Sourced by the zip_* and tar_* benchmarks: the zarvik they time, the tree of
# system files no one here wrote, the archives other tools make of it, and the
# timing and disk-sampling steps they share.

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
HELP="python3 $HERE/compare_helper.py"
PEAK="python3 $HERE/space_check_helper.py peak"
SOURCES=(/usr/include /usr/lib/x86_64-linux-gnu /usr/share)
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

# bench_workdir NAME: W, a fresh folder under BASE removed on exit, and RES,
# the empty file of results in it.
bench_workdir() {
  mkdir -p "$BASE"
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

# fresh_image ARCHIVE TREE: a new ext4 image mounted at $FS (under $W) with
# room for ARCHIVE, the TREE it holds and a margin.
fresh_image() {
  umount "$FS" 2>/dev/null || true
  rm -f "$W/space.img"
  local tree; tree=$(du -sB1 "$2" | cut -f1)
  truncate -s $(($(stat -c %s "$1") + tree * 11 / 10 + (512 << 20))) "$W/space.img"
  mkfs.ext4 -q -F -m 0 "$W/space.img"
  mount -o loop "$W/space.img" "$FS"
}

# space_measure ARCHIVE TREE BATCH: a consuming extraction of a copy of ARCHIVE
# on a fresh image, at BATCH (default or a --batch SIZE), sampled and checked
# against TREE. Sets BOUND (the group bound the run had: 64 MiB or one unit of
# about 4 MiB, at most a quarter of the space free beside the archive), OVER
# (the peak held beyond the final tree), SEEN (the momentary peak beyond it),
# JOURNAL (its largest size) and RUN_SECONDS.
space_measure() {
  local archive=$1 tree=$2 batch=$3 opts=() name
  name=a.$(basename "$archive" | cut -d. -f2-)
  [[ $batch == default ]] || opts=(--batch "$batch")
  fresh_image "$archive" "$tree"
  cp "$archive" "$FS/$name"
  sync -f "$FS"
  local free; free=$(($(df -B1 --output=avail "$FS" | tail -1)))
  BOUND=$((64 << 20)); [[ $batch == default ]] || BOUND=$((4 << 20))
  ((BOUND <= free / 4)) || BOUND=$((free / 4))
  say "== $(basename "$archive"), bound $batch"
  $HELP sample "$FS" "$W/journal" 0.01 "$FS/$name.zvkj" & local sampler=$!
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
  [[ ! -e $FS/$name && ! -e $FS/$name.zvkj ]] || { say "the archive $archive or its journal is left"; exit 1; }
  OVER=$((before + held - after))
  SEEN=$((before + seen - after))
}
