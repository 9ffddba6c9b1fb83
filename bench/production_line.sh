#!/usr/bin/env bash
# A production line: N modems set one after another by a shell loop, once with scripted runs of
# countryset, once with the chat script and once with the pyserial script of bench/peers/. Each
# modem is a simulator of its own; the line's one port is a link that the loop points at the next
# modem, as an operator plugs it in. Prints a Markdown report (total wall time per tool).
# Usage: bench/production_line.sh BUILD_DIR [N] [> bench/PRODUCTION_LINE.md]
#   BUILD_DIR holds src/app/countryset and tools/modemsim/countryset-modemsim (scripts/bench
#   builds one in build/bench). Needs chat (package ppp) and pyserial (python3-serial).
set -euo pipefail

build=$(cd "${1:?usage: production_line.sh BUILD_DIR [N]}" && pwd)
count=${2:-100}
here=$(cd "$(dirname "$0")" && pwd)
python=${PYTHON:-/usr/bin/python3}  # the one the peer names, with the distribution's pyserial
command -v chat >/dev/null || { echo "production_line: chat missing (package ppp)" >&2; exit 1; }
"$python" -c 'import serial' 2>/dev/null ||
    { echo "production_line: pyserial missing (python3-serial)" >&2; exit 1; }

# No "." in the folder's path: the settings file is found by cutting the program's path there.
work=$(mktemp -d "${TMPDIR:-/tmp}/productionlineXXXXXX")
sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

devices=()
for ((i = 0; i < count; i++)); do
    coproc_out="$work/sim-$i.dev"
    "$build/tools/modemsim/countryset-modemsim" >"$coproc_out" 2>/dev/null &
    sims+=($!)
done
for ((i = 0; i < count; i++)); do
    for _ in $(seq 100); do
        [[ -s $work/sim-$i.dev ]] && break
        sleep 0.05
    done
    devices+=("$(head -1 "$work/sim-$i.dev")")
done

ln "$build/src/app/countryset" "$work/countryset" 2>/dev/null || cp "$build/src/app/countryset" "$work/"
sed "s|^;COM1=/dev/ttyUSB0|COM1=$work/port|" "$here/../data/countryset.DAT" >"$work/countryset.DAT"

# One tool over the whole line; prints "seconds failures".
line() {
    local failures=0 start end
    start=$(date +%s%N)
    for dev in "${devices[@]}"; do
        ln -sfn "$dev" "$work/port"
        case $1 in
            countryset) "$work/countryset" --country Germany --port COM1 </dev/null 2>/dev/null ;;
            chat) chat -f "$here/peers/gci.chat" <"$work/port" >"$work/port" ;;
            pyserial) "$python" "$here/peers/gci_serial.py" "$work/port" 2>/dev/null ;;
        esac || failures=$((failures + 1))
    done
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000000 )) $failures"
}

echo "# Production line: $count modems in a row"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- Machine: $(nproc) core(s), load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- Command: \`bench/production_line.sh $1 $count\`"
echo
echo "A shell loop sets $count modems one after another (Germany, code 42), each a simulator of its"
echo "own on a pseudo-terminal, the line's port a link re-pointed to the next modem before each run."
echo
echo "| Tool | Modems set | Failed | Total wall | Per modem | Total / countryset |"
echo "|---|---|---|---|---|---|"
base=""
for tool in countryset chat pyserial; do
    read -r ms failed < <(line $tool)
    [[ -z $base ]] && base=$ms
    printf '| %s | %d | %d | %d.%03d s | %d.%01d ms | %s |\n' "$tool" $((count - failed)) "$failed" \
        $((ms / 1000)) $((ms % 1000)) $((ms / count)) $(((ms * 10 / count) % 10)) \
        "$(awk -v a="$ms" -v b="$base" 'BEGIN { printf "%.2fx", a / b }')"
done
