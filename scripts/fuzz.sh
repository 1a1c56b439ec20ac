#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan, mcu_core instrumented as well) and runs
# each one for a bounded time. Fails on the first finding, with the path of the reproducer.
#
#   scripts/fuzz.sh                      every target, 30 s each
#   scripts/fuzz.sh receive cmdline      only these targets
#   FUZZ_SECONDS=3600 scripts/fuzz.sh    longer runs: an hour per target (the corpus that a run
#                                        grows stays in the build directory and is reused)
#   FUZZ_BUILD_DIR=build-mine ...        another build directory (default build/fuzz)
#
# Packages: clang and libclang-rt-14-dev (or the runtime of the installed clang).
# A reproducer replays with: <build dir>/fuzz/fuzz_<target> <reproducer file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD_DIR:-build/fuzz}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(receive base64 cmdline)
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DMCU_FUZZ=ON -DMCU_WARNINGS_AS_ERRORS=ON
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

declare -A executions
failed=0
for t in "${targets[@]}"; do
    work="$build/fuzz-work/$t"
    artifacts="$work/artifacts/$(date +%Y%m%d-%H%M%S)"
    mkdir -p "$work/corpus" "$artifacts"
    log="$work/last-run.log"
    echo "=== fuzz_$t for ${seconds} s"
    # The receive path's cost grows with the input; 1280 bytes still pass the 1024-byte slot.
    extra=()
    if [ "$t" = receive ]; then
        extra=(-max_len=1280)
    fi
    # The new inputs go to the work corpus; the committed seed corpus is only read.
    if "$build/fuzz/fuzz_$t" "$work/corpus" "fuzz/corpus/$t" "${extra[@]}" \
        -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$log" 2>&1; then
        status=ok
    else
        status="FAILED with status $? (a finding: crash, sanitizer report or broken invariant)"
        failed=1
    fi
    runs=$(awk '/stat::number_of_executed_units:/ { n = $2 } END { print n + 0 }' "$log")
    executions[$t]="$runs executions, $status"
    if [ "$status" != ok ]; then
        tail -n 40 "$log"
        ls -1 "$artifacts" | sed "s|^|reproducer: $artifacts/|"
    fi
done

echo "=== summary (${seconds} s per target)"
for t in "${targets[@]}"; do
    printf 'fuzz_%-8s %s\n' "$t" "${executions[$t]}"
done
exit "$failed"
