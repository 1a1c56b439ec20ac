"""station"""

from __future__ import annotations

import functools
import hashlib
from pathlib import Path

__version__ = "1.0.0"  # the project's release (CMakeLists.txt), the board package's too


@functools.lru_cache(maxsize=None)
def version() -> str:
    """The station's software as a run records it: its release and a hash of its Python
    sources (tests aside), so that a station changed since its release is told apart."""
    here = Path(__file__).resolve().parent
    digest = hashlib.sha256()
    for path in sorted(p for p in here.rglob("*.py") if "tests" not in p.relative_to(here).parts):
        digest.update(f"{path.relative_to(here)}\0".encode())
        digest.update(path.read_bytes())
    return f"{__version__}+{digest.hexdigest()[:12]}"
