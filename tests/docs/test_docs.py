"""The commands in README.md and docs/*.md, run as a reader would type them.

Every fenced block says what it is in its info string, so that no command goes stale unseen:

  sh            commands that run on this machine: run here, in the source tree, as one bash
                script that stops at the first failing command
  sh board      commands that need a virtual board: run with --board, which runs only these
                (in the board build's ctest, which has the boards)
  sh ci         commands that CI runs itself: each line must be a line of .ci/run
  sh hardware   commands that need a real board, or a person at a terminal: not run
  sh measure    the measurements of docs/PERFORMANCE.md (benchmark builds, long runs): run by
                hand when the figures are taken again, not by the tests
  python, python board
                Python code, run with /usr/bin/python3 in the source tree (the same rule)
  anything else (text, yaml, ...): not a command

Usage: /usr/bin/python3 -m pytest tests/docs [--board] [-k NAME]
"""

import os
import re
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
PAGES = [SOURCE / "README.md", *sorted((SOURCE / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(.*)$")
KINDS = {"sh", "sh board", "sh ci", "sh hardware", "sh measure", "python", "python board"}
# Languages of blocks that hold no command.
QUIET = {"text", "yaml", "ini", "json", "c", "cpp"}
# A block may take minutes: it builds a preset or boots a board.
TIMEOUT_S = 900


@dataclass(frozen=True)
class Block:
    name: str  # PAGE:LINE of the opening fence, lines counted from 1
    kind: str
    text: str


def blocks(page: Path) -> list[Block]:
    found, open_at, kind, body = [], None, "", []
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        m = FENCE.match(line)
        if m and open_at is None:
            open_at, kind, body = number, m.group(1).strip(), []
        elif m and not m.group(1).strip():
            found.append(Block(f"{page.relative_to(SOURCE)}:{open_at}", kind,
                               "\n".join(body) + "\n"))
            open_at = None
        elif open_at is not None:
            body.append(line)
    if open_at is not None:
        raise ValueError(f"{page}:{open_at}: the block is never closed")
    return found


ALL = [b for page in PAGES for b in blocks(page)]
COMMANDS = [b for b in ALL if b.kind in KINDS - {"sh hardware", "sh measure"}]


def test_every_block_says_what_it_is():
    unknown = [f"{b.name}: '```{b.kind}'" for b in ALL if b.kind not in KINDS | QUIET]
    assert not unknown, ("blocks without a known info string (one of "
                         f"{', '.join(sorted(KINDS | QUIET))}):\n" + "\n".join(unknown))


@pytest.mark.parametrize("block", COMMANDS, ids=[b.name for b in COMMANDS])
def test_command(block: Block, request):
    if block.kind == "sh ci":
        ci = {line.strip() for line in (SOURCE / ".ci" / "run").read_text().splitlines()}
        lines = [line.strip() for line in block.text.splitlines()]
        missing = [line for line in lines if line and not line.startswith("#") and line not in ci]
        assert not missing, f"{block.name}: not run by .ci/run: {missing}"
        return
    if block.kind.endswith(" board") != request.config.getoption("board"):
        pytest.skip("needs a virtual board: run with --board" if block.kind.endswith(" board")
                    else "--board runs the blocks that need a virtual board, and only those")
    if block.kind.startswith("python"):
        argv = ["/usr/bin/python3", "-c", block.text]
    else:
        argv = ["bash", "-euo", "pipefail", "-c", block.text]
    # A fresh TMPDIR of its own, short whatever the checkout's path: the simulator and labgrid
    # put Unix sockets there, whose path must fit in 107 bytes.
    with tempfile.TemporaryDirectory(prefix="docs.", dir="/tmp") as tmp:
        done = subprocess.run(argv, cwd=SOURCE, env=dict(os.environ, TMPDIR=tmp),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=TIMEOUT_S)
    assert done.returncode == 0, (f"{block.name} failed with status {done.returncode}:\n"
                                  f"{block.text}---- output:\n"
                                  f"{done.stdout.decode(errors='replace')[-6000:]}")
