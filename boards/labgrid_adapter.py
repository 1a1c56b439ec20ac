"""labgrid as the boards use it, in one place: everything below reaches past labgrid's documented
interface, and works with Debian's python3-labgrid 0.4.1 and with current labgrid.

- The pytest plugin's environment (--lg-env): 0.4.1 keeps it in `config._labgrid_env`, current
  labgrid in `config.stash` under the plugin's `LABGRID_ENV_KEY`.
- Everything that the console driver reads, for the report of a board that fails: labgrid keeps
  only what it has not matched yet, so the driver's `_read` is wrapped.
- QEMU's process (`QEMUDriver._child`): its CPU time, and SIGKILL when it does not quit.
- The socket where QEMUDriver waits for QEMU's console (`QEMUDriver._socket`): labgrid waits
  without a bound, forever when QEMU ends at once (a refused option); here QEMU_CONNECT_S.
"""

from __future__ import annotations

import contextlib
import importlib
import subprocess

import pexpect
from labgrid import Environment
from labgrid.driver import ExecutionError, ShellDriver
from labgrid.exceptions import NoDriverFoundError
from labgrid.util.yaml import load as load_yaml

# A command that did not come back in time (console expect, SSH or ShellDriver run).
TIMEOUTS = (pexpect.TIMEOUT, ExecutionError)
_PLUGIN_MODULES = ("labgrid.pytestplugin.hooks", "labgrid.pytestplugin")
# How long QEMU may take to connect its console to labgrid.
QEMU_CONNECT_S = 30.0


def _env_key():
    for name in _PLUGIN_MODULES:
        with contextlib.suppress(ImportError):
            key = getattr(importlib.import_module(name), "LABGRID_ENV_KEY", None)
            if key is not None:
                return key
    return None


def environment(config) -> Environment | None:
    """The labgrid environment of the pytest run (None without --lg-env)."""
    key = _env_key()
    if key is not None:
        return config.stash.get(key, None)
    return getattr(config, "_labgrid_env", None)


def open_environment(path: str) -> Environment:
    return Environment(config_file=str(path))


def driver_names(path: str) -> list[str]:
    """The driver names of target `main` in an environment file, templates left unfilled."""
    with open(path) as f:
        data = load_yaml(f) or {}
    drivers = ((data.get("targets") or {}).get("main") or {}).get("drivers") or {}
    return list(drivers) if isinstance(drivers, dict) else [k for d in drivers for k in d]


def has_driver(target, name: str) -> bool:
    try:
        target.get_driver(name, activate=False)
        return True
    except NoDriverFoundError:
        return False


def power_on(target) -> None:
    """Brings the board up: through the environment's strategy if it has one, else by switching
    its power (a power switch, or QEMU)."""
    if has_driver(target, "QEMUDriver"):
        listening = getattr(target.get_driver("QEMUDriver"), "_socket", None)
        if listening is not None:
            listening.settimeout(QEMU_CONNECT_S)
    if has_driver(target, "Strategy"):
        target.get_driver("Strategy").transition("shell")
    elif has_driver(target, "PowerProtocol"):
        target.get_driver("PowerProtocol").on()


def tee_console(target, sink: bytearray) -> None:
    """Appends everything that the target's console driver reads to sink."""
    if not has_driver(target, "ConsoleProtocol"):
        return
    console = target.get_driver("ConsoleProtocol")
    read = console._read

    def logged(*args, **kwargs):
        data = read(*args, **kwargs)
        sink.extend(data)
        return data

    console._read = logged


def is_console_shell(shell) -> bool:
    """Whether the shell is typed on a console (ShellDriver) rather than run over SSH."""
    return isinstance(shell, ShellDriver)


def qemu_process(target) -> subprocess.Popen | None:
    """QEMU's process of a running virtual board, else None."""
    try:
        qemu = target.get_active_driver("QEMUDriver")
    except NoDriverFoundError:
        return None
    return getattr(qemu, "_child", None)


def shut_down(target) -> None:
    """Deactivates the drivers (QEMU's quit), then kills a QEMU that did not end."""
    child = qemu_process(target)
    with contextlib.suppress(Exception):
        target.cleanup()
    if child is not None and child.poll() is None:
        child.kill()
        child.wait()
