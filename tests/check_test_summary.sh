#!/usr/bin/env bash
# test_summary.exe's lines for results that must not pass for a success: a test that failed and
# then skipped, a disabled test, a program that exited with an error after passing, and one that
# left no results.
#   check_test_summary.sh TEST_SUMMARY_EXE WINE_RUN WORK_FOLDER
set -uo pipefail
summary=$1 wine_run=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
# GoogleTest 1.12's file for: passes, skips, fails twice, disabled, fails then skips.
cat >mixed.xml <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="5" failures="2" disabled="1" errors="0" time="0.056" name="AllTests">
  <testsuite name="S" tests="4" failures="1" disabled="1" skipped="1" errors="0" time="0.048">
    <testcase name="Passes" status="run" result="completed" time="0" classname="S" />
    <testcase name="Skips" status="run" result="skipped" time="0.024" classname="S">
      <skipped message="s.cpp:3&#x0A;why"><![CDATA[s.cpp:3
why]]></skipped>
    </testcase>
    <testcase name="Fails" status="run" result="completed" time="0.017" classname="S">
      <failure message="s.cpp:4" type=""><![CDATA[s.cpp:4]]></failure>
      <failure message="s.cpp:4" type=""><![CDATA[s.cpp:4]]></failure>
    </testcase>
    <testcase name="DISABLED_Off" status="notrun" result="suppressed" time="0" classname="S" />
  </testsuite>
  <testsuite name="T" tests="1" failures="1" disabled="0" skipped="0" errors="0" time="0.007">
    <testcase name="FailsThenSkips" status="run" result="completed" time="0.003" classname="T">
      <failure message="s.cpp:6&#x0A;Failed" type=""><![CDATA[s.cpp:6]]></failure>
      <skipped message="s.cpp:6&#x0A;"><![CDATA[s.cpp:6]]></skipped>
    </testcase>
  </testsuite>
</testsuites>
EOF
sed -e 's/failures="[12]"/failures="0"/' -e '/<failure/d' mixed.xml >passed.xml
"$wine_run" "$summary" mixed=1 passed=3 crashed=-1073741819 >output.txt 2>&1
code=$?
output=$(tr -d '\r' <output.txt)
expected="mixed: 1 passed, 2 failed, 1 skipped
passed: 3 passed, 0 failed, 1 skipped, but it exited with code 3
crashed: no results in crashed.xml, exit code -1073741819
4 passed, 4 failed, 2 skipped"
[ "$output" = "$expected" ] || { echo "FAIL: test_summary.exe printed [$output], expected [$expected]"; exit 1; }
[ "$code" -eq 1 ] || { echo "FAIL: test_summary.exe exited with $code, not 1"; exit 1; }
