#!/usr/bin/env bash
# Builds the tool and the MCU simulator on this machine (host preset), starts the simulator,
# takes the tool on a short tour of its operations against it, and stops it again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo
cmake --preset default >/dev/null
cmake --build --preset default --target mcu_test_sim mcu_sim

build=$PWD/build/default
run_dir=$(mktemp -d)
sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$run_dir"
}
trap stop_sim EXIT

# mcu_test_sim opens ./ttyMCU: the simulator's link in the directory where both run.
cd "$run_dir"
"$build/sim/mcu_sim" --link ttyMCU --log sim.log >sim.out 2>&1 &
sim_pid=$!
for _ in $(seq 500); do
    [ -e ttyMCU ] && break
    kill -0 "$sim_pid" 2>/dev/null || { cat sim.out; echo "the simulator ended" >&2; exit 1; }
    sleep 0.01
done
[ -e ttyMCU ] || { echo "the simulator did not publish ttyMCU" >&2; exit 1; }

# A short tour: identity, sensors, energy metering, relays, RS485 loopback, infrared, NTC.
tour=(
    "0 0" "0 1" "0 2"   # work mode, firmware version, model
    "11"                # temperature and humidity
    "4"                 # HLW8112 energy metering
    "19 1 1" "19 1"     # switch relay 1 on, read it back
    "20 1"              # relay 1 on-time
    "17"                # RS485 loopback
    "12 2" "12 3 1"     # infrared send, infrared learning
    "21"                # relay NTC temperature
)
for params in "${tour[@]}"; do
    echo "\$ mcu_test_sim $params"
    # shellcheck disable=SC2086 # the parameters are separate words
    "$build/mcu_test_sim" $params
    echo
done
