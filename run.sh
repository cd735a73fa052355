#!/usr/bin/env bash
# Builds what is missing, then runs the command-line tool: ./run.sh create SOURCE ARCHIVE, ...
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
source "$root/scripts/ensure-packages.sh"
ensure_packages "${NATIVE_PACKAGES[@]}"
if [ ! -x "$root/build/zarvik" ]; then
  cmake -S "$root" -B "$root/build" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build" -j2 --target zarvik >/dev/null
fi
exec "$root/build/zarvik" "$@"
