#!/usr/bin/env bash
# Benchmarks kestrum.exe side by side with a reference capture server (the least code doing
# the same work, silently) and a discard reader (the pipe's own limit), all under Wine, and
# prints the results as Markdown. It does so in two lanes, from the same sources:
#   64  everything built for x86_64 (build-x86_64) and run by wine64, with no emulator;
#   32  everything built for i686 (build), kestrum.exe as it ships. Some kernels start no 32-bit
#       Linux program, and Wine's 32-bit half is one: there tools/setup.sh hands it to qemu-i386,
#       and every figure of this lane is Wine on a CPU emulator, far noisier. The report says how
#       this lane's programs ran.
# The verdict against 0.97 is read from the 64-bit lane. Each lane's three servers run for the
# whole run, each on its own pipe, with its job files and output on a tmpfs: no server start and
# no disk writeback falls between two transfers that are compared. Each round runs every
# workload against the three back to back, in the order kestrum, reference, discard, then the
# reverse in the lane's next round, so that each round gives its own ratios from adjacent
# transfers; the two lanes' rounds take turns, so both see the same machine. The 32-bit lane
# runs fewer rounds, to keep a full run within about 15 minutes. Capacity (the most printers
# held at once) is stepped through once per server in the 32-bit lane only, with a server
# started for each step: its limit is the 32-bit address space, the product's own.
#   tools/bench.sh [--lane 64|32] [--rounds N] [--rounds-32 M] [--write]
#       the full benchmark: 80 rounds in the 64-bit lane (240 of the big job), 8 in the 32-bit
#       lane; 11.5 minutes on a quiet machine
#   tools/bench.sh --smoke [--no-build] [--lane 64|32]
#       the same at tiny sizes, one round per lane and the big job once; part of tools/test.sh
# --write also puts the results into bench/RESULTS.md, between its two bench markers, and draws
# each round's ratios into bench/ratios.svg.
# The full benchmark ends any wineserver of the prefix and runs its own; the smoke run uses
# whatever server there is and ends none.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage="usage: tools/bench.sh [--smoke] [--no-build] [--lane 64|32] [--rounds N] [--rounds-32 M] [--write]"
smoke=0 build=1 rounds=80 rounds_32=8 write=0 lanes="64 32"
while [ $# -gt 0 ]; do
    case $1 in
        --smoke) smoke=1 rounds=1 rounds_32=1 ;;
        --no-build) build=0 ;;
        --lane)
            case ${2:-} in 64|32) lanes=$2 ;; *) echo "$usage" >&2; exit 2 ;; esac
            shift ;;
        --rounds) rounds=$2; shift ;;
        --rounds-32) rounds_32=$2; shift ;;
        --write) write=1 ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
    shift
done

if [ $smoke -eq 1 ]; then
    big=1048576 big_repeats=1 small_jobs=20 small_bytes=200 parallel_printers=4 parallel_bytes=65536
    capacity_steps="10 20"
    folder=$project/build/bench-smoke
else
    # Many short rounds rather than a few long ones: the noise is in each transfer.
    big=67108864 big_repeats=3 small_jobs=250 small_bytes=200 parallel_printers=64 parallel_bytes=1048576
    capacity_steps="1000 1200 1250 1300 1400 1600 1800 2000"
    folder=$project/build/bench
fi
capacity_bytes=3000
servers="kestrum reference discard"

has_64=0 has_32=0
case " $lanes " in *" 64 "*) has_64=1 ;; esac
case " $lanes " in *" 32 "*) has_32=1 ;; esac
if [ $build -eq 1 ]; then
    "$project/tools/build.sh" $([ $has_64 -eq 1 ] && echo --x86_64) >&2
fi
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
windows_path() { echo "Z:${1//\//\\}"; }
rm -rf "$folder" && mkdir -p "$folder"
# The job files, which are checked and then deleted after each transfer.
out_root=/dev/shm/kestrum-bench-$$
ticks=$(getconf CLK_TCK)
started_at=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_before=$(head -n 1 /proc/stat)
# This script's children, once reaped (the servers, every load.exe), in clock ticks.
children_ticks() { awk '{sub(/.*\) /, ""); print $14 + $15}' "/proc/$$/stat"; }
children_before=$(children_ticks)

# lane LANE: points bin, run_wine and records at that lane's programs.
lane() {
    current_lane=$1
    records=$folder/rounds-$1.txt
    case $1 in
        64) bin=$project/build-x86_64/bin loader=/usr/lib/wine/wine64 ;;
        32) bin=$project/build/bin loader=wine ;;
    esac
    [ -e "$bin/load.exe" ] || { echo "bench: $bin/load.exe is missing: run tools/bench.sh without --no-build" >&2; exit 1; }
}
# Every program but a server ends within `limit` seconds (10 minutes unless the caller says), or
# is ended: a load generator hung twice in some 4000 transfers (see throughput).
run_wine() { KESTRUM_WINE=$loader timeout "${limit:-600}" "$project/tools/wine-run.sh" "$@"; }
for each in $lanes; do lane "$each"; : >"$records"; done

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
    lane 32
    run_wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    bench_wineserver=$(wineserver_pid)
fi
finish() {
    stop_servers
    rm -rf "$out_root"
    [ $smoke -eq 1 ] || wineserver -k || true
}
trap finish EXIT

# User plus system CPU seconds of a process, from /proc/PID/stat (the name may hold spaces).
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
    stat=${stat##*) }
    set -- $stat
    echo $(( ${12} + ${13} ))
}
status_kib() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

# point_at NAME: points pipe, out, out_windows and log at the current lane's server NAME.
point_at() {
    pipe="\\\\.\\pipe\\kestrum-bench-$$-$current_lane-$1"
    out=$out_root/$current_lane-$1
    out_windows=$(windows_path "$out")
    log=$out_root/server-$current_lane-$1.log
}

# start_server NAME: starts it as point_at NAME says, in an empty folder; sets server_pid.
# Under Wine 8 the pid that wine-run.sh gets is the server's own: wine's loader becomes the
# Windows process.
# The first start in each lane notes what runs it: wine's loader itself, or qemu.
# A server whose pipe does not appear within a minute (seen once in a 64-bit discard reader,
# 2026-12-09, not again in 40 starts) is started once more; the report counts these.
declare -A runner
restarts=()
start_server() {
    point_at "$1"
    rm -rf "$out" && mkdir -p "$out"
    local command attempt state code
    case $1 in
        kestrum) command=("$bin/kestrum.exe" "$pipe" "$out_windows\\Out%04ld.ps") ;;
        reference) command=("$bin/reference_server.exe" "$pipe" "$out_windows") ;;
        discard) command=("$bin/discard_reader.exe" "$pipe") ;;
    esac
    for attempt in 1 2; do
        # A plain command, so that $! is wine-run.sh's own pid and not a subshell's.
        KESTRUM_WINE=$loader "$project/tools/wine-run.sh" "${command[@]}" >"$log" 2>&1 </dev/null &
        server_pid=$!
        local waited=$SECONDS waiter=0
        run_wine "$bin/load.exe" wait "$pipe" >"$folder/load.txt" 2>&1 && break || waiter=$?
        waited=$((SECONDS - waited))
        if kill -0 "$server_pid" 2>/dev/null; then
            state="still running"
            stop_server
        else
            wait "$server_pid" && code=0 || code=$?
            state="exit code $code"
        fi
        echo "bench: $current_lane-bit $1 did not open its pipe ($state; load.exe wait gave up after $waited s" \
             "with exit code $waiter): $(cat "$folder/load.txt" "$log")" >&2
        [ $attempt -eq 1 ] || exit 1
        restarts+=("$current_lane-bit $1, $state, load.exe wait exit code $waiter after $waited s")
    done
    local name
    name=$(status_kib "$server_pid" Name)
    case $1 in kestrum) expected=kestrum.exe ;; reference) expected=reference_serve ;; *) expected=discard_reader. ;; esac
    # Wine 10's loader runs a program through start.exe, as a process of its own: the server is
    # then the process of that name whose command line holds this run's pipe.
    if [[ $name != *"$expected"* ]]; then
        local holder
        for holder in $(grep -lF -- "$pipe" /proc/[0-9]*/cmdline 2>/dev/null); do
            holder=${holder#/proc/} holder=${holder%/cmdline}
            [[ $(status_kib "$holder" Name) != *"$expected"* ]] || { server_pid=$holder name=$expected; break; }
        done
    fi
    case $name in *"$expected"*) ;; *) echo "bench: pid $server_pid is not the $1 server ($name)" >&2; exit 1 ;; esac
    if [ -z "${runner[$current_lane]:-}" ]; then
        runner[$current_lane]=$(readlink "/proc/$server_pid/exe")
        case $current_lane/${runner[$current_lane]} in
            64/*qemu*) echo "bench: the 64-bit lane runs through ${runner[64]}" >&2; exit 1 ;;
        esac
    fi
}

stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
}

# use_server NAME: points at the current lane's server NAME, which runs from its first use to
# the end of the run.
declare -A running
use_server() {
    if [ -n "${running[$current_lane-$1]:-}" ]; then
        point_at "$1"
        server_pid=${running[$current_lane-$1]}
    else
        start_server "$1"
        running[$current_lane-$1]=$server_pid
    fi
}
stop_servers() {
    for server_pid in "${running[@]}"; do stop_server; done
    running=()
}

# run_load SERVER MODE COUNT BYTES: one load against a started server. Sets load_line, and
# cpu (server), wineserver_cpu, hwm_kib (the peak during the load) and rss_kib (before it).
# Returns the load's status. The CPU times cover the transfer only: the files are checked
# afterwards, by a second load.exe, and then deleted.
# The wineserver serves the load generator too, and its share cannot be told apart.
run_load() {
    local status=0 ws ws_before=0 ws_after=0 target=""
    # Capacity checks inside the load: its CPU times are not compared.
    [ "$1" != discard ] && [ "$2" = hold ] && target=$out_windows
    ws=${bench_wineserver:-$(wineserver_pid)}
    [ -n "$ws" ] && ws_before=$(cpu_ticks "$ws")
    rss_kib=$(status_kib "$server_pid" VmRSS)
    echo 5 >"/proc/$server_pid/clear_refs"  # the peak starts again from here
    local before
    before=$(cpu_ticks "$server_pid")
    # A transfer takes a second at most; capacity's steps up to a minute.
    limit=$([ "$2" = hold ] && echo 600 || echo 120) run_wine "$bin/load.exe" "$2" "$pipe" "$3" "$4" $target \
        >"$folder/load.txt" 2>&1 || status=$?
    load_line=$(tr '\n' ' ' <"$folder/load.txt")
    cpu=$(awk -v t=$(( $(cpu_ticks "$server_pid") - before )) -v hz="$ticks" 'BEGIN {printf "%.2f", t / hz}')
    hwm_kib=$(status_kib "$server_pid" VmHWM)
    [ -n "$ws" ] && ws_after=$(cpu_ticks "$ws")
    wineserver_cpu=$(awk -v t=$(( ws_after - ws_before )) -v hz="$ticks" 'BEGIN {printf "%.2f", t / hz}')
    if [ $status -eq 0 ] && [ "$1" != discard ] && [ "$2" != hold ]; then
        run_wine "$bin/load.exe" check "$3" "$4" "$out_windows" 120 >"$folder/load.txt" 2>&1 || status=$?
        [ $status -eq 0 ] || load_line="$load_line, then $(tr '\n' ' ' <"$folder/load.txt")"
        [ $status -ne 0 ] || rm -f "$out"/*
    fi
    return $status
}

field() { echo "$load_line" | tr ' ' '\n' | awk -F= -v key="$1" '$1 == key {print $2}'; }

# throughput WORKLOAD ROUND SERVER MODE COUNT BYTES UNIT: records MiB/s or jobs/s, and the
# amount moved that CPU time is counted per: MiB, or jobs.
throughput() {
    local workload=$1 round=$2 server=$3 value
    use_server "$server"
    local status=0
    run_load "$server" "$4" "$5" "$6" || status=$?
    # A load generator that ends without its report has not seen the jobs through: twice in some
    # 4000 transfers (2026-12-09, a 64-bit reference server and discard reader, never kestrum)
    # load.exe hung and ended with no word. The server is started afresh and the transfer sent
    # once more; the report counts these. A report of jobs not whole stops the run.
    if [ $status -ne 0 ] && [ -z "$(field whole)" ]; then
        restarts+=("$current_lane-bit $server, $workload round $round: load.exe ended with exit code $status and no report")
        echo "bench: ${restarts[-1]}; starting $server afresh" >&2
        stop_server
        unset "running[$current_lane-$server]"
        use_server "$server"
        status=0
        run_load "$server" "$4" "$5" "$6" || status=$?
    fi
    if [ $status -ne 0 ]; then
        echo "bench: $workload against $server ($current_lane-bit) lost data (exit code $status): $load_line" >&2
        tail -n 5 "$log" >&2
        exit 1
    fi
    local amount
    case $7 in
        MiB/s) amount=$(awk -v b="$(field bytes)" 'BEGIN {printf "%.4f", b / 1048576}') ;;
        jobs/s) amount=$(field jobs) ;;
    esac
    value=$(awk -v a="$amount" -v s="$(field seconds)" 'BEGIN {printf "%.2f", a / s}')
    echo "$workload $server $round $value $amount $cpu $wineserver_cpu $hwm_kib" >>"$records"
    echo "bench: $current_lane-bit $workload round $round $server: $value $7, cpu ${cpu}s, peak ${hwm_kib} KiB" >&2
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
                 "$(grep -h 'failed' "$log" | head -n 1)" >&2
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
    line=$(run_wine "$bin/message_cost.exe" $((big / 32768)) 2>&1 >"$out_root/message.log" </dev/null |
        grep '^format=')
    echo "message-cost kestrum $1 $(echo "$line" | sed 's/[a-z]*=//g')" >>"$records"
}

# in_order ROUND: the servers in that round's order, reversed in every even round.
in_order() {
    if [ $(($1 % 2)) -eq 1 ]; then echo "$servers"; else echo "$servers" | tr ' ' '\n' | tac | tr '\n' ' '; fi
}

# lane_round LANE ROUND: one round of every workload in that lane. The big job, whose transfers
# spread the most, runs big_repeats times, as its rounds big_repeats (ROUND - 1) + 1 to
# big_repeats ROUND, the discard reader in the first only.
lane_round() {
    lane "$1"
    local round=$2 order server big_round first
    first=$((big_repeats * (round - 1) + 1))
    for big_round in $(seq "$first" $((big_repeats * round))); do
        for server in $(in_order $big_round); do
            [ $server != discard ] || [ $big_round -eq $first ] || continue
            throughput one-big-job "$big_round" "$server" parallel 1 "$big" MiB/s
        done
    done
    order=$(in_order "$round")
    for server in $order; do throughput small-jobs "$round" "$server" serial "$small_jobs" "$small_bytes" jobs/s; done
    for server in $order; do
        throughput printers-at-once "$round" "$server" parallel "$parallel_printers" "$parallel_bytes" MiB/s
    done
    message_cost "$round"
}

# The two lanes' rounds are spread evenly among each other: each round is placed at its share
# of its lane's run, and at the same share the 64-bit lane's goes first.
[ $has_64 -eq 1 ] || rounds=0
[ $has_32 -eq 1 ] || rounds_32=0
mapfile -t schedule < <({
    for round in $(seq 1 "$rounds"); do echo "$((round * 1000 / rounds)) 64 $round"; done
    for round in $(seq 1 "$rounds_32"); do echo "$((round * 1000 / rounds_32)) 32 $round"; done
} | sort -s -n -k1,1)
for entry in "${schedule[@]}"; do
    set -- $entry
    lane_round "$2" "$3"
done
# Capacity gave the same steps in every round of the runs of 2026-12-08 and 2026-12-09: one series each.
stop_servers
if [ $has_32 -eq 1 ]; then
    lane 32
    for server in $servers; do capacity 1 "$server"; done
fi
rm -rf "$out_root"

seconds=$(( $(date +%s) - started_at ))
# This benchmark's own CPU: its reaped children and, in a full run, the wineserver it started
# (Wine's services, which also belong to the run, do next to nothing).
own_ticks=$(( $(children_ticks) - children_before ))
if [ $smoke -eq 0 ]; then
    ws=$(wineserver_pid)
    [ -n "$ws" ] && own_ticks=$(( own_ticks + $(cpu_ticks "$ws") ))
fi
workload_label() {
    case $1 in
        one-big-job) echo "one job of $((big / 1048576)) MiB, MiB/s" ;;
        small-jobs) echo "$small_jobs jobs of $small_bytes bytes from one printer, jobs/s" ;;
        printers-at-once) echo "$parallel_printers printers at once, $((parallel_bytes / 1024)) KiB each, MiB/s in all" ;;
    esac
}
describe_lane() {
    case $1/${runner[$1]:-} in
        64/*) echo "the 64-bit lane: everything built for x86_64, run by \`${runner[64]:-wine64}\`, no emulator" ;;
        32/*qemu*) echo "the 32-bit lane: everything built for i686, kestrum.exe as it ships, run through" \
                        "\`${runner[32]}\` (this kernel starts no 32-bit program itself): Wine on a CPU emulator" ;;
        32/*) echo "the 32-bit lane: everything built for i686, kestrum.exe as it ships, run by" \
                   "\`${runner[32]:-wine}\` natively (this kernel starts 32-bit programs; where it does not," \
                   "they run through qemu-i386)" ;;
    esac
}
report=$folder/results.md
{
    echo "Measured from $(date -u -d "@$started_at" '+%Y-%m-%d %H:%M') to $(date -u '+%H:%M UTC'): $(nproc) cores" \
         "($(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)), $(free -g | awk '/Mem:/ {print $2}') GiB," \
         "$(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r), $(wine --version)."
    echo "Load average $load_before at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end; the run took" \
         "$((seconds / 60)) min $((seconds % 60)) s for $rounds rounds of each workload ($big_repeats of the big job in each) in the 64-bit lane and" \
         "$rounds_32 in the 32-bit lane$([ $has_32 -eq 1 ] && echo ', then capacity in the 32-bit lane')."
    # Steal is time the host gave this machine's cores to others: noise no pairing removes.
    # /proc/stat samples at each tick, the processes' own times are exact: when the benchmark
    # had the machine to itself, its share can come out a point above all that was busy.
    echo "$cpu_before" "$(head -n 1 /proc/stat)" | awk -v own="$own_ticks" '{
        for (i = 2; i <= 9; i++) { total += $(i + 11) - $i }
        busy = total - ($16 - $5) - ($17 - $6) - ($20 - $9)
        if (own > busy) own = busy
        printf "The machine'"'"'s 2 cores were %.0f %% busy during the run: %.0f %% this benchmark (its servers, load generators and wineserver), %.0f %% other work on this shared machine (other helpers building and testing); %.1f %% of their time was stolen by the host.\n",
               100 * busy / total, 100 * own / total, 100 * (busy - own) / total, 100 * ($20 - $9) / total }'
    for each in $lanes; do echo "Lane $each is $(describe_lane "$each")."; done
    [ ${#restarts[@]} -eq 0 ] ||
        echo "Servers started again because their pipe did not appear within a minute, or a transfer to them ended with no report: $(IFS=';'; echo "${restarts[*]}" | sed 's/;/; /g')."
    echo "Reproduce with \`tools/bench.sh$([ $smoke -eq 1 ] && echo ' --smoke')\`."
    for each in $lanes; do
        lane "$each"
        awk -v big="$(workload_label one-big-job)" -v small="$(workload_label small-jobs)" \
            -v parallel="$(workload_label printers-at-once)" -v capacitySteps="${capacity_steps##* }" \
            -v data="$folder/ratios-$each.txt" -v lane="$each" \
            -f "$project/bench/table.awk" "$records" >"$folder/tables-$each.md"
    done
    echo
    echo "Side by side, kestrum / reference and kestrum / discard: the median of the per-round ratios with the" \
         "5th-95th percentile of that median (bootstrap over the rounds). The verdict against 0.97 is the 64-bit lane's."
    echo
    heading="| Workload |" rule="|---|"
    for each in $lanes; do
        heading="$heading $each-bit: rounds | kestrum / reference | reaches 0.97 | kestrum / discard |"
        rule="$rule---|---|---|---|"
    done
    echo "$heading"
    echo "$rule"
    for workload in one-big-job small-jobs printers-at-once; do
        row="| $(workload_label "$workload") |"
        for each in $lanes; do
            row="$row $(awk -F'\t' -v w="$workload" '
                $1 == "ratio" && $2 == w && $3 == "kestrum/reference" { rounds = $4; kr = $5 " (" $6 "-" $7 ")"; verdict = $8 }
                $1 == "ratio" && $2 == w && $3 == "kestrum/discard" { kd = $5 " (" $6 "-" $7 ")" }
                END { printf "%s | %s | %s | %s |", rounds, kr, verdict, kd }' "$folder/ratios-$each.txt")"
        done
        echo "$row"
    done
    for each in $lanes; do
        echo
        echo "### $each-bit lane"
        echo
        echo "$(describe_lane "$each" | sed 's/^the //; s/^./\U&/')."
        echo
        cat "$folder/tables-$each.md"
    done
} >"$report"
cat "$report"

if [ $write -eq 1 ]; then
    results=$project/bench/RESULTS.md
    awk -v report="$report" '
        /<!-- bench:begin -->/ {print; while ((getline line < report) > 0) print line; skipping = 1; next}
        /<!-- bench:end -->/ {skipping = 0}
        !skipping' "$results" >"$results.new" && mv "$results.new" "$results"
    # Each round's ratios and each median with its interval, numbered for the drawing.
    cat "$folder"/ratios-*.txt | awk -F'\t' '
        BEGIN { index_of["one-big-job"] = 1; index_of["small-jobs"] = 2; index_of["printers-at-once"] = 3
                pair["kestrum/reference"] = 1; pair["kestrum/discard"] = 2 }
        !($3 in pair) { next }
        $1 == "round" { print pair[$3], index_of[$2], $9, $4, $5 > points }
        $1 == "ratio" { print pair[$3], index_of[$2], $9, $5, $6, $7 > intervals }' \
        points="$folder/points.dat" intervals="$folder/intervals.dat"
    gnuplot -e "points='$folder/points.dat'; intervals='$folder/intervals.dat'; output='$project/bench/ratios.svg'" \
            -e "workload1='$(workload_label one-big-job | sed 's/,.*//')'; workload2='$(workload_label small-jobs | sed 's/ from.*//')'" \
            -e "workload3='$(workload_label printers-at-once | sed 's/,.*//')'" \
            -e "when='$(date -u -d "@$started_at" '+%Y-%m-%d %H:%M UTC')'" \
            "$project/bench/ratios.gp"
fi

# The smoke run must have held every printer of its last step.
if [ $smoke -eq 1 ] && [ $has_32 -eq 1 ]; then
    last=${capacity_steps##* }
    held=$(awk '$1 == "capacity" {print $4}' "$folder/rounds-32.txt" | sort -n | head -n 1)
    [ "$held" = "$last" ] || { echo "bench: capacity held $held printers, expected $last" >&2; exit 1; }
fi
