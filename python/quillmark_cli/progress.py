"""Progress bars on standard error, when it is a terminal: bytes done, rate
and time left, drawn by tqdm. Without a terminal nothing is shown; without
tqdm a note says once how to get it."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from typing import Any

from quillmark_files.archive import Progress

from .errors import report

PROGRESS_NOTE = "note: for a progress bar, install tqdm: pip install 'quillmark[progress]'"
# A file command shows a bar only for a file at least this large (or of
# unknown size), and only once it has run this long: quick runs stay quiet.
LARGE_FILE = 64 << 20
_DELAY_SECONDS = 0.5

_noted = False


def is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _terminal_size(stream: Any) -> tuple[int, int]:
    try:
        columns, lines = os.get_terminal_size(stream.fileno())
    except (AttributeError, OSError, ValueError):
        return (0, 0)
    return (columns, lines)


def _note_once() -> None:
    global _noted
    if not _noted:
        _noted = True
        report(PROGRESS_NOTE)


def bar(total: int | None, description: str, **options: Any) -> Any:
    """A tqdm bar of bytes on standard error, or None where none is shown."""
    if not is_terminal(sys.stderr):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        _note_once()
        return None
    sized = min(_terminal_size(sys.stderr)) > 0
    return tqdm(
        total=total,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        # tqdm hides every bar on a terminal that reports no size (a bare pty).
        dynamic_ncols=sized,
        ncols=None if sized else 80,
        nrows=None if sized else 24,
        file=sys.stderr,
        desc=description,
        **options,
    )


@contextlib.contextmanager
def file_progress(description: str) -> Iterator[Progress | None]:
    """A progress callback for one file command: it shows a bar once it is
    told of a large file; None when standard error is not a terminal."""
    if not is_terminal(sys.stderr):
        yield None
        return
    shown: list[Any] = []

    def update(done: int, total: int | None) -> None:
        if not shown:
            if total is not None and total < LARGE_FILE:
                return
            made = bar(total, description, delay=_DELAY_SECONDS, leave=False)
            if made is None:
                return
            shown.append(made)
        shown[0].update(done - shown[0].n)

    try:
        yield update
    finally:
        if shown:
            shown[0].close()
