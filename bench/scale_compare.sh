#!/usr/bin/env bash
# Archives whose shape, not their size, is what costs: many entries, one very
# deep path, a long chain of hard links. zarvik against unzip and GNU tar on
# the same archives, the sides interleaved; each figure is the median of the
# repetitions of its wall time and its peak memory (GNU time's maximum
# resident set). Prints a Markdown table.
#
#   bench/scale_compare.sh [WORKDIR]
#
# Knobs (environment): ZARVIK_SCALE_ENTRIES=300000, ZARVIK_SCALE_DEPTH=20000,
# ZARVIK_SCALE_LINKS=20000, ZARVIK_BENCH_REPS=3, ZARVIK=build-bench/zarvik
# (built if missing), ZARVIK_SCALE_SIDES (the runs below, all unless given:
# "links links-test links-tar" measures the chain alone), ZARVIK_SCALE_MANY (a
# folder whose many.zip and many.tar are taken as they are instead of made
# anew, which takes minutes). Debian: apt-get
# install time zip unzip tar python3
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/archive_common.sh"
ENTRIES=${ZARVIK_SCALE_ENTRIES:-300000}
DEPTH=${ZARVIK_SCALE_DEPTH:-20000}
LINKS=${ZARVIK_SCALE_LINKS:-20000}
REPS=${ZARVIK_BENCH_REPS:-3}
BASE=${1:-/var/tmp}

need_tools scale_compare.sh "time zip unzip tar python3" /usr/bin/time zip unzip tar python3
bench_zarvik
bench_workdir scale

MANY=${ZARVIK_SCALE_MANY:-$W}
if [[ -z ${ZARVIK_SCALE_MANY:-} ]]; then
say "== $ENTRIES entries in folders of 1000, zipped by Info-ZIP and tarred by GNU tar"
python3 - "$W/many" "$ENTRIES" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%04d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(folder)
    with open(os.path.join(folder, "file-%07d.txt" % i), "w") as f:
        f.write("%d\n" % i)
PY
(cd "$W/many" && zip -q -r -0 "$W/many.zip" . && tar cf "$W/many.tar" .)
rm -rf "$W/many"
fi

say "== one path of depth $DEPTH, and $LINKS hard links each naming the one before"
python3 - "$W" "$DEPTH" "$LINKS" <<'PY'
import io, sys, tarfile
work, depth, links = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with tarfile.open(work + "/deep.tar", "w", format=tarfile.PAX_FORMAT) as tar:
    member = tarfile.TarInfo("a/" * depth + "f")
    member.size = 6
    tar.addfile(member, io.BytesIO(b"deep!\n"))
with tarfile.open(work + "/links.tar", "w", format=tarfile.PAX_FORMAT) as tar:
    first = tarfile.TarInfo("link-0")
    first.size = 6
    tar.addfile(first, io.BytesIO(b"chain\n"))
    for i in range(1, links + 1):
        link = tarfile.TarInfo("link-%d" % i)
        link.type, link.linkname = tarfile.LNKTYPE, "link-%d" % (i - 1)
        tar.addfile(link)
PY

# measure NAME CMD...: CMD in a fresh folder; "NAME seconds KiB" appended to $RES.
measure() {
  local name=$1; shift
  local folder=$W/out
  rm -rf "$folder"; mkdir "$folder"
  (cd "$folder" && /usr/bin/time -f '%e %M' -o "$W/time" "$@" >/dev/null 2>&1) ||
    { say "scale_compare.sh: $name failed"; exit 1; }
  echo "$name $(cat "$W/time")" >>"$RES"
  rm -rf "$folder"; sync
}

side() {
  case $1 in
    list-zip) measure "list zip/zarvik" "$ZARVIK" list "$MANY/many.zip" ;;
    list-unzip) measure "list zip/unzip -l" unzip -l "$MANY/many.zip" ;;
    list-tar) measure "list tar/zarvik" "$ZARVIK" list "$MANY/many.tar" ;;
    list-tartf) measure "list tar/tar tf" tar tf "$MANY/many.tar" ;;
    keep-zip) measure "extract zip/zarvik --keep" "$ZARVIK" extract -q --keep "$MANY/many.zip" x ;;
    keep-unzip) measure "extract zip/unzip -q" unzip -q "$MANY/many.zip" -d x ;;
    keep-tar) measure "extract tar/zarvik --keep" "$ZARVIK" extract -q --keep "$MANY/many.tar" x ;;
    keep-tarxf) measure "extract tar/tar xf" tar xf "$MANY/many.tar" ;;
    deep) measure "depth $DEPTH: test/zarvik" "$ZARVIK" test "$W/deep.tar" ;;
    links) measure "$LINKS chained links: extract/zarvik --keep" "$ZARVIK" extract -q --keep "$W/links.tar" x ;;
    links-test) measure "$LINKS chained links: test/zarvik" "$ZARVIK" test "$W/links.tar" ;;
    links-tar) measure "$LINKS chained links: extract/tar xf" tar xf "$W/links.tar" ;;
  esac
}
source "$(dirname "${BASH_SOURCE[0]}")/interleave.sh"
SIDES=${ZARVIK_SCALE_SIDES:-list-zip list-unzip list-tar list-tartf keep-zip keep-unzip keep-tar keep-tarxf deep links links-test links-tar}
# shellcheck disable=SC2086 # one word a side
interleave side $SIDES

python3 - "$RES" <<'PY'
import collections, statistics, sys
runs = collections.OrderedDict()
for line in open(sys.argv[1]):
    name, seconds, kib = line.rsplit(" ", 2)
    runs.setdefault(name, []).append((float(seconds), int(kib)))
print("| run | seconds (median) | peak memory, MiB (median) |")
print("|---|---|---|")
for name, values in runs.items():
    seconds = statistics.median(v[0] for v in values)
    mib = statistics.median(v[1] for v in values) / 1024
    print("| %s | %.2f | %.1f |" % (name, seconds, mib))
PY
echo "medians of $REPS; load average (1 min) at the end: $(load)"
