#!/usr/bin/env bash
# Builds everything and runs all tests: the 32-bit build and its tests under Wine, and the
# 64-bit kestrum.exe and benchmark programs, whose calls one of the tests counts.
#   tools/test.sh                  everything, the fuzzer included
#   tools/test.sh CTEST_ARGS...    only the CTest tests they choose, e.g. tools/test.sh -R Spooler
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/build.sh" --x86_64
# The release zip and the tests zip, which the tests open.
cmake --build "$project/build" --target package test-bundle >/dev/null

# The template check and output-name formatter, fuzzed natively for about 20 s.
[ $# -gt 0 ] || "$project/tools/fuzz.sh" 20

# One persistent wineserver for the whole run (each test program would otherwise start its
# own, with Wine's services, for seconds each). It needs the prefix, so that is made first; the
# server that made it would refuse the persistent one: end it. The server and the services the
# first program starts keep the standard output they inherit, and CTest would wait on it: give
# them /dev/null.
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
"$project/tools/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null
wineserver -k 2>/dev/null && wineserver -w || true
wineserver -p </dev/null >/dev/null 2>&1
"$project/tools/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1
# Whenever no program of the prefix runs, Wine ends its services and explorer.exe; the next
# program that needs them starts them again, and they keep the handles it passes on, such as a
# test's pipes, which then never close. A cmd waiting on a pipe that stays silent until the end
# keeps them up for the whole run.
keeper=$(mktemp -u)
mkfifo "$keeper"
"$project/tools/wine-run.sh" cmd /c pause <"$keeper" >/dev/null 2>&1 &
exec 8>"$keeper"
trap 'exec 8>&-; rm -f "$keeper"; wineserver -k || true' EXIT
# The same holds for Wine's desktop process, explorer.exe, which the first program that draws
# (the spooler test's page) would start otherwise: user32 starts it here, off any pipe.
"$project/tools/wine-run.sh" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
# Most tests wait on Wine rather than compute: twice as many as there are cores run at once.
ctest --test-dir "$project/build" --output-on-failure --timeout 600 -j "$((2 * $(nproc)))" "$@"
