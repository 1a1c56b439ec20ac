#!/usr/bin/python3
"""Footprint of the board programs, dynamic mcu_test next to mcu_test-static, for operation
"0 1" (one command, then a 300 ms wait) against mcu_sim:

  stripped size     of each program as the board package installs it
  peak RSS          the kernel's ru_maxrss of the run (wait4)
  wall - 300 ms     wall time from fork to exit beyond the operation's 300 ms wait (median)
  CPU               user + system time of the run (median)

measured on the host under qemu-user (the figures are those of the qemu process: what the
emulator adds is in them) and on a virtual board (the kernel's own accounting of the MIPS
process). Each run goes through bench/run_stats.cpp, compiled for the host and, statically,
for the board.

    boards/footprint.py mipsel [-n 5] [--host-build build/default]
The cross build is the one boards/build.sh takes (MCU_BOARD_BUILD_DIR or build/<arch>).
"""
import argparse
import os
import statistics
import subprocess
import tempfile

from boards import board as boards
from boards import simulator

WAIT_US = 300_000
PROGRAMS = ("mcu_test", "mcu_test-static")


def summary(rows):
    """rows: (wall µs, user µs, system µs, rss KiB, status) -> the reported figures."""
    if any(r[4] != 0 for r in rows):
        raise SystemExit(f"a run ended with a status other than 0: {rows}")
    over = statistics.median(r[0] - WAIT_US for r in rows) / 1000
    cpu = statistics.median(r[1] + r[2] for r in rows) / 1000
    return f"wall-300ms {over:7.1f} ms  CPU {cpu:6.1f} ms  peak RSS {max(r[3] for r in rows):6d} KiB"


def parse(text):
    return [tuple(int(x) for x in line.split()) for line in text.splitlines() if line.strip()]


def host_runs(arch, pkgroot, stats, sim, runs):
    """Under qemu-user: the program's /dev/ttyS4 is the simulator's link inside a -L root."""
    results = {}
    with tempfile.TemporaryDirectory(prefix="mcu-fp.") as d:
        root = os.path.join(d, "root")
        os.makedirs(os.path.join(root, "dev"))
        os.symlink(f"/usr/{arch}-linux-gnu/lib", os.path.join(root, "lib"))
        link = os.path.join(root, "dev", "ttyS4")
        for program in PROGRAMS:
            out = os.path.join(d, program + ".stats")
            for _ in range(runs):
                with simulator.sim_process(sim, ["--link", link], cwd=d):
                    run = subprocess.run([stats, out, f"qemu-{arch}", "-L", root,
                                          os.path.join(pkgroot, "usr", "bin", program), "0", "1"],
                                         check=True, stdout=subprocess.PIPE)
                if b"ver:" not in run.stdout:  # a run that did not reach the MCU
                    raise SystemExit(f"{program} 0 1 under qemu-{arch}: no reply\n"
                                     f"{run.stdout.decode()}")
            with open(out) as f:
                results[program] = parse(f.read())
    return results


def board_runs(name, info, sim, runs):
    results = {p: [] for p in PROGRAMS}
    with boards.virtual_board(name, info, sim=sim) as b, tempfile.TemporaryDirectory(
            prefix="mcu-fp-sim.") as work:
        for program in PROGRAMS:
            for _ in range(runs):
                with b.simulator(work):
                    # A run that did not reach the MCU does not count (grep afterwards: a
                    # reader beside it would share the board's one CPU).
                    out, status = b.sh(f"mcu_run_stats /tmp/stats {program} 0 1 >/tmp/out"
                                       " && grep -q ver: /tmp/out")
                    if status:
                        raise SystemExit(f"{name}: {program} 0 1 failed: {out}")
            out, _ = b.sh("cat /tmp/stats; rm /tmp/stats")
            results[program] = parse(out)
    return results


def main():
    boards.exit_on_signals()
    parser = argparse.ArgumentParser(description="footprint of mcu_test and mcu_test-static")
    parser.add_argument("arch", choices=("mipsel", "mips"))
    parser.add_argument("-n", type=int, default=5, help="runs of each program (default 5)")
    parser.add_argument("--host-build", default=os.path.join(boards.SOURCE, "build", "default"))
    args = parser.parse_args()
    sim = os.path.abspath(os.path.join(args.host_build, "sim", "mcu_sim"))
    source = os.path.join(boards.SOURCE, "bench", "run_stats.cpp")

    with tempfile.TemporaryDirectory(prefix="mcu-fp-tools.") as tools:
        host_stats = os.path.join(tools, "host", "mcu_run_stats")
        board_stats = os.path.join(tools, "board", "mcu_run_stats")
        os.makedirs(os.path.dirname(host_stats))
        os.makedirs(os.path.dirname(board_stats))
        subprocess.run(["g++", "-O2", "-o", host_stats, source], check=True)
        subprocess.run([f"{args.arch}-linux-gnu-g++", "-O2", "-static", "-s", "-o", board_stats,
                        source], check=True)
        os.environ["MCU_BOARD_EXTRA"] = board_stats
        info = boards.artifacts(args.arch)

        pkgroot = os.path.join(tools, "pkg")
        os.makedirs(pkgroot)
        build = os.path.abspath(os.environ.get("MCU_BOARD_BUILD_DIR") or
                                os.path.join(boards.SOURCE, "build", args.arch))
        tarball = next(os.path.join(build, "board-package", f)
                       for f in os.listdir(os.path.join(build, "board-package"))
                       if f.endswith(".tar.gz"))
        subprocess.run(["tar", "-xzf", tarball, "-C", pkgroot], check=True)
        for program in PROGRAMS:
            size = os.path.getsize(os.path.join(pkgroot, "usr", "bin", program))
            print(f"{args.arch} {program:16s} stripped {size:7d} bytes ({size / 1024:.1f} KiB)")

        for where, results in (
                (f"host, qemu-{args.arch}", host_runs(args.arch, pkgroot, host_stats, sim, args.n)),
                (f"board {args.arch}", board_runs(args.arch, info, sim, args.n))):
            for program in PROGRAMS:
                print(f"{where:18s} {program:16s} {summary(results[program])}  "
                      f"({len(results[program])} runs)")


if __name__ == "__main__":
    main()
