#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, made on first use:
# build/wineprefix, with drive D: mapped to build/spool (which holds Qelmar\Temp).
set -euo pipefail

project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
spool=${KESTRUM_SPOOL:-$(dirname "$WINEPREFIX")/spool}

if [ ! -e "$WINEPREFIX/.kestrum-ready" ]; then
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
    exec 9>&-
fi
exec wine "$@"
