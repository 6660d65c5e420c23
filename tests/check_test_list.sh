#!/usr/bin/env bash
# Every GoogleTest test of every test program is one CTest test, PREFIX.Suite.Name, and none is
# listed twice: a suite filter that leaves a test out, or lets two discoveries take it, fails here.
#   check_test_list.sh BUILD_DIR EMULATOR PREFIX=PROGRAM...
set -uo pipefail
build=$1 emulator=$2
shift 2
listed=$(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
status=0
for entry in "$@"; do
    prefix=${entry%%=*} program=${entry#*=}
    # "Suite." on a line of its own, then "  Name" for each test (a parameterised one followed by
    # "  # GetParam() = ...").
    expected=$("$emulator" "$program" --gtest_list_tests </dev/null 2>/dev/null | tr -d '\r' |
        awk -v prefix="$prefix" '/^[^ ]/ { suite = $1; next } /^  / { print prefix "." suite $1 }' | sort)
    [ -n "$expected" ] || { echo "FAIL: $program lists no tests"; status=1; continue; }
    actual=$(grep "^$prefix\." <<<"$listed" | sort)
    for name in $(uniq -d <<<"$actual"); do echo "FAIL: $name is a CTest test twice"; status=1; done
    for name in $(comm -23 <(echo "$expected") <(uniq <<<"$actual")); do
        echo "FAIL: $name is no CTest test"; status=1
    done
    for name in $(comm -13 <(echo "$expected") <(uniq <<<"$actual")); do
        echo "FAIL: $name is a CTest test of no test in $program"; status=1
    done
    echo "$prefix: $(wc -l <<<"$expected") tests, each listed once"
done
exit $status
