"""Shells that stand in for a board's, as boards.board.Board takes them: one run over SSH
(labgrid's CommandProtocol.run), or an interactive shell on a console that echoes what is
typed (labgrid's ConsoleProtocol with a prompt)."""

from __future__ import annotations

import os
import subprocess

import pexpect


class LocalShell:
    """Stands in for a labgrid shell over SSH: runs each command with /bin/sh in cwd."""

    def __init__(self, cwd=None):
        self.cwd = cwd

    def run(self, cmd, timeout=30.0):
        done = subprocess.run(["/bin/sh", "-c", cmd], cwd=self.cwd, stdout=subprocess.PIPE,
                              timeout=timeout)
        return done.stdout.decode().splitlines(), [], done.returncode


def board_path(work) -> str:
    """A PATH whose commands are busybox's applets first, as on a board (the host's sh is
    dash, its gzip GNU's)."""
    applets = os.path.join(str(work), ".applets")
    if not os.path.isdir(applets):
        os.mkdir(applets)
        subprocess.run(["busybox", "--install", "-s", applets], check=True)
    return f"{applets}:{os.environ['PATH']}"


class PtyConsole:
    """A console as labgrid's driver offers it (read, write) on the board's own shell, busybox
    ash, interactive in a pseudo-terminal: it echoes what is typed, and its line editor keeps
    1,023 characters of a line, as a board's console does."""

    def __init__(self, cwd):
        self.child = pexpect.spawn("busybox", ["ash", "-i"], cwd=cwd,
                                   env={**os.environ, "PS1": "pty# ", "ENV": "",
                                        "PATH": board_path(cwd)})
        self.child.expect("pty# ")

    def read(self, size=1, timeout=0.0):
        return self.child.read_nonblocking(max(size, 4096), timeout=timeout)

    def write(self, data):
        self.child.send(data)


class ConsoleShell:
    """A shell typed on PtyConsole."""

    prompt = "pty# "

    def __init__(self, cwd):
        self.console = PtyConsole(cwd)
