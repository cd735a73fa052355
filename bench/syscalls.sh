#!/usr/bin/env bash
# System calls a file: extracts FOLDER's archives (version 3 and 4, a pax
# tar, an Info-ZIP zip) kept and consumed under `strace -f -c`, and prints
# each archive's calls divided by its files, futex left out (the decoders'
# hand-overs), the archive's own reads included. Counts, not times: a loaded
# machine gives the same figures.
#
#   bench/syscalls.sh FOLDER [WORKDIR]
#
# Knobs (environment): ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install strace tar zip
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
SOURCE=$(cd "${1:?usage: bench/syscalls.sh FOLDER [WORKDIR]}" && pwd)
BASE=${2:-/var/tmp}
need_tools syscalls.sh "strace tar zip" strace tar zip
bench_zarvik
bench_workdir syscalls

FILES=$(find "$SOURCE" -type f | wc -l)
"$ZARVIK" create -q "$SOURCE" "$W/v3.zvka" >/dev/null
"$ZARVIK" create -q --zstd "$SOURCE" "$W/v4.zvka" >/dev/null
tar --format=pax -cf "$W/pax.tar" -C "$SOURCE" .
(cd "$SOURCE" && zip -qr "$W/info.zip" .)

# per_file ARCHIVE [--keep]: "total (call n.nn, …)" over FILES.
per_file() {
  local archive=$1
  shift
  cp "$archive" "$W/consumed"
  strace -f -c -o "$W/calls" "$ZARVIK" extract -q "$@" "$([[ $# -gt 0 ]] && echo "$archive" || echo "$W/consumed")" \
    "$W/out" >/dev/null
  rm -rf "$W/out" "$W/consumed"
  awk -v n="$FILES" '$1 ~ /^[0-9.]+$/ && $NF != "total" && $NF != "futex" {
      total += $4; if ($4 / n >= 0.5) list = list sprintf("%s%s %.2f", list == "" ? "" : ", ", $NF, $4 / n) }
    END { printf "%.2f (%s)", total / n, list }' "$W/calls"
}

say "$FILES files from $SOURCE"
echo "| archive | kept | consumed |"
echo "|---|---|---|"
for archive in v3.zvka v4.zvka pax.tar info.zip; do
  echo "| $archive | $(per_file "$W/$archive" --keep) | $(per_file "$W/$archive") |"
done
