#!/usr/bin/env bash
# Proves the native tests catch real faults: each mutation below breaks one
# safeguard in a scratch copy of the tree, which is built (ccache) and tested;
# a mutation no test fails on is MISSED.
#   tests/mutations.sh              every mutation
#   tests/mutations.sh NAME...      the named ones
# The copy lives in MUTATION_DIR (default $TMPDIR/zarvik-mutations), never in
# the tree itself. Each mutation's own tests run first; where they all pass, the
# rest of the native suite runs (the kernel's crash states only for mutations
# that name them). Exits non-zero when a mutation is missed, when its text is no
# longer in its file (the mutation no longer applies), or when the unmutated
# copy fails its tests. Last, it prints the tests' share of the code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTATION_DIR:-${TMPDIR:-/tmp}/zarvik-mutations}
build=$scratch/src/build  # beside the sources, as in the tree, so that ccache finds earlier builds
started=$(date +%s)

names=() files=() froms=() tos=() firsts=()
# mutation NAME FILE TEXT MUTATED FIRST: FILE by its basename under engine/, TEXT there once (\n a line break), FIRST
# the tests that run first (ctest -R).
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
mutation zip-local-header zip_directory.cc '  if (!localFieldsMatch(header.data(), name,' \
  '  if (false && !localFieldsMatch(header.data(), name,' '^zip'
mutation unsafe-path path_safety.cc 'component == L"." || component == L"..") return false;' \
  'component == L".") return false;' 'PathSafety|Extract'
mutation archive-hard-link extraction_checks.cc '(!linkCount(archive_, links) || links > 1)' '(!linkCount(archive_, links))' \
  'TheArchiveAndJournalSideSayWhy|Links'
mutation space-check extraction_checks.cc '  if (needed <= needs.freeAtDestination) return true;' '  return true;' \
  destination_limits
mutation point-window inflate_points.cc 'inflateSetDictionary(&stream_, point.window, point.windowLength)' \
  'inflateSetDictionary(&stream_, point.window + 1, point.windowLength - 1)' '^zip|Resume'
mutation journal-fingerprint extraction_checks.cc \
  '  if (sameFile && archiveLength_ <= written.length && written.planCrc == planChecksum(plan_)) return true;' \
  '  return true;' Resume

say() { printf '%s\n' "$*"; }
fail() { say "mutations.sh: $*" >&2; exit 2; }

# The sources alone, over those of an earlier run; its build folder stays. Every file is stamped now (tar -m), so
# none is taken for older than what an interrupted run built from its mutated text: all recompile, through ccache.
copy_tree() {
  mkdir -p "$scratch/src"
  find "$scratch/src" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  (cd "$root" && tar --exclude='./build*' --exclude=./.git -cf - .) | (cd "$scratch/src" && tar -xmf -)
}

build_tree() {
  CCACHE_BASEDIR=$scratch/src CCACHE_NOHASHDIR=1 cmake -S "$scratch/src" -B "$build" -DBUILD_TESTING=ON \
    -DZARVIK_BENCHMARKS=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null &&
    CCACHE_BASEDIR=$scratch/src CCACHE_NOHASHDIR=1 cmake --build "$build" -j2 >"$scratch/build.log" 2>&1
}

# run_tests LOG CTEST-ARGS...: true when every selected test passes.
run_tests() {
  local log=$1
  shift
  (cd "$build" && ctest -j2 --timeout 900 --no-tests=error "$@") >>"$log" 2>&1
}

# apply FILE FROM TO: replaces the one place FROM stands in FILE (\n in FROM and TO stands for a line break).
apply() {
  python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: the text to mutate stands {text.count(old)} times, not once: {old!r}")
open(path, "w").write(text.replace(old, new))
EOF
}

selected=("$@")
wanted() {
  [ ${#selected[@]} -eq 0 ] && return 0
  local name
  for name in "${selected[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}

copy_tree
say "== unmutated build and native tests (in $scratch)"
build_tree || fail "the unmutated copy does not build: $scratch/build.log"
run_tests "$scratch/unmutated.log" -E '^kernel_crash_states$' || fail "the unmutated copy fails its tests: $scratch/unmutated.log"

missed=0 broken=0
printf '%-24s %-8s %s\n' MUTATION RESULT "FAILING TEST (or note)"
for i in "${!names[@]}"; do
  name=${names[$i]} first=${firsts[$i]}
  wanted "$name" || continue
  found=$(cd "$scratch/src" && find engine -name "${files[$i]}")
  if [ "$(wc -w <<<"$found")" -ne 1 ]; then
    printf '%-24s %-8s %s\n' "$name" BROKEN "${files[$i]} is not one file under engine/"
    broken=$((broken + 1))
    continue
  fi
  target=$scratch/src/$found log=$scratch/$name.log
  cp "$target" "$scratch/original"
  : >"$log"
  if ! apply "$target" "${froms[$i]}" "${tos[$i]}" 2>>"$log"; then
    printf '%-24s %-8s %s\n' "$name" BROKEN "no longer applies: $(tail -1 "$log")"
    broken=$((broken + 1))
  elif ! build_tree; then
    printf '%-24s %-8s %s\n' "$name" BROKEN "does not build: $scratch/build.log"
    broken=$((broken + 1))
  else
    rest="^kernel_crash_states\$|$first"
    [[ "$first" == *kernel* ]] && rest=$first
    if ! run_tests "$log" --stop-on-failure -R "$first" || ! run_tests "$log" --stop-on-failure -E "$rest"; then
      printf '%-24s %-8s %s\n' "$name" CAUGHT \
        "$(grep -m1 -E 'Test +#[0-9]+: .*\*\*\*' "$log" | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')"
    else
      printf '%-24s %-8s %s\n' "$name" MISSED "every native test passes: $log"
      missed=$((missed + 1))
    fi
  fi
  cp "$scratch/original" "$target"
done
build_tree || fail "the restored copy does not build"

say "== $((missed + broken)) of the mutations missed or broken, in $(($(date +%s) - started)) s"
bash "$root/tests/count_lines.sh"
[ "$missed" -eq 0 ] && [ "$broken" -eq 0 ]
