#!/usr/bin/env bash
# Counts the requests each server makes to the wineserver while it captures one job, by name:
# a wineserver started with -d1 logs every request with the thread that made it.
#   bench/count_requests.sh [MIB]    one job of MIB MiB (64 by default) to each server in turn
# Needs a built tree (tools/build.sh). It ends any wineserver of the prefix and leaves none.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bytes=$(( ${1:-64} * 1048576 ))
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
bin=$project/build/bin
folder=$project/build/requests
pipe="\\\\.\\pipe\\kestrum-requests-$$"
rm -rf "$folder" && mkdir -p "$folder/out"
out_windows="Z:${folder//\//\\}\\out"

wineserver -k 2>/dev/null && wineserver -w || true
wineserver -p -f -d1 </dev/null >/dev/null 2>"$folder/requests.log" &
trap 'wineserver -k || true' EXIT
"$project/tools/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1

echo "Requests to the wineserver during one job of $((bytes / 1048576)) MiB ($((bytes / 32768)) chunks of 32 KiB):"
for server in kestrum reference discard; do
    case $server in
        kestrum) command=("$bin/kestrum.exe" "$pipe" "$out_windows\\Out%04ld.ps") ;;
        reference) command=("$bin/reference_server.exe" "$pipe" "$out_windows") ;;
        discard) command=("$bin/discard_reader.exe" "$pipe") ;;
    esac
    first=$(( $(wc -l <"$folder/requests.log") + 1 ))
    "$project/tools/wine-run.sh" "${command[@]}" >"$folder/server.log" 2>&1 </dev/null &
    server_pid=$!
    "$project/tools/wine-run.sh" "$bin/load.exe" wait "$pipe" >/dev/null
    "$project/tools/wine-run.sh" "$bin/load.exe" parallel "$pipe" 1 "$bytes" >/dev/null
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    # The server's threads: its first thread names its Linux pid, and every thread it creates
    # is named in the reply to its new_thread request.
    tail -n "+$first" "$folder/requests.log" | awk -v pid="$server_pid" -v server="$server" '
        /: init_first_thread\( / { starting[$1] = index($0, "unix_pid=" pid ",") > 0; next }
        /: init_first_thread\(\) = 0/ { if (starting[$1]) mine[$1] = 1; next }
        / new_thread\(\) = 0/ && mine[$1] { match($0, /tid=[0-9a-f]+/); mine[substr($0, RSTART + 4, RLENGTH - 4) ":"] = 1; next }
        /\) = / || /: \*/ { next }
        mine[$1] && /^[0-9a-f]+: [a-z_]+\(/ { split($2, part, "("); count[part[1]]++; total++ }
        END {
            printf "%-9s %6d in all:", server, total
            for (name in count) if (count[name] >= 10) printf " %s %d,", name, count[name]
            print " others fewer than 10 each"
        }'
done
