#!/usr/bin/env bash
# Installs what is missing, then builds the 32-bit kestrum.exe, its tests and the printer
# tool into build/bin.
#   tools/build.sh --x86_64   also the 64-bit kestrum.exe and benchmark programs into
#                             build-x86_64/bin (the benchmark's 64-bit lane, the call budget test)
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/setup.sh"
cmake -S "$project" -B "$project/build" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$project/build" -j"$(nproc)"
if [ "${1:-}" = --x86_64 ]; then
    cmake -S "$project" -B "$project/build-x86_64" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-x86_64.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DKESTRUM_TESTS=OFF -DKESTRUM_BENCH=ON >/dev/null
    cmake --build "$project/build-x86_64" -j"$(nproc)"
fi
