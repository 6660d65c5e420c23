#!/usr/bin/env bash
# Prints through Wine's spooler to the printer "Kestrum", whose port is the pipe
# \\.\pipe\kestrum, as a Windows application does (tools/run-server.sh serves the pipe):
#   tools/print.sh FILE...       each file as one RAW job, its bytes unchanged
#   tools/print.sh --page TEXT   one page of text, drawn through Wine's PostScript driver
# Wine spools inside each printing process and numbers each process's first job 1, so two
# prints at the same moment would overwrite each other's spool file: they take turns here.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage() { echo "usage: tools/print.sh FILE... | tools/print.sh --page TEXT" >&2; exit 2; }

[ $# -ge 1 ] || usage
if [ "$1" = --page ]; then
    [ $# -eq 2 ] || usage
    arguments=(page "$2")
else
    arguments=(raw)
    for file in "$@"; do
        [ -f "$file" ] || { echo "print: no such file: $file" >&2; exit 1; }
        path=$(realpath "$file")
        arguments+=("Z:${path//\//\\}")
    done
fi
"$project/tools/build.sh" --quiet
lock=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}.print.lock
exec flock -o "$lock" "$project/tools/wine-run.sh" "$project/build/bin/spool.exe" "${arguments[@]}"
