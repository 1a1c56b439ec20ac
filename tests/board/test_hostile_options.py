"""The options that make a virtual board awkward (boards/hostile.py), as they reach the board's
kernel command line, labgrid's shell login and the console line, for one board and per slot of
the line; all off unless given."""

import shlex
import subprocess
import sys

import pytest

from boards import board as boards
from boards import labgrid_adapter as lg
from boards import virtual_line as line
from boards.hostile import Hostile
from testkit import program_env
from testkit.board_target import INFO, write_artifacts

TOOL = "/usr/local/lib/factory-test/bin/mcu_test"
ALL = f"kmsg:500,lossy:0.001/0.002,seed:7,login:factory:s3cret,without:gzip+base64,tool-path:{TOOL}"


def shell_and_line(env, target: str):
    t = env.get_target(target)
    shell = t.get_driver("ShellDriver", activate=False)
    return (t.get_driver("QEMUDriver", activate=False).boot_args, shell.username,
            shell.password, shell.prompt, lg.console_damage(t))


def test_every_option_reaches_the_kernel_the_login_and_the_line(monkeypatch):
    options = Hostile.parse(ALL)
    assert options.kernel_args() == [
        "board.kmsg=500", "board.login=factory:s3cret", "board.without=gzip,base64",
        f"board.tool={TOOL}"]
    monkeypatch.setenv("LG_HOSTILE", ALL)
    for key, value in boards.labgrid_environ(INFO, "/tmp/x/mcu.sock").items():
        monkeypatch.setenv(key, value)
    env = lg.open_environment(boards.TEMPLATE)
    boot, user, password, prompt, damage = shell_and_line(env, "main")
    assert boot.split() == ["console=ttyS2", *options.kernel_args()]
    assert (user, password, damage) == ("factory", "s3cret", lg.LineDamage(0.001, 0.002, 7))
    assert prompt == r"mipsel\$ "  # a pattern: a user's shell ends its prompt in "$ "
    person = boards.qemu_command(INFO, "/tmp/x/mcu.sock", options=Hostile.parse("kmsg:9"))
    assert person[-1] == "console=ttyS0 board.kmsg=9"
    with pytest.raises(boards.BoardError, match="lossy: only a console that labgrid reaches"):
        boards.qemu_command(INFO, "/tmp/x/mcu.sock")  # LG_HOSTILE's lossy line


def test_each_slot_of_the_line_has_its_own_options(monkeypatch, tmp_path):
    monkeypatch.delenv("LG_HOSTILE", raising=False)
    awkward = line.parse_hostile_options(["2=kmsg:500", "2=lossy:0.01", "3=login:factory"], 4)
    for key, value in line.line_environ(INFO, str(tmp_path), awkward).items():
        monkeypatch.setenv(key, value)
    line.board_in_every_slot(str(tmp_path))
    env = lg.open_environment(line.LINE)
    quiet = ("console=ttyS2", "root", "", "mipsel# ", lg.LineDamage())
    assert shell_and_line(env, "slot1") == shell_and_line(env, "slot4") == quiet
    assert shell_and_line(env, "slot2") == ("console=ttyS2 board.kmsg=500", "root", "",
                                            "mipsel# ", lg.LineDamage(0.01, 0.01, 1))
    assert shell_and_line(env, "slot3")[:4] == ("console=ttyS2 board.login=factory", "factory",
                                                "", r"mipsel\$ ")
    # LG_HOSTILE is every other slot's.
    monkeypatch.setenv("LG_HOSTILE", "without:gzip")
    values = line.line_environ(INFO, str(tmp_path), awkward)
    assert values["LG_SLOT1_QEMU_BOOT_ARGS"] == "console=ttyS2 board.without=gzip"
    assert values["LG_SLOT2_QEMU_BOOT_ARGS"] == "console=ttyS2 board.kmsg=500"


@pytest.mark.parametrize("text,fault", [
    ("kmsg:0", "kmsg:0' in 'kmsg:0': a mean interval"),
    ("kmsg", "give NAME:VALUE"),
    ("lossy:1.5", "a share of bytes"),
    ("lossy:0.1/0.2/0.3", "a share of bytes"),
    ("seed:x", "a whole number"),
    ("login:root", "not root"),
    ("login:Factory", "a user name"),
    ("login:factory:", "a password"),
    ("without:gzip base64", "applet names"),
    ("tool-path:bin/mcu_test", "an absolute path"),
    ("tool-path:/usr/../bin/x", "an absolute path"),
    ("slow:9", "no such option"),
])
def test_a_wrong_option_is_named_with_its_value(text, fault):
    with pytest.raises(ValueError, match=f"--hostile: '.*{fault}"):
        Hostile.parse(text)


def test_the_line_command_refuses_a_wrong_slot_and_passes_the_options(tmp_path):
    base = [sys.executable, "-m", "boards.virtual_line", "environ", "mipsel", "--artifacts",
            str(write_artifacts(tmp_path)), "--dir", "/tmp/mcu-line.x"]
    out = subprocess.run(base + ["--hostile", f"4=tool-path:{TOOL}"], env=program_env(),
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    values = dict(shlex.split(w.removeprefix("export "))[0].split("=", 1)
                  for w in out.splitlines())
    assert values["LG_SLOT4_QEMU_BOOT_ARGS"] == f"console=ttyS2 board.tool={TOOL}"
    assert values["LG_SLOT1_QEMU_BOOT_ARGS"] == "console=ttyS2"
    bad = subprocess.run(base + ["--hostile", "5=kmsg:100"], env=program_env(),
                         stderr=subprocess.PIPE, text=True)
    assert bad.returncode == 1 and "--hostile 5=kmsg:100: give SLOT=OPTIONS with SLOT in 1..4" \
        in bad.stderr
