"""How a board in its place is brought up and down: labgrid's own shape for it, a Strategy with
the states `off` and `shell` (as labgrid's ShellStrategy), named in each target's drivers:

    imports: [boards.strategy]
    targets:
      slot1:
        drivers:
          ...
          BoardStrategy: {}

Its power is any PowerProtocol the target has (a power switch, a virtual board's QEMU), or none:
a board without a switch is taken as on, and only its shell is waited for. Its shell is any
CommandProtocol (a ShellDriver on its console, or SSH).
"""

from __future__ import annotations

import enum

import attr
from labgrid.factory import target_factory
from labgrid.step import step
from labgrid.strategy import Strategy, StrategyError


# Logins tried on a console before the board counts as without a shell (each within the
# ShellDriver's login_timeout).
SHELL_TRIES = 2


class FixtureFault(StrategyError):
    """The slot's own hardware failed (its power switch, its console), not the board."""


class Status(enum.Enum):
    unknown = 0
    off = 1
    shell = 2


@target_factory.reg_driver
@attr.s(eq=False)
class BoardStrategy(Strategy):
    """off: the shell left, the power off. shell: the power on, and the shell answering."""

    bindings = {"power": {"PowerProtocol", None}, "shell": "CommandProtocol",
                "console": {"ConsoleProtocol", None}}

    status = attr.ib(default=Status.unknown)

    @step(args=["status"])
    def transition(self, status, *, step):  # noqa: ARG002 -- labgrid's step passes itself
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.unknown:
            raise StrategyError(f"can not transition to {status}")
        if status == self.status:
            return
        if status == Status.off:
            self.target.deactivate(self.shell)
            self._switch(False)
        else:
            self._switch(True)
            self._await_shell()
        self.status = status

    def _switch(self, on: bool) -> None:
        if self.power is None:
            return
        try:
            self.target.activate(self.power)
            self.power.on() if on else self.power.off()
        except Exception as e:  # a switch that does not answer, a command that fails...
            self.status = Status.unknown
            said = getattr(e, "output", None)  # a switch command's own words, if any
            if isinstance(said, bytes):
                said = said.decode(errors="replace")
            said = f" ({said.strip()})" if isinstance(said, str) and said.strip() else ""
            raise FixtureFault(f"power switch {'on' if on else 'off'}: {type(e).__name__}: "
                               f"{e}{said}") from e

    def _await_shell(self) -> None:
        """Activates the shell (it waits for the login and the prompt). labgrid's ShellDriver
        pokes a console with a newline only once it has been silent for a while, which a
        console that carries the kernel's messages never is: the Enter key is pressed here
        first, and again when the login failed."""
        for attempt in range(SHELL_TRIES):
            if self.console is not None:
                try:
                    self.target.activate(self.console)
                    self.console.write(b"\n")
                except Exception as e:  # the port is gone, or another program holds it
                    raise FixtureFault(f"console: {type(e).__name__}: {e}") from e
            try:
                self.target.activate(self.shell)
                return
            except Exception:  # labgrid raises pexpect's TIMEOUT, ExecutionError...
                self.target.deactivate(self.shell)
                if self.console is None or attempt == SHELL_TRIES - 1:
                    raise
