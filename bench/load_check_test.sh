#!/usr/bin/env bash
# The benchmark trusts load.exe to notice a job that did not land whole. Here the reference
# server captures three real jobs, then each case spoils a copy of them the way a faulty
# server could, and load.exe's check must refuse it; the untouched copy must pass.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$project/build/bin
folder=$project/build/load-check
pipe="\\\\.\\pipe\\kestrum-load-check-$$"
jobs=3 bytes=100000
windows_path() { echo "Z:${1//\//\\}"; }

rm -rf "$folder" && mkdir -p "$folder/captured"
"$project/tools/wine-run.sh" "$bin/reference_server.exe" "$pipe" "$(windows_path "$folder/captured")" \
    >/dev/null 2>&1 </dev/null &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
"$project/tools/wine-run.sh" "$bin/load.exe" wait "$pipe" >/dev/null
"$project/tools/wine-run.sh" "$bin/load.exe" parallel "$pipe" $jobs $bytes "$(windows_path "$folder/captured")"
kill $server
wait $server 2>/dev/null || true

failures=0
# check CASE EXPECTED_STATUS: runs the check on $folder/case.
check() {
    local status=0 output
    output=$("$project/tools/wine-run.sh" "$bin/load.exe" check $jobs $bytes "$(windows_path "$folder/case")") || status=$?
    if [ "$status" -ne "$2" ]; then
        echo "FAIL: $1: exit code $status, expected $2 ($output)"
        failures=$((failures + 1))
    else
        echo "ok: $1 ($output)"
    fi
}
fresh() { rm -rf "$folder/case" && cp -r "$folder/captured" "$folder/case"; }
first() { find "$folder/case" -type f | sort | head -n 1; }
second() { find "$folder/case" -type f | sort | sed -n 2p; }
# put_byte FILE OFFSET: replaces the byte at OFFSET with a different one.
put_byte() {
    local old
    old=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf %03o $(((old + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

fresh; check "jobs as captured" 0
fresh; put_byte "$(first)" 50000; check "one byte changed mid-job" 1
fresh; put_byte "$(first)" 5; check "one byte of the job's header changed" 1
fresh; truncate -s $((bytes - 1)) "$(first)"; check "the last byte missing" 1
fresh; printf x >>"$(first)"; check "one byte too many" 1
fresh
file=$(first)
dd if="$file" of="$folder/chunk0" bs=32768 count=1 status=none
dd if="$file" of="$folder/chunk1" bs=32768 skip=1 count=1 status=none
dd if="$folder/chunk1" of="$file" bs=32768 seek=0 conv=notrunc status=none
dd if="$folder/chunk0" of="$file" bs=32768 seek=1 conv=notrunc status=none
check "two 32 KiB chunks in the wrong order" 1
fresh; cp "$(first)" "$(second)"; check "one job twice, another missing" 1
fresh; rm "$(first)"; check "a job's file missing" 1
fresh; cp "$(first)" "$folder/case/Extra.ps"; check "an extra file" 1
fresh; mv "$(first)" "$folder/case/Renamed.ps"; check "a job under another name" 0

rm -rf "$folder"
[ $failures -eq 0 ]
