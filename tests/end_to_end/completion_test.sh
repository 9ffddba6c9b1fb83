#!/bin/bash
# The bash completion against a program folder of its own: options, ports, and exactly the
# entries --country picks (the program lists them: long names as the list holds them, equal
# names numbered, an entry whose code does not fit left out).
# Usage: completion_test.sh <completion file> <countryset>
set -u
source "$1"
dir=$(mktemp -d "${TMPDIR:-/tmp}/completionXXXXXX")
trap 'rm -rf "$dir"' EXIT
cp "$2" "$dir/countryset"
printf '[Setting]\r\nNumOfCountry=8\r\n[Country]\r\n; comment\r\nUnited Kingdom=B4\r\nUnited States=B5\r\nuganda=77\r\nGermany=42\r\nSaint Vincent and the Grenadines=01\r\nLongcode=123456789012345678901\r\nGermany=43\r\nGERMANY=44\r\nUnlisted=01\r\n' >"$dir/countryset.DAT"

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
expect --l -- --list-countries --list-ports --log --log-format
expect --log-format "" -- csv json
expect --port co -- COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8
expect --port COM3 -- COM3
expect --country un -- 'United\ Kingdom' 'United\ States'
expect --country U -- 'United\ Kingdom' 'United\ States' uganda
expect --country g -- 'Germany#1' GERMANY 'Germany#2'
expect --country sa -- 'Saint\ Vincent\ and\ t'  # as the list holds it
expect --country lo --  # its code does not fit: not offered
expect --country Unl --  # beyond NumOfCountry: not offered
touch "$dir/wire.txt"
expect --trace = "$dir/wi" -- "$dir/wire.txt"
expect --trace="$dir/wi" -- "--trace=$dir/wire.txt"
expect --log "$dir/wi" -- "$dir/wire.txt"
exit $((failures > 0))
