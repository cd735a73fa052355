#!/usr/bin/env bash
# Many small files spread over folders (ZARVIK_SCALE_FILES, default 3000)
# through every command; their log lines go out in few writes. The larger
# cases are in bench/large_archives.sh.
set -u
zarvik=$1
files=${ZARVIK_SCALE_FILES:-3000}
source "$(dirname "$0")/check.sh"

mkdir -p "$work/many"
python3 - "$work/many" "$files" <<'PY'
import os, sys
for i in range(int(sys.argv[2])):
    folder = os.path.join(sys.argv[1], "d%03d" % (i % 500))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%06d.txt" % i), "w") as f:
        f.write("file %d\n" % i * (i % 7))
PY
"$zarvik" create --block-size 64K "$work/many" "$work/many.zvka" >/dev/null; check "create $files files" 0 $?
check "list $files files" "$files" "$("$zarvik" list "$work/many.zvka" | wc -l)"
if command -v strace >/dev/null; then  # a line each to a file would be a write each
  strace -f -c -e trace=write -o "$work/writes" "$zarvik" create --block-size 64K "$work/many" "$work/again.zvka" >"$work/log"
  writes=$(awk '$NF == "write" { print $4 }' "$work/writes")
  check "creating $files files logs with few writes" "yes" "$([ "${writes:-0}" -le $((files / 10)) ] && echo yes || echo "no: $writes")"
fi
"$zarvik" test "$work/many.zvka" >/dev/null; check "test $files files" 0 $?
"$zarvik" extract "$work/many.zvka" "$work/many-out" >/dev/null; check "ablative extract $files files" 0 $?
diff -r "$work/many" "$work/many-out" >/dev/null; check "$files files identical" 0 $?
check "archive and journal gone" "" "$(ls "$work"/many.zvka* 2>/dev/null)"

# One path of depth 20,000, in a tar and as a 64 KB zip name: its checks take memory in proportion to its length,
# not to the sum of its prefixes (a bound on memory, whatever the machine's speed).
python3 - "$work" <<'EOF'
import io, sys, tarfile, zipfile
with tarfile.open(sys.argv[1] + "/deep.tar", "w", format=tarfile.PAX_FORMAT) as tar:
    member = tarfile.TarInfo("a/" * 20000 + "f")
    member.size = 6
    tar.addfile(member, io.BytesIO(b"deep!\n"))
with zipfile.ZipFile(sys.argv[1] + "/deep.zip", "w") as z:
    z.writestr("a/" * 32000 + "f", b"deep!\n")
EOF
if [ -x /usr/bin/time ]; then
  for deep in deep.tar deep.zip; do
    /usr/bin/time -f %M -o "$work/peak" "$zarvik" test "$work/$deep" >/dev/null
    rc=$? peak=$(tail -n 1 "$work/peak")
    check "$deep: test, under 50 MB at its peak" "0|yes" "$rc|$([ "$peak" -lt 51200 ] && echo yes || echo "no: $peak KiB")"
  done
fi

finish scale
