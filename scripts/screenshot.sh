#!/usr/bin/env bash
# Takes docs/window.png: the Windows program's window, run under Wine on a
# private X display, right after it has packed a small folder from the
# "Add to archive" quick action, so that the log shows a whole run. With
# --extract, docs/window-forecast.png: the window opened on that archive, its
# Extract page telling the space the extraction needs.
#   scripts/screenshot.sh [--extract] [OUTPUT.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
extract=0
[ "${1:-}" = --extract ] && { extract=1; shift; }
default=$([ $extract = 1 ] && echo window-forecast.png || echo window.png)
output=$(realpath -m "${1:-$root/docs/$default}")
source "$root/scripts/ensure-packages.sh"
ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${SCREENSHOT_PACKAGES[@]}"

build="$root/build-win"
if [ ! -x "$build/ZarvikArchiver.exe" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
  cmake --build "$build" -j2 --target ZarvikArchiver >/dev/null
fi

# A prefix of its own, so that the picture never depends on the test runs.
export WINEPREFIX=/tmp/zarvik-screenshot-$(id -u)
export ZARVIK_EXE="$build/ZarvikArchiver.exe" ZARVIK_SHOT="$output" ZARVIK_EXTRACT=$extract
unset DISPLAY  # always the private display: fixed size, no window manager
"$root/scripts/with-xvfb.sh" "$root/scripts/with-wine.sh" bash -c '
  set -euo pipefail
  # Without a window manager Wine draws the title bar and frame itself.
  wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
  # The caption buttons are drawn from Wine'"'"'s Marlett font (fonts-wine), which
  # this Wine does not find where the package puts it.
  cp -n /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  photos="$WINEPREFIX/drive_c/Photos/Holiday 2024"
  rm -rf "$WINEPREFIX/drive_c/Photos"
  mkdir -p "$photos/raw"
  for name in beach sunset harbour; do
    head -c 3000000 /dev/urandom >"$photos/$name.jpg"
    head -c 9000000 /dev/zero >"$photos/raw/$name.dng"
  done
  wine "$ZARVIK_EXE" --context-archive "C:\\Photos\\Holiday 2024" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 300); do
    [ -f "$WINEPREFIX/drive_c/Photos/Holiday 2024.zvka" ] && break
    sleep 0.1
  done
  sleep 1  # the last log line and a refresh of the status line
  if [ "$ZARVIK_EXTRACT" = 1 ]; then
    wineserver -k
    wine "$ZARVIK_EXE" "C:\\Photos\\Holiday 2024.zvka" </dev/null >/dev/null 2>&1 &
    sleep 3  # the window, and the forecast worked out beside it
  fi
  window=$(xwininfo -root -tree | awk "/\"Zarvik Archiver - Windows\"/ {print \$1; exit}")
  [ -n "$window" ] || { echo "screenshot.sh: the window did not appear" >&2; exit 1; }
  import -window "$window" "$ZARVIK_SHOT"
  wineserver -k
'
echo "wrote $output"
