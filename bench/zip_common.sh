# Sourced by zip_compare.sh and zip_space.sh: the zarvik they time, and the
# tree of system files no one here wrote with its two zips.

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
HELP="python3 $HERE/compare_helper.py"
SOURCES=(/usr/include /usr/lib/x86_64-linux-gnu /usr/share)
say() { printf '%s\n' "$*" >&2; }

# Sets ZARVIK to an absolute path: as given, else built from this checkout,
# never taken stale.
zip_bench_zarvik() {
  if [[ -z ${ZARVIK:-} ]]; then
    cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$ROOT/build-bench" -j2 --target zarvik >/dev/null
    ZARVIK=$ROOT/build-bench/zarvik
  fi
  ZARVIK=$(cd "$(dirname "$ZARVIK")" && pwd)/$(basename "$ZARVIK")
}

# zip_bench_tree DIR MB: DIR/tree of MB MiB, zipped by Info-ZIP (DIR/infozip.zip)
# and by 7-Zip (DIR/7zip.zip); sets FILES and BYTES.
zip_bench_tree() {
  say "== a $2 MiB tree from ${SOURCES[*]}"
  read -r FILES BYTES _ < <($HELP tree "$1/tree" "$2" "${SOURCES[@]}")
  (cd "$1/tree" && zip -q -6 -r "$1/infozip.zip" .)
  (cd "$1/tree" && 7zz a -tzip -bd -bso0 "$1/7zip.zip" . >/dev/null)
}
