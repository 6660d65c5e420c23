#!/usr/bin/env bash
# Installs what is missing, builds everything (the 32-bit build with its tests and zips, and the
# 64-bit kestrum.exe and benchmark programs, whose calls one of the tests counts), runs CTest,
# then fuzzes the template check and output-name formatter natively for about 20 s.
#   tools/test.sh                  everything
#   tools/test.sh CTEST_ARGS...    CTest with these arguments, e.g. tools/test.sh -R Spooler
#   tools/test.sh --no-fuzz ...    the same without the fuzzer
# CTest starts and ends Wine's session itself (tools/wine-session.sh); a plain
# `ctest --test-dir build` after `cmake --build build` runs the same tests.
# KESTRUM_TIMEOUT_SCALE, a whole number, multiplies every time limit (docs/development.md).
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fuzz=yes
if [ "${1:-}" = --no-fuzz ]; then
    fuzz=no
    shift
fi
"$project/tools/build.sh" --x86_64
# Most tests wait on Wine rather than compute: twice as many as there are cores run at once.
timeout=$((600 * ${KESTRUM_TIMEOUT_SCALE:-1}))
jobs=$((2 * $(nproc)))
ctest --test-dir "$project/build" --output-on-failure --timeout "$timeout" -j "$jobs" "$@"
[ $fuzz = no ] || "$project/tools/fuzz.sh" 20
