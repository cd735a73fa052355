#!/usr/bin/env bash
# Kills `zarvik extract` with SIGKILL once its journal records a random share of the blocks left, resumes it, and
# checks the tree comes out byte for byte (times and modes too for version 5 and tar), archive and journal gone: .zvka
# of each block size, version 5, zip, tar, multi-member tar.gz, a .zvka in volumes and a split zip, each in its own --batch; pass after pass until
# CRASH_KILLS (20) kills landed or CRASH_PASSES (20) are spent. Soaks: CRASH_SIZES, CRASH_BATCHES, CRASH_ROUNDS,
# CRASH_BIG_BYTES.   tests/crash_test.sh ZARVIK   or   tests/crash_test.sh wine ZARVIK.EXE (Wine server up)
set -u
sizes=${CRASH_SIZES:-512 1K 2K 8K 64K zip zstd tar targz volumes zips} max_rounds=${CRASH_ROUNDS:-20} big_bytes=${CRASH_BIG_BYTES:-0}
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

mkfifo "$work/tick" && exec {tick}<>"$work/tick"
# recorded JOURNAL: sets `recorded` to the journal's nonzero bytes (one more per block written; bash drops zeros).
recorded() { local LC_ALL=C bytes=; IFS= read -r -d '' -N 100000000 bytes <"$1"; recorded=${#bytes}; }
# journal_facts JOURNAL: sets `all_recorded` to what `recorded` reads once every unit is written.
journal_facts() {
  read -r all_recorded < <(python3 -c 'import struct, sys
journal = open(sys.argv[1], "rb").read()
version, count = struct.unpack_from("<II", journal, 8)
start = 16 if version == 1 else 32 + struct.unpack_from("<Q", journal, 16)[0]
fixed = journal[:start] + journal[start + count:start + count + 48]
print(sum(1 for b in fixed if b) + count)' "$1")
}
# step PID: lets the stopped group run a moment (a read on the never-written pipe), then stops it; fails once ended.
step() { kill -CONT -- -"$1" 2>/dev/null; read -t 0.0002 -u "$tick"; kill -STOP -- -"$1" 2>/dev/null; }
# kill_at_random_progress PID: kills the run at a random share of the blocks it has left, unless it ends first or has
# none left (lest each resume stop where the last did). True if killed.
kill_at_random_progress() {
  local pid=$1 journal="$archive.zvkj" stat state
  until kill -STOP -- -"$pid" 2>/dev/null; do
    read -r stat <"/proc/$pid/stat" 2>/dev/null || return 1
    state=${stat##*) } && [ "${state:0:1}" != Z ] || return 1
  done
  while [ ! -e "$journal" ]; do step "$pid" || return 1; done
  journal_facts "$journal" && recorded "$journal"
  [ "$recorded" -lt "$all_recorded" ] || { kill -CONT -- -"$pid" 2>/dev/null; return 1; }
  local target=$((recorded + (RANDOM << 15 | RANDOM) % (all_recorded - recorded + 1)))
  while recorded "$journal" 2>/dev/null; [ "$recorded" -lt "$target" ]; do step "$pid" || return 1; done
  kill -9 -- -"$pid" 2>/dev/null
}

end_current_run() { [ -z "$current_run" ] || kill -9 -- -"$current_run" 2>/dev/null; }
current_run= lost_starts=0 && cleanup_hooks+=(end_current_run)
state_of_archive() { local f; for f in "$archive" "$archive.zvkj"; do cksum "$f" 2>/dev/null || echo -; done; }  # "-": gone
# Under Wine a run may end with status 1, only Wine's lines on stderr and the archive untouched: Wine's, run it again.
lost_start() {
  [ "${zarvik[0]}" = wine ] && ! grep -qv '^wine: ' "$work/err" && [ "$(state_of_archive)" = "$1" ] || return 1
  lost_starts=$((lost_starts + 1)) && echo "Wine ended a run before it started (archive untouched): run again"
}
# run_killed ARGS...: runs an extraction of $archive and kills it partway unless it ends first.
run_killed() {
  local before=
  [ "${zarvik[0]}" != wine ] || before=$(state_of_archive)
  # A group of its own: under Wine the program is its launcher's child and dies with the group.
  setsid "${zarvik[@]}" extract "$@" >/dev/null 2>"$work/err" &
  local pid=$! killed=0 && current_run=$pid
  kill_at_random_progress "$pid" && killed=1
  wait "$pid" 2>/dev/null
  local rc=$? && current_run=
  for _ in $(seq 1 100); do pgrep -g "$pid" >/dev/null || break; sleep 0.05; done
  # A killed run's status says nothing; one that ran to its end must have succeeded. Kills that cut it short count.
  if [ "$killed" -eq 1 ]; then { [ -e "$archive" ] || [ -e "$archive.zvkj" ]; } && kills=$((kills + 1)); return 0; fi
  [ "$rc" -eq 0 ] && return 0
  [ "$lost_starts" -lt 3 ] && lost_start "$before" && { run_killed "$@"; return; }
  fail "extract $* exited $rc: $(cat "$work/err")" && return 1
}
# metadata TREE: each entry's kind, mode and time, as version 5 keeps them (Windows: 100 ns).
metadata() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@\n' | sed -E 's/([0-9]{7})[0-9]{3}$/\1/' | LC_ALL=C sort); }
# soak SIZE BATCH: an archive of SIZE blocks (or zip, zstd: version 5, tar, targz: 256 KiB gzip members, volumes: 64 KiB
# parts of 4 KiB blocks, zips: zip -s 64k, each named by its first part) extracted in
# groups of BATCH bytes, killed and resumed until one run finishes or the budget is spent.
soak() {
  local size=$1 batch=$2 out=$work/out-$size rounds=0
  archive=$work/a-$size.zvka && rm -rf "$out"
  case $size in
  zip) archive=$work/a.zip && rm -f "$archive" && (cd "$work/src" && zip -qr -6 "$archive" .) ;;
  tar) archive=$work/a.tar && rm -f "$archive" && tar --format=posix -C "$work/src" -cf "$archive" . ;;
  targz) archive=$work/a.tar.gz && tar -C "$work/src" -cf - . | split -b 256K --filter='gzip -c' >"$archive" ;;
  zstd) "${zarvik[@]}" create --zstd --block-size 4K "$work/src" "$archive" >/dev/null ;;
  volumes) archive=$work/v.zvka.001 && "${zarvik[@]}" create --block-size 4K --volume-size 64K "$work/src" "$work/v.zvka" >/dev/null ;;
  zips) archive=$work/s.z01 && rm -f "$work"/s.z* && (cd "$work/src" && zip -qr -s 64k "$work/s.zip" .) ;;
  *) "${zarvik[@]}" create --block-size "$size" "$work/src" "$archive" >/dev/null ;;
  esac || fail "making the $size archive"
  run_killed --batch "$batch" "$archive" "$out" || return
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
  [ -z "$(ls "$work" | grep -E '\.(z|)[0-9]{2,}$|\.zip$')" ] || fail "$size: a part left behind"
  [ -z "$(ls "$work" | grep -E 'creating$')" ] || fail "$size: temporary file left behind"
}

turn=0 passes=0
while [ "$passes" -eq 0 ] || { [ "$kills" -lt "$needed" ] && [ "$passes" -lt "$max_passes" ]; }; do
  passes=$((passes + 1))
  for size in $sizes; do soak "$size" "${batches[$((turn++ % ${#batches[@]}))]}"; done
done

echo "crash test: $kills kills in $passes passes"
[ "$kills" -ge "$needed" ] || fail "only $kills kills landed; the extraction ran too fast to test"
[ "$failed" -eq 0 ] && passed=1
finish crash
