#!/usr/bin/env bash
# Runs a command against a private Xvfb server, on Qt's xcb platform, and stops the server
# afterwards. Xvfb picks a free display number itself (-displayfd), so runs in parallel never
# share one. Exits 77 (skipped) when Xvfb is not installed.
# Usage: run_under_xvfb.sh command [args...]
set -uo pipefail

command -v Xvfb >/dev/null || { echo "Xvfb not installed"; exit 77; }

numfile=$(mktemp "${TMPDIR:-/tmp}/xvfb-display.XXXXXX")
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$numfile" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$numfile"' EXIT

# The number is written once the server accepts connections.
for _ in $(seq 1 100); do
    [[ -s "$numfile" ]] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start"; exit 1; }
    sleep 0.05
done
number=$(tr -dc '0-9' < "$numfile")
[[ -n "$number" ]] || { echo "Xvfb gave no display number"; exit 1; }

DISPLAY=:$number QT_QPA_PLATFORM=xcb "$@"
