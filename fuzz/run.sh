#!/usr/bin/env bash
# Builds the fuzz targets with clang, ASan and UBSan, seeds them from real archives, and runs each for FUZZ_SECONDS,
# FUZZ_PARALLEL at a time (FUZZ_BUILD_ONLY=1: the build alone). Exits non-zero on a finding, with the fuzzer's report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
parallel=${FUZZ_PARALLEL:-2}
timeout=${FUZZ_TIMEOUT:-10}  # seconds for one input; raise it when the fuzzers run niced
targets=(${FUZZ_TARGETS:-fuzz_archive_reader fuzz_extract fuzz_framing_points fuzz_journal fuzz_path_safety fuzz_plan_record fuzz_tar_reader fuzz_zip_reader fuzz_zstd_block})

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZARVIK_FUZZ=ON \
  -DBUILD_TESTING=OFF -DZARVIK_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target zarvik "${targets[@]}" >/dev/null
[ -z "${FUZZ_BUILD_ONLY:-}" ] || exit 0  # the build alone: test.sh makes it beside other work

# Seeds, a folder each: archives of a small varied tree at several block sizes.
seeds=$build/seeds
rm -rf "$seeds" && mkdir -p "$seeds"/{tree/sub,archives,zstd,journals,paths,extract,zips,tars,sparse,framed}
zarvik() { ASAN_OPTIONS=detect_leaks=0 "$build/zarvik" "$@" >/dev/null; }
printf 'AAAAAAAAAAhello, world\n' > "$seeds/tree/a.txt"
: > "$seeds/tree/empty"
head -c 3000 /dev/urandom > "$seeds/tree/sub/noise.bin"
printf '%0300d' 0 > "$seeds/tree/sub/zeros.txt"
for size in 1 4 64 1000 65536; do zarvik create --block-size "$size" "$seeds/tree" "$seeds/archives/tree-$size.zvka"; done
# Version 5 (coded tables, files sharing blocks, Zstandard, folders and a link).
mkdir -p "$seeds/tree4/sub/empty" && cp -r "$seeds/tree/." "$seeds/tree4/" && ln -sf sub/zeros.txt "$seeds/tree4/link"
for size in 64 65536; do zarvik create --zstd --block-size "$size" "$seeds/tree4" "$seeds/archives/tree4-$size.zvka"; done
# Version 4 (plain tables), which create no longer writes: kept here as the test fixture laid it out once.
cp "$root/fuzz/seeds/version4.zvka" "$seeds/archives/"
# Frames by the zstd tool after their raw size.
for file in "$seeds/tree/a.txt" "$seeds/tree/sub/zeros.txt" "$seeds/tree/sub/noise.bin"; do
  { python3 -c "import sys; sys.stdout.buffer.write(($(stat -c %s "$file")).to_bytes(3, 'big'))"
    zstd -q -c --no-check -19 "$file"; } > "$seeds/zstd/${file##*/}"
done
# A journal of each seed archive's block count; the archives after a read limit, without and with links.
for archive in "$seeds"/archives/*.zvka; do
  count=$(od -An -tu4 -j32 -N4 "$archive" | tr -d ' ')
  python3 -c "import struct,sys; sys.stdout.buffer.write(b'ZVKJWIN\0'+struct.pack('<II',1,$count)+bytes([2,1,0]*($count//3+1))[:$count])" \
    > "$seeds/journals/${archive##*/}.zvkj"
  { printf '\010\000'; cat "$archive"; } > "$seeds/extract/${archive##*/}"
  { printf '\010\017'; cat "$archive"; } > "$seeds/extract/links-${archive##*/}"
done
# Zips of the seed tree by Info-ZIP zip: deflated, stored, and streamed through a pipe (a data descriptor, Zip64).
(cd "$seeds/tree" && zip -q -r ../zips/deflated.zip . && zip -q -r -X -0 ../zips/stored.zip . &&
  zip -q - a.txt | cat > ../zips/streamed.zip)
# Tars of the seed tree by GNU tar in each format, and of a sparse file in each sparse layout.
truncate -s 200000 "$seeds/sparse/holes" && printf 'data' | dd of="$seeds/sparse/holes" bs=1 seek=100000 conv=notrunc 2>/dev/null
for format in gnu posix ustar v7; do tar -C "$seeds/tree" --format=$format -cf "$seeds/tars/tree-$format.tar" .; done
tar -C "$seeds/sparse" --format=gnu --sparse -cf "$seeds/tars/sparse-gnu.tar" holes
for version in 0.0 0.1 1.0; do
  tar -C "$seeds/sparse" --format=posix --sparse --sparse-version=$version -cf "$seeds/tars/sparse-$version.tar" holes
done
# The tars through gzip, through pigz (a name in its header), as two gzip members, through Zstandard with a small
# window (points inside its frame) and as two frames, through xz in small blocks and through bzip2; the compressed
# tars seed the archive reader too.
gzip -c "$seeds/tars/tree-posix.tar" >"$seeds/framed/tree.tar.gz"
pigz -c "$seeds/tars/sparse-1.0.tar" >"$seeds/framed/sparse.tgz"
{ gzip -c "$seeds/tree/a.txt" && gzip -c "$seeds/tree/sub/noise.bin"; } >"$seeds/framed/members.gz"
zstd -q --zstd=wlog=10 -c "$seeds/tars/tree-posix.tar" >"$seeds/framed/tree.tar.zst"
{ zstd -q -c "$seeds/tree/a.txt" && zstd -q -c "$seeds/tree/sub/noise.bin"; } >"$seeds/framed/frames.zst"
xz -q --block-size=4096 -c "$seeds/tars/tree-gnu.tar" >"$seeds/framed/tree.tar.xz"
bzip2 -q -c "$seeds/tars/tree-ustar.tar" >"$seeds/framed/tree.tar.bz2"
cp "$seeds"/framed/tree.tar.* "$seeds/framed/sparse.tgz" "$seeds/archives/"
printf 'a.txt\nsub/noise.bin\nsub/zeros.txt\nempty' > "$seeds/paths/tree"
printf 'CON.txt\nA/../b\n/abs\nC:x\nx:stream\ndir/\xF0\x9F\x98\x80.txt' > "$seeds/paths/hostile"
declare -A seed_of=([fuzz_zstd_block]=zstd [fuzz_journal]=journals [fuzz_path_safety]=paths
  [fuzz_extract]=extract [fuzz_zip_reader]=zips [fuzz_plan_record]=zips [fuzz_tar_reader]=tars
  [fuzz_framing_points]=framed)

run_one() {
  local target=$1 corpus=$build/corpus/$1
  mkdir -p "$corpus"
  (cd "$build" && "./fuzz/$target" "$corpus" "$seeds/${seed_of[$target]:-archives}" -max_total_time="$seconds" \
    -malloc_limit_mb=1024 -rss_limit_mb=2048 -timeout="$timeout" -print_final_stats=1 \
    -artifact_prefix="$build/finding-$target-" >"$build/$target.log" 2>&1)
}

# FUZZ_PARALLEL at a time, the next started as soon as one ends.
status=0 running=0
for target in "${targets[@]}"; do
  [ "$running" -lt "$parallel" ] || { wait -n || status=1; running=$((running - 1)); }
  run_one "$target" & running=$((running + 1))
done
for ((; running > 0; running--)); do wait -n || status=1; done

for target in "${targets[@]}"; do
  log=$build/$target.log runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  if grep -q -E 'ERROR: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error' "$log"; then
    echo "fuzz $target: FINDING after ${runs:-?} runs"; tail -n 40 "$log"; status=1
  else
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*' || true)
    echo "fuzz $target: ${runs:-?} runs, coverage ${cov:-?}, no findings"
  fi
done
exit $status
