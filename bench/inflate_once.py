"""One pass over a file, the baseline of the streaming benchmark's commands.

    python -m bench.inflate_once isal|zlib-ng|zlib FILE.gz   # decompress it once
    python -m bench.inflate_once read FILE                   # read it once

Reads 1 MiB at a time, keeps nothing and prints how many bytes came out, so
that the harness can check that the whole file went through. The plain read
goes into one reused buffer; the inflaters hand out a new 1 MiB object per
read, as they do to any caller.
"""

from __future__ import annotations

import sys

CHUNK = 1 << 20


def opener(how: str):
    if how == "isal":
        from isal import igzip

        return igzip.open
    if how == "zlib-ng":
        from zlib_ng import gzip_ng

        return gzip_ng.open
    if how == "zlib":
        import gzip

        return gzip.open
    raise SystemExit(f"unknown way to read: {how}")


def main(argv: list[str] | None = None) -> int:
    how, path = sys.argv[1:] if argv is None else argv
    total = 0
    if how == "read":  # into one buffer: the least that reading the file costs
        buffer = bytearray(CHUNK)
        with open(path, "rb", buffering=0) as stream:
            while count := stream.readinto(buffer):
                total += count
    else:  # a new bytes object per chunk, as a caller of these modules gets
        with opener(how)(path) as stream:
            while chunk := stream.read(CHUNK):
                total += len(chunk)
    print(total)
    return 0


if __name__ == "__main__":
    sys.exit(main())
