"""A virtual board as awkward as a real one: the options that make it so, each off unless given.

    kmsg:MS                  the kernel prints a message on the console every MS ms on average
                             (printk from a process on the board, exponential gaps)
    lossy:SHARE[/SHARE]      the console line drops or changes that share of the bytes from the
                             board [/ to the board] (labgrid_adapter.LineDamage); both: one share
    seed:N                   the lossy line's generator (default 1): a run can be repeated
    login:USER[:PASSWORD]    a login on the console for USER, not root (group dialout: the MCU's
                             UART; the prompt `BOARD$ `), with no password unless given
    without:APPLET[+APPLET]  the board's shell finds no such program (e.g. without:gzip)
    tool-path:PATH           the board package's mcu_test at PATH too

Options are separated by commas: "kmsg:500,lossy:0.001,login:factory,without:gzip". The board
reads its part on the kernel command line (board.kmsg=, board.login=, board.without=,
board.tool=: rootfs/init), the line's part (lossy, seed) is the console's
(labgrid_adapter.watch_console), the login's part is labgrid's ShellDriver's.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field

from boards.labgrid_adapter import LineDamage

_USER = re.compile(r"[a-z_][a-z0-9_-]{0,31}")
_PASSWORD = re.compile(r"[!-~]+")  # printable, no space: a word of the kernel command line
_APPLET = re.compile(r"[a-z0-9_.\[-]+")
_PATH = re.compile(r"(/[A-Za-z0-9_.+-]+)+")


@dataclass(frozen=True)
class Hostile:
    kmsg_ms: int = 0
    damage: LineDamage = LineDamage()
    login: str = ""  # the user; "" keeps root's shell on the console, as without a login
    password: str = ""
    without: tuple[str, ...] = field(default=())
    tool_path: str = ""

    @classmethod
    def parse(cls, text: str, where: str = "--hostile") -> "Hostile":
        values: dict = {}
        share: tuple[float, float] | None = None
        seed = 1
        for item in filter(None, (t.strip() for t in text.split(","))):
            name, sep, value = item.partition(":")

            def bad(why: str) -> ValueError:
                return ValueError(f"{where}: '{item}' in '{text}': {why}")

            if not sep or not value:
                raise bad("give NAME:VALUE (kmsg, lossy, seed, login, without, tool-path)")
            if name == "kmsg":
                if not value.isdigit() or int(value) < 1:
                    raise bad("a mean interval in ms, at least 1")
                values["kmsg_ms"] = int(value)
            elif name == "lossy":
                try:
                    parts = [float(v) for v in value.split("/")]
                except ValueError:
                    parts = []
                if len(parts) not in (1, 2) or not all(0 <= p <= 1 for p in parts):
                    raise bad("a share of bytes from 0 to 1, or FROM/TO the board")
                share = (parts[0], parts[-1])
            elif name == "seed":
                if not re.fullmatch(r"-?\d+", value):
                    raise bad("a whole number")
                seed = int(value)
            elif name == "login":
                user, colon, password = value.partition(":")
                if not _USER.fullmatch(user) or user == "root":
                    raise bad("a user name (lower case, not root)")
                if colon and not _PASSWORD.fullmatch(password):
                    raise bad("a password of printable characters, no spaces")
                values.update(login=user, password=password)
            elif name == "without":
                applets = tuple(value.split("+"))
                if not all(_APPLET.fullmatch(a) for a in applets):
                    raise bad("busybox applet names, joined by +")
                values["without"] = values.get("without", ()) + applets
            elif name == "tool-path":
                if not _PATH.fullmatch(value) or ".." in value.split("/"):
                    raise bad("an absolute path of letters, digits and ._+-")
                values["tool_path"] = value
            else:
                raise bad("no such option (kmsg, lossy, seed, login, without, tool-path)")
        if share is not None:
            values["damage"] = LineDamage(rx=share[0], tx=share[1], seed=seed)
        return cls(**values)

    def kernel_args(self) -> list[str]:
        """The words of the kernel command line that rootfs/init reads."""
        words = []
        if self.kmsg_ms:
            words.append(f"board.kmsg={self.kmsg_ms}")
        if self.login:
            words.append(f"board.login={self.login}" + (f":{self.password}"
                                                          if self.password else ""))
        if self.without:
            words.append(f"board.without={','.join(self.without)}")
        if self.tool_path:
            words.append(f"board.tool={self.tool_path}")
        return words

    def shell(self, board: str) -> dict[str, str]:
        """labgrid's ShellDriver: the user it logs in, the password, the prompt (a pattern)."""
        if self.login:
            return {"username": self.login, "password": self.password,
                    "prompt": re.escape(board) + r"\$ "}
        return {"username": "root", "password": "", "prompt": f"{board}# "}

    def environ(self, board: str, prefix: str = "LG_") -> dict[str, str]:
        """The LG_* values of a board's templates: its kernel command line, its shell's login
        and its console line's damage."""
        shell = self.shell(board)
        return {f"{prefix}QEMU_BOOT_ARGS": " ".join(["console=ttyS2", *self.kernel_args()]),
                f"{prefix}SHELL_USERNAME": shell["username"],
                f"{prefix}SHELL_PASSWORD": shell["password"],
                f"{prefix}SHELL_PROMPT": shell["prompt"],
                f"{prefix}CONSOLE_DAMAGE": self.damage.text()}


def from_environ() -> Hostile:
    """The options in LG_HOSTILE (none when unset), as the board's command line and the tests
    give them."""
    return Hostile.parse(os.environ.get("LG_HOSTILE", ""), "LG_HOSTILE")
