#!/usr/bin/env bash
# The Linux and Windows (under Wine) builds pack a tree with names outside ASCII and the BMP into byte-identical
# archives of version 3 and 5, each extracts the other's, and both say the same: --help, info and --json. The Windows
# build consumes a tar large enough to be summed in parts.
#   tests/cross_build_test.sh NATIVE WINDOWS.EXE   (with a Wine server up: scripts/with-wine.sh)
set -u
native=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
windows=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
source "$(dirname "$0")/check.sh"
win() { wine "$windows" "$@"; }

cd "$work"
mkdir -p "src/dossier é/😀 folder" linux windows
printf 'AAAAAAAAAAAAAAAAhello' >"src/dossier é/a.txt" && head -c 300000 /dev/urandom >"src/dossier é/😀 folder/𝄞 clef.bin"
yes 'a line that repeats' | head -c 200000 >src/text.txt && : >src/empty

"$native" create --block-size 64K src linux.zvka >/dev/null && win create --block-size 64K src windows.zvka >/dev/null
check "both builds create the same bytes" "0 same" "$? $(cmp -s linux.zvka windows.zvka && echo same)"
"$native" extract windows.zvka from-windows >/dev/null; check "Linux extracts the Windows archive" "0|" "$?|$(diff -r src from-windows 2>&1)"
win extract --keep linux.zvka from-linux >/dev/null; check "Windows extracts the Linux archive" "0|" "$?|$(diff -r src from-linux 2>&1)"
# Version 5: with times whole to 100 ns and the modes Windows reports, both builds write the same bytes, and the Windows
# build restores the times and the read-only attribute (Wine keeps it as the write bits), and sets it nowhere else.
chmod 444 "src/dossier é/a.txt" src/empty
find src -mindepth 1 -depth -exec touch -d @1700000000.1234567 {} +
"$native" create --zstd --block-size 64K src linux4.zvka >/dev/null && win create --zstd --threads 3 --block-size 64K src windows4.zvka >/dev/null
check "both builds create the same version-5 bytes" "0 same" "$? $(cmp -s linux4.zvka windows4.zvka && echo same)"
times() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@\n' | LC_ALL=C sort); }
tree=$(times src) && win extract --keep linux4.zvka from-linux4 >/dev/null
check "Windows extracts version 5: every byte, time and mode" "0||$tree" "$?|$(diff -r src from-linux4 2>&1)|$(times from-linux4)"
# A run stopped after it set them all, before removing its journal: the resume takes over the read-only files,
# makes the empty one anew, and completes.
cp linux4.zvka resumed.zvka
python3 -c 'import struct, sys
open(sys.argv[1], "wb").write(b"ZVKJWIN\0" + struct.pack("<II", 1, int(sys.argv[2])) + bytes([2]) * int(sys.argv[2]))' \
  resumed.zvka.zvkj "$("$native" info linux4.zvka | sed -n 's/^blocks: //p')"
win extract --resume resumed.zvka from-linux4 >/dev/null
check "Windows resumes after the metadata was set: all there, archive and journal gone" "0||$tree|" \
  "$?|$(diff -r src from-linux4 2>&1)|$(times from-linux4)|$(ls resumed.zvka* 2>/dev/null)"
# A plain tar large enough that its sums are taken in parts, each through a handle of its own.
mkdir tarred && head -c 9000000 /dev/urandom >tarred/big.bin && cp "src/dossier é/a.txt" tarred && tar cf big.tar tarred
win extract big.tar from-tar >/dev/null
check "Windows consumes a tar summed in parts" "0||" "$?|$(diff -r tarred from-tar/tarred 2>&1)|$(ls big.tar 2>/dev/null)"

for command in --help "info linux.zvka" "info --json linux.zvka" "test --json absent.zvka"; do
  check "the same $command" same "$(cmp -s <("$native" $command) <(win $command) && echo same)"
done
# Progress objects depend on timing: all else must match.
json() { grep -v '"event":"progress"'; }
check "the same create --json" same "$(cmp -s <(cd linux && "$native" create --json ../src j.zvka | json) \
  <(cd windows && win create --json ../src j.zvka | json) && echo same)"
win test absent.zvka 2>/dev/null; check "the same exit code" 1 $?
finish cross_build
