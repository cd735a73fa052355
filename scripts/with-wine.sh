#!/usr/bin/env bash
# Runs a command with one persistent Wine server in a private prefix, so each
# Windows program starts in milliseconds instead of seconds.
set -euo pipefail
export WINEPREFIX=${WINEPREFIX:-/tmp/zarvik-wine-$(id -u)}
export WINEDEBUG=-all
if [ ! -d "$WINEPREFIX" ]; then
  # No Mono or Gecko: their installers would wait on a dialog nobody answers.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
  # wineboot returns before the prefix's set-up ends; a program started
  # meanwhile may fail with no output.
  wineserver -w >/dev/null 2>&1 || true
fi
# The server's services must not inherit our output pipes, or ctest waits for them forever.
(setsid wineserver -p 600 </dev/null >/dev/null 2>&1 &)
(setsid wine cmd /c exit </dev/null >/dev/null 2>&1 &)
for _ in $(seq 1 300); do
  pgrep -f winedevice.exe >/dev/null && break
  sleep 0.1
done
# Wine is ready when a program runs to its end.
ready=no
for _ in $(seq 1 60); do
  if wine cmd /c exit </dev/null >/dev/null 2>&1; then ready=yes; break; fi
  sleep 1
done
[ "$ready" = yes ] || echo "with-wine.sh: Wine runs no program in $WINEPREFIX" >&2
status=0
"$@" || status=$?
wineserver -k >/dev/null 2>&1 || true
exit $status
