#!/bin/bash
# The bash completion against a program folder of its own: options, ports, and the country names
# its settings file offers (only the first NumOfCountry, names with blanks kept whole).
set -u
source "$1"
# No "." in the folder: the settings path is cut at the last "." of the whole path.
dir=$(mktemp -d "${TMPDIR:-/tmp}/completionXXXXXX")
trap 'rm -rf "$dir"' EXIT
touch "$dir/countryset"
chmod +x "$dir/countryset"
printf '[Setting]\r\nNumOfCountry=4\r\n[Country]\r\n; comment\r\nUnited Kingdom=B4\r\nUnited States=B5\r\nuganda=77\r\nGermany=42\r\nUnlisted=01\r\n' >"$dir/countryset.DAT"

failures=0
expect() {  # words... -- expected replies (one a line)
    local words=() expected
    while [[ $1 != -- ]]; do words+=("$1"); shift; done
    shift
    expected=$(printf '%s\n' "$@")
    COMP_WORDS=("$dir/countryset" "${words[@]}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _countryset
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
    expected=$(printf '%s\n' "$expected" | sort)
    if [[ $got != "$expected" ]]; then
        echo "completing '${words[*]}': got [$got], expected [$expected]"
        failures=$((failures + 1))
    fi
}

expect --coun -- --country
expect --l -- --list-ports
expect --port co -- COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8
expect --port COM3 -- COM3
expect --country un -- 'United\ Kingdom' 'United\ States'
expect --country U -- 'United\ Kingdom' 'United\ States' uganda
expect --country g -- Germany
expect --country Unl --  # beyond NumOfCountry: not offered
touch "$dir/wire.txt"
expect --trace = "$dir/wi" -- "$dir/wire.txt"
expect --trace="$dir/wi" -- "--trace=$dir/wire.txt"
exit $((failures > 0))
