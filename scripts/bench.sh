#!/usr/bin/env bash
# Builds and runs the receive-path benchmarks (bench/bench_receive.cpp): on the host, and for
# big-endian MIPS under qemu-mips. Each benchmark runs three times; the median is what counts
# (its bytes_per_second is per CPU second, so a busy machine skews it less than wall time).
#
#   scripts/bench.sh                 host and mips
#   scripts/bench.sh host            host only (Debian's libbenchmark-dev)
#   scripts/bench.sh mips            mips only
#   BENCH_BUILD_PREFIX=build-mine/   build in build-mine/host and build-mine/mips
#                                    (default build/bench-host and build/bench-mips)
#   BENCH_ARGS='--benchmark_filter=Receive'   more arguments for the benchmark programs
#
# Standard output goes through a pipe, so the receive path's output is fully buffered, as on a
# factory station that reads the tool through a pipe (on a terminal stdio flushes every line).
#
# Goals: BM_Assembler >= 200 MB/s and BM_ReceivePath >= 11.5 MB/s (1000 x the UART's
# 11,520 bytes/s) on one host core; BM_ReceivePath >= 1.152 MB/s (100 x) under qemu-mips.
#
# The cross build needs Google Benchmark's source: Debian's source package of the version that
# libbenchmark-dev has on the host, fetched once with apt-get source into <prefix>benchmark-src
# from the deb-src twins of the host's own apt sources, with a private list and cache directory
# (the host's package lists are left alone). Packages: libbenchmark-dev, dpkg-dev,
# g++-mips-linux-gnu, qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=${BENCH_BUILD_PREFIX:-build/bench-}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(host mips)
# shellcheck disable=SC2206
extra=(${BENCH_ARGS:-})
run_args=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true
          --benchmark_counters_tabular=true "${extra[@]}")

# Debian's benchmark source, unpacked; prints its directory.
fetch_benchmark_source() {
    local root="${prefix}benchmark-src"
    local version
    version=$(dpkg-query -W -f='${Version}' libbenchmark-dev)
    local upstream=${version%-*}
    local tree="$root/benchmark-$upstream"
    if [ ! -f "$tree/CMakeLists.txt" ]; then
        mkdir -p "$root/apt/parts" "$root/apt/lists/partial" "$root/apt/cache/archives/partial"
        : >"$root/apt/sources.list"
        # deb-src entries for every deb entry of the host's sources, in both formats.
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
                >"$root/apt/parts/debian-src.sources"
        fi
        if [ -f /etc/apt/sources.list ]; then
            sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$root/apt/sources.list"
        fi
        local apt_opts=(-o "Dir::Etc::SourceList=$PWD/$root/apt/sources.list"
                        -o "Dir::Etc::SourceParts=$PWD/$root/apt/parts"
                        -o "Dir::State::Lists=$PWD/$root/apt/lists"
                        -o "Dir::Cache=$PWD/$root/apt/cache")
        apt-get "${apt_opts[@]}" update -q >&2
        (cd "$root" && apt-get "${apt_opts[@]}" source -q "benchmark=$version" >&2)
    fi
    echo "$PWD/$tree"
}

status=0
for target in "${targets[@]}"; do
    build="${prefix}$target"
    echo "=== $target ($build)"
    case "$target" in
        host)
            cmake --preset default -B "$build" -DBUILD_TESTING=OFF -DMCU_BENCH=ON >/dev/null
            cmake --build "$build" --target mcu_bench
            "$build/bench/mcu_bench" "${run_args[@]}" | cat || status=1
            ;;
        mips)
            source_dir=$(fetch_benchmark_source)
            cmake --preset mips -B "$build" -DBUILD_TESTING=OFF -DMCU_BENCH=ON \
                -DMCU_BENCHMARK_SOURCE="$source_dir" >/dev/null
            cmake --build "$build" --target mcu_bench
            qemu-mips -L /usr/mips-linux-gnu "$build/bench/mcu_bench" "${run_args[@]}" | cat || status=1
            ;;
        *)
            echo "unknown target $target (host or mips)" >&2
            exit 2
            ;;
    esac
done
exit "$status"
