#!/usr/bin/env bash
# Archive version 4 (Zstandard blocks) against tar and zstd, and at high
# levels against 7-Zip, in one run so that every ratio compares runs made
# side by side: archive size, creation (on disk and on tmpfs), extraction
# (--keep and consuming), test, version-3 creation against `tar cf`, and
# peak memory of creation. Three inputs: a copy of /usr/include, a tree of
# system files (bench/compare.sh's) and one large file (the start of that
# tree's tar: headers, text and binaries mixed).
#
#   bench/zstd_compare.sh [WORKDIR]
#
# WORKDIR (default /var/tmp) must be on the disk under test. On disk every
# timed command is followed by `sync` inside the timing, so each side is
# durable; on tmpfs nothing is synced (nothing there is ever written back).
# The page cache is warm, the sides of a comparison are interleaved (their
# order rotates every repetition) and each figure is the median of the
# repetitions. Extracted trees are kept until the end (see compare.sh on
# ext4's inode reuse); extracted single files are deleted at once.
#
# Knobs (environment):
#   ZARVIK_BENCH_MB=1024        size of the tree in MiB
#   ZARVIK_BENCH_ONE_MB=954     size of the single file in MiB (954 MiB = 1 GB)
#   ZARVIK_BENCH_REPS=3         repetitions of every timed command
#   ZARVIK_BENCH_LEVEL=3        the level compared (zarvik --zstd=L, zstd -L)
#   ZARVIK_BENCH_HIGH=19        the high level, on /usr/include (0: skip)
#   ZARVIK_BENCH_HIGH_TREE=0    1: the high level on the tree too (slow)
#   ZARVIK_BENCH_KEEP=0         1 keeps the work folder
#   ZARVIK=build-bench/zarvik   the binary (built with CMake into build-bench if not given)
# Needs the packages of BENCH_PACKAGES in scripts/ensure-packages.sh
# (installed if missing when run as root).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
source "$ROOT/scripts/ensure-packages.sh"
MB=${ZARVIK_BENCH_MB:-1024}
ONE_MB=${ZARVIK_BENCH_ONE_MB:-954}
REPS=${ZARVIK_BENCH_REPS:-3}
LEVEL=${ZARVIK_BENCH_LEVEL:-3}
HIGH=${ZARVIK_BENCH_HIGH:-19}
HIGH_TREE=${ZARVIK_BENCH_HIGH_TREE:-0}
BLOCK=4M
BASE=${1:-/var/tmp}

ensure_packages "${BENCH_PACKAGES[@]}" || exit 2
bench_zarvik

mkdir -p "$BASE"
W=$(mktemp -d "$(cd "$BASE" && pwd)/zarvik-zstdbench.XXXXXX")
MEM=""      # the tmpfs folder: a mount of ours as root, else a folder in /dev/shm
cleanup() {
  if [[ -n $MEM ]] && mountpoint -q "$MEM"; then umount "$MEM" || true; elif [[ -n $MEM ]]; then rm -rf "$MEM"; fi
  if [[ ${ZARVIK_BENCH_KEEP:-0} == 1 ]]; then echo "work folder kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
RES=$W/results   # "name seconds" per timed repetition
RSS=$W/rss       # "name kilobytes" per zarvik run
SIZES=$W/sizes   # "name bytes" per archive
LOG=$W/log
: >"$RES"; : >"$RSS"; : >"$SIZES"
mkdir -p "$W/in" "$W/out" "$W/x"

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
# timed NAME CMD...: CMD then sync, wall time of both. timed_mem: no sync.
timed() {
  local name=$1; shift
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>>"$LOG"
  sync
  echo "$name $(elapsed "$t0" "$EPOCHREALTIME")" >>"$RES"
}
timed_mem() {
  local name=$1; shift
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>>"$LOG"
  echo "$name $(elapsed "$t0" "$EPOCHREALTIME")" >>"$RES"
}
# zk NAME ARGS...: zarvik with its peak resident memory recorded.
zk() {
  local name=$1; shift
  /usr/bin/time -f "$name %M" -a -o "$RSS" "$ZARVIK" "$@"
}
sh_c() { bash -o pipefail -c "$1"; }
note_size() { grep -q "^$1 " "$SIZES" || echo "$1 $(stat -c %s "$2")" >>"$SIZES"; }   # NAME FILE, once
source "$(dirname "${BASH_SOURCE[0]}")/interleave.sh"

# ---- Inputs ----
say "== inputs in $W"
read -r INC_FILES INC_BYTES _ < <($HELP tree "$W/in/inc" $((1 << 20)) /usr/include)   # all of it
mv "$W/in/inc/usr/include" "$W/in/include"; rm -rf "$W/in/inc"
read -r TREE_FILES TREE_BYTES _ < <($HELP tree "$W/in/tree" "$MB" "${SOURCES[@]}")
tar cf "$W/in/one.bin" -C "$W/in" tree
(($(stat -c %s "$W/in/one.bin") <= ONE_MB << 20)) || truncate -s $((ONE_MB << 20)) "$W/in/one.bin"
ONE_BYTES=$(stat -c %s "$W/in/one.bin")
DISK_IN=$(du -sB1 "$W/in" | cut -f1)
say "   include: $INC_FILES files, $INC_BYTES bytes; tree: $TREE_FILES files, $TREE_BYTES bytes; one file: $ONE_BYTES bytes"
NEED=$(((3 * REPS + 4) * DISK_IN))   # every extracted tree kept, archives beside
if (($(df -B1 --output=avail "$W" | tail -1) < NEED)); then
  say "zstd_compare.sh: needs about $((NEED >> 30)) GiB free in $BASE; lower ZARVIK_BENCH_MB or ZARVIK_BENCH_REPS"
  exit 2
fi
MEM_NEED=$((2 * (TREE_BYTES + ONE_BYTES) + (512 << 20)))
MEM_FREE=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) << 10))
if ((MEM_FREE < MEM_NEED + (2 << 30))); then
  say "zstd_compare.sh: needs $(((MEM_NEED >> 20) + 2048)) MiB of memory available for the tmpfs runs, has $((MEM_FREE >> 20))"
  exit 2
fi
if ((EUID == 0)) && mkdir -p "$W/mem" && mount -t tmpfs -o size="$MEM_NEED" zarvik-bench "$W/mem" 2>>"$LOG"; then
  MEM=$W/mem
else
  MEM=$(mktemp -d /dev/shm/zarvik-zstdbench.XXXXXX)
fi
cat "$W/in/one.bin" >/dev/null; tar cf - -C "$W/in" . | cat >/dev/null   # warm the page cache
sync

# ---- One input: all its comparisons ----
# Inputs are named by what their rows start with: include, tree, one-file.
src_of() { case $1 in include) echo "$W/in include" ;; tree) echo "$W/in tree" ;; one-file) echo "$W/in one.bin" ;; esac; }
RUN=0
dest() {  # a fresh folder for an extraction; a single file's is emptied instead
  if [[ $1 == one-file ]]; then rm -rf "$W/x/one"; sync; D=$W/x/one; else RUN=$((RUN + 1)); D=$W/x/$RUN; fi
}

side_create() {  # side_create INPUT SIDE
  local in=$1 dir name; read -r dir name < <(src_of "$in")
  local o=$W/out/c
  rm -f "$o".*; sync
  case $2 in
    zstd) timed "$in.create.zarvik-zstd" zk "$in.create" create -q --zstd="$LEVEL" --block-size $BLOCK "$dir/$name" "$o.zvka" ;;
    tarzstd) timed "$in.create.tar+zstd-T0" sh_c "tar cf - -C '$dir' '$name' | zstd -T0 -$LEVEL -q >'$o.tar.zst'" ;;
    v3) timed "$in.create-v3.zarvik" "$ZARVIK" create -q "$dir/$name" "$o.zvka" ;;
    tar) timed "$in.create-v3.tar" tar cf "$o.tar" -C "$dir" "$name" ;;
  esac
}
side_mem() {  # side_mem INPUT SIDE: source and archive on tmpfs
  local in=$1 name; read -r _ name < <(src_of "$in")
  rm -f "$MEM"/c.*
  case $2 in
    zstd) timed_mem "$in.tmpfs-create.zarvik-zstd" zk "$in.create.tmpfs" create -q --zstd="$LEVEL" --block-size $BLOCK "$MEM/$name" "$MEM/c.zvka" ;;
    tarzstd) timed_mem "$in.tmpfs-create.tar+zstd-T0" sh_c "tar cf - -C '$MEM' '$name' | zstd -T0 -$LEVEL -q >'$MEM/c.tar.zst'" ;;
  esac
}
side_extract() {  # side_extract INPUT SIDE
  local in=$1
  case $2 in
    keep) dest "$in"; timed "$in.extract.zarvik-keep" zk "$in.extract.keep" extract -q --keep "$W/out/$in.zvka" "$D" ;;
    consume) dest "$in"; rm -f "$W/x/a.zvka"; cp "$W/out/$in.zvka" "$W/x/a.zvka"; sync
      timed "$in.extract.zarvik-consuming" zk "$in.extract.consuming" extract -q "$W/x/a.zvka" "$D" ;;
    untar) dest "$in"; mkdir -p "$D"; timed "$in.extract.zstd-dc+tar" sh_c "zstd -dc -q '$W/out/$in.tar.zst' | tar xf - -C '$D'" ;;
    test) timed_mem "$in.test.zarvik" zk "$in.test" test "$W/out/$in.zvka" ;;
    ztest) timed_mem "$in.test.zstd-t" zstd -t -q "$W/out/$in.tar.zst" ;;
  esac
}
side_high() {  # side_high INPUT SIDE: the high level, on disk
  local in=$1 dir name; read -r dir name < <(src_of "$in")
  local o=$W/out/h
  rm -f "$o".*; sync
  case $2 in
    zstd) timed "$in.high.zarvik-zstd=$HIGH" zk "$in.create.$HIGH" create -q --zstd="$HIGH" --block-size $BLOCK "$dir/$name" "$o.zvka"
      note_size "$in.high.zarvik-zstd=$HIGH" "$o.zvka" ;;
    tarzstd) timed "$in.high.tar+zstd-T0-$HIGH" sh_c "tar cf - -C '$dir' '$name' | zstd -T0 -$HIGH -q >'$o.tar.zst'"
      note_size "$in.high.tar+zstd-$HIGH" "$o.tar.zst" ;;
    7zz) timed "$in.high.7zz-mx5" sh_c "cd '$dir' && 7zz a -bd -bso0 -mx5 '$o.7z' '$name'"
      note_size "$in.high.7zz-mx5" "$o.7z" ;;
  esac
}

bench_input() {  # bench_input INPUT
  local in=$1 dir name; read -r dir name < <(src_of "$in")
  say "== $in: archives (untimed; sizes), then $REPS interleaved repetitions of each comparison"
  "$ZARVIK" create -q --zstd="$LEVEL" --block-size $BLOCK "$dir/$name" "$W/out/$in.zvka" >/dev/null
  tar cf - -C "$dir" "$name" | zstd -"$LEVEL" -q >"$W/out/$in.tar.zst"        # the size reference
  tar cf - -C "$dir" "$name" | zstd -T0 -"$LEVEL" -q >"$W/out/$in.T0.tar.zst"
  note_size "$in.zarvik-zstd" "$W/out/$in.zvka"
  note_size "$in.tar+zstd" "$W/out/$in.tar.zst"
  note_size "$in.tar+zstd-T0" "$W/out/$in.T0.tar.zst"
  local got=$W/x/check-$in   # a folder's contents go into the destination, a file goes in by its name
  "$ZARVIK" extract -q --keep "$W/out/$in.zvka" "$got" >/dev/null
  [[ -d $dir/$name ]] || got=$got/$name
  diff -r "$dir/$name" "$got" >/dev/null ||
    { say "zstd_compare.sh: zarvik's extraction of $in differs from its source"; exit 1; }
  rm -f "$W/x/check-one-file/one.bin"   # a tree is kept to the end: see the head
  # Peak memory with two threads, the figure the goal is set for.
  for ((r = 0; r < REPS; r++)); do
    rm -f "$W/out/m.zvka"
    zk "$in.create.threads2" create -q --zstd="$LEVEL" --threads 2 --block-size $BLOCK "$dir/$name" "$W/out/m.zvka" >/dev/null
  done
  rm -f "$W/out/m.zvka"; sync

  say "== $in: creation on disk"
  interleave side_create "$in zstd" "$in tarzstd" "$in v3" "$in tar"
  say "== $in: creation on tmpfs"
  cp -a "$dir/$name" "$MEM/$name"
  interleave side_mem "$in zstd" "$in tarzstd"
  rm -rf "${MEM:?}/$name" "$MEM"/c.*
  say "== $in: extraction and test"
  interleave side_extract "$in keep" "$in consume" "$in untar" "$in test" "$in ztest"
  rm -rf "$W/x/one" "$W/x/a.zvka"; sync
  if [[ $HIGH != 0 ]] && [[ $in == include || ($in == tree && $HIGH_TREE == 1) ]]; then
    say "== $in: level $HIGH against zstd -$HIGH and 7-Zip -mx5"
    interleave side_high "$in zstd" "$in tarzstd" "$in 7zz"
    rm -f "$W/out"/h.*
  fi
}
for input in include tree one-file; do bench_input "$input"; done

# ---- Report ----
ratio() { $HELP ratio "$RES" "$1" "$2"; }
size() { awk -v n="$1" '$1 == n { print $2; exit }' "$SIZES"; }
size_ratio() { awk -v a="$(size "$1")" -v b="$(size "$2")" 'BEGIN { printf "%.3f", a / b }'; }
med_rss() { awk -v n="$1" '$1 == n { print $2 }' "$RSS" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
max_rss() { awk -v n="$1" '$1 == n && $2 > m { m = $2 } END { print m }' "$RSS"; }
BASE_RSS=$(/usr/bin/time -f %M "$ZARVIK" --version 2>&1 >/dev/null | tail -1)
row() { printf '%-62s %s\n' "$1" "$2"; }
echo
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(uname -r)"
echo "Work folder file system: $(df -T "$W" | awk 'NR == 2 { print $1, $2 }'); load now: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "zarvik: $ZARVIK ($("$ZARVIK" --version 2>&1 | head -1)); $(zstd --version 2>&1 | head -1); $(7zz 2>&1 | sed -n 2p)"
echo "include: $INC_FILES files, $INC_BYTES bytes; tree: $TREE_FILES files, $TREE_BYTES bytes; one file: $ONE_BYTES bytes"
echo "Level $LEVEL, $BLOCK blocks; medians of $REPS interleaved repetitions; disk rows end with sync, tmpfs and test rows do not"
echo
$HELP report "$RES" "$TREE_BYTES" "$ONE_BYTES" "include=$INC_BYTES"
echo
echo "Archive sizes (bytes)"
while read -r name bytes; do printf '%-40s %14s\n' "$name" "$bytes"; done <"$SIZES"
echo
row "Goal" "value (target)"
for in in include tree one-file; do
  row "$in: size, zarvik --zstd=$LEVEL / tar | zstd -$LEVEL" "$(size_ratio "$in.zarvik-zstd" "$in.tar+zstd") (<= 1.03)"
  row "$in: create vs tar | zstd -T0 -$LEVEL, on disk" "$(ratio "$in.create.zarvik-zstd" "$in.create.tar+zstd-T0") (>= 1.0)"
  row "$in: create vs tar | zstd -T0 -$LEVEL, on tmpfs" "$(ratio "$in.tmpfs-create.zarvik-zstd" "$in.tmpfs-create.tar+zstd-T0") (>= 1.0)"
  row "$in: extract --keep vs zstd -dc | tar xf" "$(ratio "$in.extract.zarvik-keep" "$in.extract.zstd-dc+tar") (>= 1.0)"
  row "$in: consuming extract vs --keep" "$(ratio "$in.extract.zarvik-consuming" "$in.extract.zarvik-keep") (>= 0.9)"
  row "$in: test vs zstd -t" "$(ratio "$in.test.zarvik" "$in.test.zstd-t") (>= 1.0)"
  row "$in: version-3 create vs tar cf" "$(ratio "$in.create-v3.zarvik" "$in.create-v3.tar") (>= 1.0)"
  row "$in: max RSS, create --zstd --threads 2 (KiB)" "$(max_rss "$in.create.threads2") (<= $(((4 * (4 << 20) + (32 << 20)) >> 10)))"
done
for in in include tree; do
  [[ -n $(size "$in.high.7zz-mx5") ]] || continue
  row "$in: size, zarvik --zstd=$HIGH / tar | zstd -$HIGH" "$(size_ratio "$in.high.zarvik-zstd=$HIGH" "$in.high.tar+zstd-$HIGH")"
  row "$in: size, zarvik --zstd=$HIGH / 7zz -mx5" "$(size_ratio "$in.high.zarvik-zstd=$HIGH" "$in.high.7zz-mx5")"
  row "$in: create --zstd=$HIGH vs tar | zstd -T0 -$HIGH" "$(ratio "$in.high.zarvik-zstd=$HIGH" "$in.high.tar+zstd-T0-$HIGH")"
  row "$in: create --zstd=$HIGH vs 7zz a -mx5" "$(ratio "$in.high.zarvik-zstd=$HIGH" "$in.high.7zz-mx5")"
done
echo
echo "Peak resident memory (KiB; median, max; baseline of 'zarvik --version' = $BASE_RSS KiB)"
printf '%-32s %10s %10s\n' run median max
for name in $(awk '{ print $1 }' "$RSS" | awk '!seen[$0]++'); do
  printf '%-32s %10s %10s\n' "$name" "$(med_rss "$name")" "$(max_rss "$name")"
done
echo
echo "Raw repetitions: $RES (removed with the work folder unless ZARVIK_BENCH_KEEP=1)"
