#!/usr/bin/env bash
# Extraction of tars made by GNU tar: zarvik, consuming the archive, against
# `tar xf` / `tar xzf` / `tar -I zstd -xf` / `tar xJf` / `tar xjf` and
# `zarvik extract --keep`, on a tree of system files no one here wrote,
# archived by `tar --format=pax` and compressed by gzip -6, pigz, `zstd -T0`
# (one frame), xz -T0 (several blocks) and bzip2. Prints a Markdown table of
# medians and ratios.
#
#   bench/tar_compare.sh [WORKDIR]
#
# Every extraction writes a folder of its own and is followed by `sync`
# inside the timing; the page cache is warm; the consuming side extracts a
# fresh copy of the archive, made and synced before its timing starts; the
# sides' order rotates every repetition; each figure is the median of the
# repetitions. A compressed tar's rows are timed only when `zarvik info`
# takes it. A repetition's trees are deleted after it (untimed, synced).
#
# Knobs (environment): ZARVIK_BENCH_MB=1024 (the tree's size in MiB),
# ZARVIK_BENCH_REPS=5, ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install tar gzip pigz zstd xz-utils bzip2 python3
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
MB=${ZARVIK_BENCH_MB:-1024}
REPS=${ZARVIK_BENCH_REPS:-5}
BASE=${1:-/var/tmp}

need_tools tar_compare.sh "tar gzip pigz zstd xz-utils bzip2 python3" tar gzip pigz zstd xz bzip2 python3
bench_zarvik

bench_workdir tarbench
SIDES=(tar zarvik-keep zarvik)

bench_tree "$W" "$MB"
(cd "$W/tree" && tar --format=pax -cf "$W/pax.tar" .)
ARCHIVES=("$W/pax.tar")
gzip -6 -c "$W/pax.tar" >"$W/gzip-6.tar.gz"
pigz -c "$W/pax.tar" >"$W/pigz.tar.gz"
zstd -q -T0 -c "$W/pax.tar" >"$W/zstd.tar.zst"
xz -T0 -c "$W/pax.tar" >"$W/xz.tar.xz"
bzip2 -c "$W/pax.tar" >"$W/bzip2.tar.bz2"
sizes="tar $(stat -c %s "$W/pax.tar") bytes"
for archive in "$W"/*.tar.*; do
  sizes+=", $(basename "$archive") $(stat -c %s "$archive")"
  if "$ZARVIK" info "$archive" >/dev/null 2>&1; then
    ARCHIVES+=("$archive")
  else
    say "   this zarvik does not take $(basename "$archive"): not timed"
  fi
done
say "   $FILES files, $BYTES bytes; $sizes"
cat "${ARCHIVES[@]}" >/dev/null
need_space "$W" $(((2 * ${#SIDES[@]} + 3) * BYTES * 11 / 10)) tar_compare.sh
for archive in "${ARCHIVES[@]}"; do
  "$ZARVIK" extract -q --keep "$archive" "$W/check" >/dev/null 2>&1 && diff -r "$W/tree" "$W/check" >/dev/null ||
    { say "tar_compare.sh: zarvik's extraction of $(basename "$archive") differs from the tree"; exit 1; }
  rm -rf "$W/check"
done

run() {  # run SIDE ARCHIVE OUT
  local row; row=$(basename "$2")
  case $1 in
    tar)
      local how=(xf)
      case $2 in *.gz) how=(xzf) ;; *.zst) how=(-I zstd -xf) ;; *.xz) how=(xJf) ;; *.bz2) how=(xjf) ;; esac
      timed "$row/tar" "$3" tar "${how[@]}" "$2"
      ;;
    zarvik*) zarvik_side "$1" "$row" "$2" "$3" tar_compare.sh ;;
  esac
}
rotated_runs "${ARCHIVES[@]}"
$HELP report "$RES" "$BYTES" 0 >&2
echo "$FILES files, $BYTES bytes; $sizes; medians of $REPS; load average (1 min) at each repetition's end: $LOADS"
echo
$HELP table "$RES" zarvik
