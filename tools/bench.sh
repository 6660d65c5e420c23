#!/usr/bin/env bash
# Benchmarks kestrum.exe side by side with a reference capture server (the least code doing
# the same work, silently) and a discard reader (the pipe's own limit), all under Wine, and
# prints the results as Markdown. Each round runs every workload against the three servers back
# to back, in the order kestrum, reference, discard, then the reverse in the next round, so that
# each round gives its own ratios; capacity is stepped through once per server at the end.
#   tools/bench.sh [--rounds N] [--write]   the full benchmark, 15 rounds (11-14 minutes)
#   tools/bench.sh --smoke [--no-build]     the same at tiny sizes, one round; part of tools/test.sh
# --write also puts the results into bench/RESULTS.md, between its two bench markers.
# The full benchmark ends any wineserver of the prefix and runs its own; the smoke run uses
# whatever server there is and ends none.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

smoke=0 build=1 rounds=15 write=0
while [ $# -gt 0 ]; do
    case $1 in
        --smoke) smoke=1 rounds=1 ;;
        --no-build) build=0 ;;
        --rounds) rounds=$2; shift ;;
        --write) write=1 ;;
        *) echo "usage: tools/bench.sh [--smoke] [--no-build] [--rounds N] [--write]" >&2; exit 2 ;;
    esac
    shift
done

if [ $smoke -eq 1 ]; then
    big=1048576 small_jobs=20 small_bytes=200 parallel_printers=4 parallel_bytes=65536
    capacity_steps="10 20"
    folder=$project/build/bench-smoke
else
    big=536870912 small_jobs=2000 small_bytes=200 parallel_printers=64 parallel_bytes=8388608
    capacity_steps="250 500 750 1000 1100 1200 1250 1300 1400 1500 1600 1700 1800 1900 2000"
    folder=$project/build/bench
fi
capacity_bytes=3000
servers="kestrum reference discard"

[ $build -eq 1 ] && "$project/tools/build.sh" >&2
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
bin=$project/build/bin
run_wine() { "$project/tools/wine-run.sh" "$@"; }
windows_path() { echo "Z:${1//\//\\}"; }
pipe="\\\\.\\pipe\\kestrum-bench-$$"
rm -rf "$folder" && mkdir -p "$folder/out"
out_windows=$(windows_path "$folder/out")
records=$folder/rounds.txt
: >"$records"
ticks=$(getconf CLK_TCK)
started_at=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_before=$(head -n 1 /proc/stat)

# The wineserver of this prefix: its working folder is named for the prefix's device and inode.
server_folder=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
wineserver_pid() {
    local candidate
    for candidate in $(pgrep -x 'wineserver|wineserver32|wineserver64' || true); do
        case $(readlink "/proc/$candidate/cwd" 2>/dev/null) in */"$server_folder") echo "$candidate"; return ;; esac
    done
}
if [ $smoke -eq 0 ]; then
    wineserver -k 2>/dev/null && wineserver -w || true
    # A persistent server for the whole run, so its CPU time can be read across each run; it
    # and Wine's services keep the output they inherit, so give them /dev/null.
    wineserver -p </dev/null >/dev/null 2>&1
    run_wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    trap 'wineserver -k || true' EXIT
fi

# User plus system CPU seconds of a process, from /proc/PID/stat (the name may hold spaces).
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
    stat=${stat##*) }
    set -- $stat
    echo $(( ${12} + ${13} ))
}
status_kib() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

# start_server NAME: starts it on $pipe with its output in $folder/server.log; sets server_pid.
# The pid that wine-run.sh gets is the server's own: wine's loader becomes the Windows process.
start_server() {
    rm -rf "$folder/out" && mkdir -p "$folder/out"
    local command
    case $1 in
        kestrum) command=("$bin/kestrum.exe" "$pipe" "$out_windows\\Out%04ld.ps") ;;
        reference) command=("$bin/reference_server.exe" "$pipe" "$out_windows") ;;
        discard) command=("$bin/discard_reader.exe" "$pipe") ;;
    esac
    # A plain command, so that $! is wine-run.sh's own pid and not a subshell's.
    "$project/tools/wine-run.sh" "${command[@]}" >"$folder/server.log" 2>&1 </dev/null &
    server_pid=$!
    if ! run_wine "$bin/load.exe" wait "$pipe" >"$folder/load.txt" 2>&1; then
        echo "bench: $1 did not open its pipe: $(cat "$folder/load.txt" "$folder/server.log")" >&2
        exit 1
    fi
    local name
    name=$(status_kib "$server_pid" Name)
    case $1 in kestrum) expected=kestrum.exe ;; reference) expected=reference_serve ;; *) expected=discard_reader. ;; esac
    case $name in *"$expected"*) ;; *) echo "bench: pid $server_pid is not the $1 server ($name)" >&2; exit 1 ;; esac
}

stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
}

# run_load SERVER MODE COUNT BYTES: one load against a started server. Sets load_line, and
# cpu (server), wineserver_cpu, hwm_kib and rss_kib (before the load). Returns the load's status.
# The CPU times cover the transfer only: the files are checked afterwards, by a second load.exe.
# The wineserver serves the load generator too, and its share cannot be told apart.
run_load() {
    local status=0 ws ws_before=0 ws_after=0 target=""
    # Capacity checks inside the load: its CPU times are not compared.
    [ "$1" != discard ] && [ "$2" = hold ] && target=$out_windows
    ws=$(wineserver_pid)
    [ -n "$ws" ] && ws_before=$(cpu_ticks "$ws")
    rss_kib=$(status_kib "$server_pid" VmRSS)
    local before
    before=$(cpu_ticks "$server_pid")
    run_wine "$bin/load.exe" "$2" "$pipe" "$3" "$4" $target >"$folder/load.txt" 2>&1 || status=$?
    load_line=$(tr '\n' ' ' <"$folder/load.txt")
    cpu=$(awk -v t=$(( $(cpu_ticks "$server_pid") - before )) -v hz="$ticks" 'BEGIN {printf "%.2f", t / hz}')
    hwm_kib=$(status_kib "$server_pid" VmHWM)
    [ -n "$ws" ] && ws_after=$(cpu_ticks "$ws")
    wineserver_cpu=$(awk -v t=$(( ws_after - ws_before )) -v hz="$ticks" 'BEGIN {printf "%.2f", t / hz}')
    if [ $status -eq 0 ] && [ "$1" != discard ] && [ "$2" != hold ]; then
        run_wine "$bin/load.exe" check "$3" "$4" "$out_windows" 120 >"$folder/load.txt" 2>&1 || status=$?
        [ $status -eq 0 ] || load_line="$load_line, then $(tr '\n' ' ' <"$folder/load.txt")"
    fi
    return $status
}

field() { echo "$load_line" | tr ' ' '\n' | awk -F= -v key="$1" '$1 == key {print $2}'; }

# throughput WORKLOAD ROUND SERVER MODE COUNT BYTES UNIT: records MiB/s or jobs/s, and the
# amount moved that CPU time is counted per: MiB, or jobs.
throughput() {
    local workload=$1 round=$2 server=$3 value
    start_server "$server"
    if ! run_load "$server" "$4" "$5" "$6"; then
        echo "bench: $workload against $server lost data: $load_line" >&2
        tail -n 5 "$folder/server.log" >&2
        stop_server
        exit 1
    fi
    stop_server
    local amount
    case $7 in
        MiB/s) amount=$(awk -v b="$(field bytes)" 'BEGIN {printf "%.4f", b / 1048576}') ;;
        jobs/s) amount=$(field jobs) ;;
    esac
    value=$(awk -v a="$amount" -v s="$(field seconds)" 'BEGIN {printf "%.2f", a / s}')
    echo "$workload $server $round $value $amount $cpu $wineserver_cpu $hwm_kib" >>"$records"
    echo "bench: $workload round $round $server: $value $7, cpu ${cpu}s, peak ${hwm_kib} KiB" >&2
}

# capacity ROUND SERVER: steps up until a step fails; records the last whole step, the
# server's resident memory per printer there, and how many printers the failed step held.
capacity() {
    local round=$1 server=$2 best=0 per_printer=- best_cpu=- best_hwm=- best_ws=- step
    failed_held=-
    for step in $capacity_steps; do
        start_server "$server"
        if run_load "$server" hold "$step" "$capacity_bytes"; then
            best=$step best_cpu=$cpu best_hwm=$hwm_kib best_ws=$wineserver_cpu
            per_printer=$(( (hwm_kib - rss_kib) / step ))
            stop_server
        else
            failed_held=$(echo "$load_line" | awk '$1 == "held" {print $2}')
            echo "bench: capacity round $round $server failed at $step: $load_line" \
                 "$(grep -h 'failed' "$folder/server.log" | head -n 1)" >&2
            stop_server
            break
        fi
    done
    echo "capacity $server $round $best - $best_cpu $best_ws $best_hwm $per_printer ${failed_held:--}" >>"$records"
    echo "bench: capacity round $round $server: $best printers, $per_printer KiB each" >&2
}

# message_cost ROUND: times kestrum's message per chunk alone, its output redirected like the
# server's, and records microseconds per call: formatting, writing, the whole message.
message_cost() {
    local line
    line=$(run_wine "$bin/message_cost.exe" $((big / 32768)) 2>&1 >"$folder/message.log" </dev/null |
        grep '^format=')
    echo "message-cost kestrum $1 $(echo "$line" | sed 's/[a-z]*=//g')" >>"$records"
}

for round in $(seq 1 "$rounds"); do
    order=$servers
    [ $((round % 2)) -eq 0 ] && order=$(echo "$servers" | tr ' ' '\n' | tac | tr '\n' ' ')
    for server in $order; do throughput one-big-job "$round" "$server" parallel 1 "$big" MiB/s; done
    for server in $order; do throughput small-jobs "$round" "$server" serial "$small_jobs" "$small_bytes" jobs/s; done
    for server in $order; do
        throughput printers-at-once "$round" "$server" parallel "$parallel_printers" "$parallel_bytes" MiB/s
    done
    message_cost "$round"
done
# Capacity gave the same steps in all 15 rounds of the three runs of 2026-12-08: one series each.
for server in $servers; do capacity 1 "$server"; done
rm -rf "$folder/out"

seconds=$(( $(date +%s) - started_at ))
report=$folder/results.md
{
    echo "Measured from $(date -u -d "@$started_at" '+%Y-%m-%d %H:%M') to $(date -u '+%H:%M UTC'): $(nproc) cores" \
         "($(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)), $(free -g | awk '/Mem:/ {print $2}') GiB," \
         "$(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r), $(wine --version)."
    echo "Load average $load_before at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end; the run took" \
         "$((seconds / 60)) min $((seconds % 60)) s for $rounds rounds of each workload."
    # Steal is time the host gave this machine's cores to others: noise no pairing removes.
    echo "$cpu_before" "$(head -n 1 /proc/stat)" | awk '{
        for (i = 2; i <= 9; i++) { total += $(i + 11) - $i }
        printf "The machine'"'"'s cores were %.0f %% busy during the run (this benchmark included), and %.1f %% of their time was stolen by the host.\n",
               100 * (total - ($16 - $5) - ($17 - $6) - ($20 - $9)) / total, 100 * ($20 - $9) / total }'
    echo "Reproduce with \`tools/bench.sh$([ $smoke -eq 1 ] && echo ' --smoke')\`."
    echo
    awk -v big="one job of $((big / 1048576)) MiB, MiB/s" \
        -v small="$small_jobs jobs of $small_bytes bytes from one printer, jobs/s" \
        -v parallel="$parallel_printers printers at once, $((parallel_bytes / 1024)) KiB each, MiB/s in all" \
        -v capacitySteps="${capacity_steps##* }" \
        -f "$project/bench/table.awk" "$records"
} >"$report"
cat "$report"

if [ $write -eq 1 ]; then
    results=$project/bench/RESULTS.md
    awk -v report="$report" '
        /<!-- bench:begin -->/ {print; while ((getline line < report) > 0) print line; skipping = 1; next}
        /<!-- bench:end -->/ {skipping = 0}
        !skipping' "$results" >"$results.new" && mv "$results.new" "$results"
fi

# The smoke run must have held every printer of its last step.
if [ $smoke -eq 1 ]; then
    last=${capacity_steps##* }
    held=$(awk '$1 == "capacity" {print $4}' "$records" | sort -n | head -n 1)
    [ "$held" = "$last" ] || { echo "bench: capacity held $held printers, expected $last" >&2; exit 1; }
fi
