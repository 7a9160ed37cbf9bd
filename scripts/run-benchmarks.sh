#!/usr/bin/env bash
# `make bench`: runs every benchmark program of the build, keeping each one's JSON beside the
# console output. Each program measures our figure and its baseline in the same run.
set -euo pipefail
build=${1:-build}
out="$build/bench-results"
mkdir -p "$out"
status=0
for program in "$build"/bench/bench_*; do
    [ -x "$program" ] || continue
    name=$(basename "$program")
    echo "== $name"
    "$program" --benchmark_out="$out/$name.json" --benchmark_out_format=json || status=1
done
echo "JSON results in $out/"
exit $status
