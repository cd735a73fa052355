#!/usr/bin/env bash
# Proves the native tests catch real faults: each mutation breaks one safeguard in a scratch copy of the tree
# (MUTATION_DIR, default $TMPDIR/zarvik-mutations), built through ccache; its own tests run first, then the rest of
# the native suite. Exits non-zero when a mutation is MISSED or BROKEN (its text no longer there) or the unmutated
# copy fails, then prints the tests' share of the code.   tests/mutations.sh [NAME...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTATION_DIR:-${TMPDIR:-/tmp}/zarvik-mutations}
build=$scratch/src/build  # beside the sources, as in the tree, so that ccache finds earlier builds
started=$(date +%s)

names=() files=() froms=() tos=() firsts=()
# mutation NAME FILE TEXT MUTATED FIRST: FILE under engine/, TEXT there once (\n a line break), FIRST a ctest -R.
mutation() { names+=("$1") files+=("$2") froms+=("$3") tos+=("$4") firsts+=("$5"); }
mutation destination-flush destination_files.cc '    ok = flushFileSystem(root_.handle);' '    ok = true;' PowerCut
mutation group-barrier extract.cc '  if (!ok(files_->makeDurable())) return false;\n  if (!recordStates(' \
  '  if (!recordStates(' PowerCut
mutation journal-flush journal_file.cc 'writeFully(file_, bytes.data(), bytes.size()) && flushFile(file_);' \
  'writeFully(file_, bytes.data(), bytes.size());' PowerCut
mutation release-before-record extract.cc '(recordWritten() && releaseGroup())' '(releaseGroup() && recordWritten())' \
  'FaultInjection|PowerCut'
mutation zip-crc zip_decoder.cc '  if (at.crc != s.expectedCrc) return' '  if (false) return' '^zip'
mutation zvka-block-crc zvka_source.cc '  if (crc32(raw.data(), raw.size()) != unit.crc)' '  if (false)' 'Extract|ReaderChecks'
mutation tar-checksum tar_headers.cc '  if (!checksumHolds(block)) return fail(' '  if (false) return fail(' '^tar'
mutation zip-local-header zip_directory.cc '  if (!localFieldsMatch(local.data(), name,' \
  '  if (false && !localFieldsMatch(local.data(), name,' '^zip'
mutation unsafe-path path_safety.cc 'component == L"." || component == L"..") return false;' \
  'component == L".") return false;' 'PathSafety|Extract'
mutation archive-hard-link extraction_checks.cc '(!linkCount(archive_, links) || links > 1)' '(!linkCount(archive_, links))' \
  'TheArchiveAndJournalSideSayWhy|Links'
mutation space-check space.cc '  if (needed <= needs.freeAtDestination) return {};' '  return {};' destination_limits
mutation point-window inflate_points.cc 'inflateSetDictionary(&stream_, point.window, point.windowLength)' \
  'inflateSetDictionary(&stream_, point.window + 1, point.windowLength - 1)' '^zip|Resume'
mutation stretch-bits whole_inflate.cc 'putAligningBlock(sink, 8 - stretch.firstBits);' \
  'putAligningBlock(sink, 7 - stretch.firstBits);' 'Inflate'
mutation tar-sum-parts tar_source.cc 'unit_ < plan_.units.size() && plan_.units[unit_].offset < to_;' \
  'unit_ < plan_.units.size();' round_trip
mutation memory-failure extract.cc '  return ran.ok() ? succeeded : fail(ran);' '  return ran.ok() ? succeeded : false;' \
  'FaultInjection.Memory'
mutation journal-fingerprint extraction_checks.cc \
  '  if (sameFile && archiveLength_ <= written.length && written.planCrc == planChecksum(plan_)) return true;' \
  '  return true;' Resume

say() { printf '%s\n' "$*"; }
fail() { say "mutations.sh: $*" >&2; exit 2; }
result() { printf '%-24s %-8s %s\n' "$@"; }
# The sources alone, over an earlier run's; its build folder stays. Stamped now (tar -m), every file recompiles.
copy_tree() {
  mkdir -p "$scratch/src" && find "$scratch/src" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  (cd "$root" && tar --exclude='./build*' --exclude=./.git -cf - .) | (cd "$scratch/src" && tar -xmf -)
}
build_tree() {
  export CCACHE_BASEDIR=$scratch/src CCACHE_NOHASHDIR=1 && cmake -S "$scratch/src" -B "$build" -DBUILD_TESTING=ON \
    -DZARVIK_BENCHMARKS=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null &&
    cmake --build "$build" -j2 >"$scratch/build.log" 2>&1
}
run_tests() { (cd "$build" && ctest -j2 --timeout 900 --no-tests=error "${@:2}") >>"$1" 2>&1; }  # LOG CTEST-ARGS...
# apply FILE FROM TO: replaces the one place FROM stands in FILE (\n in FROM and TO stands for a line break).
apply() { python3 -c 'import sys
path, old, new = sys.argv[1], *(arg.replace("\\n", "\n") for arg in sys.argv[2:])
text = open(path).read()
if text.count(old) != 1: sys.exit(f"{path}: the text to mutate stands {text.count(old)} times, not once: {old!r}")
open(path, "w").write(text.replace(old, new))' "$@"; }

copy_tree
say "== unmutated build and native tests (in $scratch)"
build_tree || fail "the unmutated copy does not build: $scratch/build.log"
run_tests "$scratch/unmutated.log" -E '^kernel_crash_states$' || fail "the unmutated copy fails its tests: $scratch/unmutated.log"
missed=0 broken=0 && result MUTATION RESULT "FAILING TEST (or note)"
for i in "${!names[@]}"; do
  name=${names[$i]} first=${firsts[$i]}
  [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
  found=$(cd "$scratch/src" && find engine -name "${files[$i]}")
  if [ "$(wc -w <<<"$found")" -ne 1 ]; then
    result "$name" BROKEN "${files[$i]} is not one file under engine/" && broken=$((broken + 1)) && continue
  fi
  target=$scratch/src/$found log=$scratch/$name.log && cp "$target" "$scratch/original" && : >"$log"
  if ! apply "$target" "${froms[$i]}" "${tos[$i]}" 2>>"$log"; then
    result "$name" BROKEN "no longer applies: $(tail -1 "$log")" && broken=$((broken + 1))
  elif ! build_tree; then
    result "$name" BROKEN "does not build: $scratch/build.log" && broken=$((broken + 1))
  else
    rest="^kernel_crash_states\$|$first" && [[ "$first" != *kernel* ]] || rest=$first  # crash states only when named
    if ! run_tests "$log" --stop-on-failure -R "$first" || ! run_tests "$log" --stop-on-failure -E "$rest"; then
      result "$name" CAUGHT "$(grep -m1 -E 'Test +#[0-9]+: .*\*\*\*' "$log" | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')"
    else
      result "$name" MISSED "every native test passes: $log" && missed=$((missed + 1))
    fi
  fi
  cp "$scratch/original" "$target"
done
build_tree || fail "the restored copy does not build"
say "== $((missed + broken)) of the mutations missed or broken, in $(($(date +%s) - started)) s"
bash "$root/tests/count_lines.sh"
[ "$missed" -eq 0 ] && [ "$broken" -eq 0 ]
