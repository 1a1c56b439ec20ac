import sys
from pathlib import Path

HERE = Path(__file__).resolve()
# The station's modules, the boards (boards/board.py), and the end-to-end cases' parser
# (tests/e2e/casefile.py).
sys.path[:0] = [str(HERE.parents[1]), str(HERE.parents[2] / "boards"),
                str(HERE.parents[2] / "tests" / "e2e")]
