#!/usr/bin/env bash
# Line and branch coverage of the product code (server/, capture/, platform/): builds it with
# --coverage into build-coverage/, runs every test program under Wine in that folder's own prefix,
# and prints gcovr's summary. The report, file by file with each line:
# build-coverage/coverage/index.html. Not part of tools/test.sh.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$project/build-coverage
"$project/tools/setup.sh"
cmake -S "$project" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKESTRUM_COVERAGE=ON >/dev/null
# The test programs, as tests/CMakeLists.txt lists them.
programs=$(cat "$build/test-programs.txt")
cmake --build "$build" -j"$(nproc)" --target spool $programs >/dev/null

# Counts of earlier runs would add to this one's.
find "$build" -name '*.gcda' -delete
rm -rf "$build/coverage"

# Its own prefix and Wine session, so that tests running at the same time in build/ are not
# disturbed.
export KESTRUM_WINEPREFIX=$build/wineprefix
export KESTRUM_SPOOL_TOOL=$build/bin/spool.exe
"$project/tools/wine-session.sh" start
trap '"$project/tools/wine-session.sh" stop' EXIT

# The counts are kept whether or not a test fails; a failure is reported at the end.
failed=()
for tests in $programs; do
    echo "coverage: running $tests" >&2
    "$project/tools/wine-run.sh" "$build/bin/$tests.exe" --gtest_brief=1 </dev/null \
        >"$build/$tests.log" 2>&1 || failed+=("$tests")
    tail -n 3 "$build/$tests.log" >&2
done
"$project/tools/wine-session.sh" stop
trap - EXIT

mkdir -p "$build/coverage"
cd "$project"
# Only the objects' folder is searched: the prefix's drive z: leads to / and to every other
# build's counts. tests/coverage_dump.cpp lies outside the three folders kept.
gcovr --root "$project" --object-directory "$build" --gcov-executable i686-w64-mingw32-gcov \
      --filter 'server/' --filter 'capture/' --filter 'platform/' \
      --exclude-throw-branches --exclude-unreachable-branches \
      --html-details "$build/coverage/index.html" --print-summary "$build/CMakeFiles"
echo "coverage: report in $build/coverage/index.html" >&2
if [ ${#failed[@]} -gt 0 ]; then
    echo "coverage: tests failed in ${failed[*]}; see $build/<name>.log" >&2
    exit 1
fi
