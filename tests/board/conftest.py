"""Board tests: labgrid's pytest plugin gives the target (--lg-env FILE), this file the board on it.

    /usr/bin/python3 -m pytest -p labgrid.pytestplugin tests/board --lg-env boards/labgrid/mipsel.yaml

A virtual board's environment file (boards/labgrid/*.yaml: a QEMUDriver and the option
`mcu_board`) takes its kernel, initramfs and MCU socket from LG_BOARD_DIR and LG_MCU_SOCKET; when
they are not set, the board is built here with boards/build.sh (the board package of
--board-build, default build/<arch>) and the socket gets a fresh directory for this run. The
board boots once per session; QEMU and every simulator are stopped when the session ends, also
on Ctrl-C, SIGTERM or SIGHUP, and on a failed test.

Fixtures: `board` (labgrid_board.LabgridBoard, at its shell) and `sim_work` (a work directory
for a simulator; tests that need one skip on a real board, whose MCU is real).
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
sys.path[:0] = [str(HERE), str(SOURCE / "tests" / "e2e")]

from labgrid_board import BoardError, board_of  # noqa: E402


def pytest_addoption(parser):
    group = parser.getgroup("board", "board tests (tests/board), with labgrid's --lg-env")
    group.addoption("--board-build", metavar="DIR",
                    help="cross build directory whose board package goes onto a virtual board "
                         "(default: boards/build.sh's, build/<arch>)")
    group.addoption("--mcu-sim", metavar="PATH",
                    help="the simulator for a virtual board's MCU (default: --sim of the "
                         "end-to-end plugin, else build/default/sim/mcu_sim)")


def env_file(config):
    return getattr(config.option, "lg_env", None) or os.environ.get("LG_ENV")


def virtual_board_name(path):
    """The option mcu_board of an environment file whose target main has a QEMUDriver."""
    from labgrid.util.yaml import load

    with open(path) as f:
        data = load(f) or {}
    drivers = ((data.get("targets") or {}).get("main") or {}).get("drivers") or {}
    names = drivers.keys() if isinstance(drivers, dict) else [k for d in drivers for k in d]
    if "QEMUDriver" not in names:
        return None
    board = (data.get("options") or {}).get("mcu_board")
    if not board:
        raise pytest.UsageError(f"{path}: a virtual board's environment names it (options: "
                                "mcu_board: mipsel)")
    return board


def pytest_configure(config):
    # labgrid's own pytest_configure (trylast) reads the environment file after this one has
    # filled in the values of its templates.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _interrupt)
    # The emulated board (QEMU is started from here), the simulators and the plugin must keep up
    # with the tool's fixed waits on a busy machine: they go first, as the end-to-end plugin's
    # do. Best effort: only root may raise a priority.
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass
    path = env_file(config)
    board = virtual_board_name(path) if path else None
    if board is None:
        return
    if "LG_BOARD_DIR" not in os.environ:
        env = dict(os.environ)
        if config.getoption("board_build"):
            env["MCU_BOARD_BUILD_DIR"] = str(Path(config.getoption("board_build")).absolute())
        built = subprocess.run([str(SOURCE / "boards" / "build.sh"), board], env=env,
                               stdout=subprocess.PIPE, text=True)
        if built.returncode != 0:
            raise pytest.UsageError(f"boards/build.sh {board} failed ({built.returncode})")
        os.environ["LG_BOARD_DIR"] = built.stdout.strip().splitlines()[-1]
    if "LG_MCU_SOCKET" not in os.environ:
        # Unix socket paths are short (108 bytes): a directory of its own under /tmp.
        config.board_socket_dir = tempfile.mkdtemp(prefix="mcu-board.", dir="/tmp")
        os.environ["LG_MCU_SOCKET"] = os.path.join(config.board_socket_dir, "mcu.sock")


def _interrupt(signum, frame):
    # Ends the run the way Ctrl-C does: pytest tears the session down, and with it the board.
    raise KeyboardInterrupt(f"signal {signum}")


@pytest.hookimpl(tryfirst=True)
def pytest_unconfigure(config):
    board = getattr(config, "mcu_board", None)
    if board is not None:
        board.close()
    socket_dir = getattr(config, "board_socket_dir", None)
    if socket_dir:
        shutil.rmtree(socket_dir, ignore_errors=True)


def pytest_terminal_summary(terminalreporter, config):
    board = getattr(config, "mcu_board", None)
    if board is not None:
        terminalreporter.write_line(board.summary())


@pytest.fixture(scope="session")
def board(request, target):
    """The board at its shell; labgrid's `target` fixture is the one board_of uses."""
    try:
        b = board_of(request.config)
        assert b.target is target
        return b.start()
    except BoardError as e:
        pytest.fail(str(e), pytrace=False)


@pytest.fixture
def sim_work(board, tmp_path):
    """A work directory for board.simulator(); skips on a board whose MCU is real."""
    if not board.virtual:
        pytest.skip("the board's MCU is real: this test needs a simulator on a virtual board")
    if not os.access(board.sim_program, os.X_OK):
        pytest.fail(f"no simulator at {board.sim_program} (--mcu-sim PATH)", pytrace=False)
    return tmp_path
