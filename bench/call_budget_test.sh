#!/usr/bin/env bash
# kestrum.exe's calls while it captures one job, counted with strace against the reference
# server's: it must make the same system calls and wineserver requests, plus one write of its
# message per chunk and five per job. Counts, not time. Both servers are the 64-bit builds
# (build-x86_64), which wine64 runs natively; where the kernel starts no 32-bit programs, the
# 32-bit ones run inside qemu, whose own calls would mix with the server's.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)  # as strace names files
export LC_ALL=C
bin=$project/build-x86_64/bin
folder=$project/build/call-budget-$$
chunks=65 tail=1000
bytes=$(((chunks - 1) * 32768 + tail))
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
source "$project/tools/wine-env.sh"
wine64=/usr/lib/wine/wine64  # execs in place, so its pid is the server's; wine would go through start.exe
fail() { echo "FAIL: $*"; exit 1; }
command -v strace >/dev/null || fail "strace is missing; tools/setup.sh installs it"
for exe in kestrum reference_server load; do
    [ -e "$bin/$exe.exe" ] || fail "$bin/$exe.exe is missing; tools/test.sh builds it"
done
[ -e "$WINEPREFIX/.kestrum-ready" ] || "$project/tools/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1
server=
trap '[ -z "$server" ] || kill $server 2>/dev/null || true' EXIT
rm -rf "$folder" && mkdir -p "$folder"

# Until the server's only thread waits for a printer: Wine's threads sleep reading 16 bytes
# from their wait pipe, and the listener has nothing else to wait for.
await_listening() {
    local call fd buffer size rest
    for _ in $(seq $((600 * ${KESTRUM_TIMEOUT_SCALE:-1}))); do
        [ -d "/proc/$server" ] || fail "$1 exited: $(cat "$folder/$1.log")"
        if [ "$(ls "/proc/$server/task" | wc -l)" -eq 1 ] && read -r call fd buffer size rest <"/proc/$server/syscall" &&
            [ "$call $size" = "0 0x10" ]; then return; fi
        sleep 0.05
    done
    fail "$1 does not come back to waiting for a printer"
}

# trace NAME EXE ARGUMENTS...: runs the server, counts its calls through its second job, ends it.
# The first job sets up what a process does once (the runtime's first use in a thread, the
# first thread's exit), where the listener's and the worker's first messages may meet on a lock.
trace() {
    local name=$1 exe=$2 jobs=$folder/$1-jobs
    shift 2
    local pipe="\\\\.\\pipe\\kestrum-call-budget-$$-$name"
    mkdir -p "$jobs"
    $wine64 "$bin/$exe" "$pipe" "$@" >"$folder/$name.log" 2>&1 </dev/null &
    server=$!
    $wine64 "$bin/load.exe" wait "$pipe" >/dev/null
    await_listening "$name"
    # One write of the whole job, so that between its first and last chunk the server's reads
    # never find the pipe empty; load.exe returns when the server has closed the job's file.
    send() {
        $wine64 "$bin/load.exe" whole "$pipe" 1 $bytes "Z:${jobs//\//\\}" >"$folder/$name.load" ||
            fail "$name did not capture the job whole: $(cat "$folder/$name.load")"
        await_listening "$name"
    }
    send
    rm "$jobs"/*
    strace -f -ff -qq -x -s 8 -y -o "$folder/$name.trace" -p "$server" 2>"$folder/$name.strace-errors" &
    local tracer=$!
    until [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$server/status")" = "$tracer" ]; do
        kill -0 $tracer 2>/dev/null || fail "strace cannot attach: $(cat "$folder/$name.strace-errors")"
        sleep 0.05
    done
    send
    kill $server && wait $server $tracer || true
    server=
    # Each call is named for its target: the job's file or folder, the standard output, the
    # wineserver (requests by number, replies and wake-ups by size) or another file. Whether the
    # job's first and last read find the pipe empty, and whether the listener and the worker
    # meet on a lock, depends on timing: over the whole job only the calls on files count; all
    # count in the worker between its first and last write into the job's file.
    for thread in "$folder/$name.trace".*; do
        awk -v jobs="$jobs" -v stdout="$folder/$name.log" '
            FNR == 1 { pass++ }
            pass == 1 { if (/^write\(/ && index($0, "<" jobs "/")) { if (!first) first = FNR; last = FNR }; next }
            /^(---|\+\+\+)/ { next }
            {
                name = $0; sub(/\(.*/, "", name); target = ""
                if (match($0, /^[a-z0-9_]+\([0-9]+<[^>]*>/)) {
                    target = substr($0, RSTART, RLENGTH); sub(/^[^<]*</, "", target); sub(/>$/, "", target) }
                if (index(target, jobs) == 1) {
                    key = name " job"
                    if (name == "write") { match($0, /= [0-9]+$/); key = key " " substr($0, RSTART + 2) }
                } else if (target == stdout) key = name " stdout"
                else if (target ~ /^(pipe|socket):/) {
                    key = name " wineserver"
                    if (name ~ /^write/) key = key " request " substr($0, index($0, "\"") + 1, 16)
                    else if (match($0, /, [0-9]+\) = /)) key = key " " substr($0, RSTART + 2, RLENGTH - 6) " bytes"
                } else key = name (target == "" ? "" : " file")
                if (key ~ / (job|stdout|file)/) print "job: " key
                if (FNR > first && FNR <= last) print "chunks: " key
            }' "$thread" "$thread"
    done | sort | uniq -c | awk '{ count = $1; sub(/^ *[0-9]+ /, ""); print $0 "\t" count }' >"$folder/$name.counts"
}

trace kestrum kestrum.exe "Z:${folder//\//\\}\\kestrum-jobs\\Out%04ld.ps"
trace reference reference_server.exe "Z:${folder//\//\\}\\reference-jobs"

# Both servers must write the job in 32 KiB chunks. kestrum's writes of its messages come on
# top: one per chunk ("Received 32768 bytes."), five per job ("Printer connected, ...",
# "Awaiting next printer ...", "InstanceThread created, ...", "... printer disconnected.",
# "Kestrum thread exit."). The worker's calls after its first write into the job's file and up
# to its last are those of every chunk but the first, each with the message of the one before.
echo "Calls over one job of $chunks chunks (job: calls on files; chunks: all calls of chunks 2-$chunks)"
join -t "$(printf '\t')" -a 1 -a 2 -e 0 -o 0,1.2,2.2 "$folder/kestrum.counts" "$folder/reference.counts" |
    awk -F '\t' -v chunks=$chunks -v tail=$tail '
    BEGIN { expected["chunks: write stdout"] = chunks - 1; expected["job: write stdout"] = chunks + 5 }
    /^job: write job / && $3 > 0 { sizes++; reference[$1] = $3 }
    /^chunks: / { calls[1] += $2; calls[2] += $3 }
    $2 != $3 + expected[$1] {
        printf "FAIL: %s: kestrum %d, reference %d, expected kestrum %d\n", $1, $2, $3, $3 + expected[$1]; failed = 1 }
    END {
        if (sizes != 2 || reference["job: write job 32768"] != chunks - 1 || reference["job: write job " tail] != 1) {
            printf "FAIL: the reference did not write the job in %d chunks of 32768 bytes and one of %d\n", chunks - 1, tail
            failed = 1 }
        printf "per chunk: kestrum %.2f calls, reference %.2f\n", calls[1] / (chunks - 1), calls[2] / (chunks - 1)
        exit failed }' || fail "kestrum.exe makes other calls than the reference's and its messages (traces in $folder)"
rm -rf "$folder"
