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

# A throwaway PostgreSQL cluster for the tests of the shared index, stopped however this script ends.
read -r postgres_folder ORVANE_TEST_POSTGRES < <(scripts/postgres-test-cluster.sh start)
export ORVANE_TEST_POSTGRES
trap 'scripts/postgres-test-cluster.sh stop "$postgres_folder"' EXIT

echo "== plain build"
orvane_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON
# The differential test of the index runs for a bounded time, from a new seed each run.
ORVANE_DIFFERENTIAL_SECONDS=${ORVANE_DIFFERENTIAL_SECONDS:-30} \
  ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 300

echo "== fuzzing the query language and the importers' readers (bounded)"
# A tree from before the fuzz targets joined the one project is made anew.
grep -q 'CMAKE_HOME_DIRECTORY.*/tests/fuzz$' build-fuzz/CMakeCache.txt 2>/dev/null && rm -rf build-fuzz
[ -f build-fuzz/build.ninja ] || cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF -DORVANE_BENCH=OFF >&2
cmake --build build-fuzz -j "$(nproc)" --target query_fuzz jcamp_fuzz parameters_fuzz
for target in query jcamp parameters; do
  fuzz_work=$(mktemp -d)
  echo "-- ${target}_fuzz"
  build-fuzz/bin/${target}_fuzz -max_total_time="${ORVANE_FUZZ_SECONDS:-20}" -max_len=8192 -print_final_stats=1 \
    "$fuzz_work" "tests/fuzz/corpus/$target" 2>&1 | grep -E '^(Done|stat::number_of_executed_units|==[0-9]+==ERROR)' || true
  status=${PIPESTATUS[0]}
  rm -rf "$fuzz_work"
  [ "$status" -eq 0 ] || { echo "${target}_fuzz found a fault (status $status)"; exit 1; }
done

echo "== sanitized build"
orvane_build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BENCH=OFF -DORVANE_WERROR=ON
ORVANE_DIFFERENTIAL_SECONDS=${ORVANE_SANITIZED_DIFFERENTIAL_SECONDS:-20} \
  ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)" --timeout 600
