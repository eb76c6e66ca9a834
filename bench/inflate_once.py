"""One pass over a file with Python: a floor of the benchmarks' commands.

    python -m bench.inflate_once zlib FILE.gz   # inflate it once with Python's zlib
    python -m bench.inflate_once read FILE      # read it once

Reads 1 MiB at a time, keeps nothing and prints how many bytes came out, so
that the harness can check that the whole file went through. The plain read
goes into one reused buffer; the gzip module (zlib, the library quillmark's
build links too) hands out a new 1 MiB object per read, as it does to any
caller, and spends Python code on every gzip member (bench/inflaters.py says
when that matters).
"""

from __future__ import annotations

import gzip
import sys

CHUNK = 1 << 20


def inflate(path: str) -> int:
    total = 0
    with gzip.open(path) as stream:
        while chunk := stream.read(CHUNK):
            total += len(chunk)
    return total


def read(path: str) -> int:
    total = 0
    buffer = bytearray(CHUNK)
    with open(path, "rb", buffering=0) as stream:
        while count := stream.readinto(buffer):
            total += count
    return total


def main(argv: list[str] | None = None) -> int:
    how, path = sys.argv[1:] if argv is None else argv
    if how not in ("zlib", "read"):
        raise SystemExit(f"unknown way to read: {how}")
    print(inflate(path) if how == "zlib" else read(path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
