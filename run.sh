#!/usr/bin/env bash
# Builds what changed, then runs the command-line tool: ./run.sh create SOURCE ARCHIVE, ...
# With no arguments it opens the Windows program's window instead (under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
source "$root/scripts/ensure-packages.sh"
# build FOLDER TARGET [CMAKE ARGS...]: configures FOLDER once, then builds TARGET incrementally.
build() {
  local folder=$1 target=$2
  shift 2
  [ -f "$folder/CMakeCache.txt" ] || cmake -S "$root" -B "$folder" "$@" >/dev/null
  cmake --build "$folder" -j2 --target "$target" >/dev/null
}
if [ $# -eq 0 ]; then
  if [ -z "${DISPLAY:-}" ]; then
    echo "run.sh: no display (DISPLAY is not set), so the Zarvik Archiver window cannot open here." >&2
    echo "Use the command-line tool instead: ./run.sh create SOURCE ARCHIVE (./run.sh --help shows all commands)." >&2
    exit 1
  fi
  ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  build "$root/build-win" ZarvikArchiver -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
  WINEDEBUG=${WINEDEBUG:--all} exec wine "$root/build-win/ZarvikArchiver.exe"
fi
ensure_packages "${NATIVE_PACKAGES[@]}"
build "$root/build" zarvik -DBUILD_TESTING=OFF
exec "$root/build/zarvik" "$@"
