#!/usr/bin/env bash
# `make check`: the whole test suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the engines and all their tests built with
# ThreadSanitizer, and every fuzz target for a bounded time. Each stage builds
# in a directory of its own (build-asan, build-tsan, build-fuzz) and stops the
# script at its first finding.
#
# FUZZ_SECONDS (default 30) is the time each fuzz target runs; JOBS the
# parallel build and test jobs (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-30}

summary=()
note() { summary+=("$(printf '%-34s %s' "$1" "$2")"); }
since() { echo "$((SECONDS - $1)) s"; }

# The configurations are the presets of CMakePresets.json, each building in a
# directory of its own. A directory keeps the generator it was made with; a new
# one gets Ninja when there is one.
configure() {
    local preset=$1 dir=$2
    local generator=()
    if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
    fi
    cmake --preset "$preset" "${generator[@]}"
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: the whole test suite (clang)"
start=$SECONDS
configure asan-ubsan build-asan
cmake --build --preset asan-ubsan -j "$jobs"
ctest --preset asan-ubsan -j "$jobs"
note "ASan+UBSan, all tests" "passed in $(since "$start")"

echo "== ThreadSanitizer: the engines' tests (g++)"
start=$SECONDS
configure tsan build-tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"
note "TSan, engine tests" "passed in $(since "$start")"

echo "== libFuzzer: every fuzz target, ${fuzz_seconds} s each (clang)"
start=$SECONDS
configure fuzz build-fuzz
cmake --build --preset fuzz -j "$jobs"
note "fuzz build" "$(since "$start")"
# The targets are the ones fuzz/CMakeLists.txt names, as built.
mapfile -t fuzz_targets < <(find build-fuzz/fuzz -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' | sort)
[ ${#fuzz_targets[@]} -gt 0 ] || { echo "check: no fuzz target was built" >&2; exit 1; }
for target in "${fuzz_targets[@]}"; do
    # New inputs go to the build directory; the seeds in the repository stay as they are.
    work=build-fuzz/corpus/$target
    mkdir -p "$work" build-fuzz/artifacts
    log=build-fuzz/$target.log
    if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "build-fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 \
        -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$target-" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "check: $target found a fault; the input is in build-fuzz/artifacts/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    note "fuzz $target" "${runs:-?} executions in ${fuzz_seconds} s, no finding"
done

echo
echo "== make check: summary"
printf '%s\n' "${summary[@]}"
