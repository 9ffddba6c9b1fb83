#!/usr/bin/env bash
# Runs a command against a private Xvfb server on a free display number, on Qt's xcb platform,
# and stops the server afterwards. Exits 77 (skipped) when Xvfb is not installed.
# Usage: run_under_xvfb.sh command [args...]
set -uo pipefail

command -v Xvfb >/dev/null || { echo "Xvfb not installed"; exit 77; }

display=""
for n in $(seq 90 190); do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
        Xvfb ":$n" -nolisten tcp -screen 0 1280x800x24 >/dev/null 2>&1 &
        xvfb=$!
        for _ in $(seq 1 50); do
            [[ -S /tmp/.X11-unix/X$n ]] && break
            kill -0 "$xvfb" 2>/dev/null || break
            sleep 0.1
        done
        if [[ -S /tmp/.X11-unix/X$n ]]; then
            display=":$n"
            break
        fi
        # Another run took this number first.
        kill "$xvfb" 2>/dev/null
        wait "$xvfb" 2>/dev/null
    fi
done
[[ -n "$display" ]] || { echo "no free X display number"; exit 1; }
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null' EXIT

DISPLAY=$display QT_QPA_PLATFORM=xcb "$@"
