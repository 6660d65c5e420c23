#!/usr/bin/env bash
# Measures how many printers kestrum.exe holds connected at once, each job whole, and the
# server's resident memory (read on the Linux side). Usage: tools/capacity.sh COUNT...
# Run tools/build.sh first.
set -uo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
folder=$project/build/capacity
windows_folder="Z:${folder//\//\\}"
pipe='\\.\pipe\kestrum-capacity'

for count in "$@"; do
    rm -rf "$folder" && mkdir -p "$folder"
    "$project/tools/wine-run.sh" "$project/build/bin/kestrum.exe" "$pipe" "$windows_folder\\Out%ld.ps" \
        >"$folder.log" 2>&1 &
    sleep 3
    server=$(pgrep -f 'kestrum.exe.*kestrum-capacity' | head -n 1)
    idle=$(awk '/VmRSS/ {print $2}' "/proc/$server/status")
    "$project/tools/wine-run.sh" "$project/build/bin/capacity.exe" "$pipe" "$count" "$windows_folder" \
        >"$folder.result" 2>&1 &
    client=$!
    peak=0
    while kill -0 "$client" 2>/dev/null; do
        now=$(awk '/VmRSS/ {print $2}' "/proc/$server/status" 2>/dev/null || echo 0)
        [ "${now:-0}" -gt "$peak" ] && peak=$now
        sleep 0.2
    done
    echo "printers=$count idle_rss_kib=$idle peak_rss_kib=$peak per_printer_kib=$(( (peak - idle) / count ))" \
         "$(tr '\n' ' ' <"$folder.result")"
    grep -h 'CreateThread failed' "$folder.log"
    kill "$server" 2>/dev/null
    wait 2>/dev/null
done
