import sys
from pathlib import Path

# The station's modules and the helpers of these tests.
sys.path[:0] = [str(Path(__file__).resolve().parent), str(Path(__file__).resolve().parents[1])]
