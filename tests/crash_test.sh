#!/usr/bin/env bash
# Kills `zarvik extract` with SIGKILL at random instants, resumes it each time,
# and checks that the tree comes out byte for byte with archive and journal gone.
# After the first kill of each archive, a resume into another folder must be
# refused without a change.
# Each archive is released in groups of its own size (--batch), so that kills
# land while a group is in flight. A soak runs longer with CRASH_SIZES (block
# sizes), CRASH_BATCHES (group sizes, taken in turn), CRASH_ROUNDS (kills per
# archive at most) and CRASH_BIG_BYTES (an extra incompressible file).
# Kills land CRASH_MIN_MS to CRASH_MAX_MS after a start (1 to 100).
#   tests/crash_test.sh ZARVIK            or, for the Windows build:
#   tests/crash_test.sh wine ZARVIK.EXE   (with a Wine server up)
set -u
sizes=${CRASH_SIZES:-512 1K 2K 8K 64K}
read -r -a batches <<<"${CRASH_BATCHES:-1 4K 16K 2K 32K}"
max_rounds=${CRASH_ROUNDS:-20}
big_bytes=${CRASH_BIG_BYTES:-0}
min_ms=${CRASH_MIN_MS:-1}
max_ms=${CRASH_MAX_MS:-100}
zarvik=("$@")
source "$(dirname "$0")/check.sh"
kills=0 refusals=0

fail() { failed=$((failed + 1)); printf 'FAIL %s\n' "$*"; }

mkdir -p "$work/src/nested/deeper" "$work/src/😀 folder"
head -c 700000 /dev/urandom > "$work/src/random.bin"
yes 'a line that repeats, so blocks code run-length' | head -c 400000 > "$work/src/nested/text.txt"
head -c 50000 /dev/zero > "$work/src/nested/deeper/zeros.bin"
head -c 20000 /dev/urandom > "$work/src/😀 folder/𝄞 clef.bin"
: > "$work/src/empty"
mkdir -p "$work/src/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12"
printf 'deep' > "$work/src/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12/leaf.txt"
[ "$big_bytes" -gt 0 ] && head -c "$big_bytes" /dev/urandom > "$work/src/big.bin"

# run_killed ARGS...: runs an extraction and kills it at a random instant unless it ends first.
run_killed() {
  # A process group of its own: under Wine the program runs as a child of its launcher, and dies with the group.
  setsid "${zarvik[@]}" extract "$@" >/dev/null 2>"$work/err" &
  local pid=$!
  local ms=$((min_ms + RANDOM % (max_ms - min_ms + 1)))
  sleep "$((ms / 1000)).$(printf '%03d' $((ms % 1000)))"
  local killed=0
  if kill -9 -- -"$pid" 2>/dev/null; then kills=$((kills + 1)) killed=1; fi
  wait "$pid" 2>/dev/null
  local rc=$?
  for _ in $(seq 1 100); do pgrep -g "$pid" >/dev/null || break; sleep 0.05; done
  # A killed run's status says nothing (under Wine its launcher may report the child's end as 1); one that ran to
  # its end must have succeeded. What a kill left is judged by the resumes and the final comparison.
  if [ "$killed" -eq 0 ] && [ "$rc" -ne 0 ]; then fail "extract $* exited $rc: $(cat "$work/err")"; return 1; fi
  return 0
}

turn=0
for size in $sizes; do
  archive="$work/a-$size.zvka" out="$work/out-$size"
  batch=${batches[$((turn++ % ${#batches[@]}))]}
  "${zarvik[@]}" create --block-size "$size" "$work/src" "$archive" >/dev/null || fail "create $size"
  run_killed --batch "$batch" "$archive" "$out" || continue
  # Once blocks have left the archive, a resume into another folder is refused with nothing changed.
  # (The kill may have left only the journal, the archive deleted.)
  if [ -e "$archive.zvkj" ] && [ -n "$(tail -c +17 "$archive.zvkj" | tr -d '\000' | head -c 1)" ]; then
    rm -f "$work/archive.copy" && { [ ! -e "$archive" ] || cp "$archive" "$work/archive.copy"; }
    cp "$archive.zvkj" "$work/journal.copy"
    "${zarvik[@]}" extract --resume "$archive" "$work/wrong" >/dev/null 2>&1 && fail "size $size: resumed elsewhere"
    [ ! -e "$work/wrong" ] || fail "size $size: a refused resume wrote into its folder"
    { [ ! -e "$archive" ] && [ ! -e "$work/archive.copy" ] || cmp -s "$archive" "$work/archive.copy"; } &&
      cmp -s "$archive.zvkj" "$work/journal.copy" || fail "size $size: a refused resume changed the archive or its journal"
    refusals=$((refusals + 1))
  fi
  rounds=0
  # Kill each resumed run too, until one finishes or the budget is spent.
  while { [ -e "$archive" ] || [ -e "$archive.zvkj" ]; } && [ "$rounds" -lt "$max_rounds" ]; do
    rounds=$((rounds + 1))
    run_killed --batch "$batch" --resume "$archive" "$out" || break
  done
  if [ -e "$archive" ] || [ -e "$archive.zvkj" ]; then
    "${zarvik[@]}" extract --resume "$archive" "$out" >/dev/null 2>"$work/err" || fail "final resume $size: $(cat "$work/err")"
  fi
  diff -r "$work/src" "$out" >/dev/null || fail "block size $size: extracted tree differs"
  [ ! -e "$archive" ] || fail "block size $size: archive left behind"
  [ ! -e "$archive.zvkj" ] || fail "block size $size: journal left behind"
  [ -z "$(ls "$work" | grep -E 'creating$')" ] || fail "block size $size: temporary file left behind"
done

echo "crash test: $kills kills, $refusals resumes elsewhere refused"
[ "$kills" -ge 20 ] || fail "only $kills kills landed; the extraction ran too fast to test"
[ "$failed" -eq 0 ] && passed=1
finish crash
