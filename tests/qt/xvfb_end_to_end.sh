#!/usr/bin/env bash
# The real program with its desktop dialog on an X server (run by run_under_xvfb.sh), against
# the modem simulator: the operator picks the next port and the next country with the keyboard
# and presses Enter in the country list, then dismisses the success message. Checks what the modem received and what the settings file
# holds afterwards.
# The program is copied into a folder of its own with its desktop module, as it is installed.
# Usage: xvfb_end_to_end.sh <countryset> <countryset-modemsim> <sample settings file> <module>
set -euo pipefail

program=$1 modemsim=$2 sample=$3 module=$4
command -v xdotool >/dev/null || { echo "xdotool not installed"; exit 77; }
[[ -n "${DISPLAY:-}" ]] || { echo "DISPLAY not set"; exit 1; }
# The program chooses its platform itself, as it does on a desktop.
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

dir=$(mktemp -d "${TMPDIR:-/tmp}/countryset-x11.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

cp "$program" "$dir/countryset"
cp "$module" "$dir/"
# Australia (position 1) and COM1 preselected; the modem on COM2.
sed -e 's/^CurrentSet=.*/CurrentSet=1/' -e 's/^CurrentCOM=.*/CurrentCOM=1/' \
    -e "s|^\[Ports\]|[Ports]\nCOM2=$dir/modem|" "$sample" > "$dir/countryset.DAT"

"$modemsim" --link "$dir/modem" --log "$dir/modem.log" > "$dir/modemsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [[ -e "$dir/modem" ]] && break; sleep 0.1; done
[[ -e "$dir/modem" ]] || { echo "the simulator did not start"; exit 1; }

(cd "$dir" && exec ./countryset < /dev/null > "$dir/out" 2> "$dir/err") &
program_pid=$!
pids+=($program_pid)

window=$(timeout 15 xdotool search --sync --name '^Country Setting$' | head -n 1) || {
    echo "no country dialog"; cat "$dir/err"; exit 1; }
xdotool windowfocus --sync "$window"
# OK has the focus: Shift+Tab to the port list, Down to COM2, Shift+Tab to the country list, Down
# to Austria, and Enter right there.
xdotool key --delay 50 shift+Tab Down shift+Tab Down Return

# The outcome arrives in a message box with the focus; Enter dismisses it.
for _ in $(seq 1 100); do
    kill -0 "$program_pid" 2>/dev/null || break
    xdotool key Return 2>/dev/null || true
    sleep 0.2
done
if kill -0 "$program_pid" 2>/dev/null; then
    echo "the program did not end"; exit 1
fi
status=0
wait "$program_pid" || status=$?

fail=0
expect() {
    if ! grep -qF -- "$2" "$1"; then
        echo "FAIL: $1 lacks: $2"; fail=1
    fi
}
[[ $status -eq 0 ]] || { echo "FAIL: exit status $status"; fail=1; }
expect "$dir/modem.log" "AT+GCI=0A"
expect "$dir/countryset.DAT" "CurrentSet=2"
expect "$dir/countryset.DAT" "CurrentCOM=2"
if [[ $fail -ne 0 ]]; then
    echo "--- stderr"; cat "$dir/err"; echo "--- modem log"; cat -v "$dir/modem.log"
    exit 1
fi
echo "PASS: Austria set on COM2 through the desktop dialog, Enter pressed in a list"
