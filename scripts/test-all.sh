#!/usr/bin/env bash
# Builds and tests every preset: the host build, ASan+UBSan, TSan, and the board builds for
# big- and little-endian MIPS (their tests run under qemu-user). Installs missing packages first.
# The host build comes first: the board builds take the simulator from it. Every preset is
# tried; the summary at the end has each ctest's count.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all

# The big-endian virtual board's kernel, built from Debian's kernel source (boards/kernel.sh;
# 3 to 10 minutes, once: then it is cached), must be there before the mips preset is
# configured, which registers that board's tests only when the kernel is there; its busybox
# (boards/busybox.sh, a minute or two) is built from source as well, and so is each board's
# second busybox (busybox.sh ARCH linked). They build meanwhile, at the lowest priority and in
# a process group of their own: the host presets' builds and tests go first, and their tests
# mostly wait on the tool's fixed times, which leaves the kernel the idle cycles. A machine
# busy with other work has none: whatever is not built when the mips preset's turn comes is
# built then, at normal priority (what is done is cached and kept).
boards=(bash -c 'boards/kernel.sh && boards/busybox.sh mips &&
    boards/busybox.sh mips linked && boards/busybox.sh mipsel linked')
mkdir -p build
setsid nice -n 19 "${boards[@]}" >build/kernel.log 2>&1 &
kernel=$!
trap 'kill -- "-$kernel" 2>/dev/null || true' EXIT
boards_built() {
    if kill -0 "$kernel" 2>/dev/null; then
        echo "test-all.sh: the boards' kernel and busybox are not built yet; building them" \
            "at normal priority (build/kernel.log)"
        kill -- "-$kernel" 2>/dev/null || true
        wait "$kernel" 2>/dev/null || true
        "${boards[@]}" >>build/kernel.log 2>&1
    else
        wait "$kernel"
    fi
}

presets=(default asan tsan mips mipsel)
declare -A result
failed=0
for preset in "${presets[@]}"; do
    if [ "$preset" = mips ] && ! boards_built; then
        echo "test-all.sh: the big-endian board's kernel or a busybox did not build" \
            "(build/kernel.log); its board tests are left out"
    fi
    echo "=== $preset"
    log="build/$preset-ctest.log"
    if cmake --preset "$preset" && cmake --build --preset "$preset" &&
        ctest --preset "$preset" 2>&1 | tee "$log" && [ "${PIPESTATUS[0]}" -eq 0 ]; then
        result[$preset]=$(grep -E 'tests passed' "$log" | tail -n 1)
    else
        failed=1
        result[$preset]="FAILED: $(grep -E 'tests passed' "$log" 2>/dev/null | tail -n 1 || true)"
    fi
done

echo "=== summary"
for preset in "${presets[@]}"; do
    printf '%-8s %s\n' "$preset" "${result[$preset]}"
done
exit "$failed"
