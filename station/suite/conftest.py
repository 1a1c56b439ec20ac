"""The factory station as a pytest run: options, the board's transport, progress on the
terminal, and the reports (JUnit properties, one JSON record per board, the results
database)."""

from __future__ import annotations

import socket
import sys
import time
import uuid
from datetime import datetime, timezone
from pathlib import Path

import pytest

sys.path[:0] = [str(Path(__file__).resolve().parents[1]),
                str(Path(__file__).resolve().parents[2] / "boards")]

from limits import LimitsError, load_limits  # noqa: E402
from measurements import Result, Station, Verdict, build_plan, unjudged  # noqa: E402
from records import (DbRecords, FinishedRun, JsonRecords, RunStart, RunVerdict,  # noqa: E402
                     default_db, sha256_of)
import db  # noqa: E402
from transport import LabgridShell, LocalTool, TransportError  # noqa: E402


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
    group.addoption("--local-dir", metavar="DIR", help="working directory of --local-tool")
    group.addoption("--db", metavar="URL",
                    help="results database, an SQLAlchemy URL without a password (default: "
                         "an SQLite file in the report folder, DIR/results.sqlite)")


class Session:
    """What the run knows: the plan, the results so far, the times."""

    def __init__(self, config, limits, plan):
        self.config, self.limits, self.plan = config, limits, plan
        self.results: dict[str, Result] = {}
        self.station: Station | None = None
        self.start = datetime.now(timezone.utc)
        self.started = time.monotonic()
        self.finished: FinishedRun | None = None
        self.record_path: Path | None = None
        self.last_progress = None
        self.tty: bool | None = None
        self.ready_s: float | None = None  # from the start until the board's shell answered
        self.db: DbRecords | None = None

    # -- terminal ---------------------------------------------------------------------------

    def say(self, text: str, *, newline: bool = True, rewrite: bool = False) -> None:
        capman = self.config.pluginmanager.getplugin("capturemanager")
        with capman.global_and_fixture_disabled():
            out = sys.stdout
            if rewrite and out.isatty():
                out.write("\r\x1b[K" + text)
            else:
                out.write(("\r\x1b[K" if out.isatty() else "") + text + ("\n" if newline else ""))
            out.flush()

    def on_tty(self) -> bool:
        if self.tty is None:
            capman = self.config.pluginmanager.getplugin("capturemanager")
            with capman.global_and_fixture_disabled():
                self.tty = sys.stdout.isatty()
        return self.tty

    def progress(self, step, total, left) -> None:
        head = f"  step {step.number:2d}/{total}  {step.command:<16s} {step.title}"
        tty = self.on_tty()
        if left is None:
            if tty:
                self.say("", newline=False, rewrite=True)
            self.last_progress = None
        elif tty:
            self.say(f"{head}: {left:4.1f} s left", newline=False, rewrite=True)
        elif self.last_progress != step.number:
            self.say(f"{head}: waits {step.wait:.1f} s")
            self.last_progress = step.number

    def show(self, index: int, r: Result) -> None:
        value = "-" if r.value is None else (f"{r.value:g}" if isinstance(r.value, float)
                                             else str(r.value))
        unit = f" {r.unit}" if r.unit and r.value is not None else ""
        limits = ", ".join(f"{k} {v}" for k, v in r.limits.items())
        if self.db is not None:  # kept before the operator sees it
            self.db.measured(index, r)
        self.say(f"[{index:2d}/{len(self.plan)}] {r.title:<24s} {value + unit:<16s} "
                 f"({limits})  {r.verdict.value.upper()}" + (f"  {r.detail}" if r.detail else ""))

    def finish(self) -> FinishedRun:
        return FinishedRun(
            product=self.limits.product,
            limits_file=str(self.limits.path),
            station=self.config.option.station_name,
            transport=self.station.transport.describe() if self.station else None,
            start=self.start,
            end=datetime.now(timezone.utc),
            duration_s=round(time.monotonic() - self.started, 1),
            board_ready_s=self.ready_s,
            steps_s=round(self.station.step_seconds, 1) if self.station else None,
            results=tuple(self.results.get(m.name) or unjudged(m, Verdict.NOT_RUN)
                          for m in self.plan),
            unrecognised=tuple(self.station.unrecognised) if self.station else ())


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
    s = config.stash[_KEY] = Session(config, limits, build_plan(limits))
    url = opt.db or default_db(opt.report_dir)
    if not opt.db:
        Path(opt.report_dir).mkdir(parents=True, exist_ok=True)
    try:
        s.db = DbRecords(db.open_db(url), RunStart(
            run_uid=str(uuid.uuid4()), station=opt.station_name, product=limits.product,
            limits_file=str(limits.path), limits_sha256=sha256_of(opt.limits),
            started_at=s.start))
    except db.DbError as e:
        raise pytest.UsageError(str(e))
    except db.DBAPIError as e:
        raise pytest.UsageError(f"results database {db.shown(url)}: {db.describe_error(e)}")


def pytest_generate_tests(metafunc):
    if "measurement" in metafunc.fixturenames:
        plan = metafunc.config.stash[_KEY].plan
        metafunc.parametrize("measurement", plan,
                             ids=[f"{i:02d}-{m.name}" for i, m in enumerate(plan, 1)])


def _board_shell(target):
    """The board at its shell: through the environment's strategy if it has one, else by
    powering the board (a power switch, or QEMU) and waiting for the shell driver's prompt."""
    from board import Board

    return Board(target).start()


@pytest.fixture(scope="session")
def session(request) -> Session:
    s = request.config.stash[_KEY]
    opt = request.config.option
    if opt.lg_env:
        target = request.getfixturevalue("target")
        from board import BoardError

        try:
            board = _board_shell(target)
        except BoardError as e:  # no console, no prompt, no QEMU
            pytest.fail(f"the board's shell is not reachable: {e}", pytrace=False)
        transport = LabgridShell(board, opt.board_tool)
    else:
        transport = LocalTool(opt.local_tool, opt.local_dir)
    s.ready_s = round(time.monotonic() - s.started, 1)
    s.station = Station(s.plan, transport, s.progress)
    s.say(f"\nstation {opt.station_name}: {s.limits.product}, limits {opt.limits}, "
          f"{len(s.plan)} measurements on {transport.describe()}")
    return s


def pytest_report_teststatus(report, config):
    # The station prints a line of its own for each measurement; no dots or letters.
    if _KEY not in config.stash:
        return None
    if report.when == "call":
        return report.outcome, "", report.outcome.upper()
    if report.failed:  # the board could not be reached: an error, shown in the station's line
        return "error", "", "ERROR"
    return None


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    session = item.config.stash.get(_KEY, None)
    measurement = getattr(item, "callspec", None) and item.callspec.params.get("measurement")
    if session is None or measurement is None or report.passed or call.excinfo is None:
        return
    if measurement.name not in session.results:
        # An error on the way (not a verdict): keep it in the record with its reason.
        failed = call.excinfo.errisinstance(pytest.fail.Exception)
        reason = str(call.excinfo.value) if failed else \
            f"{call.excinfo.typename}: {call.excinfo.value}"
        r = unjudged(measurement, Verdict.ERROR, reason)
        session.results[measurement.name] = r
        session.show(session.plan.index(measurement) + 1, r)
        if call.excinfo.errisinstance(TransportError):
            report.longrepr = f"{measurement.title}: error: {reason}"


def pytest_sessionfinish(session, exitstatus):
    s = session.config.stash.get(_KEY, None)
    if s is not None:
        s.finished = s.finish()
        s.record_path = JsonRecords(s.config.option.report_dir)(s.finished)
        if s.db is not None:
            stopped = exitstatus == pytest.ExitCode.INTERRUPTED
            s.db.finish(s.finished, RunVerdict.STOPPED if stopped
                        else RunVerdict(s.finished.verdict.value))


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    s = config.stash.get(_KEY, None)
    if s is None or s.finished is None or s.record_path is None:
        return
    run = s.finished
    good = run.verdict == Verdict.PASS
    terminalreporter.write_sep("=", f"BOARD {run.serial_number or '(serial unknown)'}: "
                               f"{run.verdict.value.upper()}, {run.passed} of "
                               f"{len(run.results)} passed in {run.duration_s} s",
                               bold=True, green=good, red=not good)
    terminalreporter.write_line(f"record: {s.record_path}")
    if run.unrecognised:
        terminalreporter.write_line(f"{len(run.unrecognised)} line(s) of the tool's "
                                    "output not recognised, listed in the record")
