#!/usr/bin/env bash
# Runs the tests zip as on a Windows computer that has nothing of Kestrum's: unpacked into a new
# folder, run-tests.cmd started by cmd in a new Wine prefix with no drive D: and no printer. The
# tests themselves run as CTest tests of their own; this proves the zip and its runner, over a
# few tests of each program chosen by GoogleTest's own GTEST_FILTER (KESTRUM_ZIP_TESTS='*' runs
# them all), and once more without kestrum.exe, when the run must fail.
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
few='OutputName.DefaultTemplate*:Listener.EachPrinter*:Jobs/CaptureTest.*/FewBytes:*DefaultPipeArgumentsTest.*/0Arguments'
few+=':KestrumTest.KeepsEveryByteOfAPrinterKilledMidJob:VersionResourceTest.*:LauncherProcess.ServesIntoExactlyTheFolderNamed'
run() { (cd "$work/bundle" && GTEST_FILTER=$1 wine cmd /c run-tests.cmd) </dev/null >"$2" 2>&1; }

run "${KESTRUM_ZIP_TESTS:-$few}" "$work/output.txt"
code=$?
cat "$work/output.txt"
summary=$(tr -d '\r' <"$work/output.txt" | tail -n 1)
[[ $summary =~ ^[1-9][0-9]*\ passed,\ 0\ failed,\ [0-9]+\ skipped$ ]] || { echo "FAIL: the last line is not a summary with 0 failed"; exit 1; }
[ $code -eq 0 ] || { echo "FAIL: run-tests.cmd exited with $code"; exit 1; }
[ ! -e "$work/bundle/work" ] || { echo "FAIL: run-tests.cmd left its work folder behind"; exit 1; }
for program in unit_tests e2e_tests fault_tests version_resource_test; do
    grep -q '<testcase name=' "$work/bundle/$program.xml" 2>/dev/null ||
        { echo "FAIL: $program.xml holds no test's result"; exit 1; }
done

# A zip that lost kestrum.exe: its tests fail, and so must the run.
mv "$work/bundle/kestrum.exe" "$work/kestrum.exe"
run 'Jobs/CaptureTest.*/FewBytes' "$work/broken.txt"
code=$?
summary=$(tr -d '\r' <"$work/broken.txt" | tail -n 1)
[[ $summary =~ ^[0-9]+\ passed,\ [1-9][0-9]*\ failed, ]] || { cat "$work/broken.txt"; echo "FAIL: without kestrum.exe the summary shows no failed test"; exit 1; }
[ $code -ne 0 ] || { echo "FAIL: without kestrum.exe run-tests.cmd still exited with 0"; exit 1; }
echo "without kestrum.exe: $summary, exit code $code"
