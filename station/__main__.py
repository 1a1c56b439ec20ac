"""The factory station: tests a board, or a line of boards at once, against a product's limits.

    /usr/bin/python3 -m station --limits FILE --report-dir DIR (--lg-env FILE | --local-tool PATH)
                                [--loop [N]] [--junitxml FILE] [--db URL] ...

Each board gets its verdicts, its JSON record and its run in the results database; --junitxml
writes every board's measurements as JUnit test cases. A run that the database cannot take
(away, or any error) waits in DIR/spool until it answers: at a slot's next board, the
station's end or its next start. Board after board (--loop), each slot waits switched off
until its next board is started (--start: the operator's key, the fixture's presence input,
or at once). The exit status:

    0  at least one board was tested and every board passed, and no slot went out of service
    1  otherwise: a board failed, did not boot, or met a fixture error; a slot went out of
       service; no board was tested
    2  the station did not start: a wrong option, limits refused, a database that refuses it
    3  a slot's process failed (its board is recorded with the traceback)
    130  the operator stopped the station (Ctrl-C, or SIGTERM or SIGHUP); the boards under test
       are recorded as stopped
"""

from __future__ import annotations

import argparse
import hashlib
import resource
import signal
import socket
import sys
from pathlib import Path

import station
from boards import labgrid_adapter as lg
from station import db, logfile
from station.junit import JunitXml
from station.limits import LimitsError, load_limits
from station.keys import Keys
from station.line import BoardDone, Line, Settings, SlotSetup, Start
from station.measurements import build_plan
from station.owners import Claims, Taken
from station.records import Spool, default_db, describe_failure, keep_limits_text
from station.verdicts import RunVerdict
from station.view import make_view

PASSED, NOT_PASSED, USAGE, SLOT_FAILED, STOPPED = 0, 1, 2, 3, 130


class UsageError(Exception):
    """Something the station cannot start with; the text says what and where."""


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python3 -m station", description="The factory station: tests boards against a "
        "product's limits, one board or a line of slots, one pass or board after board.",
        epilog="Exit status: 0 every board passed (at least one, and no slot out of service), "
        "1 not so, 2 the station did not start, 3 a slot's process failed, 130 stopped by "
        "Ctrl-C, SIGTERM or SIGHUP.")
    p.add_argument("--limits", metavar="FILE", required=True,
                   help="the product's limits (YAML)")
    p.add_argument("--report-dir", metavar="DIR", required=True,
                   help="folder for each board's JSON record")
    board = p.add_argument_group("the boards (one of)")
    board.add_argument("--lg-env", metavar="FILE",
                       help="labgrid environment: each target is a slot of the line")
    board.add_argument("--local-tool", metavar="PATH",
                       help="run this tool binary here instead of on a labgrid target")
    p.add_argument("--local-dir", metavar="DIR", action="append",
                   help="working directory of --local-tool; once per slot of a line of local "
                        "tools")
    p.add_argument("--slot", metavar="NAME", action="append",
                   help="test this target of the environment (again for more; default: every "
                        "target, each a slot of the line)")
    p.add_argument("--board-tool", metavar="CMD", default="mcu_test",
                   help="the tool's command on the board (with --lg-env; default mcu_test)")
    p.add_argument("--loop", metavar="N", nargs="?", type=int, const=0,
                   help="board after board: each slot tests its next board (power off and on, "
                        "shell) until Ctrl-C, or N boards")
    p.add_argument("--start", choices=[s.value for s in Start], default=Start.KEY.value,
                   help="with --loop, what starts a slot's next board: key (default) the "
                        "operator's key, the slot's number (Enter on a station of one slot); "
                        "presence the fixture's presence input (a board put in; a key tests "
                        "the same board again); now at once, for a handler that loads the "
                        "boards itself")
    p.add_argument("--retests", metavar="N", type=int, default=2,
                   help="how often one serial number may be tested on this line (its results "
                        "database; default 2): a board tested that often is refused after its "
                        "serial number is read")
    p.add_argument("--swap-time", metavar="S", type=float, default=0.0,
                   help="with --loop --start now: seconds a slot stays off between two "
                        "boards (default 0)")
    p.add_argument("--station-name", metavar="NAME", default=socket.gethostname(),
                   help="this station's name in the records (default: the host name)")
    p.add_argument("--db", metavar="URL",
                   help="results database, an SQLAlchemy URL without a password (default: an "
                        "SQLite file in the report folder, DIR/results.sqlite)")
    p.add_argument("--db-retry", metavar="S", type=float, default=db.RETRY_FOR_S,
                   help="seconds a write to the database is retried before the run is kept "
                        f"in DIR/spool instead (default {db.RETRY_FOR_S:g})")
    p.add_argument("--junitxml", metavar="FILE",
                   help="write every board's measurements as JUnit XML test cases")
    return p


def slots(opt: argparse.Namespace) -> list[SlotSetup]:
    """The line's slots: the environment's targets (or those --slot names), or one per
    --local-dir."""
    if opt.local_tool:
        if opt.loop is not None and opt.start == Start.PRESENCE:
            raise UsageError("--start presence: a local tool's slot has no presence input")
        dirs = opt.local_dir or [None]
        names = ["main"] if len(dirs) == 1 else [f"local{i}" for i in range(1, len(dirs) + 1)]
        return [SlotSetup(name, local_tool=opt.local_tool, local_dir=d)
                for name, d in zip(names, dirs)]
    try:
        env = lg.open_environment(opt.lg_env)
        targets = lg.target_names(env)
    except Exception as e:  # labgrid's own errors name the file and what is wrong
        raise UsageError(f"{opt.lg_env}: {e}") from None
    names = opt.slot or targets
    unknown = [n for n in names if n not in targets]
    if unknown or not names or len(set(names)) != len(names):
        raise UsageError(f"{opt.lg_env}: no target {', '.join(unknown) or '(none)'}; its "
                         f"targets: {', '.join(targets) or 'none'}" if unknown or not names
                         else f"--slot: a slot named twice: {', '.join(names)}")
    if opt.loop is not None and opt.start == Start.PRESENCE:
        lacking = [n for n in names if not lg.has_presence(env.get_target(n))]
        if lacking:
            raise UsageError(f"{opt.lg_env}: --start presence: no presence input (a digital "
                             f"input driver named presence) in {', '.join(lacking)}")
    return [SlotSetup(name, lg_env=str(Path(opt.lg_env).absolute()), board_tool=opt.board_tool)
            for name in names]


def claim(setups: list[SlotSetup], station: str) -> Claims:
    """Each slot's consoles and power switches (a local slot's: its folder), locked for this
    station; UsageError when two slots share one or another station holds one."""
    things: dict[str, list[str]] = {}
    for setup in setups:
        if setup.lg_env is None:
            things[setup.name] = [f"local folder {Path(setup.local_dir or '.').absolute()}"]
            continue
        env = lg.open_environment(setup.lg_env)
        things[setup.name] = lg.resource_identities(env, setup.name)
    try:
        return Claims(station).take(things)
    except (Taken, OSError) as e:
        raise UsageError(str(e)) from None


def settings(opt: argparse.Namespace) -> Settings:
    if opt.retests < 1:
        raise UsageError(f"--retests {opt.retests}: at least 1 (a board's first test)")
    if bool(opt.lg_env) == bool(opt.local_tool):
        raise UsageError("the station needs a board: --lg-env FILE (labgrid) or "
                         "--local-tool PATH, one of them")
    # The tool runs in --local-dir: a path to it typed relative to where the user stands
    # is taken from here. (A bare name is looked up on PATH, as a shell does.)
    if opt.local_tool and "/" in opt.local_tool:
        opt.local_tool = str(Path(opt.local_tool).absolute())
    try:
        limits = load_limits(opt.limits)
        # The bytes hashed are the bytes kept: read once.
        limits_bytes = Path(opt.limits).read_bytes()
        limits_text = limits_bytes.decode("utf-8")
    except LimitsError as e:
        raise UsageError(f"limits refused: {e}") from None
    except UnicodeDecodeError as e:
        raise UsageError(f"limits refused: {opt.limits}: not UTF-8 at byte {e.start}") from None
    sha256 = hashlib.sha256(limits_bytes).hexdigest()
    url = opt.db or default_db(opt.report_dir)
    if not opt.db:
        Path(opt.report_dir).mkdir(parents=True, exist_ok=True)
    spool = Spool.of(opt.report_dir)
    away = False
    try:
        engine = db.open_db(url)  # migrated once here, before the slots write
        try:
            keep_limits_text(engine, sha256, limits_text, db.now())
            put_in(engine, spool, opt.db_retry)
        finally:
            engine.dispose()
    except db.DbError as e:
        raise UsageError(str(e)) from None
    except Exception as e:  # noqa: BLE001 -- a server away is no reason not to start
        why = describe_failure(e)
        if isinstance(e, db.DBAPIError) and _refused_login(e):
            raise UsageError(f"results database {db.shown(url)}: {why}") from None
        print(f"station: results database {db.shown(url)}: not answering ({why}); the runs are "
              f"kept in {spool.folder} until it answers", flush=True)
        away = True
    if not isinstance(url, str):
        url = url.render_as_string(hide_password=False)
    return Settings(station=opt.station_name, limits=limits, limits_file=str(limits.path),
                    limits_sha256=sha256, report_dir=Path(opt.report_dir), db_url=url,
                    station_version=station.version(), db_retry_s=opt.db_retry, db_away=away,
                    retests=opt.retests)


# What a server says when it answers but refuses this station: a setting to fix, not an
# outage to wait out.
_LOGIN_REFUSED = ("password", "authentication", "does not exist", "pg_hba.conf",
                  "permission denied", "certificate", "unable to open database file")


def _refused_login(e: db.DBAPIError) -> bool:
    return any(words in str(e.orig).lower() for words in _LOGIN_REFUSED)


def put_in(engine, spool: Spool, for_s: float) -> None:
    """The spool into the database, and what it held said."""
    added = spool.put_in(engine, for_s)
    for why in spool.refused:
        print(f"station: {why}")
    if added:
        print(f"station: {added} spooled runs put in the results database")


def _stop_signal(*_) -> None:
    raise KeyboardInterrupt  # a service stop or a closed terminal: as the operator's Ctrl-C


def run_line(line: Line, view) -> bool:
    """Runs the started line to its end; True when the operator stopped it. A Ctrl-C stops
    every slot: no new board, and each board under test ends its running step and is recorded
    as stopped; another Ctrl-C meanwhile must not cut that short (the records would be lost)."""
    line.show(view)
    try:
        line.wait()
        return False
    except KeyboardInterrupt:
        pass
    view.say("stopping: no new board; the boards under test end their running step and are "
             "recorded as stopped")
    stop_signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    previous = [signal.signal(n, lambda *_: view.say("stopping, please wait"))
                for n in stop_signals]
    try:
        line.stop()
        line.wait()
    finally:
        for n, handler in zip(stop_signals, previous):
            signal.signal(n, handler)
    return True


def summary(done: list[BoardDone], slot_count: int, cpu_s: float, say) -> None:
    """Each board's verdict line, record and timing; then the line's."""
    for d in sorted(done, key=lambda d: d.finished.start):
        f = d.finished
        where = f" ({f.slot})" if slot_count > 1 else ""
        text = (f" BOARD {f.serial_number or '(serial unknown)'}{where}: "
                f"{f.verdict.value.upper()}, {f.passed} of {len(f.results)} passed in "
                f"{f.duration_s} s ")
        side = max(3, (88 - len(text)) // 2)
        say("=" * side + text + "=" * side)
        say(f"record: {d.record_path}")
        if f.unrecognised:
            say(f"{len(f.unrecognised)} line(s) of the tool's output not recognised, listed in "
                "the record")
        if d.ready_at is not None and d.judged_at is not None and f.tool_s is not None:
            testing = d.judged_at - d.ready_at
            console = ("" if f.console_bytes is None else
                       f"; console {f.console_bytes[0]} bytes read, {f.console_bytes[1]} written")
            say(f"timing: shell after {f.board_ready_s} s, tested in {testing:.2f} s, the "
                f"tool's own {f.tool_s:.2f} s, overhead {testing - f.tool_s:.2f} s{console}")
    spooled = sum(d.spooled for d in done)
    if spooled:
        say(f"{spooled} runs went to the spool: the results database did not take them")
    ready = [d.ready_at for d in done if d.ready_at is not None]
    judged = [d.judged_at for d in done if d.judged_at is not None]
    if ready and judged:
        say(f"line: {len(done)} boards in {slot_count} slots; from all shells ready to all "
            f"verdicts {max(judged) - max(ready):.2f} s; station CPU {cpu_s:.2f} s")


def spooled(s: Settings) -> None:
    """At the end: the spool put in, one try; or how many runs wait in it."""
    spool = Spool.of(s.report_dir)
    if not spool.waiting():
        return
    engine = db.connect(s.db_url)
    try:
        put_in(engine, spool, 0.0)
    except Exception as e:  # noqa: BLE001
        why = describe_failure(e)
        print(f"results database {db.shown(s.db_url)}: still not answering ({why}); "
              f"{len(spool.waiting())} runs wait in {spool.folder} for the station's next "
              "start (or records.py import)")
    finally:
        engine.dispose()


def main(argv: list[str] | None = None) -> int:
    opt = parser().parse_args(argv)
    try:
        s = settings(opt)
        setups = slots(opt)
        claims = claim(setups, opt.station_name)
    except UsageError as e:
        print(f"station: {e}", file=sys.stderr)
        return USAGE
    try:
        return run_station(opt, s, setups)
    finally:
        claims.release()


def run_station(opt: argparse.Namespace, s: Settings, setups: list[SlotSetup]) -> int:
    """The line's run, its outputs and the station's exit status."""
    plan = build_plan(s.limits)
    names = [setup.name for setup in setups]
    looping = opt.loop is not None
    start = Start(opt.start)
    junit = JunitXml(opt.junitxml, len(setups) > 1, looping) if opt.junitxml else None
    logfile.to_file(s.report_dir, "station")  # labgrid's log lines never across the view
    for n in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(n, _stop_signal)
    line = Line(setups, plan, s, boards=(opt.loop or None) if looping else 1,
                looping=looping, start=start, pause_s=opt.swap_time).start()
    view = make_view(names, sys.stdout)
    view.say(f"station {opt.station_name}: {s.limits.product}, limits {opt.limits}, "
             f"{len(plan)} measurements; slots: {', '.join(names)}")
    keys = None
    if looping and start != Start.NOW:
        keys = Keys(names, line.say_go, view.say, sys.stdin).start()
    try:
        stopped = run_line(line, view)
    finally:
        if keys is not None:
            keys.close()
        view.close()
    if junit is not None:
        for d in line.done:
            junit(d.finished)
        junit.write()
    own = resource.getrusage(resource.RUSAGE_SELF)
    summary(line.done, len(setups), own.ru_utime + own.ru_stime + line.slot_cpu_s, print)
    for slot, why in line.crashes.items():
        print(f"slot {slot}: its process failed: {why.strip().splitlines()[-1]}")
    spooled(s)
    verdicts = [d.finished.verdict for d in line.done]
    print(tally(verdicts, line.out_of_service))
    if stopped:
        return STOPPED
    if line.crashes:
        return SLOT_FAILED
    boards = [v for v in verdicts if v != RunVerdict.FIXTURE_ERROR]
    good = boards and all(v == RunVerdict.PASS for v in verdicts) and not line.out_of_service
    return PASSED if good else NOT_PASSED


def tally(verdicts: list[RunVerdict], out_of_service: list[str]) -> str:
    """The station's last line: its boards by verdict, and the slots out of service."""
    count = {v: verdicts.count(v) for v in RunVerdict}
    text = (f"boards: {count[RunVerdict.PASS]} passed, {count[RunVerdict.FAIL]} failed, "
            f"{count[RunVerdict.NO_BOOT]} did not boot")
    for v in (RunVerdict.STOPPED, RunVerdict.REFUSED, RunVerdict.FIXTURE_ERROR):
        if count[v]:
            text += f", {count[v]} {v.value}" + ("s" if v == RunVerdict.FIXTURE_ERROR
                                                and count[v] > 1 else "")
    text += f"; slots out of service: {len(out_of_service)}"
    return text + (f" ({', '.join(out_of_service)})" if out_of_service else "")


if __name__ == "__main__":
    sys.exit(main())
