"""The factory station as a pytest run: options, the line of slots (one board, or several at
once, or board after board), the operator's view, and the reports (JUnit properties per slot
and measurement; station/line.py writes each board's JSON record and database run)."""

from __future__ import annotations

import resource
import signal
import socket
import sys
from pathlib import Path

import pytest

sys.path[:0] = [str(Path(__file__).resolve().parents[1]),
                str(Path(__file__).resolve().parents[2] / "boards")]

from limits import LimitsError, load_limits  # noqa: E402
from line import LabgridSlot, Line, LocalSlot, Settings, Slot  # noqa: E402
from measurements import Verdict, build_plan  # noqa: E402
from records import default_db, sha256_of  # noqa: E402
from view import make_view  # noqa: E402
import db  # noqa: E402


def pytest_addoption(parser):
    group = parser.getgroup("station", "factory station")
    group.addoption("--limits", metavar="FILE", help="the product's limits (YAML)")
    group.addoption("--report-dir", metavar="DIR", help="folder for the board's JSON record")
    group.addoption("--station-name", metavar="NAME", default=socket.gethostname(),
                    help="this station's name in the record (default: the host name)")
    group.addoption("--board-tool", metavar="CMD", default="mcu_test",
                    help="the tool's command on the board (with --lg-env; default mcu_test)")
    group.addoption("--local-tool", metavar="PATH",
                    help="run this tool binary here instead of on a labgrid target")
    group.addoption("--local-dir", metavar="DIR", action="append",
                    help="working directory of --local-tool; once per slot of a line of "
                         "local tools")
    group.addoption("--slot", metavar="NAME", action="append",
                    help="test this target of the environment (again for more; default: "
                         "every target, each a slot of the line)")
    group.addoption("--loop", metavar="N", nargs="?", type=int, const=0,
                    help="board after board: each slot tests its next board (power off and "
                         "on, shell) until Ctrl-C, or N boards")
    group.addoption("--swap-time", metavar="S", type=float, default=0.0,
                    help="with --loop: seconds a slot stays off between two boards, for the "
                         "operator to swap them (default 0: a board's own power-on)")
    group.addoption("--db", metavar="URL",
                    help="results database, an SQLAlchemy URL without a password (default: "
                         "an SQLite file in the report folder, DIR/results.sqlite)")


class Session:
    """What the run knows: the plan, the slots, the line once it runs."""

    def __init__(self, config, limits, plan, settings: Settings):
        self.config, self.limits, self.plan, self.settings = config, limits, plan, settings
        self._slot_names: list[str] | None = None
        self.line: Line | None = None
        self.view = None

    @property
    def slot_names(self) -> list[str]:
        # Asked for at collection: labgrid's plugin has read the environment by then.
        if self._slot_names is None:
            self._slot_names = slot_names(self.config)
        return self._slot_names

    def slots(self) -> list[Slot]:
        opt = self.config.option
        if opt.local_tool:
            dirs = opt.local_dir or [None]
            return [LocalSlot(name, opt.local_tool, d) for name, d in zip(self.slot_names, dirs)]
        import labgrid_adapter as lg

        env = lg.environment(self.config)
        return [LabgridSlot(name, env.get_target(name), opt.board_tool)
                for name in self.slot_names]


_KEY = pytest.StashKey[Session]()


def pytest_configure(config):
    opt = config.option
    if not opt.limits or not opt.report_dir:
        raise pytest.UsageError("the station needs --limits FILE and --report-dir DIR")
    if not opt.lg_env and not opt.local_tool:
        raise pytest.UsageError("the station needs a board: --lg-env FILE (labgrid) "
                                "or --local-tool PATH")
    # The tool runs in --local-dir: a path to it that the user typed relative to where they
    # stand must not be taken from there. (A bare name is looked up on PATH, as a shell does.)
    # The other paths are opened from this process's working directory, the user's.
    if opt.local_tool and "/" in opt.local_tool:
        opt.local_tool = str(config.invocation_params.dir / opt.local_tool)
    try:
        limits = load_limits(opt.limits)
    except LimitsError as e:
        raise pytest.UsageError(f"limits refused: {e}")
    url = opt.db or default_db(opt.report_dir)
    if not opt.db:
        Path(opt.report_dir).mkdir(parents=True, exist_ok=True)
    try:
        engine = db.open_db(url)
    except db.DbError as e:
        raise pytest.UsageError(str(e))
    except db.DBAPIError as e:
        raise pytest.UsageError(f"results database {db.shown(url)}: {db.describe_error(e)}")
    settings = Settings(station=opt.station_name, limits=limits, limits_file=str(limits.path),
                        limits_sha256=sha256_of(opt.limits), report_dir=Path(opt.report_dir),
                        db_engine=engine)
    config.stash[_KEY] = Session(config, limits, build_plan(limits), settings)


def slot_names(config) -> list[str]:
    """The line's slots: the environment's targets (or those --slot names), or one per
    --local-dir."""
    opt = config.option
    if opt.local_tool:
        dirs = opt.local_dir or [None]
        return ["main"] if len(dirs) == 1 else [f"local{i}" for i in range(1, len(dirs) + 1)]
    import labgrid_adapter as lg

    env = lg.environment(config)
    targets = lg.target_names(env) if env is not None else []
    names = opt.slot or targets
    unknown = [n for n in names if n not in targets]
    if unknown or not names:
        raise pytest.UsageError(f"{opt.lg_env}: no target {', '.join(unknown) or '(none)'}; "
                                f"its targets: {', '.join(targets) or 'none'}")
    return names


def pytest_generate_tests(metafunc):
    if "measurement" in metafunc.fixturenames:
        s = metafunc.config.stash[_KEY]
        # One case per slot and measurement, slot after slot; named by slot on a line.
        cases = [(slot, i, m) for slot in s.slot_names for i, m in enumerate(s.plan, 1)]
        metafunc.parametrize(("slot", "measurement"), [(slot, m) for slot, _, m in cases],
                             ids=[(f"{slot}-" if len(s.slot_names) > 1 else "")
                                  + f"{i:02d}-{m.name}" for slot, i, m in cases])


@pytest.hookimpl(tryfirst=True)
def pytest_runtestloop(session):
    """Starts the line before the first case: every slot at once. Board after board (--loop),
    the line is the whole run, and the cases are not run one by one."""
    s = session.config.stash.get(_KEY, None)
    if s is None or session.config.option.collectonly:
        return None
    opt = session.config.option
    # The view owns the screen while the line runs: pytest's path of the first case, written
    # as it starts, would tear a plain line or leave a piece of the live table behind.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.showfspath = False
    s.view = make_view(s.slot_names, sys.stdout)
    s.view.say(f"station {opt.station_name}: {s.limits.product}, limits {opt.limits}, "
               f"{len(s.plan)} measurements; slots: {', '.join(s.slot_names)}")
    looping = opt.loop is not None
    s.line = Line(s.slots(), s.plan, s.settings, s.view,
                  boards=(opt.loop or None) if looping else 1,
                  unreachable_is_a_board=not looping, pause_s=opt.swap_time).start()
    if not looping:
        return None
    try:
        while not s.line.join(0.5):
            pass
    except KeyboardInterrupt:
        _stop(s)
        raise
    session.testsfailed = sum(_board_verdict(r.finished) != "passed" for r in s.line.finished())
    return True


@pytest.fixture
def line_result(request):
    """The result of a slot's measurement, once the line has judged it."""
    s = request.config.stash[_KEY]
    return lambda slot, measurement: s.line.result(slot, measurement)


def pytest_report_teststatus(report, config):
    # The station prints a line of its own for each measurement; no dots or letters.
    if _KEY not in config.stash:
        return None
    if report.when == "call":
        return report.outcome, "", report.outcome.upper()
    if report.failed:  # the board could not be reached: an error, shown in the station's line
        return "error", "", "ERROR"
    return None


def pytest_sessionfinish(session, exitstatus):
    s = session.config.stash.get(_KEY, None)
    if s is None or s.line is None:
        return
    if exitstatus == pytest.ExitCode.INTERRUPTED:
        _stop(s)
    s.line.join()
    s.view.close()


def _stop(s: Session) -> None:
    """Ctrl-C: no new board; each board under test ends its running step and is recorded as
    stopped. Another Ctrl-C meanwhile must not cut that short: the records would be lost."""
    if s.line.stopping.is_set():
        return
    s.view.say("stopping: no new board; the boards under test end their running step and "
               "are recorded as stopped")
    previous = signal.signal(signal.SIGINT, lambda *_: s.view.say("stopping, please wait"))
    try:
        s.line.stop()
        s.line.join()
    finally:
        signal.signal(signal.SIGINT, previous)


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    s = config.stash.get(_KEY, None)
    if s is None or s.line is None:
        return
    for run in s.line.finished():
        f = run.finished
        verdict = _board_verdict(f)
        good = verdict == "passed"
        verdict = {"passed": "PASS", "failed": "FAIL", "stopped": "STOPPED"}[verdict]
        where = f" ({run.slot})" if len(s.slot_names) > 1 else ""
        terminalreporter.write_sep("=", f"BOARD {f.serial_number or '(serial unknown)'}{where}: "
                                   f"{verdict}, {f.passed} of {len(f.results)} passed in "
                                   f"{f.duration_s} s", bold=True, green=good, red=not good)
        terminalreporter.write_line(f"record: {run.record_path}")
        if f.unrecognised:
            terminalreporter.write_line(f"{len(f.unrecognised)} line(s) of the tool's "
                                        "output not recognised, listed in the record")
        if run.ready_at is not None and run.judged_at is not None and f.tool_s is not None:
            testing = run.judged_at - run.ready_at
            console = ("" if f.console_bytes is None else
                       f"; console {f.console_bytes[0]} bytes read, {f.console_bytes[1]} written")
            terminalreporter.write_line(
                f"timing: shell after {f.board_ready_s} s, tested in {testing:.2f} s, the "
                f"tool's own {f.tool_s:.2f} s, overhead {testing - f.tool_s:.2f} s{console}")
    runs = s.line.finished()
    if config.option.loop is not None:  # no case ran one by one: the footer counts boards
        for verdict in ("passed", "failed", "stopped"):
            boards = [r for r in runs if _board_verdict(r.finished) == verdict]
            if boards:
                terminalreporter.stats[f"board{'s' * (len(boards) > 1)} {verdict}"] = boards
    ready = [r.ready_at for r in runs if r.ready_at is not None]
    judged = [r.judged_at for r in runs if r.judged_at is not None]
    if ready and judged:
        cpu = resource.getrusage(resource.RUSAGE_SELF)
        terminalreporter.write_line(
            f"line: {len(runs)} boards in {len(s.slot_names)} slots; from all shells ready to "
            f"all verdicts {max(judged) - max(ready):.2f} s; station CPU "
            f"{cpu.ru_utime + cpu.ru_stime:.2f} s")


def _board_verdict(f) -> str:
    return "stopped" if f.stopped else ("passed" if f.verdict == Verdict.PASS else "failed")
