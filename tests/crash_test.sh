#!/usr/bin/env bash
# Kills `zarvik extract` with SIGKILL at random instants, resumes it each time, and checks that the tree comes out
# byte for byte with archive and journal gone: for .zvka archives of each block size, a version-4 one (whose times and
# permissions, read-only files included, come back too), a zip Info-ZIP made, a tar GNU tar made (pax: times and
# permissions too) and a tar.gz of several gzip members. Each is released in groups of its own size (--batch), and
# each run is killed once its journal records a random share of the blocks it has left, so kills land mid-extraction
# however fast the machine; pass after pass, until CRASH_KILLS kills (20) have cut an extraction short, or
# CRASH_PASSES passes (20) are spent. A soak runs longer with CRASH_SIZES, CRASH_BATCHES (taken in turn),
# CRASH_ROUNDS (kills per archive at most) and CRASH_BIG_BYTES (an extra incompressible file).
#   tests/crash_test.sh ZARVIK            or, for the Windows build:
#   tests/crash_test.sh wine ZARVIK.EXE   (with a Wine server up)
set -u
sizes=${CRASH_SIZES:-512 1K 2K 8K 64K zip zstd tar targz} max_rounds=${CRASH_ROUNDS:-20} big_bytes=${CRASH_BIG_BYTES:-0}
read -r -a batches <<<"${CRASH_BATCHES:-4K 1 16K 2K 32K}"
needed=${CRASH_KILLS:-20} max_passes=${CRASH_PASSES:-20} zarvik=("$@") kills=0
source "$(dirname "$0")/check.sh"
fail() { failed=$((failed + 1)); printf 'FAIL %s\n' "$*"; }

mkdir -p "$work/src/nested/deeper" "$work/src/😀 folder"
head -c 700000 /dev/urandom >"$work/src/random.bin" && head -c 20000 /dev/urandom >"$work/src/😀 folder/𝄞 clef.bin"
yes 'a line that repeats, so blocks code run-length' | head -c 400000 >"$work/src/nested/text.txt"
head -c 50000 /dev/zero >"$work/src/nested/deeper/zeros.bin" && : >"$work/src/empty"
chmod 444 "$work/src/empty" "$work/src/nested/text.txt"  # a run resumed after the metadata was set takes them over
mkdir -p "$work/src/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12" && printf 'deep' >"$work/src/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12/leaf.txt"
[ "$big_bytes" -gt 0 ] && head -c "$big_bytes" /dev/urandom > "$work/src/big.bin"

# A read on this never-written pipe waits out its timeout: a pause between polls without starting a process.
mkfifo "$work/tick" && exec {tick}<>"$work/tick"

# recorded JOURNAL: sets `recorded` to the journal's nonzero bytes, which grow by one per block written. Bash drops
# the zero bytes it reads, so this costs no process.
recorded() { local LC_ALL=C bytes=; IFS= read -r -d '' -N 100000000 bytes <"$1"; recorded=${#bytes}; }

# journal_facts JOURNAL: sets `all_recorded` to what `recorded` reads once every unit is written: the nonzero bytes of
# the header, record and fingerprint around the states, and one per unit (no archive here gives its journal a tail).
journal_facts() {
  read -r all_recorded < <(python3 -c 'import struct, sys
journal = open(sys.argv[1], "rb").read()
version, count = struct.unpack_from("<II", journal, 8)
start = 16 if version == 1 else 32 + struct.unpack_from("<Q", journal, 16)[0]
fixed = journal[:start] + journal[start + count:start + count + 48]
print(sum(1 for b in fixed if b) + count)' "$1")
}

# step PID: lets the run's stopped process group go on for a moment, then stops it again; fails once it has ended.
# Stepped, a run cannot get far past the point where it is to be killed however fast the machine.
step() {
  kill -CONT -- -"$1" 2>/dev/null
  read -t 0.0002 -u "$tick"
  kill -STOP -- -"$1" 2>/dev/null
}

# kill_at_random_progress PID: kills the run once its journal records a random share of the blocks it has left (none
# to all), unless it ends first; one with none left is let go, lest each resume stop where the last did. True if killed.
kill_at_random_progress() {
  local pid=$1 journal="$archive.zvkj"
  # Until setsid has made its group, the run goes on unstepped.
  until kill -STOP -- -"$pid" 2>/dev/null; do
    local stat state
    read -r stat <"/proc/$pid/stat" 2>/dev/null || return 1
    state=${stat##*) } && [ "${state:0:1}" != Z ] || return 1
  done
  while [ ! -e "$journal" ]; do step "$pid" || return 1; done
  journal_facts "$journal"
  recorded "$journal"
  [ "$recorded" -lt "$all_recorded" ] || { kill -CONT -- -"$pid" 2>/dev/null; return 1; }
  local target=$((recorded + (RANDOM << 15 | RANDOM) % (all_recorded - recorded + 1)))
  while recorded "$journal" 2>/dev/null; [ "$recorded" -lt "$target" ]; do step "$pid" || return 1; done
  kill -9 -- -"$pid" 2>/dev/null
}

# A test stopped midway must not leave a run stopped for good.
end_current_run() { [ -z "$current_run" ] || kill -9 -- -"$current_run" 2>/dev/null; }
current_run= && cleanup_hooks+=(end_current_run)

# state_of_archive: what the archive and its journal hold now, as checksums ("-" where a file is gone).
state_of_archive() { local f; for f in "$archive" "$archive.zvkj"; do cksum "$f" 2>/dev/null || echo -; done; }

# Under Wine, a run was once seen to end with status 1 and nothing on stderr but Wine's own lines. The program names
# every failure it reports, so such an end, the archive and journal as they were, is Wine's: the run starts again.
lost_start() {
  [ "${zarvik[0]}" = wine ] && ! grep -qv '^wine: ' "$work/err" && [ "$(state_of_archive)" = "$1" ] || return 1
  lost_starts=$((lost_starts + 1)) && echo "Wine ended a run before it started (archive untouched): run again"
}
lost_starts=0

# run_killed ARGS...: runs an extraction of $archive and kills it partway unless it ends first.
run_killed() {
  local before=
  [ "${zarvik[0]}" != wine ] || before=$(state_of_archive)
  # A process group of its own: under Wine the program runs as a child of its launcher, and dies with the group.
  setsid "${zarvik[@]}" extract "$@" >/dev/null 2>"$work/err" &
  local pid=$! killed=0 && current_run=$pid
  kill_at_random_progress "$pid" && killed=1
  wait "$pid" 2>/dev/null
  local rc=$? && current_run=
  for _ in $(seq 1 100); do pgrep -g "$pid" >/dev/null || break; sleep 0.05; done
  # A killed run's status says nothing (under Wine its launcher may report the child's end as 1); one that ran to
  # its end must have succeeded. What a kill left is judged by the resumes and the final comparison.
  if [ "$killed" -eq 1 ]; then  # only a kill that left the extraction unfinished counts
    { [ -e "$archive" ] || [ -e "$archive.zvkj" ]; } && kills=$((kills + 1))
    return 0
  fi
  [ "$rc" -eq 0 ] && return 0
  [ "$lost_starts" -lt 3 ] && lost_start "$before" && { run_killed "$@"; return; }
  fail "extract $* exited $rc: $(cat "$work/err")" && return 1
}

# metadata TREE: each entry's kind, permissions and time, as a version-4 archive keeps them (Windows: 100 ns).
metadata() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@\n' | sed -E 's/([0-9]{7})[0-9]{3}$/\1/' | LC_ALL=C sort); }

# soak SIZE BATCH: extracts an archive of SIZE blocks ("zip": a zip; "zstd": version 4; "tar": a tar; "targz": a tar
# cut in 256 KiB gzip members) in groups of BATCH bytes, killed and resumed.
soak() {
  local size=$1 batch=$2 out=$work/out-$size rounds=0
  archive=$work/a-$size.zvka && rm -rf "$out"
  case $size in
  zip) archive=$work/a.zip && rm -f "$archive" && (cd "$work/src" && zip -qr -6 "$archive" .) ;;
  tar) archive=$work/a.tar && rm -f "$archive" && tar --format=posix -C "$work/src" -cf "$archive" . ;;
  targz) archive=$work/a.tar.gz && tar -C "$work/src" -cf - . | split -b 256K --filter='gzip -c' >"$archive" ;;
  zstd) "${zarvik[@]}" create --zstd --block-size 4K "$work/src" "$archive" >/dev/null ;;
  *) "${zarvik[@]}" create --block-size "$size" "$work/src" "$archive" >/dev/null ;;
  esac || fail "making the $size archive"
  run_killed --batch "$batch" "$archive" "$out" || return
  # Kill each resumed run too, until one finishes or the budget is spent.
  while { [ -e "$archive" ] || [ -e "$archive.zvkj" ]; } && [ "$((rounds++))" -lt "$max_rounds" ]; do
    run_killed --batch "$batch" --resume "$archive" "$out" || break
  done
  if [ -e "$archive" ] || [ -e "$archive.zvkj" ]; then
    "${zarvik[@]}" extract --resume "$archive" "$out" >/dev/null 2>"$work/err" || fail "final resume $size: $(cat "$work/err")"
  fi
  diff -r "$work/src" "$out" >/dev/null || fail "$size: extracted tree differs"
  [ "$size" != zstd ] && [ "$size" != tar ] || [ "$(metadata "$work/src")" = "$(metadata "$out")" ] ||
    fail "$size: times or permissions differ"
  [ ! -e "$archive" ] && [ ! -e "$archive.zvkj" ] || fail "$size: archive or journal left behind"
  [ -z "$(ls "$work" | grep -E 'creating$')" ] || fail "$size: temporary file left behind"
}

turn=0 passes=0
# Every archive once, then again until enough kills have landed.
while [ "$passes" -eq 0 ] || { [ "$kills" -lt "$needed" ] && [ "$passes" -lt "$max_passes" ]; }; do
  passes=$((passes + 1))
  for size in $sizes; do soak "$size" "${batches[$((turn++ % ${#batches[@]}))]}"; done
done

echo "crash test: $kills kills in $passes passes"
[ "$kills" -ge "$needed" ] || fail "only $kills kills landed; the extraction ran too fast to test"
[ "$failed" -eq 0 ] && passed=1
finish crash
