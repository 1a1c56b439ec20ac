#!/usr/bin/python3
"""Virtual MIPS boards under qemu-system-mips(el) -M malta, booted without a person.

Wiring of every board (the kernel's 8250 driver numbers the Malta UARTs in this order):

    ttyS0  first  -serial   console of a person or of this module (stdio of QEMU)
    ttyS1  second -serial   the MCU: a chardev socket server, /dev/ttyS4 on the board (4:65)
    ttyS2  third  -serial   console when labgrid's QEMUDriver drives the board (its own -serial
                            comes after the extra arguments, so the first one is then "null")

The MCU's socket is served by QEMU ("server=on,wait=off"), so a fresh simulator,
``mcu_sim --socket PATH``, can connect for each case while the board keeps running; bytes that
the board sends while no simulator is connected are dropped.

Library use:

    from board import Board, artifacts
    with Board("mipsel") as b:          # builds (cached) and boots; waits for the shell
        with b.simulator("--version", "7"):  # mcu_sim on the MCU UART, until the block ends
            print(b.run("mcu_test 0 1"))

Command line:

    board.py paths BOARD                 the artifacts (build.sh's board.json) and QEMU args
    board.py qemu-command BOARD --socket PATH [--console mon:stdio] [--artifacts DIR]
    board.py run BOARD [--sim ARG]... -- COMMAND...   boot, run one shell command, print output
    board.py compare BOARD [--tool P] ARGS...   mcu_test ARGS on the board and on the host
    board.py boot-time BOARD [-n 5]      boot-to-shell seconds of n boots and their median
"""
import argparse
import contextlib
import json
import os
import re
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
BOARDS = ("mipsel", "mips", "mipsel-nolibc", "mips-nolibc")
BOOT_TIMEOUT = 60.0
ANSI = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def artifacts(board):
    """Builds the board (or takes it from the cache) and returns its board.json as a dict."""
    out = subprocess.run([os.path.join(HERE, "build.sh"), board], check=True,
                         stdout=subprocess.PIPE, text=True).stdout.strip().splitlines()[-1]
    with open(os.path.join(out, "board.json")) as f:
        info = json.load(f)
    info["dir"] = out
    return info


def mcu_args(socket_path):
    """QEMU arguments of the MCU's UART (second -serial, ttyS1) served on socket_path."""
    return ["-chardev", f"socket,id=mcu,path={socket_path},server=on,wait=off",
            "-serial", "chardev:mcu"]


def machine_args(info):
    """Machine, memory, and no network card or VGA (their ROMs are not installed)."""
    return ["-M", info["machine"], "-cpu", info["cpu"], "-m", info["memory"],
            "-nic", "none", "-vga", "none"]


def qemu_command(info, socket_path, console="stdio", append=""):
    """The whole QEMU command line with the console (ttyS0) on the character device `console`."""
    return ([info["qemu"]] + machine_args(info) +
            ["-nographic", "-monitor", "none", "-serial", console] + mcu_args(socket_path) +
            ["-kernel", info["kernel"], "-initrd", info["initrd"],
             "-append", ("console=ttyS0 " + append).strip()])


def labgrid_settings(info, socket_path):
    """Values for labgrid's QEMUDriver (python3-labgrid 0.4.1): its own console -serial comes
    after extra_args, so a first "-serial null" and the MCU's second one make it the third
    UART, ttyS2; it has no initrd attribute, so -initrd goes into extra_args; "kernel" is the
    path for the environment's images key."""
    extra = (["-nic", "none", "-vga", "none", "-initrd", info["initrd"], "-serial", "null"] +
             mcu_args(socket_path))
    return {"qemu_bin": info["qemu"], "machine": info["machine"], "cpu": info["cpu"],
            "memory": info["memory"], "kernel": info["kernel"],
            "extra_args": shlex.join(extra), "boot_args": "console=ttyS2"}


class BoardError(Exception):
    pass


class Board:
    """One running virtual board: QEMU with its console on pipes, the MCU on a socket."""

    def __init__(self, board, info=None, sim=None, workdir=None):
        self.name = board
        self.info = info or artifacts(board)
        default_sim = os.path.join(SOURCE, "build", "default", "sim", "mcu_sim")
        self.sim_program = os.path.abspath(sim or default_sim)
        self._own_dir = workdir is None
        # Unix socket paths are short (108 bytes): keep them in a short directory.
        self.dir = workdir or tempfile.mkdtemp(prefix="mcu-board.")
        self.socket = os.path.join(self.dir, "mcu.sock")
        self.console_log = bytearray()
        self._lock = threading.Condition()
        self.qemu = None
        self.boot_seconds = None
        self.boot_cpu_seconds = None

    # -- lifetime -------------------------------------------------------------------------
    def start(self, timeout=BOOT_TIMEOUT):
        # QEMU ends with this process even when that is killed outright (setpriv --pdeathsig).
        cmd = ["setpriv", "--pdeathsig", "TERM"] + qemu_command(self.info, self.socket)
        started = time.monotonic()
        self.qemu = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        threading.Thread(target=self._reader, daemon=True).start()
        self.expect(rb"board \S+ ready", timeout)
        self.expect(rb"# ", timeout)
        self.boot_seconds = time.monotonic() - started
        self.boot_cpu_seconds = self.qemu_cpu_seconds()
        return self

    def qemu_cpu_seconds(self):
        """CPU time (user + system) that QEMU has used so far: the boot's cost, unlike its wall
        time, hardly depends on what else the host is running."""
        with open(f"/proc/{self.qemu.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.qemu and self.qemu.poll() is None:
            self.qemu.terminate()
            try:
                self.qemu.wait(5)
            except subprocess.TimeoutExpired:
                self.qemu.kill()
                self.qemu.wait()
        if self._own_dir:
            for name in os.listdir(self.dir):
                os.unlink(os.path.join(self.dir, name))
            os.rmdir(self.dir)

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()

    # -- console ----------------------------------------------------------------------------
    def _reader(self):
        while True:
            data = os.read(self.qemu.stdout.fileno(), 4096)
            with self._lock:
                if not data:
                    self._lock.notify_all()
                    return
                self.console_log += data
                self._lock.notify_all()

    def expect(self, pattern, timeout, start=None):
        """Waits until pattern appears in the console output after offset `start` (default: the
        end of what `expect` matched last); returns the match. A timeout or the end of QEMU
        raises BoardError with the console log."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._lock:
            pos = getattr(self, "_pos", 0) if start is None else start
            while True:
                m = regex.search(self.console_log, pos)
                if m:
                    self._pos = m.end()
                    return m
                left = deadline - time.monotonic()
                if left <= 0 or self.qemu.poll() is not None:
                    why = "timed out" if left <= 0 else f"QEMU ended ({self.qemu.returncode})"
                    raise BoardError(f"board {self.name}: {why} waiting for {pattern!r}; "
                                     "console log:\n" + self.log())
                self._lock.wait(min(left, 0.5))

    def log(self):
        return self.console_log.decode(errors="replace")

    def send(self, text):
        self.qemu.stdin.write(text.encode())
        self.qemu.stdin.flush()

    def run(self, command, timeout=60.0):
        """Runs a shell command on the board; returns (output, exit status). Output lines end
        in "\\n" (the console's "\\r\\n" undone, terminal escapes removed)."""
        tag = f"{time.monotonic_ns():x}"
        # The markers are split in the typed line, so the echo of the line never matches them.
        self.send(f"echo '@@{tag}''<'; {command}; echo \"@@{tag}>$?\"\n")
        begin = self.expect(rf"@@{tag}<\r?\n".encode(), timeout)
        end = self.expect(rf"@@{tag}>(\d+)\r?\n".encode(), timeout)
        out = self.console_log[begin.end():end.start()]
        out = ANSI.sub(b"", out).replace(b"\r\n", b"\n").decode(errors="replace")
        return out, int(end.group(1))

    # -- the MCU ------------------------------------------------------------------------------
    @contextlib.contextmanager
    def simulator(self, *args, timeout=10.0):
        """Runs mcu_sim on the board's MCU UART with the given options; yields the process.
        The simulator is stopped when the block ends."""
        ready = os.path.join(self.dir, "sim.ready")
        proc = subprocess.Popen(["setpriv", "--pdeathsig", "TERM", self.sim_program, "--socket",
                                 self.socket, "--ready", ready, *args], start_new_session=True)
        try:
            deadline = time.monotonic() + timeout
            while not os.path.exists(ready):
                if proc.poll() is not None:
                    raise BoardError(f"mcu_sim ended ({proc.returncode}) before it was ready")
                if time.monotonic() > deadline:
                    raise BoardError("mcu_sim did not connect to the board's MCU UART")
                time.sleep(0.02)
            yield proc
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            with contextlib.suppress(FileNotFoundError):
                os.unlink(ready)


def host_output(host_build, sim_args, tool_args):
    """Output of mcu_test_sim from a host build against mcu_sim on a pseudo-terminal."""
    host_build = os.path.abspath(host_build)
    with tempfile.TemporaryDirectory(prefix="mcu-host.") as d:
        ready = os.path.join(d, "sim.ready")
        sim = subprocess.Popen([os.path.join(host_build, "sim", "mcu_sim"), "--link",
                                os.path.join(d, "ttyMCU"), "--ready", ready, *sim_args],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(ready):
                if sim.poll() is not None or time.monotonic() > deadline:
                    raise BoardError("mcu_sim on the host did not publish its link")
                time.sleep(0.02)
            return subprocess.run([os.path.join(host_build, "mcu_test_sim"), *tool_args],
                                  cwd=d, stdout=subprocess.PIPE, check=True).stdout.decode()
        finally:
            sim.terminate()
            sim.wait()


def exit_on_signals():
    """SIGTERM and SIGHUP end the program through SystemExit, so that the with blocks stop
    QEMU and the simulators as on Ctrl-C (KeyboardInterrupt)."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda number, frame: sys.exit(128 + number))


def main():
    exit_on_signals()
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    p = sub.add_parser("paths", help="artifacts and QEMU arguments of a board, as JSON")
    p.add_argument("board", choices=BOARDS)
    p.add_argument("--socket", default="/tmp/mcu-board/mcu.sock")
    p = sub.add_parser("qemu-command", help="the QEMU command line, one word a line")
    p.add_argument("board", choices=BOARDS)
    p.add_argument("--artifacts", help="directory from build.sh (default: run build.sh)")
    p.add_argument("--socket", required=True, help="path of the MCU UART's socket")
    p.add_argument("--console", default="mon:stdio", help="chardev of the console (ttyS0)")
    p = sub.add_parser("run", help="boot, run one shell command (with mcu_sim), print output")
    p.add_argument("board", choices=BOARDS)
    p.add_argument("--sim", action="append", default=[], help="option for mcu_sim")
    p.add_argument("--no-sim", action="store_true", help="leave the MCU UART unconnected")
    p.add_argument("--mcu-sim", help="mcu_sim program (default build/default/sim/mcu_sim)")
    p.add_argument("command", nargs="+")
    p = sub.add_parser("compare", help="mcu_test ARGS on the board and on the host: the same?")
    p.add_argument("board", choices=BOARDS)
    p.add_argument("--host-build", default=os.path.join(SOURCE, "build", "default"))
    p.add_argument("--tool", default="mcu_test", help="program on the board")
    p.add_argument("--sim", action="append", default=[], help="option for mcu_sim")
    p.add_argument("args", nargs="+", help="arguments of mcu_test")
    p = sub.add_parser("boot-time", help="boot-to-shell seconds, n boots and their median")
    p.add_argument("board", choices=BOARDS)
    p.add_argument("-n", type=int, default=5)
    args = parser.parse_args()

    if getattr(args, "artifacts", None):
        with open(os.path.join(args.artifacts, "board.json")) as f:
            info = json.load(f)
    else:
        info = artifacts(args.board)
    if args.action == "qemu-command":
        print("\n".join(qemu_command(info, args.socket, console=args.console)))
    elif args.action == "paths":
        info["qemu_args"] = qemu_command(info, args.socket)[1:]
        info["labgrid"] = labgrid_settings(info, args.socket)
        json.dump(info, sys.stdout, indent=2)
        print()
    elif args.action == "run":
        with Board(args.board, info, sim=args.mcu_sim) as b:
            with (contextlib.nullcontext() if args.no_sim else b.simulator(*args.sim)):
                out, status = b.run(" ".join(args.command))
        sys.stdout.write(out)
        sys.exit(status)
    elif args.action == "compare":
        sim = os.path.join(args.host_build, "sim", "mcu_sim")
        with Board(args.board, info, sim=sim) as b:
            with b.simulator(*args.sim):
                board_out, _ = b.run(shlex.join([args.tool, *args.args]))
        host_out = host_output(args.host_build, args.sim, args.args)
        same = board_out == host_out
        print(f"{args.board}: {args.tool} {' '.join(args.args)}: "
              f"{'same output as on the host' if same else 'OUTPUT DIFFERS from the host'}")
        if not same:
            sys.stdout.write(f"--- board\n{board_out}--- host\n{host_out}")
        sys.exit(0 if same else 1)
    elif args.action == "boot-time":
        times, cpu = [], []
        for _ in range(args.n):
            with Board(args.board, info) as b:
                times.append(b.boot_seconds)
                cpu.append(b.boot_cpu_seconds)
            print(f"boot to shell {times[-1]:.2f} s, QEMU CPU {cpu[-1]:.2f} s, "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)
        print(f"median {statistics.median(times):.2f} s (QEMU CPU {statistics.median(cpu):.2f} s) "
              f"of {args.n} boots")


if __name__ == "__main__":
    main()
