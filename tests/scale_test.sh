#!/usr/bin/env bash
# Many small files spread over folders through every command; the output of
# thousands of file lines goes out in few writes. The gigabyte cases are in
# bench/large_archives.sh.
set -u
zarvik=$1
source "$(dirname "$0")/check.sh"

mkdir -p "$work/many"
python3 - "$work/many" <<'PY'
import os, sys
for i in range(3000):
    folder = os.path.join(sys.argv[1], "d%03d" % (i % 500))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%06d.txt" % i), "w") as f:
        f.write("file %d\n" % i * (i % 7))
PY
"$zarvik" create --block-size 64K "$work/many" "$work/many.zvka" >/dev/null; check "create 3000 files" 0 $?
check "list 3000 files" 3000 "$("$zarvik" list "$work/many.zvka" | wc -l)"
if command -v strace >/dev/null; then  # a line each to a file would be a write each
  strace -f -c -e trace=write -o "$work/writes" "$zarvik" create --block-size 64K "$work/many" "$work/again.zvka" >"$work/log"
  writes=$(awk '$NF == "write" { print $4 }' "$work/writes")
  check "creating 3000 files logs with few writes" "yes" "$([ "${writes:-0}" -le 300 ] && echo yes || echo "no: $writes")"
fi
"$zarvik" test "$work/many.zvka" >/dev/null; check "test 3000 files" 0 $?
"$zarvik" extract "$work/many.zvka" "$work/many-out" >/dev/null; check "ablative extract 3000 files" 0 $?
diff -r "$work/many" "$work/many-out" >/dev/null; check "3000 files identical" 0 $?
check "archive and journal gone" "" "$(ls "$work"/many.zvka* 2>/dev/null)"

finish scale
