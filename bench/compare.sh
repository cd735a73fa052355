#!/usr/bin/env bash
# End-to-end comparison of zarvik with tar on a tree of system libraries and
# headers, in one run so that every ratio compares runs made side by side.
#
#   bench/compare.sh [WORKDIR]
#
# WORKDIR (default /var/tmp) must be on the disk under test; everything goes
# into a fresh folder inside it, removed at the end. Every timed command is
# followed by `sync` inside the timing, the page cache is warm, the sides of a
# comparison are interleaved (their order rotates every repetition) and each
# figure is the median of the repetitions. Creation is also timed with the
# tree and the archive on a tmpfs, where no disk takes part.
#
# Knobs (environment):
#   ZARVIK_BENCH_MB=1024      size of the test tree in MiB (e.g. 128 for a quick run)
#   ZARVIK_BENCH_REPS=3       repetitions of every timed command
#   ZARVIK_BENCH_STRACE_MB=32 size of the smaller tree whose system calls are counted
#   ZARVIK_BENCH_LOOP=1       measure peak disk on a private ext4 image (0: on WORKDIR's
#                             file system, where other writers add noise)
#   ZARVIK_BENCH_TMPFS=1      time creation on a tmpfs too (mounted in the work folder as root,
#                             else /dev/shm if it has room; 0: skip)
#   ZARVIK_BENCH_PLOT=        a .png path: also draw disk space over time during extraction by
#                             tar, --keep and ablative (bench/plot_space.sh on the test tree)
#   ZARVIK_BENCH_KEEP=0       1 keeps the work folder
#   ZARVIK=build-bench/zarvik the binary (built with CMake into build-bench if missing)
#   ZARVIK_ALT=               a second build (e.g. a proposed change) whose extraction runs
#                             are interleaved with the others as extra "alt" rows
# Needs: tar, python3, GNU time (/usr/bin/time); optional lz4, zstd, strace,
# mkfs.ext4 + loop mounts (root), gnuplot (the picture).
# Debian: apt-get install tar time python3 lz4 zstd strace gnuplot-nox
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
HELP="python3 $HERE/compare_helper.py"
MB=${ZARVIK_BENCH_MB:-1024}
REPS=${ZARVIK_BENCH_REPS:-3}
STRACE_MB=${ZARVIK_BENCH_STRACE_MB:-32}
USE_LOOP=${ZARVIK_BENCH_LOOP:-1}
USE_TMPFS=${ZARVIK_BENCH_TMPFS:-1}
PLOT=${ZARVIK_BENCH_PLOT:-}
[[ -z $PLOT ]] || PLOT=$(cd "$(dirname "$PLOT")" && pwd)/$(basename "$PLOT")
ZARVIK_GIVEN=${ZARVIK:-}
ZARVIK=${ZARVIK:-$ROOT/build-bench/zarvik}
BASE=${1:-/var/tmp}
read -ra SOURCES <<<"${ZARVIK_BENCH_SOURCES:-/usr/include /usr/lib/x86_64-linux-gnu /usr/share}"   # the folders a tree is taken from

for tool in tar python3 /usr/bin/time sync; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing (apt-get install tar time python3)" >&2; exit 2; }
done
if [[ -z ${ZARVIK_GIVEN:-} ]]; then  # the default binary is rebuilt from this checkout, never taken stale
  cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$ROOT/build-bench" -j2 --target zarvik >/dev/null
fi
ZARVIK=$(cd "$(dirname "$ZARVIK")" && pwd)/$(basename "$ZARVIK")
ALT=${ZARVIK_ALT:-}
[[ -z $ALT ]] || ALT=$(cd "$(dirname "$ALT")" && pwd)/$(basename "$ALT")

mkdir -p "$BASE"
W=$(mktemp -d "$(cd "$BASE" && pwd)/zarvik-bench.XXXXXX")
MNT=""
MEM=""        # the tmpfs folder
MEM_OWN=""    # set when MEM is a folder of ours in /dev/shm, not a mount
cleanup() {
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then umount "$MNT" || true; fi
  if [[ -n $MEM ]] && mountpoint -q "$MEM"; then umount "$MEM" || true; fi
  [[ -z $MEM_OWN ]] || rm -rf "$MEM_OWN"
  if [[ ${ZARVIK_BENCH_KEEP:-0} == 1 ]]; then echo "work folder kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
RES=$W/results   # "name seconds" per timed repetition
RSS=$W/rss       # "name kilobytes" per zarvik run
LOG=$W/log       # zarvik's messages
: >"$RES"; : >"$RSS"

say() { printf '%s\n' "$*" >&2; }
now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }

# ext4 without a journal (this machine's root file system) will not reuse an
# inode freed less than 30 s ago (330 s while its inode table block is dirty)
# and scans past every such inode on each file creation: creating files soon
# after deleting a tree of thousands costs up to milliseconds per file. So no
# extracted tree is deleted before the end: every run writes a folder of its
# own (the space is checked first).
# timed NAME CMD...: runs CMD then sync, and records the wall time of both.
timed() {
  local name=$1; shift
  local t0; t0=$(now)
  "$@" >/dev/null 2>>"$LOG"
  sync
  echo "$name $(elapsed "$t0" "$(now)")" >>"$RES"
}
# zk NAME ARGS...: zarvik with its peak resident memory recorded.
zk() {
  local name=$1; shift
  /usr/bin/time -f "$name %M" -a -o "$RSS" "$ZARVIK" "$@"
}
zalt() {
  local name=$1; shift
  /usr/bin/time -f "$name %M" -a -o "$RSS" "$ALT" "$@"
}

# ---- The test tree ----
say "== building a ${MB} MiB tree from ${SOURCES[*]} in $W"
read -r FILES BYTES REMOVED < <($HELP tree "$W/tree" "$MB" "${SOURCES[@]}")
DIRS=$(find "$W/tree" -type d | wc -l)
DISK_TREE=$(du -sB1 "$W/tree" | cut -f1)
say "   $FILES files, $BYTES bytes ($DISK_TREE on disk), $DIRS folders; $REMOVED links/special entries left out"
mkdir -p "$W/out" "$W/x"
TREES=$((7 * REPS)); [[ -z $ALT ]] || TREES=$((11 * REPS))
[[ -z $PLOT ]] || TREES=$((TREES + 4))   # the picture's two archives and its image
NEED=$(((TREES + 8) * DISK_TREE))
AVAIL=$(($(df -B1 --output=avail "$W" | tail -1)))
if ((AVAIL < NEED)); then
  say "compare.sh: needs about $((NEED >> 30)) GiB free in $BASE (extracted trees are kept until the end), has $((AVAIL >> 30)) GiB;"
  say "            lower ZARVIK_BENCH_MB or ZARVIK_BENCH_REPS"
  exit 2
fi
tar cf - -C "$W" tree | cat >/dev/null   # warm the page cache (tar skips reading when writing to /dev/null)
sync

# Untimed first pass: warms the binaries and leaves the archives the
# extraction runs start from.
tar cf "$W/out/t.tar" -C "$W" tree
"$ZARVIK" create "$W/tree" "$W/out/z4M.zvka" >/dev/null
cp "$W/out/t.tar" "$W/one.bin"                           # one large file: every block full
"$ZARVIK" create "$W/one.bin" "$W/out/one.zvka" >/dev/null
read -r TABLES BLOCKS4M < <($HELP tables "$W/out/z4M.zvka")
ONE_BYTES=$(stat -c %s "$W/one.bin")
sync

HAVE_LZ4=0; command -v lz4 >/dev/null && HAVE_LZ4=1
HAVE_ZSTD=0; command -v zstd >/dev/null && HAVE_ZSTD=1

side_create() {
  case $1 in
    zarvik) rm -f "$W/out/c.zvka"; sync; timed create.zarvik zk create.4M create "$W/tree" "$W/out/c.zvka" ;;
    tar) rm -f "$W/out/c.tar"; sync; timed create.tar tar cf "$W/out/c.tar" -C "$W" tree ;;
    lz4) rm -f "$W/out/c.lz4"; sync; timed create.tar+lz4 bash -c "tar cf - -C '$W' tree | lz4 -1 -q >'$W/out/c.lz4'" ;;
    zstd) rm -f "$W/out/c.zst"; sync; timed create.tar+zstd-1 bash -c "tar cf - -C '$W' tree | zstd -1 -q >'$W/out/c.zst'" ;;
  esac
}
RUN=0
newdest() { RUN=$((RUN + 1)); D=$W/x/$RUN; }     # a new folder for every extracted tree
copy() { rm -f "$W/x/a.zvka"; cp "$W/out/$1.zvka" "$W/x/a.zvka"; sync; }  # ablative runs consume their archive
one_clear() { rm -rf "$W/x/one"; sync; }          # one file: deleting it costs the next run nothing
side_extract() {
  case $1 in
    tar) newdest; mkdir "$D"; timed extract.tar tar xf "$W/out/t.tar" -C "$D" ;;
    keep) newdest; timed extract.zarvik-keep zk extract.keep.4M extract --keep "$W/out/z4M.zvka" "$D" ;;
    ablative) newdest; copy z4M; timed extract.zarvik-ablative zk extract.ablative.4M extract "$W/x/a.zvka" "$D" ;;
    dwrite) rm -f "$W/x/dw"; sync; timed disk.write+fdatasync-4MiB $HELP dwrite "$W/x/dw" "$BYTES" $((4 << 20)) ;;
    keep1) one_clear; timed one-file.zarvik-keep zk one.keep.4M extract --keep "$W/out/one.zvka" "$W/x/one" ;;
    ablative1) one_clear; copy one; timed one-file.zarvik-ablative zk one.ablative.4M extract "$W/x/a.zvka" "$W/x/one" ;;
    dwrite1) rm -f "$W/x/dw"; sync; timed one-file.write+fdatasync-4MiB $HELP dwrite "$W/x/dw" "$ONE_BYTES" $((4 << 20)) ;;
    alt-ablative) newdest; copy z4M; timed extract.alt-ablative zalt alt.ablative.4M extract "$W/x/a.zvka" "$D" ;;
  esac
}
side_small() {
  local size=$1 what=$2
  case $what in
    create) rm -f "$W/out/s$size.zvka"; sync
      timed "blocks-$size.create" zk "create.$size" create --block-size "$size" "$W/tree" "$W/out/s$size.zvka" ;;
    ablative) newdest; copy "s$size"
      timed "blocks-$size.ablative" zk "extract.ablative.$size" extract "$W/x/a.zvka" "$D" ;;
    keep) newdest
      timed "blocks-$size.keep" zk "extract.keep.$size" extract --keep "$W/out/s$size.zvka" "$D" ;;
    alt-ablative) newdest; copy "s$size"
      timed "blocks-$size.alt-ablative" zalt "alt.ablative.$size" extract "$W/x/a.zvka" "$D" ;;
  esac
}
source "$(dirname "${BASH_SOURCE[0]}")/interleave.sh"

say "== creation ($REPS repetitions, interleaved)"
CREATE_SIDES=(zarvik tar)
((HAVE_LZ4)) && CREATE_SIDES+=(lz4)
((HAVE_ZSTD)) && CREATE_SIDES+=(zstd)
interleave side_create "${CREATE_SIDES[@]}"
rm -f "$W/out"/c.*

# ---- Creation on tmpfs ----
# With the source and the archive in memory no disk takes part: what is left
# is reading, coding and writing. No sync in these timings: nothing on a tmpfs
# is ever written back, and a global sync would time other writers' disks.
timed_mem() {
  local name=$1; shift
  local t0; t0=$(now)
  "$@" >/dev/null 2>>"$LOG"
  echo "$name $(elapsed "$t0" "$(now)")" >>"$RES"
}
INC_FILES=""; INC_BYTES=""
if [[ $USE_TMPFS == 1 ]]; then
  INC_DISK=$(du -sB1 /usr/include | cut -f1)
  MEM_NEED=$((2 * (DISK_TREE + INC_DISK) + (256 << 20)))   # both trees and one archive at a time, with room
  MEM_FREE=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) << 10))
  SHM_FREE=$(($(df -B1 --output=avail /dev/shm 2>/dev/null | tail -1 || echo 0)))
  if ((MEM_FREE < MEM_NEED + (2 << 30))); then   # leave the machine's other users some memory
    say "== creation on tmpfs skipped: $((MEM_FREE >> 20)) MiB of memory available, needs $(((MEM_NEED >> 20) + 2048))"
  elif ((EUID == 0)) && mkdir -p "$W/mem" && mount -t tmpfs -o size="$MEM_NEED" zarvik-bench "$W/mem" 2>>"$LOG"; then
    MEM=$W/mem
  elif ((SHM_FREE >= MEM_NEED)); then
    MEM_OWN=$(mktemp -d /dev/shm/zarvik-bench.XXXXXX); MEM=$MEM_OWN
  else
    say "== creation on tmpfs skipped: no tmpfs mount here and $((SHM_FREE >> 20)) MiB free in /dev/shm"
  fi
fi
if [[ -n $MEM ]]; then
  say "== creation on tmpfs ($MEM; the tree and a copy of /usr/include; $REPS repetitions, interleaved)"
  cp -a "$W/tree" "$MEM/tree"
  read -r INC_FILES INC_BYTES _ < <($HELP tree "$MEM/inc" $((1 << 20)) /usr/include)  # all of it
  side_mem() {  # side_mem tree|include zarvik|tar
    local dir=$MEM name=tree row=create.tmpfs
    [[ $1 == tree ]] || { dir=$MEM/inc/usr; name=include; row=usr-include.tmpfs; }
    rm -f "$MEM/c.zvka" "$MEM/c.tar"
    case $2 in
      zarvik) timed_mem "$row.zarvik" "$ZARVIK" create "$dir/$name" "$MEM/c.zvka" ;;
      tar) timed_mem "$row.tar" tar cf "$MEM/c.tar" -C "$dir" "$name" ;;
    esac
  }
  interleave side_mem "tree zarvik" "tree tar" "include zarvik" "include tar"
  if mountpoint -q "$MEM"; then umount "$MEM"; else rm -rf "$MEM_OWN"; MEM_OWN=""; fi
  MEM=""
fi

say "== extraction ($REPS repetitions, interleaved)"
EXTRACT_SIDES=(tar keep ablative dwrite keep1 ablative1 dwrite1)
[[ -z $ALT ]] || EXTRACT_SIDES+=(alt-ablative)
interleave side_extract "${EXTRACT_SIDES[@]}"
rm -rf "$W/x/one" "$W/x/a.zvka" "$W/x/dw"; sync

say "== block sizes 64K 1M 4M: creation and ablative extraction (and --keep at 64K)"
for size in 64K 1M 4M; do "$ZARVIK" create --block-size "$size" "$W/tree" "$W/out/s$size.zvka" >/dev/null; done
sync
SMALL_SIDES=()
for size in 64K 1M 4M; do
  SMALL_SIDES+=("$size create" "$size ablative")
  [[ $size != 64K ]] || SMALL_SIDES+=("$size keep")   # small blocks: where per-block costs show
  [[ -z $ALT ]] || SMALL_SIDES+=("$size alt-ablative")
done
interleave_pairs() {
  local n=${#SMALL_SIDES[@]} r i
  for ((r = 0; r < REPS; r++)); do
    for ((i = 0; i < n; i++)); do
      local side=${SMALL_SIDES[$(((i + r) % n))]}
      say "   rep $((r + 1))/$REPS: $side"
      side_small $side
    done
  done
}
interleave_pairs
rm -f "$W/x/a.zvka"; sync

# ---- Peak disk during an ablative extraction ----
SPACE=$W/space.txt; : >"$SPACE"
space_run() {  # space_run SIZE BATCH FOLDER LABEL [BINARY]; BATCH: default, or a --batch SIZE
  local size=$1 batch=$2 dir=$3 label=$4 bin=${5:-$ZARVIK}
  local opts=(); [[ $batch == default ]] || opts=(--batch "$batch")
  rm -rf "$dir/d" "$dir/a.zvka"; cp "$W/out/s$size.zvka" "$dir/a.zvka"; sync
  local before free; before=$($HELP used "$dir")
  free=$(($(df -B1 --output=avail "$dir" | tail -1)))   # the group is at most a quarter of it
  $HELP sample "$dir" "$W/peak" 0.01 & local sampler=$!
  sleep 0.3
  "$bin" extract "${opts[@]}" "$dir/a.zvka" "$dir/d" >/dev/null 2>>"$LOG"
  sync; sleep 0.3
  kill -TERM "$sampler"; wait "$sampler" || true
  local after; after=$($HELP used "$dir")
  read -r peak samples interval <"$W/peak"
  echo "$size $batch $label $before $peak $after $samples $interval $free" >>"$SPACE"
  rm -rf "$dir/d"; sync
}
say "== peak disk during ablative extraction, default bound and --batch 1 (statvfs every 10 ms)"
if [[ $USE_LOOP == 1 ]] && command -v mkfs.ext4 >/dev/null; then
  MNT=$W/mnt; mkdir -p "$MNT"
  truncate -s $(((DISK_TREE + $(stat -c %s "$W/out/s64K.zvka")) * 2 + (256 << 20))) "$W/space.img"
  if mkfs.ext4 -q -F "$W/space.img" && mount -o loop "$W/space.img" "$MNT" 2>>"$LOG"; then
    for size in 64K 1M 4M; do
      space_run "$size" default "$MNT" "private-ext4"
      space_run "$size" 1 "$MNT" "private-ext4"
      [[ -z $ALT ]] || space_run "$size" default "$MNT" "alt,private" "$ALT"
    done
    umount "$MNT"; MNT=""
  else
    say "   (no loop mount here: measuring on the shared file system)"; USE_LOOP=0
  fi
  rm -f "$W/space.img"
fi
if [[ $USE_LOOP != 1 ]]; then
  mkdir -p "$W/sp"
  for size in 64K 1M 4M; do
    space_run "$size" default "$W/sp" "shared-fs"
    space_run "$size" 1 "$W/sp" "shared-fs"
    [[ -z $ALT ]] || space_run "$size" default "$W/sp" "alt,shared" "$ALT"
  done
fi

# ---- System calls per block ----
STRACE=$W/strace.txt; : >"$STRACE"
if command -v strace >/dev/null; then
  say "== flushes per block (strace -c -f, ${STRACE_MB} MiB tree and a ${STRACE_MB} MiB file; default bound, and --batch 1)"
  $HELP tree "$W/stree" "$STRACE_MB" "${SOURCES[@]}" >/dev/null
  head -c $((STRACE_MB << 20)) "$W/one.bin" >"$W/sone.bin"
  SFOLDERS=$(find "$W/stree" -type d | wc -l)
  count() {  # count LABEL SIZE SOURCE MODE FOLDERS
    local label=$1 size=$2 src=$3 mode=$4 folders=$5
    rm -rf "$W/sx"; mkdir -p "$W/sx"
    "$ZARVIK" create --block-size "$size" "$src" "$W/sx/a.zvka" >/dev/null
    local blocks files
    read -r _ blocks < <($HELP tables "$W/sx/a.zvka")
    files=$("$ZARVIK" list "$W/sx/a.zvka" | wc -l)
    local args=(extract "$W/sx/a.zvka" "$W/sx/d")
    [[ $mode == *keep ]] && args=(extract --keep "$W/sx/a.zvka" "$W/sx/d")
    [[ $mode == batch-1 ]] && args=(extract --batch 1 "$W/sx/a.zvka" "$W/sx/d")
    if [[ $mode == create ]]; then rm -f "$W/sx/a.zvka"; args=(create --block-size "$size" "$src" "$W/sx/a.zvka"); fi
    strace -f -c -o "$W/sx/st" -e trace=fdatasync,fsync,syncfs,fallocate,ftruncate,pwrite64,write "$ZARVIK" "${args[@]}" >/dev/null
    calls() { awk -v s="$1" '$NF == s { print $4; found = 1 } END { if (!found) print 0 }' "$W/sx/st"; }
    echo "$label $size $mode $blocks $files $folders $(calls fdatasync) $(calls fsync) $(calls syncfs) $(calls fallocate)" \
      "$(calls ftruncate) $(calls pwrite64)" >>"$STRACE"
  }
  for size in 64K 1M 4M; do
    count tree "$size" "$W/stree" ablative "$SFOLDERS"
    count file "$size" "$W/sone.bin" ablative 1
  done
  count tree 64K "$W/stree" batch-1 "$SFOLDERS"   # block by block, for comparison
  count tree 4M "$W/stree" keep "$SFOLDERS"
  count file 4M "$W/sone.bin" keep 1
  count tree 4M "$W/stree" create "$SFOLDERS"
  if [[ -n $ALT ]]; then
    MAIN=$ZARVIK; ZARVIK=$ALT
    for size in 64K 4M; do count tree "$size" "$W/stree" alt-ablat "$SFOLDERS"; done
    ZARVIK=$MAIN
  fi
  rm -rf "$W/sx" "$W/stree" "$W/sone.bin"
fi

# ---- Disk space over time, as a picture ----
if [[ -n $PLOT ]]; then
  say "== disk space over time during extraction by tar, --keep and ablative: $PLOT"
  rm -f "$PLOT"
  ZARVIK=$ZARVIK ZARVIK_BENCH_LOOP=$USE_LOOP "$HERE/plot_space.sh" "$W/tree" "$PLOT" "$W" 2>>"$LOG" ||
    say "   no picture: see $LOG"
fi

# ---- Report ----
ratio() { $HELP ratio "$RES" "$1" "$2"; }
med_rss() { awk -v n="$1" '$1 == n { print $2 }' "$RSS" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
BASE_RSS=$(/usr/bin/time -f %M "$ZARVIK" --version 2>&1 >/dev/null | tail -1)
echo
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(uname -r)"
echo "Work folder file system: $(df -T "$W" | awk 'NR == 2 { print $1, $2 }'); load now: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Tree: $FILES files, $BYTES bytes ($DISK_TREE on disk), $DIRS folders; 4M archive tables $TABLES bytes, $BLOCKS4M blocks"
echo "One file: $ONE_BYTES bytes (the tree's tar as a single file)"
[[ -z $INC_BYTES ]] || echo "Copy of /usr/include on tmpfs: $INC_FILES files, $INC_BYTES bytes (tmpfs rows: no sync, none is needed)"
echo "Medians of $REPS interleaved repetitions, each command followed by sync; MB/s = 10^6 bytes of input per second"
echo
$HELP report "$RES" "$BYTES" "$ONE_BYTES" ${INC_BYTES:+"usr-include=$INC_BYTES"}
echo
printf '%-60s %s\n' "Ratio" "value (target)"
printf '%-60s %s\n' "zarvik create vs tar cf (speed)" "$(ratio create.zarvik create.tar) (>= 1.0)"
if [[ -n $INC_BYTES ]]; then
  printf '%-60s %s\n' "zarvik create vs tar cf, tree on tmpfs" "$(ratio create.tmpfs.zarvik create.tmpfs.tar)"
  printf '%-60s %s\n' "zarvik create vs tar cf, /usr/include on tmpfs" "$(ratio usr-include.tmpfs.zarvik usr-include.tmpfs.tar)"
fi
((HAVE_LZ4)) && printf '%-60s %s\n' "zarvik create vs tar | lz4 -1" "$(ratio create.zarvik create.tar+lz4)"
((HAVE_ZSTD)) && printf '%-60s %s\n' "zarvik create vs tar | zstd -1" "$(ratio create.zarvik create.tar+zstd-1)"
printf '%-60s %s\n' "zarvik extract --keep vs tar xf" "$(ratio extract.zarvik-keep extract.tar) (>= 0.9)"
printf '%-60s %s\n' "ablative vs --keep, tree, 4M blocks" "$(ratio extract.zarvik-ablative extract.zarvik-keep) (>= 0.9)"
printf '%-60s %s\n' "ablative vs --keep, tree, 64K blocks" "$(ratio blocks-64K.ablative blocks-64K.keep) (>= 0.9)"
printf '%-60s %s\n' "ablative vs durable-write rate, tree, 4M blocks" "$(ratio extract.zarvik-ablative disk.write+fdatasync-4MiB) (>= 0.9)"
printf '%-60s %s\n' "ablative vs --keep, one file, 4M blocks" "$(ratio one-file.zarvik-ablative one-file.zarvik-keep) (>= 0.9)"
printf '%-60s %s\n' "ablative vs durable-write rate, one file, 4M blocks" "$(ratio one-file.zarvik-ablative one-file.write+fdatasync-4MiB) (>= 0.9)"
if [[ -n $ALT ]]; then
  printf '%-60s %s\n' "alt ablative vs zarvik --keep, tree, 4M blocks" "$(ratio extract.alt-ablative extract.zarvik-keep)"
  printf '%-60s %s\n' "alt ablative vs zarvik ablative, tree, 4M blocks" "$(ratio extract.alt-ablative extract.zarvik-ablative)"
  printf '%-60s %s\n' "alt ablative vs zarvik --keep, tree, 64K blocks" "$(ratio blocks-64K.alt-ablative blocks-64K.keep)"
  printf '%-60s %s\n' "alt ablative vs durable-write rate, tree, 4M blocks" "$(ratio extract.alt-ablative disk.write+fdatasync-4MiB)"
fi
echo
echo "Peak disk during ablative extraction (bytes; peak and final sampled with statvfs)"
echo "bound = one group + the archive's tables; a group is the --batch value (64 MiB by default), at most a"
echo "quarter of the space free at the start, at least one block"
bytes() { case $1 in *K) echo $((${1%K} << 10)) ;; *M) echo $((${1%M} << 20)) ;; *) echo "$1" ;; esac; }
printf '%-5s %-7s %-13s %14s %14s %14s %14s %14s %8s\n' block batch where archive+meta peak final "peak-final" "bound" samples
while read -r size batch where before peak after samples interval free; do
  bs=$(bytes "$size")
  group=$((64 << 20)); [[ $batch == default ]] || group=$(bytes "$batch")
  ((group <= free / 4)) || group=$((free / 4))
  ((group >= bs)) || group=$bs
  read -r t _ < <($HELP tables "$W/out/s$size.zvka")
  printf '%-5s %-7s %-13s %14d %14d %14d %14d %14d %8s\n' "$size" "$batch" "$where" "$before" "$peak" "$after" \
    $((peak - after)) $((group + t)) "$samples"
done <"$SPACE"
echo
echo "Peak resident memory (KiB; median; baseline of 'zarvik --version' = $BASE_RSS KiB)"
printf '%-22s %10s %10s %16s\n' run "max RSS" "- base" "3 blocks+tables"
for name in create.4M extract.keep.4M extract.ablative.4M one.keep.4M one.ablative.4M create.64K create.1M \
  extract.keep.64K extract.ablative.64K extract.ablative.1M alt.ablative.4M alt.ablative.64K alt.ablative.1M; do
  v=$(med_rss "$name"); [[ -z $v ]] && continue
  case $name in *64K) bs=$((64 << 10)); arc=$W/out/s64K.zvka ;; *1M) bs=$((1 << 20)); arc=$W/out/s1M.zvka ;;
    one.*) bs=$((4 << 20)); arc=$W/out/one.zvka ;; *) bs=$((4 << 20)); arc=$W/out/z4M.zvka ;;
  esac
  read -r t _ < <($HELP tables "$arc")
  printf '%-22s %10s %10s %16s\n' "$name" "$v" $((v - BASE_RSS)) $(((3 * bs + t) / 1024))
done
if [[ -s $STRACE ]]; then
  echo
  echo "System calls per run (strace -c -f); flushes = fdatasync + fsync + syncfs; ablative at the default bound"
  echo "unless the mode says --batch 1"
  printf '%-5s %-5s %-9s %7s %6s %7s %9s %6s %6s %9s %9s %8s %14s\n' src block mode blocks files folders fdatasync fsync syncfs \
    fallocate ftruncate pwrite64 "flushes/block"
  while read -r src size mode blocks files folders fds fs sfs fal ftr pw; do
    goal=""; [[ $src/$mode != tree/ablative ]] || goal=" (<= 0.05)"
    printf '%-5s %-5s %-9s %7s %6s %7s %9s %6s %6s %9s %9s %8s %14s%s\n' "$src" "$size" "$mode" "$blocks" "$files" "$folders" \
      "$fds" "$fs" "$sfs" "$fal" "$ftr" "$pw" "$(awk -v a=$((fds + fs + sfs)) -v b="$blocks" 'BEGIN { printf "%.3f", a / b }')" "$goal"
  done <"$STRACE"
fi
echo
[[ -z $PLOT || ! -s $PLOT ]] || echo "Disk space over time during extraction: $PLOT (samples beside it: ${PLOT%.png}.{tar,keep,ablative}.dat)"
echo "Raw repetitions: $RES (removed with the work folder unless ZARVIK_BENCH_KEEP=1)"
