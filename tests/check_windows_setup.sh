#!/usr/bin/env bash
# Follows docs/windows-setup.md under Wine, so that the page and the program cannot drift apart.
#   check_windows_setup.sh GUIDE SOURCE_FOLDER RELEASE_ZIP PRINTER_EXE
# Every fenced block of the page is one of:
#   bat                                 commands run here, one line at a time, by cmd /c, in the
#                                       folder of the last "cd /d"; each must exit with 0
#   bat windows-only, powershell windows-only
#                                       not run; the paragraph before must say "Windows only";
#                                       but a Register-ScheduledTask command's definition is
#                                       filled in as it does and registered with Wine's schtasks
#   text                                after a block ending in a kestrum.exe command: exactly
#                                       what that server prints at start; after a kestrum-run.exe
#                                       command: the same, from the run's kestrum.log, when it
#                                       holds the server's lines, or else what the window shows
#                                       once the server is ready, without each line's date and
#                                       time; otherwise an example
# A kestrum.exe command starts the server; unless it refuses its settings, it then gets a job
# from a printer, which must land byte for byte in the file of job 1, and is stopped. So does a
# kestrum-run.exe ROOT [PIPE] command, whose server writes into ROOT\RunNNNN (the number after
# the highest there) and its log there, and which must leave every file of earlier runs as it
# was.
# The page's folders are made afresh: C:\Kestrum from the zip, as a user unpacks it, and
# D:\Qelmar (build/spool/Qelmar) by the page's own mkdir.
set -uo pipefail
guide=$1 source=$2 zip=$3 printer=$4
wine_run=$source/tools/wine-run.sh
work=$(mktemp -d)
failures=0
server=""

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The server's messages named, as the tests expect them (printer.exe --expected), on one line.
message_line() { "$wine_run" "$printer" --expected "$@" </dev/null 2>/dev/null | tr -d '\n'; }

# Every process of the server run marked $1: cmd.exe and kestrum.exe under it.
marked_processes() {
    grep -lsxF -z "KESTRUM_GUIDE_RUN=$1" /proc/[0-9]*/environ | sed 's|/proc/\([0-9]*\)/environ|\1|'
}

# Every process of the run at once: a launcher whose server ends first pauses a second before the
# next run, and is ended long before.
stop_server() {
    [ -n "$server" ] || return 0
    for pid in $(marked_processes "$server"); do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    server=""
}
trap 'stop_server; rm -rf "$work"' EXIT

# Waits up to $2 seconds (times KESTRUM_TIMEOUT_SCALE) for the file $1 to hold the text $3 ($4
# times at least), or for the process $5 to end.
wait_for() {
    local deadline=$((SECONDS + $2 * ${KESTRUM_TIMEOUT_SCALE:-1}))
    while [ $SECONDS -lt $deadline ]; do
        [ "$(grep -cxF -- "$3" "$1" 2>/dev/null)" -ge "$4" ] 2>/dev/null && return 0
        kill -0 "$5" 2>/dev/null || return 0
        sleep 0.2
    done
    return 1
}

# A Windows path on drive C: or D: as the Linux path it stands for.
linux_path() {
    local drive=${1:0:1} rest=${1:3}
    echo "$(readlink -f "$WINEPREFIX/dosdevices/${drive,,}:")/${rest//\\//}"
}

# The template's path for job 1. The page uses %ld and %0Nld only.
first_job_path() {
    local path=${1//%%/%}
    if [[ $path =~ ^(.*)%0([0-9]+)ld(.*)$ ]]; then
        path=${BASH_REMATCH[1]}$(printf "%0${BASH_REMATCH[2]}d" 1)${BASH_REMATCH[3]}
    elif [[ $path =~ ^(.*)%ld(.*)$ ]]; then
        path=${BASH_REMATCH[1]}1${BASH_REMATCH[2]}
    fi
    echo "$path"
}

# Runs the server command $1 in the folder $2; block $3 is the expected start-up output, or empty.
run_server() {
    local command=$1 folder=$2 expected=$3
    local words=($command) pipe='\\.\pipe\kestrum' template='D:\Qelmar\Temp\Out%04ld.ps'
    local log=$work/server.log shown=$work/server.log launcher="" run highest
    if [ ${#words[@]} -eq 3 ]; then pipe=${words[1]} template=${words[2]}; fi
    if [[ ${words[0]} == *kestrum-run.exe ]]; then
        launcher=yes pipe=${words[2]:-'\\.\pipe\kestrum'} shown=$work/window.txt
        highest=$(ls "$(linux_path "${words[1]}")" 2>/dev/null | sed -n 's/^Run\([0-9]\{4,\}\)$/\1/p' | sort -n | tail -n 1)
        run=${words[1]}\\Run$(printf %04d $((10#${highest:-0} + 1)))
        template=$run\\Out%04ld.ps log=$(linux_path "$run\\kestrum.log")
    fi
    server=guide-$$-$RANDOM
    # Emptied here: the shell below empties it only once it runs, and until then the last
    # server's lines would answer the wait for this one's.
    : >"$work/server.log"
    KESTRUM_GUIDE_RUN=$server "$wine_run" cmd /c "${folder:+cd /d $folder && }$command" >"$work/server.log" 2>&1 &
    local started=$!
    wait_for "$log" 30 "$(message_line awaiting "$pipe")" 1 "$started" \
        || fail "$command: the server did not start"
    if [ -n "$launcher" ] && [ -n "$expected" ] && grep -qF "$(message_line awaiting "$pipe")" "$expected"; then
        shown=$log
    fi
    # A server that refuses its settings is compared once it has ended: on a busy machine the
    # wait above can end before the refusal has been printed.
    if [ -n "$expected" ] && [ "$shown" = "$log" ] &&
        [ "$(tail -n 1 "$expected")" != "$(message_line awaiting "$pipe")" ]; then
        wait_for "$log" 30 "no line is this" 1 "$started"
    fi
    [ "$shown" != "$work/window.txt" ] ||
        sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} //' "$work/server.log" >"$shown"
    if [ -n "$expected" ] && ! cmp -s "$shown" "$expected"; then
        fail "$command printed [$(cat "$shown")], the page shows [$(cat "$expected")]"
    fi
    if ! kill -0 "$started" 2>/dev/null; then
        wait "$started"
        local code=$?
        [ $code -eq 255 ] || fail "$command exited with $code, not -1"
        server=""
        return
    fi

    # A job with every byte value, line ends of both kinds and more than one chunk.
    local job=$work/job.ps
    { printf '%%!PS-Adobe-3.0\r\n\004'; head -c 40000 /dev/urandom; printf '\r\nshowpage\n'; } >"$job"
    local file
    file=$(first_job_path "$template")
    "$wine_run" "$printer" "$pipe" "Z:${job//\//\\}" || fail "$command: the printer could not deliver its job"
    wait_for "$log" 60 "$(message_line thread-exit)" 1 "$started" || fail "$command: the job did not end"
    grep -qxF "$(message_line created "$file")" "$log" \
        || fail "$command: the job did not go to $file: [$(cat "$log")]"
    grep -qxF "$(message_line disconnected)" "$log" || fail "$command: the job failed: [$(cat "$log")]"
    cmp -s "$job" "$(linux_path "$file")" || fail "$command: $file does not hold the job's bytes"
    stop_server
}

# Registers a task as the page's Register-ScheduledTask command in block $1 does, with Wine's
# schtasks: each .Replace('NAME', value) filled in (the block's cd, a quoted path, else a test
# account), in UTF-16 as in the zip. Wine 8 keeps a task's settings alone (its triggers, principal
# and action are stubs), so the rest is read from the definition as handed over.
register_task() {
    local command folder name definition text placeholder value replace setting
    command=$(grep -F 'Register-ScheduledTask' "$1")
    folder=$(sed -n 's/^cd \(.*\)$/\1/p' "$1")
    name=$(sed -n 's/.*-TaskName \([^ ]*\) .*/\1/p' <<<"$command")
    definition=$(sed -n 's/.*Get-Content \.\\\([^ ]*\) .*/\1/p' <<<"$command")
    text=$(iconv -f UTF-16 -t UTF-8 "$(linux_path "$folder\\$definition")" | tr -d '\r')
    while IFS= read -r replace; do
        placeholder=$(sed "s/^\.Replace('\([^']*\)'.*/\1/" <<<"$replace")
        case $replace in
        *'$PWD.ProviderPath'*) value=$folder ;;
        *"$placeholder', "*"'"*) value=$(sed "s/^\.Replace('[^']*', [^']*'\([^']*\)'.*/\1/" <<<"$replace") ;;
        *) value='KESTRUM\tester' ;;
        esac
        text=${text//"$placeholder"/"$value"}
    done < <(grep -o "\.Replace('[^']*', [^)]*)" <<<"$command")
    sed 's/$/\r/' <<<"$text" | iconv -f UTF-8 -t UTF-16 >"$work/task.xml"
    "$wine_run" schtasks /create /tn "$name" /xml "Z:${work//\//\\}\\task.xml" /f </dev/null >/dev/null 2>&1 \
        || fail "Wine's schtasks does not register $definition as filled in by the page"
    local registered=$drive_c/windows/system32/tasks/$name
    local expected=('<ExecutionTimeLimit>PT0S<' '<DisallowStartIfOnBatteries>false<'
        '<StopIfGoingOnBatteries>false<' '<MultipleInstancesPolicy>IgnoreNew<')
    for setting in "${expected[@]}"; do
        grep -qF -- "$setting" "$registered" || fail "the task registered from $definition lacks $setting"
    done
    case $definition in
    *startup*) expected+=('<BootTrigger>' '<LogonType>S4U<') ;;
    *logon*) expected+=('<LogonTrigger>' '<LogonType>InteractiveToken<') ;;
    esac
    expected+=("<Command>\"$folder\\kestrum-run.exe\"<" '<Arguments>"C:\KestrumJobs"<')
    for setting in "${expected[@]}"; do
        grep -qF -- "$setting" <<<"$text" || fail "$definition, filled in by the page, lacks $setting"
    done
    [ -e "$(linux_path "$folder\\kestrum-run.exe")" ] || fail "$definition starts $folder\\kestrum-run.exe, not in the zip"
}

export WINEPREFIX=${KESTRUM_WINEPREFIX:-$source/build/wineprefix}
"$wine_run" cmd /c exit 0 >/dev/null 2>&1 || { echo "FAIL: Wine does not run"; exit 1; }
drive_c=$(readlink -f "$WINEPREFIX/dosdevices/c:")
rm -rf "$drive_c/Kestrum" "$drive_c/KestrumJobs" "$(linux_path 'D:\Qelmar')" "$drive_c/windows/system32/tasks/Kestrum"
mkdir -p "$drive_c/Kestrum"
(cd "$drive_c/Kestrum" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"

# Splits the page into blocks: $work/N.info, N.body and N.before (the paragraph before it).
count=0 inside="" paragraph="" blank=""
while IFS= read -r line || [ -n "$line" ]; do
    if [ -z "$inside" ]; then
        if [[ $line =~ ^\`\`\`(.*)$ ]]; then
            count=$((count + 1)) inside=yes
            printf '%s' "${BASH_REMATCH[1]}" >"$work/$count.info"
            printf '%s' "$paragraph" >"$work/$count.before"
            : >"$work/$count.body"
        elif [ -z "$line" ]; then
            blank=yes
        elif [ -n "$blank" ]; then
            paragraph="$line " blank=""
        else
            paragraph+="$line "
        fi
    elif [ "$line" = '```' ]; then
        inside="" paragraph="" blank=""
    else
        printf '%s\n' "$line" >>"$work/$count.body"
    fi
done <"$guide"
[ -z "$inside" ] || fail "a fenced block of the page is never closed"

folder="" ran=0
for ((block = 1; block <= count; ++block)); do
    info=$(cat "$work/$block.info")
    case $info in
    "bat windows-only" | "powershell windows-only")
        grep -q 'Windows only' "$work/$block.before" \
            || fail "block $block is not run here, yet the page does not say \"Windows only\" before it"
        ! grep -qF 'Register-ScheduledTask' "$work/$block.body" || register_task "$work/$block.body"
        ;;
    bat)
        while IFS= read -r command; do
            [ -n "$command" ] || continue
            ran=$((ran + 1))
            echo "> $command"
            if [[ $command =~ ^cd\ /d\ (.*)$ ]]; then folder=${BASH_REMATCH[1]}; fi
            if [[ $command =~ ^([^ ]*\\)?kestrum(-run)?\.exe( |$) ]]; then
                expected=""
                next=$((block + 1))
                if [ -e "$work/$next.info" ] && [ "$(cat "$work/$next.info")" = text ]; then
                    expected=$work/$next.body
                fi
                earlier=""
                if [[ $command == *kestrum-run.exe* ]]; then
                    root=$(linux_path "$(cut -d ' ' -f 2 <<<"$command")")
                    earlier=$(cd "$root" 2>/dev/null && find . -mindepth 2 -type f -exec sha256sum {} +)
                fi
                run_server "$command" "$folder" "$expected"
                [ -z "$earlier" ] || (cd "$root" && sha256sum --quiet -c <<<"$earlier") \
                    || fail "$command changed the files of earlier runs"
            elif ! output=$("$wine_run" cmd /c "${folder:+cd /d $folder && }$command" 2>&1); then
                fail "$command failed: $output"
            fi
        done <"$work/$block.body"
        ;;
    text) ;;
    *) fail "block $block has the unknown kind \"$info\"" ;;
    esac
done
[ $ran -ge 8 ] || fail "only $ran commands of the page ran"

# Every message the page lists stands in the program's sources, placeholders as formats.
while IFS= read -r message; do
    format=$(sed -e 's/<code>/%d/g' -e 's/<n>/%ld/g' -e 's/<[a-z]*>/%ls/g' <<<"$message")
    grep -rqF -- "$format" "$source/server" "$source/capture" \
        || fail "the page lists the message \"$message\", which the program does not print"
done < <(sed -n -e 's/^| `\(.*\)` |.*|$/\1/p' -e 's/^- `\(.*\)`$/\1/p' "$guide")

# Every line of kestrum-run.exe the page quotes stands in its sources, placeholders as formats.
while IFS= read -r message; do
    format=$(sed -e 's/\\/\\\\/g' -e 's/<code>/%d/g' -e 's/<seconds>/%lu/g' -e 's/<[^>]*>/%ls/g' <<<"$message")
    grep -rqF -- "$format" "$source/launcher" || fail "the page quotes \"$message\", which kestrum-run.exe does not print"
done < <(grep -o '`\(kestrum-run: \|Usage: kestrum-run\|run in \)[^`]*`' "$guide" | tr -d '`')

# The page ends by removing the default folder, which tools/run-server.sh needs.
mkdir -p "$(linux_path 'D:\Qelmar\Temp')"
[ $failures -eq 0 ] && echo "the page's $ran commands ran as it says"
[ $failures -eq 0 ]
