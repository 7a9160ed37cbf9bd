#!/usr/bin/env bash
# Every exported query REPEAT times (default 10000) in one process, checked for leaks:
#   scripts/leak-check.sh [REPEAT]             LeakSanitizer, in the address-sanitized build
#                                              (BUILD, default build-asan)
#   scripts/leak-check.sh --valgrind [REPEAT]  valgrind --leak-check=full on the plain build
#                                              (BUILD, default build)
# The test itself also fails on a descriptor, child process or file left behind. Tools run as
# child processes and are not followed by valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=lsan
if [ "${1:-}" = --valgrind ]; then
    tool=valgrind
    shift
fi
repeat=${1:-10000}

if [ "$tool" = lsan ]; then
    build=${BUILD:-build-asan}
    [ -f "$build/CMakeCache.txt" ] || cmake --preset asan -B "$build"
    cmake --build "$build" --target test_stress -j "${BUILD_JOBS:-2}"
    start=$SECONDS
    VZ_QUERY_REPEAT=$repeat ASAN_OPTIONS=detect_leaks=1 \
        "$build/tests/test_stress" --gtest_filter='RepeatedQueries.*'
else
    build=${BUILD:-build}
    [ -f "$build/CMakeCache.txt" ] || cmake --preset default -B "$build"
    cmake --build "$build" --target test_stress -j "${BUILD_JOBS:-2}"
    start=$SECONDS
    VZ_QUERY_REPEAT=$repeat valgrind --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
        "$build/tests/test_stress" --gtest_filter='RepeatedQueries.*'
fi
echo "leak check ($tool, $repeat rounds of every query): clean, $((SECONDS - start)) s"
