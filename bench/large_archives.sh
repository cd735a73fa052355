#!/usr/bin/env bash
# The large cases, too slow for every test run: a 4.5 GiB file (sizes and
# in-file offsets past 32 bits) and a 4.4 GB incompressible archive whose
# block offsets pass 2^32. Many entries are bench/scale_compare.sh's.
# Each is timed and checked byte for byte. Needs about 14 GB free in TMPDIR.
#   bench/large_archives.sh build/zarvik
set -u
zarvik=$1
source "$(dirname "$0")/../tests/check.sh"
timed() {  # timed WHAT COMMAND...: runs it, checks it succeeded, prints its time
  local from=$EPOCHREALTIME
  "${@:2}" >/dev/null; check "$1" 0 $?
  awk -v what="$1" -v from="$from" -v to="$EPOCHREALTIME" 'BEGIN { printf "  %-48s %8.1f s\n", what, to - from }'
}

# Mostly a hole of zeros with data at both ends: the archive stays small.
mkdir -p "$work/big"
head -c 1000000 /dev/urandom > "$work/big/huge.bin"
truncate -s 4831838208 "$work/big/huge.bin"
head -c 1000000 /dev/urandom >> "$work/big/huge.bin"
timed "create a 4.5 GiB file" "$zarvik" create "$work/big" "$work/big.zvka"
timed "ablative extract a 4.5 GiB file" "$zarvik" extract "$work/big.zvka" "$work/big-out"
cmp "$work/big/huge.bin" "$work/big-out/huge.bin"; check "4.5 GiB file identical" 0 $?
rm -rf "$work/big" "$work/big-out"

mkdir -p "$work/wide"
head -c 4400000000 /dev/urandom > "$work/wide/noise.bin"
timed "create a 4.4 GB incompressible archive" "$zarvik" create "$work/wide" "$work/wide.zvka"
last=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(56); p,f,b=struct.unpack_from('<III',d,24)
t=open(sys.argv[1],'rb'); t.seek(56+p+24*f+24*(b-1)); print(struct.unpack('<Q',t.read(8))[0])" "$work/wide.zvka")
check "last block offset past 2^32" 1 "$([ "$last" -gt 4294967296 ] && echo 1 || echo 0)"
timed "ablative extract a 4.4 GB archive" "$zarvik" extract "$work/wide.zvka" "$work/wide-out"
cmp "$work/wide/noise.bin" "$work/wide-out/noise.bin"; check "4.4 GB file identical" 0 $?
check "archives and journals gone" "" "$(ls "$work" | grep zvk)"

finish large_archives
