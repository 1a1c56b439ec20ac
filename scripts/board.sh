#!/usr/bin/env bash
# A virtual board at your fingertips: boots a virtual MIPS board (QEMU Malta, Linux, busybox,
# mcu_test from the board package) with the MCU simulator wired to its MCU UART, and leaves you
# at the board's shell on its console, where mcu_test works as on the real board:
#
#   scripts/board.sh [BOARD] [-- MCU_SIM_OPTION ...]
#       BOARD: mipsel (default), mips, mipsel-nolibc, mips-nolibc (see boards/build.sh)
#   mipsel# mcu_test 4
#
# Ctrl-A X ends the board (QEMU's console escape; Ctrl-A H lists the others). QEMU and the
# simulator are stopped whenever this script ends, also on Ctrl-C outside the board, on a
# signal, or on a failure. The simulator's own messages go to a log that is shown if it fails.
# The simulator comes from the host build build/default (or MCU_HOST_TOOLS_DIR), brought up to
# date first.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 [mipsel|mips|mipsel-nolibc|mips-nolibc] [-- MCU_SIM_OPTION ...]" >&2; exit 2; }
board=mipsel
if [ $# -gt 0 ] && [ "$1" != -- ]; then
    board=$1
    shift
fi
case "$board" in mipsel | mips | mipsel-nolibc | mips-nolibc) ;; *) usage ;; esac
if [ $# -gt 0 ]; then
    [ "$1" = -- ] || usage
    shift
fi
sim_options=("$@")

scripts/install-deps.sh board
host=${MCU_HOST_TOOLS_DIR:-build/default}
sim=$host/sim/mcu_sim
# Brought up to date (an older build may lack the --socket port).
echo "board.sh: building the simulator in $host" >&2
[ -f "$host/CMakeCache.txt" ] || cmake --preset default -B "$host" >/dev/null
cmake --build "$host" --target mcu_sim >/dev/null
artifacts=$(boards/build.sh "$board")

work=$(mktemp -d /tmp/mcu-board.XXXXXX)
socket=$work/mcu.sock
qemu_pid=""
sim_pid=""
terminal=""
[ -t 0 ] && terminal=$(stty -g)
cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    for pid in $sim_pid $qemu_pid; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $sim_pid $qemu_pid; do
        wait "$pid" 2>/dev/null || true
    done
    [ -n "$terminal" ] && stty "$terminal" 2>/dev/null
    if [ "$status" -ne 0 ] && [ -s "$work/sim.log" ]; then
        echo "board.sh: simulator log:" >&2
        cat "$work/sim.log" >&2
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mapfile -t qemu < <(boards/board.py qemu-command "$board" --artifacts "$artifacts" \
    --socket "$socket" --console mon:stdio)
echo "board.sh: booting $board; Ctrl-A X ends it" >&2
# QEMU keeps the terminal (an explicit redirection: a background job would get /dev/null).
"${qemu[@]}" <&0 &
qemu_pid=$!
# The simulator connects as soon as QEMU serves the MCU UART's socket.
(
    for _ in $(seq 100); do
        [ -S "$socket" ] &&
            exec "$sim" --socket "$socket" --ready "$work/sim.ready" "${sim_options[@]}"
        sleep 0.1
    done
    echo "board.sh: QEMU did not open $socket" >&2
    exit 1
) >"$work/sim.log" 2>&1 &
sim_pid=$!
until [ -e "$work/sim.ready" ]; do
    if ! kill -0 "$sim_pid" 2>/dev/null || ! kill -0 "$qemu_pid" 2>/dev/null; then
        echo "board.sh: the simulator or QEMU ended before the simulator was connected" >&2
        exit 1
    fi
    sleep 0.1
done
wait "$qemu_pid"
