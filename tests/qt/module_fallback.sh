#!/usr/bin/env bash
# The real program with a display set but a desktop module it must not or cannot use: each time
# it runs the text console instead, says why in exactly one line on stderr, and loses nothing.
# Usage: module_fallback.sh <countryset> <module> <module of another build> <module without entry>
#        <sample settings file>
set -uo pipefail

program=$1 module=$2 other=$3 noentry=$4 sample=$5
dir=$(mktemp -d "${TMPDIR:-/tmp}/countryset-module.XXXXXX")
trap 'rm -rf "$dir"' EXIT
failures=0
# The module's build tag, and one of another build the same length.
export TAG OTHER_TAG
TAG=$(objcopy -O binary --only-section=.countryset_tag "$module" /dev/stdout | tr -d '\0')
[[ -n $TAG ]] || { echo "FAIL: the module has no build tag"; exit 1; }
OTHER_TAG=${TAG%?}$([[ ${TAG: -1} == 0 ]] && echo 1 || echo 0)

# A display name that would retitle the terminal were it printed as it is.
evil=$'\e]0;PWN\a:5'

# name | how the module beside the program is made | what the one line on stderr must say
# [| the display, :65000 when not given]
cases=(
    "absent|:|No such file or directory"
    "not a library|printf '%4096s' text > M|cannot be loaded (not an ELF file)"
    "empty file|: > M|cannot be loaded (not a complete ELF file)"
    "cut to 40 bytes|head -c 40 \"$module\" > M|cannot be loaded (not a complete ELF file)"
    "cut to 1000 bytes|head -c 1000 \"$module\" > M|cannot be loaded (the file is cut"
    "cut to 100000 bytes|head -c 100000 \"$module\" > M|cannot be loaded (the file is cut"
    "cut short of its end|head -c -4096 \"$module\" > M|cannot be loaded ("
    "another machine|cp \"$module\" M && printf '\\x28\\x00' > e && dd if=e of=M bs=1 seek=18 conv=notrunc status=none|cannot be loaded (built for another kind of machine)"
    "another build's tag|perl -0777 -pe 's{\\Q\$ENV{TAG}\\E}{\$ENV{OTHER_TAG}}g' \"$module\" > M|belongs to another build"
    "another build|cp \"$other\" M|belongs to another build"
    "no entry point|cp \"$noentry\" M|has no entry point"
    "symbolic link|ln -s \"$module\" M|is a symbolic link"
    "folder|mkdir M|is not a regular file"
    "writable by others|cp \"$module\" M && chmod 0666 M|is writable by other users"
    "another user's|cp \"$module\" M && chown nobody M|belongs to another user"
    "no display behind it|cp \"$module\" M|cannot open the X display"
    "display name with control bytes|cp \"$module\" M|cannot open the X display ^[]0;PWN^G:5|$evil"
)

for entry in "${cases[@]}"; do
    IFS='|' read -r name make expect display <<< "$entry"
    folder=$dir/$name
    mkdir "$folder"
    cp "$program" "$folder/countryset"
    cp "$sample" "$folder/countryset.DAT"
    (cd "$folder" && eval "${make//M/countryset-qt.so}") || { echo "FAIL: $name: setup"; failures=$((failures + 1)); continue; }
    # No X server answers on this display, so even a usable module leaves the console.
    status=0
    (cd "$folder" && DISPLAY=${display:-:65000} QT_QPA_PLATFORM= WAYLAND_DISPLAY= ./countryset \
        < /dev/null > out 2> err) || status=$?
    problems=()
    [[ $status -eq 1 ]] || problems+=("exit status $status, expected 1 (cancelled on the console)")
    [[ $(wc -l < "$folder/err") -eq 1 ]] || problems+=("stderr is not one line")
    grep -qF -- "$expect" "$folder/err" || problems+=("stderr lacks: $expect")
    grep -qF -- "; using the text console" "$folder/err" || problems+=("stderr does not name the console")
    ! LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$folder/err" || problems+=("stderr holds control bytes")
    grep -qF -- "== Country Setting ==" "$folder/out" || problems+=("no console dialog on stdout")
    cmp -s "$sample" "$folder/countryset.DAT" || problems+=("the settings file changed")
    if [[ ${#problems[@]} -gt 0 ]]; then
        failures=$((failures + 1))
        echo "FAIL: $name:"
        printf '  %s\n' "${problems[@]}"
        echo "  --- stderr"; cat -v "$folder/err"
    else
        echo "ok: $name: $(cat "$folder/err")"
    fi
done
[[ $failures -eq 0 ]] || { echo "$failures case(s) failed"; exit 1; }
