#!/usr/bin/env bash
# Scale: many files, a file past 4 GiB, block offsets past 2^32. The large
# cases write gigabytes and run only with ZARVIK_LONG_TESTS=1; without it a
# smaller tree still goes through every command.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"
long=${ZARVIK_LONG_TESTS:-0}
seconds() { echo "$EPOCHREALTIME"; }
report() { awk -v what="$1" -v from="$2" -v to="$EPOCHREALTIME" 'BEGIN { printf "  %-48s %8.1f s\n", what, to - from }'; }

# Many small files spread over folders: create, list, test, ablative extract.
files=$([ "$long" = 1 ] && echo 100000 || echo 3000)
mkdir -p "$work/many"
python3 - "$work/many" "$files" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%03d" % (i % 500))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%06d.txt" % i), "w") as f:
        f.write("file %d\n" % i * (i % 7))
PY
start=$(seconds)
"$zarvik" create --block-size 64K "$work/many" "$work/many.zvka" >/dev/null; check "create $files files" 0 $?
report "create $files files" "$start"
check "list $files files" "$files" "$("$zarvik" list "$work/many.zvka" | wc -l)"
if command -v strace >/dev/null; then  # a line each to a file would be a write each
  strace -f -c -e trace=write -o "$work/writes" "$zarvik" create --block-size 64K "$work/many" "$work/again.zvka" >"$work/log"
  writes=$(awk '$NF == "write" { print $4 }' "$work/writes")
  check "creating $files files logs with few writes" "yes" "$([ "${writes:-0}" -le 300 ] && echo yes || echo "no: $writes")"
  rm -f "$work/again.zvka"
fi
"$zarvik" test "$work/many.zvka" >/dev/null; check "test $files files" 0 $?
start=$(seconds)
"$zarvik" extract "$work/many.zvka" "$work/many-out" >/dev/null; check "ablative extract $files files" 0 $?
report "ablative extract $files files" "$start"
diff -r "$work/many" "$work/many-out" >/dev/null; check "$files files identical" 0 $?
check "archive and journal gone" "" "$(ls "$work"/many.zvka* 2>/dev/null)"
rm -rf "$work/many" "$work/many-out"

if [ "$long" = 1 ]; then
  # A 4.5 GiB file, mostly a hole of zeros with data at both ends: sizes and
  # in-file offsets past 32 bits, while the archive stays small.
  mkdir -p "$work/big"
  head -c 1000000 /dev/urandom > "$work/big/huge.bin"
  truncate -s 4831838208 "$work/big/huge.bin"
  head -c 1000000 /dev/urandom >> "$work/big/huge.bin"
  start=$(seconds)
  "$zarvik" create "$work/big" "$work/big.zvka" >/dev/null; check "create a 4.5 GiB file" 0 $?
  report "create a 4.5 GiB file" "$start"
  start=$(seconds)
  "$zarvik" extract "$work/big.zvka" "$work/big-out" >/dev/null; check "extract a 4.5 GiB file" 0 $?
  report "ablative extract a 4.5 GiB file" "$start"
  cmp "$work/big/huge.bin" "$work/big-out/huge.bin"; check "4.5 GiB file identical" 0 $?
  rm -rf "$work/big-out"

  # Incompressible data past 4 GiB: the archive's block offsets pass 2^32.
  mkdir -p "$work/wide"
  head -c 4400000000 /dev/urandom > "$work/wide/noise.bin"
  start=$(seconds)
  "$zarvik" create "$work/wide" "$work/wide.zvka" >/dev/null; check "create a 4.4 GB archive" 0 $?
  report "create a 4.4 GB incompressible archive" "$start"
  last=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(56); p,f,b=struct.unpack_from('<III',d,24)
t=open(sys.argv[1],'rb'); t.seek(56+p+24*f+24*(b-1)); print(struct.unpack('<Q',t.read(8))[0])" "$work/wide.zvka")
  check "last block offset past 2^32" 1 "$([ "$last" -gt 4294967296 ] && echo 1 || echo 0)"
  start=$(seconds)
  "$zarvik" extract "$work/wide.zvka" "$work/wide-out" >/dev/null; check "extract a 4.4 GB archive" 0 $?
  report "ablative extract a 4.4 GB archive" "$start"
  cmp "$work/wide/noise.bin" "$work/wide-out/noise.bin"; check "4.4 GB file identical" 0 $?
fi

finish scale
