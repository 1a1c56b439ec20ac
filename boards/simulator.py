"""The MCU's simulator beside a board: mcu_sim started and stopped (`sim_process`), and kept on
virtual boards' MCU sockets (`SimKeeper`).

`SimKeeper` is the one place that serves a virtual board's MCU: QEMU's socket file appears a
moment before QEMU listens on it, and a fresh QEMU may drop its first connection; the keeper
starts the simulator again until it holds. A fresh QEMU (a power cycle) is a new board, with the
next serial number.
"""

from __future__ import annotations

import ctypes
import os
import signal
import stat
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Sequence

# How long a fresh simulator may take to bring its port up.
SIM_READY_S = 5.0
PR_SET_PDEATHSIG = 1
SOCKET_PATH_MAX = 107  # sun_path less its terminating zero
# Serial numbers: base + slot * SLOT_STRIDE + the slot's board count (1, 2, ...).
SERIAL_BASE = 0x4C0000000000
SLOT_STRIDE = 0x1000
SERIAL_MAX = 0xFFFFFFFFFFFF  # 12 hex digits
# Between two tries at a socket that QEMU does not serve (yet, or any more).
RETRY_S = 0.2


class SimulatorError(Exception):
    """mcu_sim ended, or did not bring its port up in time; the message holds its output."""


def die_with_parent() -> None:
    """In a child before exec: end with the parent, so a killed run leaves no process behind."""
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class SimProcess:
    """A running mcu_sim; stop() ends it by its pid (also at the end of a with block)."""

    def __init__(self, proc: subprocess.Popen, out: Path):
        self.proc, self.out = proc, out

    def stop(self) -> int | None:
        """SIGTERM; the exit status, or None when it did not end within 5 s and was killed."""
        if self.proc.poll() is not None:
            return self.proc.returncode
        self.proc.terminate()
        try:
            return self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    def output(self) -> str:
        try:
            return self.out.read_text(errors="replace")
        except OSError:
            return ""

    def __enter__(self) -> "SimProcess":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def sim_process(program: str, args: Sequence[str], cwd, ready=None, out=None,
                timeout_s: float = SIM_READY_S) -> SimProcess:
    """Starts `program ARGS --realtime --ready READY` in cwd (output to out, default
    cwd/sim.out) and waits until READY exists (default cwd/sim.ready): the port is up.
    SimulatorError, with its output, at once when it ends first, or after timeout_s (then it is
    killed). --realtime: the tool waits at most 200 ms for an answer, and beside busy programs
    a simulator at normal priority can miss that (where it may not, it says so and goes on)."""
    cwd = Path(cwd)
    ready, out = Path(ready or cwd / "sim.ready"), Path(out or cwd / "sim.out")
    with open(out, "wb") as sink:
        try:
            proc = subprocess.Popen([program, *args, "--realtime", "--ready", str(ready)], cwd=cwd,
                                    stdin=subprocess.DEVNULL, stdout=sink,
                                    stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        except OSError as e:
            raise SimulatorError(f"cannot start {program}: {e}") from None
    sim = SimProcess(proc, out)
    deadline = time.monotonic() + timeout_s
    while not ready.exists():
        if proc.poll() is not None:
            raise SimulatorError(f"{program} ended (status {proc.returncode}) before its port "
                                 f"was up:\n{sim.output()}")
        if time.monotonic() > deadline:
            sim.kill()
            raise SimulatorError(f"{program}: its port was not up after {timeout_s:g} s:\n"
                                 f"{sim.output()}")
        time.sleep(0.002)
    return sim


# -- kept on virtual boards' sockets --------------------------------------------------

def serial_number(base: int, slot: int, count: int) -> str:
    value = base + slot * SLOT_STRIDE + count
    if not 0 <= value <= SERIAL_MAX:
        raise ValueError(f"serial number base {base:#x}: slot {slot}, board {count} gives "
                         f"{value:#x}, more than 12 hex digits")
    return f"{value:012x}"


@dataclass(frozen=True)
class Slot:
    number: int  # 1, 2, ...: target slotN
    socket: str  # the MCU UART's socket that QEMU serves
    options: tuple[str, ...] = ()  # of mcu_sim; a --set sn=... among them wins


@dataclass
class _SlotState:
    slot: Slot
    work: Path
    qemu: tuple[int, int] | None = None  # the served socket's (inode, ctime): one QEMU
    boards: list[str] = field(default_factory=list)  # serial numbers, one per QEMU seen
    sim: SimProcess | None = None
    retry_at: float = 0.0


def _served_by(path: str) -> tuple[int, int] | None:
    """Which socket file is at path: a fresh QEMU makes a new one."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_ctime_ns) if stat.S_ISSOCK(st.st_mode) else None


class SimKeeper:
    """Keeps mcu_sim on every slot's socket (one thread), each in work/slotN: its output in
    sim-SERIAL.out. Each board gets the serial number base + slot * SLOT_STRIDE + its count
    (base None: the simulator's own, the boards named board1, board2, ...). stop() (or the end
    of a with block) stops every simulator."""

    def __init__(self, slots: Sequence[Slot], program: str, work,
                 base: int | None = SERIAL_BASE, poll_s: float = 0.05,
                 note: Callable[[str], None] | None = None):
        self.program, self.base, self.poll_s = os.path.abspath(program), base, poll_s
        self.note = note or (lambda text: None)
        self._slots = []
        for slot in slots:
            if base is not None:
                serial_number(base, slot.number, 1)  # refuses a base that does not fit
            directory = Path(work) / f"slot{slot.number}"
            directory.mkdir(parents=True, exist_ok=True)
            self._slots.append(_SlotState(slot, directory))
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._keep, name="sim-keeper", daemon=True)
        self.error: BaseException | None = None

    def serials(self, slot: int) -> list[str]:
        """The serial numbers given to the slot's boards so far, the current one last."""
        return list(next(s for s in self._slots if s.slot.number == slot).boards)

    def simulator(self, slot: int) -> SimProcess | None:
        """The slot's simulator while it runs."""
        return next(s for s in self._slots if s.slot.number == slot).sim

    def wait(self, slot: int, timeout_s: float) -> SimProcess:
        """The slot's simulator once it is up; SimulatorError after timeout_s."""
        deadline = time.monotonic() + timeout_s
        while (sim := self.simulator(slot)) is None:
            if self.error is not None or time.monotonic() > deadline:
                raise SimulatorError(f"no simulator on slot {slot}'s socket after "
                                     f"{timeout_s:g} s" + (f": {self.error}" if self.error else ""))
            time.sleep(self.poll_s)
        return sim

    def start(self) -> "SimKeeper":
        self._thread.start()
        return self

    def stop(self) -> None:
        # The thread stops the simulators itself: they die with the thread that started them.
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()

    def __enter__(self) -> "SimKeeper":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _keep(self) -> None:
        try:
            while not self._stop.wait(self.poll_s):
                for state in self._slots:
                    self._tend(state)
        except BaseException as e:  # kept for the caller; the simulators still stop
            self.error = e
            self.note(f"simulator keeper failed: {type(e).__name__}: {e}")
        finally:
            for state in self._slots:
                if state.sim is not None:
                    state.sim.stop()

    def _tend(self, s: _SlotState) -> None:
        if s.sim is not None:
            if s.sim.proc.poll() is None:
                return
            self.note(f"slot {s.slot.number}: simulator of {s.boards[-1]} ended "
                      f"({s.sim.proc.returncode})")
            s.sim = None
        served = _served_by(s.slot.socket)
        if served is None or time.monotonic() < s.retry_at:
            return
        if served != s.qemu:
            s.qemu = served
            count = len(s.boards) + 1
            s.boards.append(f"board{count}" if self.base is None
                            else serial_number(self.base, s.slot.number, count))
            self.note(f"slot {s.slot.number}: a board is up" + ("" if self.base is None else
                      f", serial number {s.boards[-1]}"))
        name = s.boards[-1]
        given = [] if self.base is None else ["--set", f"sn={name}"]
        try:
            sim = sim_process(self.program, ["--socket", s.slot.socket, *given, *s.slot.options],
                              cwd=s.work, out=s.work / f"sim-{name}.out")
        except SimulatorError as e:  # QEMU not listening yet, or gone
            s.retry_at = time.monotonic() + RETRY_S
            self.note(f"slot {s.slot.number}: {str(e).splitlines()[0]}; trying again")
            return
        if _served_by(s.slot.socket) != served:  # a fresh QEMU replaced the socket meanwhile
            sim.stop()
            return
        s.sim = sim
