#!/usr/bin/env bash
# Consuming against keeping, for every kind of archive zarvik consumes, on
# three shapes of input: a tree of system files no one here wrote, one large
# file made of that tree's files over and over, and 30,000 small files of
# random bytes. Prints a Markdown table of medians: each row's `--keep` and
# consuming times and how fast consuming is against keeping.
#
#   bench/shapes.sh [WORKDIR]
#
# Archives of each shape: version 3 and version 4 (`create --zstd`), a pax
# tar, that tar by gzip -6, and an Info-ZIP zip -6. Each run is followed by
# `sync` inside the timing; the consuming side extracts a fresh copy, made
# and synced before its timing starts; the sides' order rotates every
# repetition.
#
# Knobs (environment): ZARVIK_BENCH_MB=1024 (the tree in MiB),
# ZARVIK_BIG_MB=1000 (the single file in 10^6 bytes), ZARVIK_SMALL_FILES=30000,
# ZARVIK_BENCH_REPS=3, ZARVIK_BENCH_SOURCES (the folders the tree is taken
# from), ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install tar gzip zip python3
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
MB=${ZARVIK_BENCH_MB:-1024}
BIG_MB=${ZARVIK_BIG_MB:-1000}
SMALL=${ZARVIK_SMALL_FILES:-30000}
REPS=${ZARVIK_BENCH_REPS:-3}
BASE=${1:-/var/tmp}

need_tools shapes.sh "tar gzip zip python3" tar gzip zip python3
bench_zarvik
bench_workdir shapes
SIDES=(zarvik-keep zarvik)

bench_tree "$W" "$MB"
TREE_FILES=$FILES
bench_big_file "$W/big/big.bin" $((BIG_MB * 1000000)) "$W/tree"
say "== $SMALL files of 100 to 4,000 random bytes in 100 folders"
python3 - "$W/small" "$SMALL" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(1)
for i in range(count):
    folder = os.path.join(root, "d%03d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%06d.bin" % i), "wb") as f:
        f.write(rng.randbytes(rng.randint(100, 4000)))
PY

ARCHIVES=()
for shape in tree big small; do
  say "== archives of $shape"
  "$ZARVIK" create -q "$W/$shape" "$W/$shape.zvka" >/dev/null
  "$ZARVIK" create -q --zstd "$W/$shape" "$W/$shape.v4.zvka" >/dev/null
  tar --format=pax -cf "$W/$shape.tar" -C "$W/$shape" .
  gzip -6 -c "$W/$shape.tar" >"$W/$shape.tar.gz"
  (cd "$W/$shape" && zip -q -6 -r "$W/$shape.zip" .)
  ARCHIVES+=("$W/$shape".{zvka,v4.zvka,tar,tar.gz,zip})
done
cat "${ARCHIVES[@]}" >/dev/null
need_space "$W" $((6 * (BYTES + BIG_MB * 1000000) * 11 / 10)) shapes.sh

run() { zarvik_side "$1" "$(basename "$2")" "$2" "$3" shapes.sh; }  # run SIDE ARCHIVE OUT
rotated_runs "${ARCHIVES[@]}"
$HELP report "$RES" "$BYTES" 0 >&2
echo "tree: $TREE_FILES files, $BYTES bytes; big: one file of $((BIG_MB * 1000000)) bytes; small: $SMALL files;" \
  "medians of $REPS; load average (1 min) at each repetition's end: $LOADS"
echo
$HELP table "$RES" zarvik
