#!/usr/bin/env bash
# Runs a command with one persistent Wine server in a private prefix, so each
# Windows program starts in milliseconds instead of seconds.
set -euo pipefail
export WINEPREFIX=${WINEPREFIX:-/tmp/zarvik-wine-$(id -u)}
export WINEDEBUG=-all
if [ ! -d "$WINEPREFIX" ]; then
  wineboot -i >/dev/null 2>&1 || true
fi
# The server's services must not inherit our output pipes, or ctest waits for them forever.
(setsid wineserver -p 600 </dev/null >/dev/null 2>&1 &)
(setsid wine cmd /c exit </dev/null >/dev/null 2>&1 &)
for _ in $(seq 1 300); do
  pgrep -f winedevice.exe >/dev/null && break
  sleep 0.1
done
status=0
"$@" || status=$?
wineserver -k >/dev/null 2>&1 || true
exit $status
