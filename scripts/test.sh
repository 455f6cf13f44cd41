#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build, then
# the same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
orvane_install_dependencies

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== plain build"
orvane_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 300

echo "== fuzzing the query parser and evaluator (bounded)"
orvane_build build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -S tests/fuzz
fuzz_work=$(mktemp -d)
build-fuzz/query_fuzz -max_total_time="${ORVANE_FUZZ_SECONDS:-30}" -max_len=4096 -print_final_stats=1 \
  "$fuzz_work" tests/fuzz/corpus/query 2>&1 | tail -n 3
rm -rf "$fuzz_work"

echo "== sanitized build"
orvane_build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BENCH=OFF
ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)" --timeout 600
