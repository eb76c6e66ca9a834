"""Running the native pass over an archive file, in steps.

The extension ``quillmark_files._native`` is imported here and nowhere else. A
pass releases the interpreter lock while it works, for a step of at most STEP
input bytes at a time; between steps the caller's thread reports progress
and, being back in Python, acts on Ctrl-C and on signals. A step ends early
when a batch of records is ready, for a listing.

A pass over a gzip file runs on ``threads`` threads, its only parallelism
(the audit's ``jobs`` is how many files it audits at once: crawl/_threads.py),
and calls its inflater directly, in C++: zlib, and libdeflate and ISA-L where
the build found them, fastest first in ``available_inflaters()``. By default
the fastest is used: libdeflate inflates each member whole (the fastest on
the small members crawlers write) and hands members too large for its buffer
to ISA-L, else zlib. QUILLMARK_INFLATER, or the ``inflater`` argument, names
one: "libdeflate", "isal", "zlib" or "auto".
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any, Callable, NoReturn, Optional

from .._native import InputDigests as InputDigests
from .._native import OutputDigests as OutputDigests
from .._native import Scan as Scan
from .._native import ScanFailure, inflaters
from .._native import crc32 as crc32
from ..errors import CompressionError, InflaterUnavailable, MalformedArchive

INFLATER_VARIABLE = "QUILLMARK_INFLATER"
AUTO = "auto"
KNOWN = ("libdeflate", "isal", "zlib")
_DEBIAN_PACKAGES = {"libdeflate": "libdeflate-dev", "isal": "libisal-dev"}


def available_inflaters() -> list[str]:
    """The inflaters of this build, fastest first."""
    return list(inflaters())


def chosen_inflater(name: str | None = None) -> str | None:
    """The inflater called ``name``, else the one QUILLMARK_INFLATER names, as
    the native pass takes it (None: the fastest). Raises InflaterUnavailable
    for a name that is not known or not in this build."""
    wanted = (name or os.environ.get(INFLATER_VARIABLE) or AUTO).strip().lower()
    if wanted == AUTO:
        return None
    if wanted not in KNOWN:
        choices = ", ".join(repr(known) for known in (*KNOWN, AUTO))
        raise InflaterUnavailable(f"unknown inflater {wanted!r}; choose one of {choices}")
    if wanted not in available_inflaters():
        raise InflaterUnavailable(
            f"this build of quillmark has no {wanted!r} inflater; install "
            f"{_DEBIAN_PACKAGES[wanted]} (Debian's name) and reinstall quillmark"
        )
    return wanted


STEP = 64 << 20
# The size of the parts a pass on several threads cuts a gzip file into;
# None leaves it to the pass (16 MiB; 4 MiB for a listing of records, 1 MiB
# when it keeps their bodies).
PART_SIZE: int | None = None

# Called after each step with the input bytes done and the input's size (None
# when unknown, as for a pipe).
Progress = Callable[[int, Optional[int]], None]


def steps(scan: Scan, progress: Progress | None = None) -> Iterator[list[Any]]:
    """Runs ``scan`` to its end (or its failure, left in ``scan.failure``),
    yielding the records that each step made ready."""
    while not scan.done:
        batch = scan.run(STEP)
        if progress is not None:
            progress(scan.consumed, scan.size)
        if batch:
            yield batch


def run_to_end(scan: Scan, progress: Progress | None, name: str, output: str = "") -> None:
    """Runs ``scan`` to its end; raises what it failed on (see raise_failure)."""
    for _ in steps(scan, progress):
        pass
    if scan.failure is not None:
        raise_failure(scan.failure, name, scan.compressed, output)


def default_threads() -> int:
    """One thread per processor this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def pass_options(threads: int | None) -> dict[str, int]:
    """How many threads a pass over a gzip file runs on (None: one per
    processor), and the size of its parts. Plain files are read on one."""
    wanted = default_threads() if threads is None else threads
    if wanted < 1:
        raise ValueError(f"threads must be at least 1, not {wanted}")
    return {"threads": wanted, "part_size": PART_SIZE or 0}


def raise_failure(failure: ScanFailure, name: str, compressed: bool, output: str = "") -> NoReturn:
    """Raises what a pass reported (its ``failure``): MalformedArchive,
    CompressionError, or OSError naming the input ``name`` or the ``output``."""
    if failure.kind == "malformed":
        raise MalformedArchive(failure.message, failure.offset, compressed, name)
    if failure.kind == "gzip" and failure.offset is not None:
        raise CompressionError(failure.message, failure.offset, name)
    raise OSError(failure.errno, failure.message, output if failure.side == "output" else name)
