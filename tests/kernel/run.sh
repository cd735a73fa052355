#!/usr/bin/env bash
# The crash states under a real kernel (crash_states.py), the Debian packages they need installed first. Needs root.
#   tests/kernel/run.sh ZARVIK_STATIC CACHE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "kernel crash states: needs root (it installs Debian packages and downloads the kernel package); run it as root" >&2
  exit 1
fi
source "$here/../../scripts/ensure-packages.sh"
ensure_packages "${KERNEL_PACKAGES[@]}"
exec python3 "$here/crash_states.py" "$@"
