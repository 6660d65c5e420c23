#!/usr/bin/env bash
# Installs what is missing, then builds the 32-bit kestrum.exe, its tests and the printer
# tool into build/bin.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/setup.sh"
cmake -S "$project" -B "$project/build" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$project/build" -j"$(nproc)"
