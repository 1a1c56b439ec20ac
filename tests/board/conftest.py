"""Board tests: labgrid's pytest plugin gives the target (--lg-env FILE), boards/board.py the board
on it.

    /usr/bin/python3 -m pytest -p labgrid.pytestplugin tests/board --lg-env boards/labgrid/mipsel.yaml

A virtual board's environment (boards/labgrid/<board>.yaml, a link to the template) takes every
value from LG_* variables, set here before labgrid reads the file: the board from LG_BOARD_DIR
when set, else built with boards/build.sh (the board package of --board-build, default
build/<arch>); the MCU's socket LG_MCU_SOCKET when set, else in a fresh directory for this run.
The board boots once per session; QEMU and every simulator are stopped when the session ends,
also on Ctrl-C, SIGTERM or SIGHUP, and on a failed test.

Fixtures: `board` (board.Board, at its shell) and `sim_work` (a work directory for a simulator;
tests that need one skip on a real board, whose MCU is real).
"""

import os
import shutil
import signal
import tempfile
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]

from boards import board as boards
from testkit.board_target import BOARD_KEY, board_of

SOCKET_DIR = pytest.StashKey[str]()


def pytest_addoption(parser):
    group = parser.getgroup("board", "board tests (tests/board), with labgrid's --lg-env")
    group.addoption("--board-build", metavar="DIR",
                    help="cross build directory whose board package goes onto a virtual board "
                         "(default: boards/build.sh's, build/<arch>)")
    group.addoption("--mcu-sim", metavar="PATH",
                    help="the simulator for a virtual board's MCU (default: --sim of the "
                         "end-to-end plugin, else build/default/sim/mcu_sim)")


def pytest_configure(config):
    # labgrid's own pytest_configure (trylast) reads the environment file after this one has
    # set the values of its templates.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _interrupt)
    path = getattr(config.option, "lg_env", None) or os.environ.get("LG_ENV")
    try:
        name = boards.virtual_board_name(path) if path else None
        if name is None:
            return
        if config.getoption("board_build"):
            os.environ["MCU_BOARD_BUILD_DIR"] = str(Path(config.getoption("board_build")).absolute())
        socket = os.environ.get("LG_MCU_SOCKET")
        if not socket:
            # Unix socket paths are short (108 bytes): a directory of its own under /tmp.
            config.stash[SOCKET_DIR] = tempfile.mkdtemp(prefix="mcu-board.", dir="/tmp")
            socket = os.path.join(config.stash[SOCKET_DIR], "mcu.sock")
        os.environ.update(boards.virtual_environ(name, socket))
    except boards.BoardError as e:
        raise pytest.UsageError(str(e))


def _interrupt(signum, frame):
    # Ends the run the way Ctrl-C does: pytest tears the session down, and with it the board.
    raise KeyboardInterrupt(f"signal {signum}")


@pytest.hookimpl(tryfirst=True)
def pytest_unconfigure(config):
    if BOARD_KEY in config.stash:
        config.stash[BOARD_KEY].close()
    if SOCKET_DIR in config.stash:
        shutil.rmtree(config.stash[SOCKET_DIR], ignore_errors=True)


def pytest_terminal_summary(terminalreporter, config):
    if BOARD_KEY in config.stash:
        terminalreporter.write_line(config.stash[BOARD_KEY].summary())


@pytest.fixture(scope="session")
def board(request, target):
    """The board at its shell; labgrid's `target` fixture is the one board_of uses."""
    try:
        b = board_of(request.config)
        assert b.target is target
        return b.start()
    except boards.BoardError as e:
        pytest.fail(str(e), pytrace=False)


@pytest.fixture
def sim_work(board, tmp_path):
    """A work directory for board.simulator(); skips on a board whose MCU is real."""
    if not board.virtual:
        pytest.skip("the board's MCU is real: this test needs a simulator on a virtual board")
    if not os.access(board.sim_program, os.X_OK):
        pytest.fail(f"no simulator at {board.sim_program} (--mcu-sim PATH)", pytrace=False)
    return tmp_path
