#!/usr/bin/env bash
# Runs the same reg command lines and .reg files through `qvtr reg` and through
# Wine's reg.exe and compares, byte for byte, each call's exit status and standard
# output and the export of HKCU\Software\QvtrDiff afterwards.
#
#   reg_diff.sh QVTR [-k REGEX] [-v] [FILE.cases ...]    (default: tests/reg/*.cases)
#
# -k runs the cases whose "FILE: NAME" matches REGEX; -v shows every reference record.
#
# A case is "### NAME" and a bash body that calls `reg`. Lines "# windows: TEXT"
# in a body are the record Windows gives where Wine's reg.exe differs; qvtr is then
# held to them, one line of the record each. Exit 77 (skipped) without wine64.
# QVTR_DIFF_WINEPREFIX keeps the Wine prefix between runs (made on first use).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
qvtr=$(realpath "${1:?usage: reg_diff.sh QVTR [-k REGEX] [-v] [FILE.cases ...]}")
shift
only=. verbose=""
while [ $# -gt 0 ]; do
    case $1 in
        -k) only=$2; shift 2 ;;
        -v) verbose=1; shift ;;
        *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    shopt -s nullglob
    set -- "$here"/*.cases
    shopt -u nullglob  # case bodies pass words such as /? that must not vanish
fi

wine=$(command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; })
if [ -z "$wine" ]; then
    echo "reg_diff: wine64 not found, skipped"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/reg-diff.XXXXXX")
export WINEPREFIX=${QVTR_DIFF_WINEPREFIX:-$work/wine} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 143' TERM INT HUP
# The prefix is made once, and one server kept for the run.
"$wine" reg query 'HKCU\Software' </dev/null >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1

# Bytes made readable and unambiguous: \\ \r \n (then a line break) \xHH.
render() {
    od -An -v -tx1 | awk '
        BEGIN { for (i = 32; i < 127; i++) ch[sprintf("%02x", i)] = sprintf("%c", i); ch["5c"] = "\\\\"; ch["0d"] = "\\r" }
        { for (f = 1; f <= NF; f++) { b = $f
              if (b == "0a") { printf "\\n\n"; open = 0 }
              else { printf "%s", (b in ch) ? ch[b] : "\\x" b; open = 1 } } }
        END { if (open) printf "\n" }'
}

# Appends one call to the record: its command line, exit status and output. Lines
# end the platform's way (reg.exe: CRLF; qvtr on Linux: LF), so both are read as LF.
record() {
    local status=$1 out=$2
    shift 2
    printf '$ reg %s => %d\n' "$*" "$status" >>"$rec"
    sed 's/\r$//' "$out" | render >>"$rec"
}

# The same for a record of Windows' (# windows: lines): its calls' line ends read as
# LF; an export's bytes stay as they are.
windows_record() {
    sed -n 's/^# windows: \{0,1\}//p' "$1" |
        awk '/^\$ reg / { call = 1 } /^export => / { call = 0 } { if (call) sub(/\\r\\n$/, "\\n"); print }'
}

# An export, shown as text when it is UTF-16LE with a byte-order mark.
record_export() {
    local status=$1 file=$2
    printf 'export => %d\n' "$status" >>"$rec"
    [ -f "$file" ] || return 0
    if [ "$(head -c 2 "$file" | od -An -tx1 | tr -d ' ')" = fffe ] &&
        tail -c +3 "$file" | iconv -f UTF-16LE -t UTF-8 >"$file.txt" 2>/dev/null; then
        echo "(UTF-16LE)" >>"$rec"
        render <"$file.txt" >>"$rec"
    else
        render <"$file" >>"$rec"
    fi
}

# Every call is bounded: a hung one is killed (status 124 in the record, so its case
# fails) rather than holding the run, and dies even if this script is killed first.
limit=${QVTR_DIFF_CALL_LIMIT:-30}
qvtr_reg() { timeout -k 2 "$limit" "$qvtr" reg "$@"; }
wine_reg() { timeout -k 2 "$limit" "$wine" reg "$@"; }
# Removes the previous case's key from Wine's registry, asking until it is gone: under
# load a delete has been seen to leave the key behind, and the next case then differs.
wine_clear() {
    local attempt
    for attempt in 1 2 3 4 5; do
        wine_reg delete "$1" /f >/dev/null 2>&1
        wine_reg query "$1" >/dev/null 2>&1 || return 0
        sleep 0.2
    done
    echo "reg_diff: cannot clear $1 in Wine's registry" >&2
}

# Runs one case body with `reg` bound to SIDE (qvtr or wine); the record goes to $rec.
run_case() {
    local side=$1 body=$2
    rec=$work/$side.rec
    : >"$rec"
    local dir=$work/$side.dir
    rm -rf "$dir" && mkdir -p "$dir"
    (
        cd "$dir" || exit 1
        export QVTR_REGISTRY=$dir/registry.db
        if [ "$side" = wine ]; then
            wine_clear 'HKCU\Software\QvtrDiff'
            if grep -qiE 'HKLM|HKEY_LOCAL_MACHINE' "$body"; then
                wine_clear 'HKLM\Software\QvtrDiff'
            fi
        fi
        reg() {
            local status
            "${side}_reg" "$@" >"$dir/.out" 2>"$dir/.err"
            status=$?
            [ "$status" -ne 124 ] || echo "$side reg $*" >>"$work/hung"
            record "$status" "$dir/.out" "$@"
            return "$status"
        }
        # shellcheck disable=SC1090
        source "$body" </dev/null >/dev/null 2>&1
        cd "$dir" || exit 1
        "${side}_reg" export 'HKCU\Software\QvtrDiff' .export.reg /y >/dev/null 2>&1
        record_export $? .export.reg
    ) </dev/null
}

passed=0 failed=0
run_one() {
    local name=$1 body=$2
    [[ $name =~ $only ]] || return 0
    run_case qvtr "$body"
    if [ -s "$work/hung" ]; then
        # One hung call is enough to know: the rest of the run is not waited for.
        echo "FAIL  $name: killed after ${limit} s: $(head -c 200 "$work/hung")"
        exit 1
    fi
    local reference="reg.exe (Wine)"
    if grep -q '^# windows:' "$body"; then
        reference="Windows (# windows: lines)"
        windows_record "$body" >"$work/wine.rec"
    else
        run_case wine "$body"
    fi
    if cmp -s "$work/wine.rec" "$work/qvtr.rec"; then
        passed=$((passed + 1))
        echo "ok    $name"
        [ -z "$verbose" ] || sed 's/^/      /' "$work/wine.rec"
    else
        failed=$((failed + 1))
        echo "FAIL  $name"
        diff -u --label "$reference" --label "qvtr" "$work/wine.rec" "$work/qvtr.rec" | sed 's/^/      /'
    fi
}

for cases in "$@"; do
    name=""
    : >"$work/body"
    while IFS= read -r line || [ -n "$line" ]; do
        if [[ $line == '### '* ]]; then
            [ -n "$name" ] && run_one "$name" "$work/body"
            name="$(basename "$cases" .cases): ${line#'### '}"
            : >"$work/body"
        else
            printf '%s\n' "$line" >>"$work/body"
        fi
    done <"$cases"
    [ -n "$name" ] && run_one "$name" "$work/body"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
