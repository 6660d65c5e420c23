#!/usr/bin/env bash
# Builds the template check and output-name formatter natively with clang, libFuzzer and the
# address and undefined-behaviour sanitizers, then fuzzes them. Usage: tools/fuzz.sh [SECONDS]
# (default 60). Seeds come from fuzz/corpus; what the fuzzer finds new goes to build-native/corpus,
# and an input that fails is saved in build-native/ and makes the script fail.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
out=$project/build-native
mkdir -p "$out/corpus"
clang++ -std=c++17 -g -O1 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$project" \
    "$project/capture/job_naming.cpp" "$project/server/settings.cpp" "$project/tests/harness/expected.cpp" \
    "$project/fuzz/job_naming_fuzzer.cpp" \
    -o "$out/job_naming_fuzzer"
"$out/job_naming_fuzzer" -max_total_time="$seconds" -max_len=2048 -timeout=10 -print_final_stats=1 \
    -dict="$project/fuzz/template.dict" -artifact_prefix="$out/" "$out/corpus" "$project/fuzz/corpus" \
    >"$out/fuzz.log" 2>&1 || { tail -n 40 "$out/fuzz.log" >&2; echo "fuzz: failed, see $out/fuzz.log" >&2; exit 1; }
grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$out/fuzz.log" | sed 's/^/fuzz: /' >&2 || true
