#!/usr/bin/env bash
# Builds the benchmarks with the bench preset (Release, in build-bench), runs
# them on the offscreen platform and prints the summary table. Each run's
# figures are also appended to build-bench/bench-history.tsv; Google
# Benchmark's own report of the last run is in build-bench/bench-details.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build-bench}
jobs=${JOBS:-$(nproc)}

cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target velmora-bench >/dev/null

figures=$build/bench-figures.tsv
rm -f "$figures"
status=0
QT_QPA_PLATFORM=offscreen "$build/bench/velmora-bench" \
    --details="$build/bench-details.txt" --figures="$figures" || status=$?

if [ -f "$figures" ]; then
    stamp=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    sed "s/^/$stamp\t/" "$figures" >>"$build/bench-history.tsv"
fi
exit "$status"
