#!/usr/bin/env bash
# zarvik on zip archives other tools made (tests/make_zip_corpus.py): list,
# test, info, extract with and without --keep, and the archives it refuses
# before writing.
set -u
zarvik=$1
corpus=$2
source "$(dirname "$0")/check.sh"
umask 022  # files are made 0644 and folders 0755: the permission bits restored stay within them, execute aside

# Each corpus archive extracted as its writer wrote it, kept and consumed:
# files byte for byte, folders made (empty ones too), links made, times and
# permission bits restored (folders' too). Kept, the archive is untouched;
# consumed, it is gone; no journal either way.
for zip in "$corpus"/*.zip; do
  name=$(basename "$zip")
  cp "$zip" "$work/$name"
  run extract -q --keep "$work/$name" "$work/out/$name"
  check "$name: extract --keep" 0 "$rc"
  check "$name: archive untouched, no journal" "same" "$(cmp -s "$zip" "$work/$name" && [ ! -e "$work/$name.zvkj" ] && echo same)"
  run extract -q "$work/$name" "$work/consumed/$name"
  check "$name: extract, consuming it" "0|gone" "$rc|$([ ! -e "$work/$name" ] && [ ! -e "$work/$name.zvkj" ] && echo gone)"
  for out in "$work/out/$name" "$work/consumed/$name"; do
    check "$out: as written" "" "$(python3 - "$corpus" "$name" "$out" <<'EOF'
import os, sys
corpus, archive, out = sys.argv[1:]
for line in open(os.path.join(corpus, 'manifest.tsv')):
    zip, name, kind, size, mtime, mode, content = line.rstrip('\n').split('\t')
    path = os.path.join(out, bytes.fromhex(name).decode())
    if zip != archive:
        continue
    if kind == 'folder' and not os.path.isdir(path) or \
       kind == 'link' and not (os.path.islink(path) and os.readlink(path) == open(os.path.join(corpus, content)).read()) or \
       kind == 'file' and open(path, 'rb').read() != open(os.path.join(corpus, content), 'rb').read():
        print(kind, path)
    elif kind != 'link' and mtime != '*' and os.stat(path).st_mtime_ns != int(mtime):
        print('time', path, os.stat(path).st_mtime_ns, mtime)
    elif kind != 'link' and mode != '*' and os.stat(path).st_mode & 0o7777 != int(mode, 8) & 0o755:
        print('mode', path, oct(os.stat(path).st_mode))
EOF
)"
  done
  run test "$zip"
  check "$name: test" 0 "$rc"
done
check "list: every entry, folders with their slash; the journal's name stands for the archive" \
  "$(printf '11\ta.txt\n0\tdir/\n300000\tdir/mixed.bin')" "$("$zarvik" list "$corpus/python-zip64.zip.zvkj" | head -n 3)"
run info "$corpus/python-deflated.zip" "$work/new"
check "info" "format: zip|files: 6|a figure" \
  "$(sed -n 1p <<<"$out")|$(sed -n 2p <<<"$out")|$(grep -q '^needed to extract: [0-9]' <<<"$out" && echo a figure)"

# Entries over a piece (4 MiB), stored and deflated, each in pieces; then
# hostile archives refused before the destination is made.
python3 - "$work" <<'EOF'
import random, sys, zipfile
work = sys.argv[1]
rng = random.Random(9)
big = b''.join(rng.getrandbits(8).to_bytes(1, 'little') * rng.randrange(1, 20) for _ in range(1_200_000))
for name, method in [('big-stored.zip', zipfile.ZIP_STORED), ('big-deflated.zip', zipfile.ZIP_DEFLATED)]:
    with zipfile.ZipFile(f'{work}/{name}', 'w', method) as z:
        z.writestr('big.bin', big)
        z.writestr('small.txt', b'small')
        z.writestr('empty/', b'')
        dos = zipfile.ZipInfo('dos.txt', (2020, 1, 2, 3, 4, 6))
        dos.create_system = 0  # no Unix mode
        z.writestr(dos, b'made on MS-DOS')
with zipfile.ZipFile(f'{work}/traversal.zip', 'w') as z:
    z.writestr('ok.txt', b'fine')
    z.writestr('../x', b'outside')
with zipfile.ZipFile(f'{work}/crc.zip', 'w') as z:
    z.writestr('a.txt', b'the CRC says otherwise')
data = bytearray(open(f'{work}/crc.zip', 'rb').read())
for at in (14, data.index(b'PK\1\2') + 16):
    data[at] ^= 1
open(f'{work}/crc.zip', 'wb').write(data)
data = bytearray(open(f'{work}/big-stored.zip', 'rb').read())
data[30 + len('big.bin') + 5_000_000] ^= 1  # inside the second piece
open(f'{work}/big-damaged.zip', 'wb').write(data)
with zipfile.ZipFile(f'{work}/links.zip', 'w') as z:
    for name, target in [('d/up', '..'), ('chain', 'd/up/..'), ('out', '../outside')]:
        info = zipfile.ZipInfo(name)
        info.create_system, info.external_attr = 3, 0o120777 << 16
        z.writestr(info, target)
EOF
for zip in big-stored big-deflated; do
  run extract -q --keep "$work/$zip.zip" "$work/$zip"
  check "$zip: in pieces, as written" "0|same" "$rc|$(python3 -c 'import sys, zipfile
print("same" if zipfile.ZipFile(sys.argv[1]).read("big.bin") == open(sys.argv[2], "rb").read() else "differs")' \
    "$work/$zip.zip" "$work/$zip/big.bin")"
  check "$zip: more units than entries, an empty folder made" "yes|yes" \
    "$("$zarvik" info "$work/$zip.zip" | awk '/^blocks:/ { print ($2 > 2 ? "yes" : "no") }')|$([ -d "$work/$zip/empty" ] && echo yes)"
  run extract -q --batch 1 "$work/$zip.zip" "$work/$zip-consumed"
  check "$zip: consumed a piece at a time, as kept" "0|same" \
    "$rc|$(diff -r "$work/$zip" "$work/$zip-consumed" >/dev/null && echo same)"
done
check "no Unix mode: default permissions, its local time" "644|$(date -d '2020-01-02 03:04:06' +%s)" \
  "$(stat -c '%a|%Y' "$work/big-stored/dos.txt")"

# A link is made where its target stays inside the destination, else named;
# a run repeated replaces what the first made.
for pass in first again; do
  run extract --keep "$work/links.zip" "$work/l"
  check "links, $pass" "0|..|$(printf 'Skipped link: chain -> d/up/..\nSkipped link: out -> ../outside')" \
    "$rc|$(readlink "$work/l/d/up")|$(grep Skipped <<<"$out")"
done
mkdir -p "$work/f/d/up"
run extract --keep "$work/links.zip" "$work/f"
check "a folder where a link goes" "1|Extract failed: A folder stands where the archive has a link: $work/f/d/up" "$rc|$err"

# Refused before anything is written, kept or consumed: the archive as it was, no journal, no destination.
for keep in --keep ""; do
  for case in "traversal|Unsafe path in archive: ../x" "big-damaged|Checksum verification failed: big.bin"; do
    zip=${case%%|*}
    cp "$work/$zip.zip" "$work/$zip.copy"
    run extract $keep "$work/$zip.zip" "$work/t"
    check "$zip ${keep:-consumed}: refused, untouched" "1|Extract failed: ${case#*|}|untouched" \
      "$rc|$err|$(cmp -s "$work/$zip.zip" "$work/$zip.copy" && [ ! -e "$work/$zip.zip.zvkj" ] && [ ! -e "$work/t" ] &&
        echo untouched)"
  done
done
# Entries up to a piece are verified as they are read, as .zvka blocks are.
run test "$work/crc.zip"
check "CRC mismatch: test" "1|Test failed: Checksum verification failed: a.txt" "$rc|$err"
run extract --keep "$work/crc.zip" "$work/c"
check "CRC mismatch: extract stops at the damage" "4|absent" "$rc|$([ -e "$work/c/a.txt" ] || echo absent)"

# Streamed through a pipe, Info-ZIP defers every entry's sizes to a data descriptor. A run stopped once the test has
# read its first line (it cannot get further than a pipe of its lines), its journal lost: refused as partly
# extracted. --salvage into the run's folder extracts what is left and names the last entry's rest lost, of a length
# not known since its sizes went with the cut, keeping its bytes there; into another folder that file has none, and
# every other file the archive still held is as written. Either way exit 1, the archive gone.
w=$work/streamed && mkdir -p "$w/src"
python3 -c 'import random, sys
rng = random.Random(4)
open(sys.argv[1], "wb").write(b"".join(bytes([rng.getrandbits(8)]) * rng.randrange(1, 20) for _ in range(1_000_000)))
' "$w/src/big.bin"
long=$(printf 'a name long enough that the lines of a run fill a pipe many times %.0s' 1 2 3)
for i in $(seq 600); do echo "$i" > "$w/src/$long $i"; done
(cd "$w/src" && zip -q - big.bin "$long"* | cat > "$w/x.zip")
check "streamed: every entry defers its sizes" 601 "$(zipinfo -v "$w/x.zip" | grep -c 'extended local header: *yes')"
mkfifo "$w/pipe"
"$zarvik" extract --batch 1 "$w/x.zip" "$w/there" >"$w/pipe" 2>/dev/null &
pid=$!
exec 3<"$w/pipe"
read -r _ <&3
kill -INT "$pid"
cat <&3 >/dev/null
exec 3<&-
wait "$pid"
check "streamed: stopped mid-run" 3 "$?"
rm "$w/x.zip.zvkj" && cp "$w/x.zip" "$w/cut"
run extract "$w/x.zip" "$w/refused"
cut_file=$(sed -n 's/^Extract failed: This archive was partly extracted and its journal is missing: 1 of [0-9]* blocks are gone, from 1 files, the first: //p' <<<"$err")
check "streamed, journal lost: refused" "1|yes" "$rc|$([ -n "$cut_file" ] && [ -e "$w/src/$cut_file" ] && echo yes)"
lost="Lost: $cut_file, from byte 0 to its end, a length not known"
tail_lost="1 files could not be fully extracted; the archive held nothing more and was deleted"
run extract --salvage "$w/x.zip" "$w/there"
check "streamed salvage where the run was" "1|Extract failed: $tail_lost|$lost||" \
  "$rc|$err|$(grep Lost <<<"$out")|$(diff -r "$w/src" "$w/there")|$(ls "$w" | grep x\\.)"
cp "$w/cut" "$w/x.zip"
run extract --salvage "$w/x.zip" "$w/other"
check "streamed salvage elsewhere: the files left as written" "1|$lost|0|Files $w/there/$cut_file and $w/other/$cut_file differ" \
  "$rc|$(grep Lost <<<"$out")|$(stat -c %s "$w/other/$cut_file")|$(diff -rq "$w/there" "$w/other" | grep -v "^Only in $w/there")"

finish zip_cli
