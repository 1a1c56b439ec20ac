#!/usr/bin/env bash
# Builds the tool and the simulator for every build type x compiler x target, with warnings as
# errors, and prints a table of the results and the total time. No tests are built: this checks
# that each plain `cmake -DCMAKE_BUILD_TYPE=T` configuration compiles, not what it does.
#
#   scripts/build-matrix.sh          the whole matrix, in build/matrix/<compiler>-<target>-<type>
#   MATRIX_TYPES=Release MATRIX_TARGETS="mips mipsel" scripts/build-matrix.sh
#                                    a part of it (MATRIX_TYPES, MATRIX_COMPILERS, MATRIX_TARGETS)
#
# Two builds run side by side, one job each: a configure runs on one core only, so two
# single-job builds keep both cores busier than one build with -j2.
# Exit status 1 when any build fails; its log is build/matrix/<...>/build.log.
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a types <<<"${MATRIX_TYPES:-Debug Release RelWithDebInfo MinSizeRel}"
read -r -a compilers <<<"${MATRIX_COMPILERS:-gcc clang}"
read -r -a targets <<<"${MATRIX_TARGETS:-host mips mipsel}"
root=build/matrix

# shellcheck disable=SC2317 # run by xargs, below
# One build: configure and build into its directory, leaving "ok" or "FAILED" in its result file.
build_one() {
    local compiler=$1 target=$2 type=$3
    local dir=$root/$compiler-$target-$type
    local args=(-G Ninja -DCMAKE_BUILD_TYPE="$type" -DBUILD_TESTING=OFF -DMCU_WARNINGS_AS_ERRORS=ON)
    local goals=(mcu_test mcu_test_sim)
    if [ "$target" = host ]; then
        goals+=(mcu_sim)
        if [ "$compiler" = clang ]; then
            args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
        fi
    else
        goals+=(mcu_test-static)
        args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$target.cmake"
            -DMCU_CROSS_COMPILER="$compiler")
    fi
    mkdir -p "$dir"
    local start=$SECONDS
    if cmake -S . -B "$dir" "${args[@]}" >"$dir/build.log" 2>&1 &&
        cmake --build "$dir" -j1 --target "${goals[@]}" >>"$dir/build.log" 2>&1; then
        echo "ok $((SECONDS - start))" >"$dir/result"
    else
        echo "FAILED $((SECONDS - start))" >"$dir/result"
    fi
}

start=$SECONDS
jobs=()
for type in "${types[@]}"; do
    for compiler in "${compilers[@]}"; do
        for target in "${targets[@]}"; do
            jobs+=("$compiler $target $type")
            rm -f "$root/$compiler-$target-$type/result"
        done
    done
done
export root
export -f build_one
printf '%s\n' "${jobs[@]}" | nice xargs -P 2 -L 1 bash -c 'build_one "$@"' _

printf '%-15s %-8s %-7s %-7s %s\n' type compiler target result seconds
failed=0
for job in "${jobs[@]}"; do
    read -r compiler target type <<<"$job"
    dir=$root/$compiler-$target-$type
    result=FAILED seconds=
    read -r result seconds 2>/dev/null <"$dir/result" || true
    printf '%-15s %-8s %-7s %-7s %s\n' "$type" "$compiler" "$target" "$result" "${seconds:-}"
    if [ "$result" != ok ]; then
        failed=1
        echo "    log: $dir/build.log"
    fi
done
echo "build matrix: ${#jobs[@]} builds in $((SECONDS - start)) s"
exit "$failed"
