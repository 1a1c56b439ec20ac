#!/usr/bin/python3
"""Counts the lines of code and of tests, and prints how large the tests are against the code.

A line counts when it is not blank and not only a comment: C++ // and /* */ comments, Python
and shell # comments, Python docstrings. Only files that git tracks are read.

  code    the tool (driver/ serial/ protocol/ receiver/) and the simulator (sim/): their C++,
          Python and shell files (today all C++)
  tests   tests/: unit tests of the tool, the simulator's tests, the end-to-end pytest plugin
          and its own tests, the board tests (labgrid harness), the board cache test and the ELF
          ABI checks; and fuzz/: the fuzz targets, their replay driver and the NTC sweep
  apart   the end-to-end case files (tests/e2e/cases) and the fuzz corpora (fuzz/corpus), data
          rather than code, counted on a line of their own; and the other parts of the
          repository (benchmarks, factory station, decoder, boards, scripts), listed but not in
          the ratio

The ratio printed is tests against code; files are read as they are in the working tree.

Usage: scripts/count-lines.py
"""

import io
import os
import subprocess
import sys
import tokenize
from pathlib import Path

CODE = ["driver", "serial", "protocol", "receiver", "sim"]
TESTS = ["tests", "fuzz"]
OTHERS = ["bench", "station", "sigrok", "boards", "scripts"]
CPP, PYTHON, SHELL = (".cpp", ".hpp", ".h"), (".py",), (".sh",)


def python_lines(text):
    """Lines that hold a token other than a comment or a docstring (a string standing alone)."""
    lines, toks = set(), list(tokenize.generate_tokens(io.StringIO(text).readline))
    layout = (tokenize.NEWLINE, tokenize.NL, tokenize.INDENT, tokenize.DEDENT)
    for i, t in enumerate(toks):
        if t.type in layout + (tokenize.COMMENT, tokenize.ENDMARKER):
            continue
        if (t.type == tokenize.STRING and (i == 0 or toks[i - 1].type in layout)
                and toks[i + 1].type in (tokenize.NEWLINE, tokenize.ENDMARKER)):
            continue
        lines.update(range(t.start[0], t.end[0] + 1))
    return len(lines)


def counted(path):
    """Lines of path that are neither blank nor only a comment."""
    text = path.read_text(errors="replace")
    if path.suffix in PYTHON:
        return python_lines(text)
    n, in_block = 0, False
    for line in text.splitlines():
        s = line.strip()
        if in_block:
            in_block = "*/" not in s
        elif path.suffix in CPP and s.startswith("/*"):
            in_block = "*/" not in s[2:]
        elif s and not s.startswith("//" if path.suffix in CPP else "#"):
            n += 1
    return n


def tracked(tops):
    out = subprocess.run(["git", "ls-files", "--", *tops], capture_output=True, text=True,
                         check=True).stdout
    return [Path(p) for p in out.splitlines()]


def tally(tops, label):
    """Prints one line per directory and returns the sum of code lines."""
    total = 0
    for top in tops:
        files = [p for p in tracked([top]) if p.suffix in CPP + PYTHON + SHELL
                 and "corpus" not in p.parts and "cases" not in p.parts]
        n = sum(counted(p) for p in files)
        print(f"  {label:6} {top + '/':10} {n:6} lines in {len(files):3} files")
        if top == "tests":  # where the weight of the tests lies, directory by directory
            for sub in sorted({p.parts[1] for p in files if len(p.parts) > 2}):
                part = [p for p in files if len(p.parts) > 2 and p.parts[1] == sub]
                print(f"           of which {sub + '/':8} {sum(counted(p) for p in part):5} lines "
                      f"in {len(part):3} files")
        total += n
    return total


def main():
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True,
                          text=True, check=True).stdout.strip()
    os.chdir(root)
    print("Non-blank, non-comment lines of C++, Python and shell (files tracked by git):")
    code = tally(CODE, "code")
    tests = tally(TESTS, "tests")
    cases = tracked(["tests/e2e/cases"])
    case_lines = sum(counted(p) for p in cases if p.suffix == ".case")
    corpus = [p for p in tracked(["fuzz/corpus"])]
    print(f"Apart: {len([p for p in cases if p.suffix == '.case'])} case files with {case_lines} "
          f"lines (no comments); {len(corpus)} fuzz corpus files, "
          f"{sum(p.stat().st_size for p in corpus)} bytes")
    print("Apart, not in the ratio:")
    tally(OTHERS, "other")
    print(f"Code {code}, tests {tests}: tests are {100 * tests / code:.0f} % of the code "
          f"({100 * tests / (code + tests):.0f} % of code and tests together)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
