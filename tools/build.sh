#!/usr/bin/env bash
# Installs what is missing, then builds the 32-bit kestrum.exe (and, given "all", the tests)
# into build/. Usage: tools/build.sh [all]
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/setup.sh"
tests=OFF
[ "${1:-}" = all ] && tests=ON
cmake -S "$project" -B "$project/build" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKESTRUM_TESTS=$tests >/dev/null
cmake --build "$project/build" -j"$(nproc)"
