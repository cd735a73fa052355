#!/usr/bin/env bash
# zarvik on zip archives other tools made (tests/make_zip_corpus.py): extract with and without --keep, test, list,
# info; then what it says of the zips it refuses, finds damaged or finds cut, and of the links it makes.
set -u
zarvik=$1
corpus=$2
source "$(dirname "$0")/check.sh"
umask 022  # files are made 0644 and folders 0755: the permission bits restored stay within them, execute aside
cd "$work" || exit 1

# Each corpus archive extracted as its writer wrote it, kept and consumed: files byte for byte, folders made (empty
# ones too), links made, times and permission bits restored (folders' too; the defaults where the writer kept none).
# Kept, the archive is untouched; consumed, it is gone; no journal either way.
for zip in "$corpus"/*.zip; do
  name=$(basename "$zip")
  cp "$zip" "$name"
  run extract -q --keep "$name" "kept/$name"
  check "$name: extract --keep" "0|untouched" "$rc|$(cmp -s "$zip" "$name" && [ ! -e "$name.zvkj" ] && echo untouched)"
  run extract -q "$name" "consumed/$name"
  check "$name: extract, consuming it" "0|gone" "$rc|$(ls "$name"* 2>/dev/null || echo gone)"
  run test "$zip"
  check "$name: test" 0 "$rc"
done
check "every entry as written" "" "$(python3 - "$corpus" 2>&1 <<'EOF'
import os, sys
corpus = sys.argv[1]
for line in open(os.path.join(corpus, 'manifest.tsv')):
    archive, name, kind, size, mtime, mode, content = line.rstrip('\n').split('\t')
    for path in [os.path.join(run, archive, bytes.fromhex(name).decode()) for run in ('kept', 'consumed')]:
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

# In a folder of their own, the scope of the rows that change nothing: a path out of the destination; an entry whose
# CRC both headers misstate; one over a piece (4 MiB) spoiled inside its second; links up and out of the destination;
# a streamed archive (sizes in a descriptor after the data) cut where a consuming run first cuts it, at its last unit.
mkdir -p r/f/d/up && cd r && scope=$PWD
python3 - "$corpus/python-streamed.zip" <<'EOF'
import random, struct, sys, zipfile
with zipfile.ZipFile('traversal.zip', 'w') as z:
    z.writestr('ok.txt', b'fine')
    z.writestr('../x', b'outside')
with zipfile.ZipFile('crc.zip', 'w') as z:
    z.writestr('a.txt', b'the CRC says otherwise')
with zipfile.ZipFile('big-damaged.zip', 'w') as z:
    z.writestr('big.bin', random.Random(9).randbytes(9 << 20))
with zipfile.ZipFile('links.zip', 'w') as z:
    for name, target in [('d/up', '..'), ('chain', 'd/up/..'), ('out', '../outside')]:
        info = zipfile.ZipInfo(name)
        info.create_system, info.external_attr = 3, 0o120777 << 16
        z.writestr(info, target)
for path, at in [('crc.zip', 14), ('crc.zip', open('crc.zip', 'rb').read().index(b'PK\1\2') + 16),
                 ('big-damaged.zip', 5_000_000)]:
    data = bytearray(open(path, 'rb').read())
    data[at] ^= 1
    open(path, 'wb').write(data)
streamed = open(sys.argv[1], 'rb').read()
last = zipfile.ZipFile(sys.argv[1]).infolist()[-1]
name, extra = struct.unpack_from('<HH', streamed, last.header_offset + 26)
for path in ('cut.zip', 'cut-again.zip'):
    open(path, 'wb').write(streamed[:last.header_offset + 30 + name + extra])
EOF
hint="The archive is damaged there; resuming would stop at the same block. To extract everything else, run: \
zarvik extract --salvage --keep crc.zip c"
cut_file="Ça été ░.txt"
lost="Lost: $cut_file, from byte 0 to its end, a length not known"
ended="Extract failed: 1 files could not be fully extracted; the archive held nothing more and was deleted"

# list: a folder with its slash; the journal's name stands for the archive. Refused before anything is written, kept
# or consumed. An entry up to a piece is verified as it is read: extracting stops at the damage, its file not made. A
# link is made where its target stays inside the destination, else named. The cut archive, its journal lost, is
# refused; --salvage into the folder a run filled names the last file's rest lost, of a length not known, keeping its
# bytes there; into another folder that file has none, and every other file is as written. Either way the archive goes.
row 0 "" "$(printf '0\tdir/')" list "$corpus/python-zip64.zip.zvkj"
row 0 "" "format: zip" info "$corpus/python-deflated.zip" new
for keep in --keep ""; do
  row 1= "Extract failed: Unsafe path in archive: ../x" "" extract $keep traversal.zip t
  row 1= "Extract failed: Checksum verification failed: big.bin" "" extract $keep big-damaged.zip t
done
row 1 "Test failed: Checksum verification failed: a.txt" "" test crc.zip
row 4 "Extract failed: Checksum verification failed: a.txt
$hint" "" extract --keep crc.zip c
check "CRC mismatch: its file not made" absent "$([ -e c/a.txt ] || echo absent)"
row 0 "" "Skipped link: chain -> d/up/.." extract --keep links.zip l
check "links: the one inside made, the one out named" "..|1" \
  "$(readlink l/d/up)|$(grep -cx 'Skipped link: out -> ../outside' <<<"$out")"
row 1 "Extract failed: A folder stands where the archive has a link: f/d/up" "" extract --keep links.zip f
row 1= "Extract failed: This archive was partly extracted and its journal is missing: 1 of 5 blocks are gone, from 1 \
files, the first: $cut_file" "" extract cut.zip refused
row 1 "$ended" "$lost" extract --salvage cut.zip ../kept/python-streamed.zip
check "cut: salvaged where a run was" "" \
  "$(diff -r ../consumed/python-streamed.zip ../kept/python-streamed.zip; ls cut.zip* 2>/dev/null)"
row 1 "$ended" "$lost" extract --salvage cut-again.zip other
check "cut: salvaged elsewhere, the files left as written" "0|Files ../kept/python-streamed.zip/$cut_file and \
other/$cut_file differ" "$(stat -c %s "other/$cut_file")|$(diff -rq ../kept/python-streamed.zip other)"
# Volume sets of a zip, as zip -s (disks NAME.z01 … NAME.zip) and 7-Zip (byte parts NAME.zip.001 …) split it: consumed
# from any part, each part gone; a missing part, a short one or two out of order refused, naming one, with nothing
# changed.
mkdir -p "$work/sets/src/d" && cd "$work/sets" && scope=$PWD
head -c 200000 /dev/urandom >src/d/noise.bin && seq 1 30000 >src/numbers.txt
(cd src && zip -q -r -s 64k ../z.zip . && 7zz a -bd -tzip -v64k ../7.zip . >/dev/null)
row 0 "" "Extraction complete: z" extract -q z.z02 z
row 0 "" "Extraction complete: 7" extract -q 7.zip.003 7
check "split zips: the tree, every part gone" "||" "$(diff -r src z)|$(diff -r src 7)|$(ls | grep -v '^src$\|^z$\|^7$')"
(cd src && zip -q -r -s 64k ../z.zip . && 7zz a -bd -tzip -v64k ../7.zip . >/dev/null)
rm z.z02 && truncate -s 1000 7.zip.002
row 1= "Extract failed: Volume set is missing a part: z.z02" "" extract -q z.zip missing
row 1= "Extract failed: Volume set part is 1000 bytes where the first is 65536: 7.zip.002" "" extract -q 7.zip.001 short
"$zarvik" create -q --block-size 16K --volume-size 64K src v.zvka >/dev/null && mv v.zvka.002 v && mv v.zvka.003 v.zvka.002 &&
  mv v v.zvka.003
row 1= "Extract failed: Volume set parts do not join at the start of v.zvka.002: one is out of order, or from another set" \
  "" extract -q v.zvka.001 swapped
finish zip_cli
