#!/usr/bin/env bash
# Reading and creating at the disk's speed, in the page cache so that the disk
# is out of it:
#   - `zarvik test` of a version-3 archive of random bytes (stored blocks)
#     against `cksum` of the same archive file;
#   - `zarvik create` of a tree (version 3) against `tar cf` of it, the tree
#     and both outputs on a tmpfs.
# Prints on standard output a markdown table for each, of one row ("test",
# "create"): the rate ratio (the other tool's median time over zarvik's;
# 1.00 is as fast, above is faster), both medians in seconds, the input and
# the 1-minute load average before and after. Medians of REPS runs taken in
# turn, the two sides' order swapped each repetition. Progress, and every
# repetition's time under a "measure" line, go to standard error.
#
#   bench/read_speed.sh [WORKDIR]
#
# Knobs (environment): ZARVIK=build-bench/zarvik (built if missing),
# ZARVIK_BENCH_REPS=5, ZARVIK_READ_MB=300 (the random file), TREE=/usr/include.
# The tmpfs is mounted under WORKDIR (default /var/tmp), which needs root;
# without it the run says so and uses /dev/shm.
# Debian: apt-get install coreutils tar
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
BASE=${1:-/var/tmp}
REPS=${ZARVIK_BENCH_REPS:-5}
READ_MB=${ZARVIK_READ_MB:-300}
TREE=${TREE:-/usr/include}
need_tools read_speed.sh "coreutils tar" cksum tar
bench_zarvik
bench_workdir read-speed

FAST=$W/tmpfs
mkdir "$FAST"
if mount -t tmpfs -o size=$(((READ_MB + 3 * $(du -sm "$TREE" | cut -f1) + 512)))M tmpfs "$FAST" 2>/dev/null; then
  trap 'umount "$FAST" 2>/dev/null || true; rm -rf "$W"' EXIT
else
  say "read_speed.sh: no tmpfs mount (not root?): using /dev/shm"
  FAST=$(mktemp -d /dev/shm/zarvik-read-speed.XXXXXX)
  trap 'rm -rf "$FAST" "$W"' EXIT
fi

# seconds CMD...: the wall time of CMD, output dropped.
seconds() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", b - a }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare ROW OTHER INPUT "ZARVIK CMD" "OTHER CMD": REPS runs of each in
# turn, one table.
compare() {
  local row=$1 other=$2 input=$3 ours=$4 theirs=$5 before rep a b
  before=$(load)
  : >"$W/ours"
  : >"$W/theirs"
  for ((rep = 0; rep < REPS; rep++)); do
    if ((rep % 2 == 0)); then
      seconds bash -c "$ours" >>"$W/ours"
      seconds bash -c "$theirs" >>"$W/theirs"
    else
      seconds bash -c "$theirs" >>"$W/theirs"
      seconds bash -c "$ours" >>"$W/ours"
    fi
  done
  a=$(median <"$W/ours")
  b=$(median <"$W/theirs")
  {
    printf '%-12s %9s  %s\n' measure "median s" "repetitions (s)"
    printf '%-12s %9.3f  %s\n' "$row" "$a" "$(tr '\n' ' ' <"$W/ours")"
    printf '%-12s %9.3f  %s\n' "$other" "$b" "$(tr '\n' ' ' <"$W/theirs")"
    echo
  } >&2
  echo "| run | zarvik vs $other | zarvik s | $other s | input | load |"
  echo "|---|---:|---:|---:|---|---|"
  awk -v r="$row" -v a="$a" -v b="$b" -v i="$input" -v l0="$before" -v l1="$(load)" \
    'BEGIN { printf "| %s | %.2f | %.3f | %.3f | %s | %s → %s |\n", r, b / a, a, b, i, l0, l1 }'
  echo
}

say "== $READ_MB MiB of random bytes, archived (version 3)"
head -c "${READ_MB}M" /dev/urandom >"$FAST/r.bin"
"$ZARVIK" create -q "$FAST/r.bin" "$W/r.zvka" >/dev/null
rm "$FAST/r.bin"
cat "$W/r.zvka" >/dev/null  # in the page cache before the first run
say "== test against cksum"
compare test cksum "$READ_MB MiB of random bytes, page cache" "'$ZARVIK' test '$W/r.zvka'" "cksum '$W/r.zvka'"

say "== $TREE copied to a tmpfs"
cp -a "$TREE" "$FAST/tree"
say "== create against tar cf"
compare create "tar cf" "$TREE, $(du -sm "$FAST/tree" | cut -f1) MiB, tmpfs" \
  "'$ZARVIK' create -q '$FAST/tree' '$FAST/out.zvka'" "tar cf '$FAST/out.tar' -C '$FAST/tree' ."
