#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, made on first use:
# build/wineprefix, with drive D: mapped to the folder spool beside it (which holds
# Qelmar\Temp), and the printer "Kestrum" on the Local Port \\.\pipe\kestrum as the default
# printer. A prefix made before the printer was part of it gets the printer on its next use.
# KESTRUM_WINEPREFIX names another prefix, KESTRUM_SPOOL_TOOL the spool.exe that adds the printer.
# KESTRUM_WINE names another loader: Debian's `wine` is the 32-bit one, which starts a 64-bit
# program from a 32-bit start.exe; /usr/lib/wine/wine64 runs it as the process it starts.
set -euo pipefail

project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
source "$project/tools/wine-env.sh"
spool=$(dirname "$WINEPREFIX")/spool

if [ ! -e "$WINEPREFIX/.kestrum-ready" ] || [ ! -e "$WINEPREFIX/.kestrum-printer" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -e "$WINEPREFIX/.kestrum-ready" ]; then
        echo "wine-run: creating the Wine prefix $WINEPREFIX" >&2
        wineboot -i >/dev/null 2>&1
        wineserver -w
        mkdir -p "$spool/Qelmar/Temp"
        ln -sfn "$spool" "$WINEPREFIX/dosdevices/d:"
        touch "$WINEPREFIX/.kestrum-ready"
    fi
    if [ ! -e "$WINEPREFIX/.kestrum-printer" ]; then
        tool=${KESTRUM_SPOOL_TOOL:-$project/build/bin/spool.exe}
        [ -e "$tool" ] || { echo "wine-run: $tool is missing; run tools/build.sh first" >&2; exit 1; }
        ppd=$project/tools/kestrum.ppd
        # Wine's services inherit the output of the first program: keep it off any pipe.
        errors=$WINEPREFIX/add-printer.log
        if ! wine "$tool" add-printer "Z:${ppd//\//\\}" </dev/null >/dev/null 2>"$errors"; then
            echo "wine-run: cannot add the printer Kestrum to $WINEPREFIX: $(tail -n 1 "$errors")" >&2
            exit 1
        fi
        rm -f "$errors"
        touch "$WINEPREFIX/.kestrum-printer"
    fi
    exec 9>&-
fi
# GoogleTest's discovery lists a program's tests when CTest starts, before the session's fixture
# (tools/wine-session.sh) has run: the Wine services this run starts would keep CTest's pipes
# open until they end. They get files instead.
if [ "${2:-}" = --gtest_list_tests ]; then
    listing=$(mktemp)
    errors=$(mktemp)
    trap 'rm -f "$listing" "$errors"' EXIT
    status=0
    "${KESTRUM_WINE:-wine}" "$@" </dev/null >"$listing" 2>"$errors" || status=$?
    cat "$listing"
    cat "$errors" >&2
    exit $status
fi
exec "${KESTRUM_WINE:-wine}" "$@"
