#!/usr/bin/env bash
# Builds everything and runs all tests: the 32-bit build and its tests under Wine, and a
# compile of the 64-bit build.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/build.sh"

cmake -S "$project" -B "$project/build-x86_64" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKESTRUM_TESTS=OFF >/dev/null
cmake --build "$project/build-x86_64" -j"$(nproc)"

# One wineserver for the whole run, kept off our standard output so nothing waits on it.
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
"$project/tools/wine-run.sh" cmd /c exit 0
wineserver -p </dev/null >/dev/null 2>&1 || true  # one may be running already
trap 'wineserver -k || true' EXIT
ctest --test-dir "$project/build" --output-on-failure --timeout 600
