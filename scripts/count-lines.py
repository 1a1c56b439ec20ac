#!/usr/bin/python3
"""Counts the lines of code and of tests, and prints how large the tests are in all the code.

A line counts when it is not blank and not only a comment: C++ // and /* */ comments, Python
and shell # comments, Python docstrings. Only files that git tracks are read, as they are in
the working tree.

  tests   every file under tests/ and fuzz/, and under a tests/ folder anywhere (station/tests,
          sigrok/tests)
  code    every other C++, Python and shell file: the tool, the simulator, the boards, the
          station, the decoder, the benchmarks, the scripts
  apart   the end-to-end case files (tests/e2e/cases) and the fuzz corpora (fuzz/corpus), data
          rather than code, counted on a line of their own

The figure printed last is the tests' share of all the lines, code and tests together.

Usage: scripts/count-lines.py
"""

import io
import os
import subprocess
import sys
import tokenize
from pathlib import Path

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


def tracked(tops=()):
    out = subprocess.run(["git", "ls-files", "--", *tops], capture_output=True, text=True,
                         check=True).stdout
    return [Path(p) for p in out.splitlines()]


def is_test(path):
    return path.parts[0] in ("tests", "fuzz") or "tests" in path.parts


def main():
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True,
                          text=True, check=True).stdout.strip()
    os.chdir(root)
    files = [p for p in tracked() if p.suffix in CPP + PYTHON + SHELL
             and "corpus" not in p.parts and "cases" not in p.parts]
    print("Non-blank, non-comment lines of C++, Python and shell (files tracked by git):")
    print(f"  {'folder':12} {'code':>6} {'tests':>6}")
    totals = {False: 0, True: 0}
    for top in sorted({p.parts[0] for p in files if len(p.parts) > 1}) + ["(top)"]:
        mine = [p for p in files if (p.parts[0] if len(p.parts) > 1 else "(top)") == top]
        sums = {kind: sum(counted(p) for p in mine if is_test(p) == kind) for kind in totals}
        if not mine:
            continue
        print(f"  {top + ('/' if top != '(top)' else ''):12} {sums[False]:6} {sums[True]:6}")
        for kind in totals:
            totals[kind] += sums[kind]
    cases = tracked(["tests/e2e/cases"])
    case_lines = sum(counted(p) for p in cases if p.suffix == ".case")
    corpus = tracked(["fuzz/corpus"])
    print(f"Apart: {len([p for p in cases if p.suffix == '.case'])} case files with {case_lines} "
          f"lines (no comments); {len(corpus)} fuzz corpus files, "
          f"{sum(p.stat().st_size for p in corpus)} bytes")
    code, tests = totals[False], totals[True]
    print(f"Code {code}, tests {tests}: tests are {100 * tests / (code + tests):.0f} % of all "
          "the code (code and tests together)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
