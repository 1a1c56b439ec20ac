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
# simulator are stopped whenever this script ends, also on a signal or on a failure
# (boards/board.py console). The simulator's messages are shown when it does not come up.
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
terminal=""
[ -t 0 ] && terminal=$(stty -g)
# QEMU normally gives the terminal back as it found it; not when it is killed.
restore() { [ -z "$terminal" ] || stty "$terminal" 2>/dev/null || true; }
trap restore EXIT
echo "board.sh: booting $board; Ctrl-A X ends it" >&2
/usr/bin/python3 -m boards.board console "$board" --mcu-sim "$sim" -- ${sim_options[@]+"${sim_options[@]}"}
