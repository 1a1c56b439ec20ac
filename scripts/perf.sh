#!/usr/bin/env bash
# Whole-process figures of mcu_test, run against the simulator (mcu_test_sim, the same tool
# with the simulator's link ttyMCU as its device), each against its goal:
#   sizes      stripped size and shared-library needs of mcu_test for amd64, mips and mipsel
#              (goal for mips: <= 24 KiB, readelf -d lists only libc.so.6 and libm.so.6)
#   overhead   wall time of each operation minus the sum of its fixed waits, median of
#              PERF_RUNS runs (goal <= 5 ms), with the median CPU time (user + system)
#   cpu        CPU time of operation 1 over its 10 s against a quiet MCU (goal <= 20 ms),
#              from the same runs, and its instruction count under callgrind
#   rss        peak resident memory over all those runs (goal <= 1.5 MiB)
#   heap       every heap allocation of a run under valgrind, with its call stack (goal: none
#              from the tool's own code; only the C library's stdout buffer)
#
#   scripts/perf.sh                      everything (about 5 minutes: the waits take most)
#   scripts/perf.sh sizes heap           only these parts (sizes overhead cpu rss heap)
#   PERF_RUNS=9 scripts/perf.sh          runs per operation (default 5)
#   PERF_BUILD_PREFIX=build-mine/ ...    build in build-mine/host, build-mine/mips, ...
#                                        (default build/perf-host, build/perf-mips, ...)
#
# Wall times count from the fork of the tool to its end. On a busy machine they include the
# scheduler's delays in waking the tool after each sleep; the CPU times do not. The figures
# are the kernel's accounting (wait4: ru_utime, ru_stime, ru_maxrss), by bench/run_stats.cpp.
# Packages: cmake, ninja-build, g++, g++-mips-linux-gnu, g++-mipsel-linux-gnu, valgrind,
# libbenchmark-dev (the bench directory, where run_stats lives, needs it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

prefix=${PERF_BUILD_PREFIX:-build/perf-}
runs=${PERF_RUNS:-5}
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(sizes overhead cpu rss heap)
want() { [[ " ${parts[*]} " == *" $1 "* ]]; }

host="$root/${prefix}host"
failed=0
verdict() { # verdict <figure> <value> <goal> <met: 0|1>
    if [ "$4" -eq 1 ]; then
        printf '%-44s %14s   goal %-12s met\n' "$1" "$2" "$3"
    else
        printf '%-44s %14s   goal %-12s MISSED\n' "$1" "$2" "$3"
        failed=1
    fi
}

echo "=== build"
cmake --preset default -B "$host" -DBUILD_TESTING=OFF -DMCU_BENCH=ON >/dev/null
cmake --build "$host" --target mcu_test mcu_test_sim mcu_sim mcu_run_stats >/dev/null
if want sizes; then
    for arch in mips mipsel; do
        cmake --preset "$arch" -B "$root/${prefix}$arch" -DBUILD_TESTING=OFF >/dev/null 2>&1
        cmake --build "$root/${prefix}$arch" --target mcu_test >/dev/null
    done
fi

sim="$host/sim/mcu_sim"
tool="$host/mcu_test_sim"
stats="$host/bench/mcu_run_stats"
work=$(mktemp -d)
sim_pid=""
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap 'stop_sim; rm -rf "$work"' EXIT

# start_sim <dir>: a simulator publishing <dir>/ttyMCU, returns once the link is there.
start_sim() {
    (cd "$1" && exec "$sim" --link ttyMCU >sim.out 2>&1) &
    sim_pid=$!
    for _ in $(seq 500); do
        [ -L "$1/ttyMCU" ] && return 0
        sleep 0.01
    done
    echo "the simulator did not publish $1/ttyMCU" >&2
    exit 1
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

if want sizes; then
    echo "=== sizes (stripped mcu_test; text/data/bss from size)"
    for arch in amd64 mips mipsel; do
        case $arch in
            amd64) dir=$host tools="" ;;
            mips) dir="$root/${prefix}mips" tools=mips-linux-gnu- ;;
            mipsel) dir="$root/${prefix}mipsel" tools=mipsel-linux-gnu- ;;
        esac
        "${tools}strip" -o "$work/mcu_test.$arch" "$dir/mcu_test"
        bytes=$(stat -c %s "$work/mcu_test.$arch")
        read -r text data bss _ < <("${tools}size" "$work/mcu_test.$arch" | tail -n 1)
        needed=$("${tools}readelf" -d "$work/mcu_test.$arch" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
        printf '%-7s %6d bytes (%5.1f KiB)  text %6d data %5d bss %5d  needs: %s\n' \
            "$arch" "$bytes" "$(echo "$bytes / 1024" | bc -l)" "$text" "$data" "$bss" "$needed"
        if [ "$arch" = mips ]; then
            verdict "stripped mcu_test, big-endian MIPS" "$bytes B" "<= 24576 B" $((bytes <= 24576))
            ok=1
            [ "$needed" = "libc.so.6 libm.so.6 " ] || [ "$needed" = "libc.so.6 " ] || ok=0
            verdict "mips readelf -d NEEDED" "${needed% }" "libc, libm" "$ok"
        fi
    done
fi

# Operations on their normal paths: arguments and the sum of their fixed waits in ms.
# 16's and 18's paths that end the program (usage lines, endless dots) are left out.
ops=(
    "0 1|300" "1|10000" "2 50|1000" "2|1500" "3|1000" "4|1400" "5|1000" "6|3000" "7 0|1000"
    "8|1000" "9|2000" "10|5000" "11|500" "12 0 38000 1|400" "12 1|3000" "13 3|500" "14|5000"
    "15|5000" "16 115200 1 0 0|400" "17|400" "19 1 1|500" "20 1|500" "21|500" "22|500"
    "23|500" "24 0|2000" "25|2000" "26 1 1 2 0|500"
)

if want overhead || want cpu || want rss; then
    echo "=== runs: $runs per operation against the simulator"
    for round in $(seq "$runs"); do
        for i in "${!ops[@]}"; do
            args=${ops[$i]%|*}
            run="$work/run$i"
            mkdir -p "$run"
            start_sim "$run"
            # shellcheck disable=SC2086
            (cd "$run" && "$stats" "$run/stats" "$tool" $args >"$run/out")
            stop_sim
        done
        # The floor of this machine: the same measurement of a process that does nothing.
        "$stats" "$work/true.stats" /bin/true
        echo "round $round done"
    done
fi

if want overhead; then
    echo "=== overhead beyond the fixed waits (median of $runs runs; CPU = user + system)"
    worst=0
    for i in "${!ops[@]}"; do
        args=${ops[$i]%|*}
        waits=${ops[$i]#*|}
        over=$(awk -v w="$waits" '{ print $1 / 1000 - w }' "$work/run$i/stats" | median)
        cpu=$(awk '{ print ($2 + $3) / 1000 }' "$work/run$i/stats" | median)
        printf 'op %-20s waits %6d ms  overhead %7.2f ms  cpu %6.2f ms\n' "$args" "$waits" "$over" "$cpu"
        worst=$(echo "$over $worst" | awk '{ print ($1 > $2) ? $1 : $2 }')
    done
    printf 'floor: /bin/true                 wall    %7.2f ms  cpu %6.2f ms\n' \
        "$(awk '{ print $1 / 1000 }' "$work/true.stats" | median)" \
        "$(awk '{ print ($2 + $3) / 1000 }' "$work/true.stats" | median)"
    verdict "largest median overhead (host)" "$worst ms" "<= 5 ms" "$(echo "$worst" | awk '{ print ($1 <= 5) }')"
fi

if want cpu; then
    echo "=== operation 1: 10 s against a quiet MCU"
    cpu=$(awk '{ print ($2 + $3) / 1000 }' "$work/run1/stats" | median)
    verdict "op 1 CPU time (user + system), median" "$cpu ms" "<= 20 ms" "$(echo "$cpu" | awk '{ print ($1 <= 20) }')"
    mkdir -p "$work/callgrind"
    start_sim "$work/callgrind"
    (cd "$work/callgrind" && valgrind --tool=callgrind --callgrind-out-file=cg.out "$tool" 1 \
        >/dev/null 2>cg.log)
    stop_sim
    echo "op 1 instructions (callgrind, both threads): $(sed -n 's/.*Collected : //p' "$work/callgrind/cg.log")"
fi

if want rss; then
    echo "=== peak resident memory (largest over every run above)"
    peak=$(cat "$work"/run*/stats | awk '{ if ($4 > m) m = $4 } END { print m }')
    printf 'median peak per operation (KiB):'
    for i in "${!ops[@]}"; do
        printf ' %s:%s' "${ops[$i]%%|*}" "$(awk '{ print $4 }' "$work/run$i/stats" | median)"
    done
    printf '\nfloor: /bin/true %s KiB\n' "$(awk '{ print $4 }' "$work/true.stats" | median)"
    verdict "peak resident memory (host)" "$peak KiB" "<= 1536 KiB" $((peak <= 1536))
    # What the resident pages are: one second into operation 1, by mapping.
    mkdir -p "$work/smaps"
    start_sim "$work/smaps"
    (cd "$work/smaps" && exec "$tool" 1 >/dev/null) &
    tool_pid=$!
    sleep 1
    grep -E '^(Rss|Pss|Shared_Clean|Private_Clean|Private_Dirty):' "/proc/$tool_pid/smaps_rollup" |
        tr -s ' ' | tr '\n' ' '
    echo
    awk '/^[0-9a-f]+-/ { name = ($6 == "") ? "[anonymous]" : $6 } /^Rss:/ { rss[name] += $2 }
         END { for (n in rss) if (rss[n] > 0) printf "  %5d KiB %s\n", rss[n], n }' \
        "/proc/$tool_pid/smaps" | sort -rn
    kill "$tool_pid" 2>/dev/null || true
    wait "$tool_pid" 2>/dev/null || true
    stop_sim
fi

if want heap; then
    echo "=== heap: operations 4 and 12 1 (replies, reports, the largest frame) under valgrind"
    for args in "4" "12 1"; do
        dir="$work/heap-${args// /_}"
        mkdir -p "$dir"
        start_sim "$dir"
        # shellcheck disable=SC2086
        (cd "$dir" && valgrind --xtree-memory=full --xtree-memory-file=xtree.out \
            --leak-check=full --show-leak-kinds=all "$tool" $args >/dev/null 2>vg.log)
        stop_sim
        echo "--- op $args: $(sed -n 's/.*total heap usage: //p' "$dir/vg.log")"
        # Bytes and blocks allocated (totB totBk) under each function, inclusive: the tool's
        # code shows only as a caller (main) of the C library's functions that allocate.
        callgrind_annotate --inclusive=yes "$dir/xtree.out" 2>/dev/null |
            awk 'f && NF == 0 { exit } f || /file:function/ { print } /file:function/ { getline; f = 1 }'
    done
fi

[ "$failed" -eq 0 ] && echo "=== every goal met" || echo "=== some goals MISSED"
exit "$failed"
