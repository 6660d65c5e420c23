#!/usr/bin/env bash
# kestrum-run.cmd from the release zip under Wine's cmd, with a jobs folder so long that a run's
# first job would pass 259 characters, and one that cannot be made. (The guide's own commands run
# it twice into one folder and with a refused pipe name.)
#   check_run_script.sh RELEASE_ZIP SOURCE_FOLDER WORK_FOLDER
set -uo pipefail
zip=$1 source=$2 work=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work" && mkdir -p "$work/Kestrum" && (cd "$work/Kestrum" && cmake -E tar xf "$zip") || exit 1
folder="Z:${work//\//\\}"

# run ROOT EXPECTED_CODE: runs the script; its output goes to $work/output.
run() {
    "$source/tools/wine-run.sh" cmd /c "$folder\\Kestrum\\kestrum-run.cmd" "$1" >"$work/output" 2>&1 </dev/null
    local code=$?
    [ $code -eq "$2" ] || fail "kestrum-run.cmd $1 exited with $code, not $2: [$(cat "$work/output")]"
}

# ROOT\Run0001\Out0001.ps takes 260 characters: the server refuses the template, the refusal is
# the run's whole log, and the script ends with the server's -1 (255 as Wine reports it).
root=$folder\\$(printf 'j%.0s' $(seq $((241 - ${#folder} - 1))))
run "$root" 255
expected="Invalid output template $root\\Run0001\\Out%04ld.ps: the path of job 1 is longer than 259 characters."
log=$work/${root:${#folder}+1}/Run0001/kestrum.log
printf '%s\n' "$expected" | cmp -s - "$log" || fail "the run's log holds [$(cat "$log")], not [$expected]"

# A jobs folder inside a file cannot be made: one line, and the script's own code.
touch "$work/file"
run "$folder\\file\\Jobs" 3
[ "$(cat "$work/output")" = $'kestrum-run: cannot make the folder '"$folder"$'\\file\\Jobs\r' ] \
    || fail "kestrum-run.cmd printed [$(cat "$work/output")] for a folder it cannot make"
[ $failures -eq 0 ] && echo "kestrum-run.cmd refused both folders as expected"
[ $failures -eq 0 ]
