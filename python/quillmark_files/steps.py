"""Running a native pass in steps.

A pass releases the interpreter lock while it works, for a step of at most
STEP input bytes at a time; between steps the caller's thread reports
progress and, being back in Python, acts on Ctrl-C and on signals. A step
ends early when a batch of records is ready, for a listing.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, Callable, Optional

from . import _scan

STEP = 64 << 20

# Called after each step with the input bytes done and the input's size (None
# when unknown, as for a pipe).
Progress = Callable[[int, Optional[int]], None]


def steps(scan: _scan.Scan, progress: Progress | None = None) -> Iterator[list[Any]]:
    """Runs ``scan`` to its end (or its failure, left in ``scan.failure``),
    yielding the records that each step made ready."""
    while not scan.done:
        batch = scan.run(STEP)
        if progress is not None:
            progress(scan.consumed, scan.size)
        if batch:
            yield batch
