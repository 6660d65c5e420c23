#!/usr/bin/env bash
# Builds everything and runs all tests: the 32-bit build and its tests under Wine, and a
# compile of the 64-bit build.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/build.sh"
# The release zip, which the tests open.
cmake --build "$project/build" --target package >/dev/null

cmake -S "$project" -B "$project/build-x86_64" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKESTRUM_TESTS=OFF -DKESTRUM_BENCH=ON >/dev/null
cmake --build "$project/build-x86_64" -j"$(nproc)"

# The template check and output-name formatter, fuzzed natively for about 20 s.
"$project/tools/fuzz.sh" 20

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
trap 'wineserver -k || true' EXIT
ctest --test-dir "$project/build" --output-on-failure --timeout 600
