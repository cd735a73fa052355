#!/usr/bin/env bash
# Runs a command with an X display for Wine's windows: the one in DISPLAY if
# set, else a private Xvfb server started for the command and stopped after it.
set -euo pipefail
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
command -v Xvfb >/dev/null || { echo "with-xvfb.sh: Xvfb is missing (Debian package xvfb)" >&2; exit 1; }
display_file=$(mktemp)
# -displayfd lets the server pick a free display number itself, so that
# parallel runs never race for one.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$display_file" </dev/null >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 1 100); do
  [ -s "$display_file" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "with-xvfb.sh: Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
[ -s "$display_file" ] || { echo "with-xvfb.sh: Xvfb gave no display in time" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"
status=0
"$@" || status=$?
exit $status
