#!/usr/bin/env bash
# Builds what is missing, then runs the command-line tool: ./run.sh create SOURCE ARCHIVE, ...
# With no arguments it opens the Windows program's window instead (under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
source "$root/scripts/ensure-packages.sh"
if [ $# -eq 0 ]; then
  if [ -z "${DISPLAY:-}" ]; then
    echo "run.sh: no display (DISPLAY is not set), so the Zarvik Archiver window cannot open here." >&2
    echo "Use the command-line tool instead: ./run.sh create SOURCE ARCHIVE (./run.sh --help shows all commands)." >&2
    exit 1
  fi
  ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  if [ ! -x "$root/build-win/ZarvikArchiver.exe" ]; then
    cmake -S "$root" -B "$root/build-win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
    cmake --build "$root/build-win" -j2 --target ZarvikArchiver >/dev/null
  fi
  WINEDEBUG=${WINEDEBUG:--all} exec wine "$root/build-win/ZarvikArchiver.exe"
fi
ensure_packages "${NATIVE_PACKAGES[@]}"
if [ ! -x "$root/build/zarvik" ]; then
  cmake -S "$root" -B "$root/build" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build" -j2 --target zarvik >/dev/null
fi
exec "$root/build/zarvik" "$@"
