"""The end-to-end cases on a virtual board: `--target testkit.board_target:BoardTarget`; and
`board_of`, the Board of a pytest run with labgrid's --lg-env (the board tests' and the cases').

The tool installed on the board, `mcu_test` (device /dev/ttyS4), runs there through labgrid's
shell; the case's simulator runs on this machine, `mcu_sim --socket` on the board's MCU UART,
a fresh one per case while the board keeps running (boards/board.py).

A UART cannot tell the simulator when the tool opens or closes it: connects and disconnects
are left out (sees_connects), and the simulator counts as connected from its start, so its
script clock starts before the tool does. Cases that need what a board cannot give (no device,
a regular file as the device) say so with a `skip board REASON` line.

Wall times are the board's (board.Board.run); allowance_ms covers what the board adds to a run:
starting a dynamically linked program under an emulated MIPS CPU, and a busy host delaying the
emulation.
"""

import dataclasses
import json

import pytest

from boards import labgrid_adapter as lg
from boards.board import Board, BoardError, BoardInfo
from testkit.casefile import Run

BOARD_KEY = pytest.StashKey[Board]()
# A mipsel board's artifacts as board.json gives them, for tests that boot none.
INFO = BoardInfo(board="mipsel", arch="mipsel", libc="glibc", qemu="qemu-system-mipsel",
                 machine="malta", cpu="24Kf", memory="128M", kernel="/b/vmlinux",
                 initrd="/b/initramfs.cpio.gz", dir="/b")


def write_artifacts(folder):
    """INFO's board.json in folder, as the folder of a board's artifacts (built by none)."""
    (folder / "board.json").write_text(json.dumps(
        {k: v for k, v in dataclasses.asdict(INFO).items() if k != "dir"}))
    return folder


def board_of(config) -> Board:
    """The pytest run's Board (not started yet), made at first use from labgrid's environment
    (--lg-env) and the simulator option (--mcu-sim, else the end-to-end plugin's --sim, else
    build/default/sim/mcu_sim)."""
    if BOARD_KEY not in config.stash:
        env = lg.environment(config)
        if env is None:
            raise BoardError("no labgrid environment: give --lg-env FILE "
                             "(and -p labgrid.pytestplugin when plugins are not autoloaded)")
        sim = config.getoption("mcu_sim", default=None) or config.getoption("sim", default=None)
        config.stash[BOARD_KEY] = Board(env.get_target("main"), sim=sim)
    return config.stash[BOARD_KEY]


class BoardTarget:
    kind = "board"
    sees_connects = False
    # What the board adds to a run: starting and ending the dynamically linked tool on an emulated
    # MIPS CPU. Measured on the virtual mipsel board (QEMU TCG, 2-core host, otherwise quiet): the
    # tool's wall time exceeds the case's MIN by at most 137 ms over all 109 cases that run there
    # (mcu_test without arguments: 108 ms; the host build: a few ms), and every case holds its
    # host MAX without an allowance. A busy host slows the emulated CPU several-fold; the
    # allowance is about four times the measured cost. Gaps are on the simulator's clock.
    allowance_ms = 600

    def __init__(self, config):
        try:
            self.board = board_of(config).start()
        except BoardError as e:
            pytest.fail(str(e), pytrace=False)
        if not self.board.virtual:
            pytest.skip("the board's MCU is real: the cases need the simulator of a virtual board")

    def sim_port(self, work):
        return ["--socket", self.board.socket]

    def port_ready(self, work):
        return (work / "sim.ready").exists()

    def prepare(self, work, device):
        pytest.fail(f"'device {device}' cannot be made on a board: the case needs a "
                    "'skip board REASON' line", pytrace=False)

    def run(self, args, work, timeout_ms, kill_after_ms):
        try:
            tool = self.board.run(["mcu_test", *args], timeout_ms, kill_after_ms)
        except BoardError as e:
            pytest.fail(str(e), pytrace=False)
        (work / "tool.err").write_bytes(tool.err)
        return Run(out=tool.out, err=tool.err, status=tool.status, wall_ms=tool.wall_ms,
                   timed_out=tool.killed,
                   ended_before_kill=kill_after_ms is not None and not tool.term_sent)

    def close(self):
        pass  # the board is powered off by tests/board/conftest.py when the session ends
