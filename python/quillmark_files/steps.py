"""Running a native pass in steps.

A pass releases the interpreter lock while it works, for a step of at most
STEP input bytes at a time; between steps the caller's thread reports
progress and, being back in Python, acts on Ctrl-C and on signals. A step
ends early when a batch of records is ready, for a listing.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any, Callable, Optional

from . import _scan

STEP = 64 << 20
# The size of the parts a pass on several threads cuts a gzip file into;
# None leaves it to the pass (16 MiB; 4 MiB for a listing of records, 1 MiB
# when it keeps their bodies).
PART_SIZE: int | None = None

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


def cores() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def pass_options(threads: int | None) -> dict[str, int]:
    """How many threads a pass over a gzip file runs on (None: one per core),
    and the size of its parts. Plain files are read on one."""
    wanted = cores() if threads is None else threads
    if wanted < 1:
        raise ValueError(f"threads must be at least 1, not {wanted}")
    return {"threads": wanted, "part_size": PART_SIZE or 0}
