#!/usr/bin/env bash
# SIGINT, SIGTERM and SIGHUP stop create and extract between effects (sent after a random number of lines, at most a
# quarter, so mid-run however fast the machine): an extraction exits 3 and resumes; a creation keeps the earlier archive,
# no temporary file; --json lines stay whole, the last an error. A closed standard output stops nothing.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

mkdir -p "$work/src" && name=$(printf 'a long name, so that the log lines of a run fill its output pipe many times over %.0s' 1 2)
head -c 1200000 /dev/urandom | split -b 600 -a 3 - "$work/src/$name" && files=$(ls "$work/src" | wc -l)
"$zarvik" create -q --block-size 1K "$work/src" "$work/original.zvka" >/dev/null && mkfifo "$work/pipe"
# signalled SIGNAL ARGS...: sets rc and last (the last JSON line's event|message|resumable, or why a line is not JSON).
signalled() {
  local signal=$1 && shift
  "$zarvik" "$@" >"$work/pipe" 2>/dev/null &
  local pid=$! count=$((1 + RANDOM % (files / 4))) line n=0
  exec 3<"$work/pipe" && : >"$work/run.json"
  while [ "$n" -lt "$count" ] && IFS= read -r line <&3; do n=$((n + 1)) && printf '%s\n' "$line" >>"$work/run.json"; done
  kill -s "$signal" "$pid" && cat <&3 >>"$work/run.json" && exec 3<&-
  wait "$pid"; rc=$?
  last=$(python3 -c 'import json, sys
e = [json.loads(line) for line in sys.stdin.read().splitlines()][-1]
print(e["event"], e.get("message"), e.get("resumable"), sep="|")' <"$work/run.json" 2>&1)
}

for signal in INT TERM HUP; do
  cp "$work/original.zvka" "$work/x.zvka" && rm -rf "$work/out" && resume=()
  for round in 1 2; do
    signalled "$signal" extract --json --batch 256K "${resume[@]}" "$work/x.zvka" "$work/out"
    check "$signal: extraction stopped, round $round" "3:error|Stopped on request|True" "$rc:$last"
    resume=(--resume)
  done
  "$zarvik" extract --resume "$work/x.zvka" "$work/out" >/dev/null
  check "$signal: resumed tree, archive and journal gone" "|" "$(diff -r "$work/src" "$work/out")|$(ls "$work" | grep '^x\.zvka')"
  cp "$work/original.zvka" "$work/earlier.zvka"
  signalled "$signal" create --json --block-size 1K "$work/src" "$work/earlier.zvka"
  check "$signal: creation stopped" "1:error|Stopped on request|False" "$rc:$last"
  check "$signal: earlier archive kept, no temporary file" "same" \
    "$(cmp -s "$work/earlier.zvka" "$work/original.zvka" && [ ! -e "$work/earlier.zvka.creating" ] && echo same)"
done
# Three archives, stopped in the second (whose lines fill the pipe many times over after the one that names it): exit 3
# with the command that resumes the whole run, which completes the tree though the first archive is gone.
mkdir -p "$work/one" "$work/three/e" "$work/all" && printf 1 >"$work/one/1" && printf 3 >"$work/three/e/3"
(cd "$work/one" && zip -q ../one.zip 1) && tar -C "$work/three" -czf "$work/three.tar.gz" e && cp -r "$work"/{src,one,three}/* "$work/all"
cp "$work/original.zvka" "$work/x.zvka" && set -- "$work/one.zip" "$work/x.zvka" "$work/three.tar.gz" "$work/merged"
"$zarvik" extract --json --batch 256K "$@" >"$work/pipe" 2>/dev/null &
pid=$! && exec 3<"$work/pipe" && grep -m 1 -q '"event":"archive","number":2' <&3 && kill -s INT "$pid" && cat <&3 >"$work/run.json"
exec 3<&- && wait "$pid"
check "three archives stopped in the second: exit, resume command, archives left" "3|zarvik extract --resume --batch 256K \
$*|three.tar.gz x.zvka x.zvka.zvkj" "$?|$(tail -n 1 "$work/run.json" | python3 -c 'import json, sys
print(*json.load(sys.stdin)["resume"])')|$(cd "$work" && ls x.zvka* one.zip three.tar.gz 2>/dev/null | paste -sd ' ')"
"$zarvik" extract --resume --batch 256K "$@" >/dev/null
check "resumed: the whole tree, no archive nor record left" "0||" "$?|$(diff -r "$work/all" "$work/merged")|$(
  cd "$work" && ls x.zvka* one.zip three.tar.gz 2>/dev/null)"
# `| head -1` closes the pipe after one line: the work goes on and the exit code is its outcome.
cp "$work/original.zvka" "$work/h.zvka" && "$zarvik" extract "$work/h.zvka" "$work/h" | head -n 1 >/dev/null
check "extract | head -1: exit code and tree" "0|" "${PIPESTATUS[0]}|$(diff -r "$work/src" "$work/h")"
"$zarvik" create --block-size 1K "$work/src" "$work/h.zvka" | head -n 1 >/dev/null
check "create | head -1: exit code and archive" "0 same" "${PIPESTATUS[0]} $(cmp -s "$work/h.zvka" "$work/original.zvka" && echo same)"
finish signal
