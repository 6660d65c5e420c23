#!/usr/bin/env bash
# Installs what is missing, then builds the 32-bit kestrum.exe, its tests and the printer
# tool into build/bin.
#   tools/build.sh --x86_64   also the 64-bit kestrum.exe and benchmark programs into
#                             build-x86_64/bin (the benchmark's 64-bit lane, the call budget test)
#   tools/build.sh --quiet    shows the build's output only when it fails, and says in one line
#                             that it builds only when there is no build yet
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = --quiet ]; then
    [ -e "$project/build/bin/kestrum.exe" ] ||
        echo "build: building Kestrum into build/ (the first time takes a few minutes)" >&2
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    "$project/tools/build.sh" >"$log" 2>&1 || { cat "$log" >&2; echo "build: the build failed" >&2; exit 1; }
    exit 0
fi
"$project/tools/setup.sh"
cmake -S "$project" -B "$project/build" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$project/build" -j"$(nproc)"
if [ "${1:-}" = --x86_64 ]; then
    cmake -S "$project" -B "$project/build-x86_64" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-x86_64.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DKESTRUM_TESTS=OFF -DKESTRUM_BENCH=ON >/dev/null
    cmake --build "$project/build-x86_64" -j"$(nproc)"
fi
