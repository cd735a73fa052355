#!/usr/bin/env bash
# Builds the native and the Windows targets and runs every test: natively,
# then the Windows build's tests under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
source scripts/ensure-packages.sh
ensure_packages "${NATIVE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

echo "== native build"
cmake -S . -B build >/dev/null
cmake --build build -j2
echo "== native tests"
(cd build && ctest --output-on-failure -j2)

echo "== fuzzing (bounded: FUZZ_SECONDS per target)"
fuzz/run.sh

echo "== Windows build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build-win -j2
echo "== Windows tests under Wine (the window's tests on a private X display)"
scripts/with-xvfb.sh scripts/with-wine.sh bash -c 'cd build-win && ctest --output-on-failure -j2'
