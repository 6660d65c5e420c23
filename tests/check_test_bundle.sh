#!/usr/bin/env bash
# Runs the tests zip as on a Windows computer that has nothing of Kestrum's: unpacked into a new
# folder, run-tests.cmd started by cmd in a new Wine prefix with no drive D: and no printer.
#   check_test_bundle.sh TESTS_ZIP KESTRUM_EXE WORK_FOLDER
set -uo pipefail
zip=$1 kestrum=$2 work=$3
# A prefix as wineboot makes it, for this Wine: made once (some 15 s here, most of this test's
# time alone) and copied for each run, so every run still starts from a prefix nothing has used.
template=$work-prefix-$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' _)
# A run CTest ended at its time limit leaves its Wine programs running.
for prefix in "$work/wineprefix" "$template.new"; do WINEPREFIX=$prefix wineserver -k 2>/dev/null; done
rm -rf "$work"
mkdir -p "$work/bundle"
(cd "$work/bundle" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
cmp -s "$work/bundle/kestrum.exe" "$kestrum" || { echo "FAIL: the zip's kestrum.exe is not $kestrum"; exit 1; }

export WINEPREFIX=$work/wineprefix
source "$(dirname "${BASH_SOURCE[0]}")/../tools/wine-env.sh"
trap 'wineserver -k 2>/dev/null' EXIT
if [ ! -e "$template/system.reg" ]; then
    rm -rf "$template" "$template.new"
    # Wine's services keep the output they inherit open: never CTest's pipe.
    WINEPREFIX=$template.new wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX=$template.new wineserver -w
    rm -f "$template.new/dosdevices/d:"
    mv "$template.new" "$template"
fi
cp -a "$template" "$WINEPREFIX" || { echo "FAIL: cannot copy $template"; exit 1; }
(cd "$work/bundle" && wine cmd /c run-tests.cmd) </dev/null >"$work/output.txt" 2>&1
code=$?
cat "$work/output.txt"

summary=$(tr -d '\r' <"$work/output.txt" | tail -n 1)
[[ $summary =~ ^[0-9]+\ passed,\ 0\ failed,\ [0-9]+\ skipped$ ]] || { echo "FAIL: the last line is not a summary with 0 failed"; exit 1; }
[ $code -eq 0 ] || { echo "FAIL: run-tests.cmd exited with $code"; exit 1; }
[ ! -e "$work/bundle/work" ] || { echo "FAIL: run-tests.cmd left its work folder behind"; exit 1; }
