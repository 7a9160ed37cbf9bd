#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets with clang (address,undefined) and runs each for
# FUZZ_SECONDS (default 30), FUZZ_JOBS targets at a time (default 2). Each target starts from its
# seeds in tests/fuzz/corpus/<target>/ plus what earlier runs kept in <build>/corpus/<target>/;
# the seeds themselves are never written. A crash leaves its input in <build>/artifacts/<target>/
# and makes the run fail.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-2}

[ -f "$build/CMakeCache.txt" ] || cmake --preset fuzz -B "$build"
cmake --build "$build" --target fuzz_all -j "${BUILD_JOBS:-2}"

run_one() {
    local name=$1 program="$build/tests/fuzz/fuzz_$1"
    local corpus="$build/corpus/$name" artifacts="$build/artifacts/$name"
    mkdir -p "$corpus" "$artifacts"
    # New inputs go to the first folder only; the seeds are read, not written.
    if "$program" "$corpus" "tests/fuzz/corpus/$name" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        >"$build/fuzz-$name.log" 2>&1; then
        echo "ok    $name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' \
            "$build/fuzz-$name.log" | grep -o '[0-9]*$') runs in ${seconds}s"
    else
        echo "FAIL  $name (log: $build/fuzz-$name.log)"
        tail -n 40 "$build/fuzz-$name.log"
        return 1
    fi
}

targets=()
for program in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$program" ] && targets+=("$(basename "$program" | sed 's/^fuzz_//')")
done

status=0
pids=()
for name in "${targets[@]}"; do
    run_one "$name" &
    pids+=($!)
    if [ "${#pids[@]}" -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
