"""pytest plugin: every cases/*.case file is one test (format: cases/README.md).

A case runs in a fresh work directory, WORK/NAME: the simulator starts there on the port that
the target names, the plugin waits until that port is up, the target runs the tool, and the
simulator is stopped by its pid. The work directory keeps sim.log, sim.out, tool.out and
tool.err. Mismatches are reported together; a differing standard output as pytest's diff of
the case notation (run with -vv to see it whole).
"""

import os
import shutil
import tempfile
from pathlib import Path

import pytest


from boards import simulator
from testkit import casefile
from testkit import targets

TARGET_KEY = pytest.StashKey[targets.Target]()


def pytest_addoption(parser):
    group = parser.getgroup("e2e", "end-to-end cases (tests/e2e/cases/*.case)")
    group.addoption("--target", default="host",
                    help="where the tool runs: host (default) or MODULE:CLASS")
    group.addoption("--tool", help="the tool built for the simulator's link (mcu_test_sim)")
    group.addoption("--emulator", action="append", default=[], metavar="WORD",
                    help="a word of the command in front of the tool (repeat: --emulator=qemu-mips "
                         "--emulator=-L --emulator=/usr/mips-linux-gnu)")
    group.addoption("--sim", help="the simulator, mcu_sim")
    group.addoption("--work", default=os.path.join(tempfile.gettempdir(), "mcu-e2e"),
                    help="directory for the cases' work directories, WORK/NAME")
    group.addoption("--start-allowance", type=int, default=0, metavar="MS",
                    help="added to every case's longest wall time and gaps (slow builds)")
    group.addoption("--link-timeout", type=int, default=5000, metavar="MS",
                    help="how long the simulator may take to bring its port up")


def pytest_collect_file(file_path, parent):
    if file_path.suffix == ".case":
        return CaseFile.from_parent(parent, path=file_path)
    return None


def pytest_unconfigure(config):
    if TARGET_KEY in config.stash:
        config.stash[TARGET_KEY].close()


def target_of(config) -> targets.Target:
    if TARGET_KEY not in config.stash:
        config.stash[TARGET_KEY] = targets.load(config.getoption("target"))(config)
    return config.stash[TARGET_KEY]


class CaseFile(pytest.File):
    def collect(self):
        yield CaseItem.from_parent(self, name=self.path.stem)


class CaseItem(pytest.Item):
    def runtest(self):
        case = casefile.parse(str(self.path))
        target = target_of(self.config)
        if target.kind in case.skips:
            pytest.skip(f"not on a {target.kind} target: {case.skips[target.kind]}")
        work = Path(self.config.getoption("work")).absolute() / case.name
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        for name, data in case.files.items():
            (work / name).write_bytes(data)

        sim = self.start_sim(case, target, work) if case.device == "sim" else None
        if sim is None:
            target.prepare(work, case.device)
        allowance = target.allowance_ms
        try:
            run = target.run(case.args, work, casefile.timeout_ms(case, allowance), case.kill_after)
        except BaseException:
            # A target that fails (or Ctrl-C) must not leave this case's simulator serving the
            # next one.
            if sim:
                sim.kill()
            raise
        (work / "tool.out").write_bytes(run.out)
        if sim:
            stop_sim(sim, target, work, run)

        problems = casefile.check(case, run, allowance, target.sees_connects)
        if problems:
            report = f"case {case.name} failed (tool {run.wall_ms} ms, work directory {work}):\n"
            report += "".join(f"* {p}\n" for p in problems) + shown(work / "tool.err")
            report += shown(work / "sim.out") if sim else ""
            if case.stdout is not None:
                assert casefile.visible(run.out) == casefile.visible(case.stdout), report
            pytest.fail(report, pytrace=False)

    def start_sim(self, case, target, work) -> simulator.SimProcess:
        sim = self.config.getoption("sim")
        if not sim or not os.access(sim, os.X_OK):
            pytest.fail(f"no simulator to run at '{sim}' (--sim PATH)", pytrace=False)
        args = target.sim_port(work) + ["--log", "sim.log"] + case.sim_options
        try:
            return simulator.sim_process(str(Path(sim).absolute()), args, cwd=work,
                                     timeout_s=self.config.getoption("link_timeout") / 1000)
        except simulator.SimulatorError as e:
            pytest.fail(f"the simulator's port did not come up: {e}", pytrace=False)

    def repr_failure(self, excinfo, style=None):
        if isinstance(excinfo.value, (AssertionError, casefile.CaseError)):
            return str(excinfo.value)
        return super().repr_failure(excinfo, style)

    def reportinfo(self):
        return self.path, None, f"case {self.name}"


def stop_sim(sim, target, work, run):
    """Ends the simulator with SIGTERM and notes in run how it went."""
    if sim.proc.poll() is not None:
        run.sim_ended_early = casefile.describe(sim.proc.returncode)
    else:
        run.sim_stop_status = sim.stop()
        run.port_left = target.port_ready(work)
    log = work / "sim.log"
    run.sim_log = log.read_text(errors="replace") if log.exists() else None


def shown(path):
    text = path.read_text(errors="replace") if path.exists() else ""
    return f"---- {path.name}:\n{text}{'' if text.endswith(chr(10)) else chr(10)}" if text else ""
