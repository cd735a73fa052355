#!/usr/bin/env bash
# Builds the native and the Windows targets and runs every test: natively,
# then the Windows build's tests under Wine, then the README's order (run
# first, test second) on a fresh clone.
#   ./test.sh           everything
#   ./test.sh --native  the native build and its tests alone
# Each phase's seconds are printed at the end. The fuzzers run FUZZ_SECONDS
# (default 10 here) per target, from seeds that cover every format; fuzz/run.sh
# alone runs them longer.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
source scripts/ensure-packages.sh
# Every build, the fresh clone's too, through ccache, with paths relative to
# the tree: a clone finds what the tree's own builds compiled.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=1 CCACHE_BASEDIR=$root
phases=() phase_start=$SECONDS
phase() {  # phase NAME: ends the phase before, starts NAME
  [ ${#phases[@]} -eq 0 ] || phases[-1]+=": $((SECONDS - phase_start)) s"
  phase_start=$SECONDS phases+=("$1")
  echo "== $1"
}
phase_times() {
  phases[-1]+=": $((SECONDS - phase_start)) s"
  echo "== seconds per phase"
  printf '  %s\n' "${phases[@]}" "total: $SECONDS s"
}

native_build() {
  phase "native build"
  # Testing on whatever an earlier ./run.sh left in the cache.
  cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
  cmake --build build -j2
}

native_tests() {
  phase "native tests"
  (cd build && ctest --output-on-failure --no-tests=error -j2 ${ZARVIK_CTEST_ONLY:+-R "$ZARVIK_CTEST_ONLY"})
}

if [ "${1:-}" = --native ]; then
  ensure_packages "${NATIVE_PACKAGES[@]}" "${KERNEL_PACKAGES[@]}"
  native_build
  native_tests
  phase_times
  exit 0
fi
ensure_packages "${NATIVE_PACKAGES[@]}" "${KERNEL_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
native_build
# The kernel's crash states hold one core for minutes after the other native
# tests end: the Windows build and the fuzz targets' build run beside them,
# builds only, since the fuzzers time each input.
windows_log=$(mktemp)
(cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null && cmake --build build-win -j2 &&
  FUZZ_BUILD_ONLY=1 fuzz/run.sh) >"$windows_log" 2>&1 &
windows_build=$!
trap 'kill "$windows_build" 2>/dev/null; rm -f "$windows_log"' EXIT
native_tests
phase "the rest of the Windows and fuzz builds, begun beside the native tests"
wait "$windows_build" || { cat "$windows_log"; exit 1; }

phase "fuzzing (bounded: FUZZ_SECONDS per target)"
FUZZ_SECONDS=${FUZZ_SECONDS:-10} fuzz/run.sh
phase "Windows tests under Wine (the window's tests on a private X display)"
scripts/with-xvfb.sh scripts/with-wine.sh bash -c 'cd build-win && ctest --output-on-failure --no-tests=error -j2 &&
  cd .. && bash tests/cross_build_test.sh build/zarvik build-win/zarvik.exe'

if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  phase "the README's order on a fresh clone: ./run.sh --version, then ./test.sh --native"
  clone=$(mktemp -d)
  trap 'rm -rf "$clone" "$windows_log"' EXIT
  git clone -q "$root" "$clone/zarvik"
  # The order is what is proven: the suite ran above, so one test that needs
  # the installed packages (zip, libarchive's tools) stands for it here.
  (cd "$clone/zarvik" && export CCACHE_BASEDIR=$clone/zarvik && ./run.sh --version &&
    ZARVIK_CTEST_ONLY='^zip_cli$' ./test.sh --native)
fi
phase_times
