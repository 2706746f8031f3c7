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
root=$PWD
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-30}
fuzz_targets=(fuzz_padding fuzz_datetext fuzz_listingline fuzz_phonebook)
export QT_QPA_PLATFORM=offscreen

summary=()
note() { summary+=("$(printf '%-34s %s' "$1" "$2")"); }
since() { echo "$((SECONDS - $1)) s"; }

configure() {
    local dir=$1
    shift
    local generator=()
    # A directory keeps the generator it was made with; a new one gets Ninja when there is one.
    if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
    fi
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMORA_BUILD_BENCH=OFF "$@"
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: the whole test suite (clang)"
start=$SECONDS
configure build-asan -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
(
    cd build-asan
    # Only frames of third-party libraries are suppressed; see tools/lsan.supp.
    export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1
    export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    ctest --output-on-failure -j "$jobs"
)
note "ASan+UBSan, all tests" "passed in $(since "$start")"

echo "== ThreadSanitizer: the engines' tests (g++)"
# g++: clang 14's ThreadSanitizer runtime aborts in its clone() interceptor
# when a test starts another process, as the lock tests do.
start=$SECONDS
configure build-tsan -DCMAKE_CXX_COMPILER=g++ -DVELMORA_ENGINES_ONLY=ON -DVELMORA_SANITIZE=thread
cmake --build build-tsan -j "$jobs"
(
    cd build-tsan
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ctest --output-on-failure -j "$jobs"
)
note "TSan, engine tests" "passed in $(since "$start")"

echo "== libFuzzer: ${#fuzz_targets[@]} targets, ${fuzz_seconds} s each (clang)"
start=$SECONDS
configure build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_FUZZ=ON -DVELMORA_BUILD_TESTS=OFF \
    -DVELMORA_SANITIZE=fuzzer-no-link,address,undefined
cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]}"
note "fuzz build" "$(since "$start")"
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
