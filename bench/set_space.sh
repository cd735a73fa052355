#!/usr/bin/env bash
# Disk space a consuming extraction of a volume set takes beyond the tree it
# makes, against the way without zarvik, at the default group bound; measured
# as bench/zip_space.sh does (a fresh private ext4 image per run holding only
# the set's parts, statvfs polled, the peak held for 1 ms and the momentary
# one, the journal's largest size sampled every 10 ms). Prints a Markdown
# table.
#
#   sudo bench/set_space.sh [WORKDIR]      (as root: it mounts file systems)
#
# Sets of ZARVIK_SET_PART_MB MiB parts, of a tree of system files no one here
# wrote (as in zip_compare.sh):
#   tar.gz  `tar --format=pax` | `gzip -6`, then `split -b` into NAME.001 …
#   zvka    `zarvik create --volume-size`: NAME.001 …
#   zip -s  Info-ZIP `zip -6 -s`: NAME.z01 … NAME.zip
#   7zz -v  7-Zip's zip in volumes, `7zz a -tzip -v`: NAME.001 …
# `zarvik extract -q PART DEST` takes the first part (NAME.zip for a split
# zip). The goal beside each row: the group bound (64 MiB, at most a quarter
# of the space free beside the set) plus the journal's largest size plus
# 1 MiB. The run holds at most one group of the tree beside the archive
# bytes it came from, the cut after each group takes those bytes off the
# last parts, and a part is deleted once the cut passes its start: so the
# part size does not enter the goal, and a part deleted late shows as a peak
# over it. The way without zarvik keeps every part until the tree is out, then
# deletes them: the tar.gz by `cat` into `tar xzf -`, the zvka by
# `zarvik extract --keep`, the split zip joined by `zip -s 0` into one zip
# (the parts deleted) and that by `unzip`, 7-Zip's by `7zz x`.
#
# With ZARVIK_BENCH_PLOT=OUT.png it also draws the disk in use over time for
# the tar.gz set, `cat` into `tar xzf -` then deleting the parts, against
# `zarvik extract` (samples kept beside it as OUT.cat.dat and OUT.zarvik.dat).
#
# Knobs (environment): ZARVIK_BENCH_MB=1024 (the tree in MiB),
# ZARVIK_SET_PART_MB=100 (a part in MiB), ZARVIK_BENCH_PLOT=,
# ZARVIK=build-bench/zarvik (built if missing).
# Debian: apt-get install tar gzip coreutils zip unzip 7zip python3 e2fsprogs gnuplot-nox
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
MB=${ZARVIK_BENCH_MB:-1024}
PART=${ZARVIK_SET_PART_MB:-100}
PLOT=${ZARVIK_BENCH_PLOT:-}
[[ -z $PLOT ]] || PLOT=$(cd "$(dirname "$PLOT")" && pwd)/$(basename "$PLOT")
BASE=${1:-/var/tmp}

((EUID == 0)) || { say "set_space.sh: needs root to mount file systems"; exit 2; }
need_tools set_space.sh "tar gzip coreutils zip unzip 7zip python3 e2fsprogs gnuplot-nox" \
  tar gzip split zip unzip 7zz python3 mkfs.ext4 ${PLOT:+gnuplot}
bench_zarvik

space_workdir setspace
need_space "$W" $(((MB << 20) * 6)) set_space.sh   # tree, four sets and the largest image

bench_tree "$W" "$MB"
# A version-3 archive, what `zarvik create` writes, keeps no folders, so the
# tree's empty ones (left by the links bench_tree drops) would not come back.
find "$W/tree" -type d -empty -delete
S=$W/sets
mkdir "$S"
say "== the sets, in parts of $PART MiB"
(cd "$W/tree" && tar --format=pax -cf - .) | gzip -6 | (cd "$S" && split -b "${PART}M" --numeric-suffixes=1 -a 3 - tree.tar.gz.)
"$ZARVIK" create -q --volume-size "${PART}M" "$W/tree" "$S/tree.zvka" >/dev/null
(cd "$W/tree" && zip -q -6 -r -s "${PART}m" "$S/infozip.zip" .)
(cd "$W/tree" && 7zz a -tzip -bd -bso0 "-v${PART}m" "$S/7zip.zip" . >/dev/null)

# parts_of SET: the set's files in order.
parts_of() {
  case $1 in
    infozip.zip) printf '%s\n' "$S"/infozip.z[0-9]* "$S/infozip.zip" ;;
    *) printf '%s\n' "$S/$1".[0-9][0-9][0-9] ;;
  esac
}
# extracted_from SET: the part zarvik extract is given.
extracted_from() { [[ $1 == infozip.zip ]] && echo "$S/infozip.zip" || echo "$S/$1.001"; }
# naive SET: the way without zarvik, run in the folder holding the parts: the
# tree into d, then no part left.
naive() {
  case $1 in
    tree.tar.gz) echo "mkdir d && cat tree.tar.gz.??? | tar xzf - -C d && rm tree.tar.gz.???" ;;
    tree.zvka) echo "'$ZARVIK' extract -q --keep tree.zvka.001 d >/dev/null && rm tree.zvka.???" ;;
    infozip.zip) echo "zip -q -s 0 infozip.zip --out whole.zip && rm infozip.z[0-9]* infozip.zip && unzip -q whole.zip -d d && rm whole.zip" ;;
    7zip.zip) echo "7zz x -bd -bso0 -od 7zip.zip.001 >/dev/null && rm 7zip.zip.???" ;;
  esac
}
label() {
  case $1 in
    tree.tar.gz) echo "tar.gz, \`split -b ${PART}M\`" ;;
    tree.zvka) echo "zvka, \`zarvik create --volume-size ${PART}M\`" ;;
    infozip.zip) echo "Info-ZIP \`zip -6 -s ${PART}m\`" ;;
    7zip.zip) echo "7-Zip zip, \`7zz a -tzip -v${PART}m\`" ;;
  esac
}
naive_label() {
  case $1 in
    tree.tar.gz) echo "\`cat\` \\| \`tar xzf -\`, then \`rm\` the parts" ;;
    tree.zvka) echo "\`zarvik extract --keep\`, then \`rm\` the parts" ;;
    infozip.zip) echo "\`zip -s 0\` to one zip, \`rm\` the parts, \`unzip\`, \`rm\` the zip" ;;
    7zip.zip) echo "\`7zz x\`, then \`rm\` the parts" ;;
  esac
}

# naive_measure SET: the way without zarvik on a fresh image holding only the
# set's parts, checked against the tree. Sets NAIVE (the peak held beyond the
# final tree).
naive_measure() {
  local parts; mapfile -t parts < <(parts_of "$1")
  fresh_image "$W/tree" "${parts[@]}"
  cp "${parts[@]}" "$FS/"
  sync -f "$FS"
  say "== $1, the way without zarvik"
  local before held rc after
  before=$($HELP used "$FS")
  read -r held _ rc < <(cd "$FS" && $PEAK "$FS" bash -c "$(naive "$1")")
  ((rc == 0)) || { say "the way without zarvik failed on $1"; exit 1; }
  sync -f "$FS"
  after=$($HELP used "$FS")
  diff -rq "$W/tree" "$FS/d" >/dev/null || { say "the way without zarvik differs on $1"; exit 1; }
  [[ $(ls -A "$FS" | grep -vx 'd\|lost+found' || true) == "" ]] || { say "the way without zarvik left files of $1"; exit 1; }
  NAIVE=$((before + held - after))
}

# space_run SET: a consuming extraction of SET at the default bound and the
# way without zarvik, sampled; prints its row.
space_run() {
  local parts; mapfile -t parts < <(parts_of "$1")
  local bytes; bytes=$(stat -c %s "${parts[@]}" | awk '{ s += $1 } END { print s }')
  space_measure "$(extracted_from "$1")" "$W/tree" default "${parts[@]}"
  local goal=$((BOUND + JOURNAL + (1 << 20)))
  naive_measure "$1"
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$(label "$1")" "${#parts[@]}" "$(mib "$bytes")" \
    "$(mib "$JOURNAL")" "$(mib "$goal")" "$(mib "$OVER")" "$(mib "$SEEN")" \
    "$( ((OVER <= goal)) && echo met || echo '**missed**')" "$RUN_SECONDS" "$(naive_label "$1")" "$(mib "$NAIVE")"
}

SETS=(tree.tar.gz tree.zvka infozip.zip 7zip.zip)
echo "Tree: $FILES files, $BYTES bytes; parts of $PART MiB; group bound 64 MiB. Load average (1 min) at the start: $(load)."
echo
echo "| set | parts | set MiB | journal MiB (largest) | goal MiB | peak − final tree MiB | momentary MiB | | seconds | the way without zarvik | its peak − final tree MiB |"
echo "|---|---:|---:|---:|---:|---:|---:|---|---:|---|---:|"
for set in "${SETS[@]}"; do space_run "$set"; done
echo
echo "Load average (1 min) at the end: $(load)."
umount "$FS"

[[ -n $PLOT ]] || exit 0
STEM=${PLOT%.png}
mapfile -t PARTS < <(parts_of tree.tar.gz)
trace_side "$STEM.cat.dat" "$W/tree" "$(naive tree.tar.gz) && sync -f ." "${PARTS[@]}"
trace_side "$STEM.zarvik.dat" "$W/tree" "'$ZARVIK' extract -q tree.tar.gz.001 d >/dev/null && sync -f ." "${PARTS[@]}"
SET_BYTES=$(stat -c %s "${PARTS[@]}" | awk '{ s += $1 } END { print s }')
space_picture "$PLOT" "Disk space in use while extracting a tar.gz in ${#PARTS[@]} parts, a tree of $(mb "$BYTES") MB" \
  "$FILES files; tar | gzip -6, $(mb "$SET_BYTES") MB, split -b ${PART}M; default batch; private ext4 image; statvfs every 10 ms; load $(load)" \
  "$SET_BYTES" "parts" cat "cat the parts | tar xzf -, then delete them"
