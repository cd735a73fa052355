#!/usr/bin/env bash
# Every speed comparison in one run, on one folder: each bench script in
# turn, then the goals' table drawn from their outputs, written with every
# script's full output (medians, each repetition, the load) into
# docs/performance.md between its "bench/all.sh" marks.
#
#   sudo bench/all.sh FOLDER [WORKDIR]     (as root: the pictures mount file systems)
#
# FOLDER is the tree the scripts take their inputs from (the tree, the one
# large file made of its files; the version-4 rows also use /usr/include).
# WORKDIR (default /var/tmp) must be on the disk under test, in a file system
# with a journal, as users' are (the scripts warn of an ext4 without one). Run
# on an idle machine: each script's output says the load it ran under.
#
# Scripts run: zip_compare.sh, tar_compare.sh, shapes.sh, zstd_compare.sh,
# compare.sh, read_speed.sh, syscalls.sh, and as root zip_space.sh and
# tar_space.sh, whose pictures (zip-extraction-space.png and
# targz-extraction-space.png) are drawn anew beside the document.
#
# Knobs (environment): ZARVIK_BENCH_REPS=3, ZARVIK_BIG_MB=1000 (the one
# large file in 10^6 bytes), ZARVIK_ALL_ONLY="zip_compare shapes ..." (run
# only these scripts; the others' figures show as not measured),
# ZARVIK_ALL_DOC=docs/performance.md (empty: print only), ZARVIK (the build
# timed; built into build-bench if not given). The scripts' own knobs pass
# through.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
FOLDER=$(cd "${1:?usage: bench/all.sh FOLDER [WORKDIR]}" && pwd)
BASE=${2:-/var/tmp}
DOC=${ZARVIK_ALL_DOC-$ROOT/docs/performance.md}
bench_zarvik
bench_workdir all

# The tree is FOLDER whole: its size in MiB, rounded up.
export ZARVIK ZARVIK_BENCH_SOURCES=$FOLDER
export ZARVIK_BENCH_MB=$((($(du -sbL "$FOLDER" | cut -f1) >> 20) + 1))
export ZARVIK_BENCH_REPS=${ZARVIK_BENCH_REPS:-3} ZARVIK_BIG_MB=${ZARVIK_BIG_MB:-1000}
export ZARVIK_BENCH_ONE_MB=$((ZARVIK_BIG_MB * 1000000 >> 20)) ZARVIK_BENCH_HIGH=${ZARVIK_BENCH_HIGH:-0}
OUT=$W/out
mkdir -p "$OUT"

# step NAME COMMAND...: runs a script, its table into OUT/NAME.md and its
# progress (where each repetition is) into OUT/NAME.log; a failure is noted
# and the run goes on.
step() {
  local name=$1
  shift
  [[ -z ${ZARVIK_ALL_ONLY:-} || " $ZARVIK_ALL_ONLY " == *" $name "* ]] || return 0
  say "==== $name (load $(load))"
  local t0=$EPOCHREALTIME
  if "$@" >"$OUT/$name.md" 2>"$OUT/$name.log"; then
    say "     done in $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s"
  else
    say "     $name failed: see the end of its log below"
    { echo; echo "$name failed:"; echo '```'; tail -20 "$OUT/$name.log"; echo '```'; } >>"$OUT/$name.md"
  fi
}

step zip_compare "$HERE/zip_compare.sh" "$W"
step tar_compare "$HERE/tar_compare.sh" "$W"
step shapes "$HERE/shapes.sh" "$W"
step zstd_compare "$HERE/zstd_compare.sh" "$W"
step compare env ZARVIK_BENCH_TMPFS=0 "$HERE/compare.sh" "$W"
step read_speed "$HERE/read_speed.sh" "$W"
step syscalls "$HERE/syscalls.sh" "$FOLDER" "$W"
if ((EUID == 0)); then
  step zip_space env ZARVIK_BIG_MB=0 ZARVIK_BENCH_PLOT="$OUT/zip-extraction-space.png" "$HERE/zip_space.sh" "$W"
  step tar_space env ZARVIK_BIG_MB=0 ZARVIK_BENCH_PLOT="$OUT/targz-extraction-space.png" "$HERE/tar_space.sh" "$W"
fi

# The section: the goals, then each script's output as it printed it.
section() {
  echo "<!-- bench/all.sh: begin -->"
  echo "### The last run"
  echo
  local where
  where=$(findmnt -n -o FSTYPE,SOURCE --target "$BASE" | tr -s ' ')
  echo "\`bench/all.sh $FOLDER $BASE\` ($where) on $(date -u '+%Y-%m-%d %H:%M UTC'), $("$ZARVIK" --version 2>&1 | head -1)," \
    "$(git -C "$ROOT" rev-parse --short HEAD); $(nproc) CPUs; load average (1, 5, 15 min) at the end:" \
    "$(cut -d' ' -f1-3 /proc/loadavg); medians of $ZARVIK_BENCH_REPS."
  echo
  python3 "$HERE/goals.py" "$OUT"
  local name picture
  for name in zip_compare tar_compare shapes zstd_compare compare read_speed syscalls zip_space tar_space; do
    [[ -s $OUT/$name.md ]] || continue
    echo
    echo "#### bench/$name.sh"
    echo
    echo '```'
    cat "$OUT/$name.md"
    # Every repetition: the timing scripts print them with the medians on their progress stream.
    sed -n '/^measure .*repetitions/,/^$/p' "$OUT/$name.log"
    echo '```'
  done
  local step kind
  for step in zip_space:zip:zip-extraction-space tar_space:tar.gz:targz-extraction-space; do
    IFS=: read -r name kind picture <<<"$step"
    [[ -s $OUT/$name.md && -e $OUT/$picture.png ]] || continue
    [[ -z $DOC ]] || cp "$OUT/$picture.png" "$(dirname "$DOC")/"
    echo
    echo "![Disk space in use over time while a $kind is extracted: the other tool holds the archive and the tree together, zarvik about one group beyond the tree]($picture.png)"
  done
  echo "<!-- bench/all.sh: end -->"
}
section >"$OUT/section.md"
cat "$OUT/section.md"
[[ -n $DOC ]] || exit 0
python3 - "$DOC" "$OUT/section.md" <<'PY'
import re, sys
doc, section = sys.argv[1], open(sys.argv[2]).read().rstrip("\n")
text = open(doc).read()
marks = re.compile(r"<!-- bench/all.sh: begin -->.*<!-- bench/all.sh: end -->", re.S)
text = marks.sub(lambda _: section, text) if marks.search(text) else text.rstrip("\n") + "\n\n" + section + "\n"
open(doc, "w").write(text)
PY
say "== wrote the section into $DOC"
