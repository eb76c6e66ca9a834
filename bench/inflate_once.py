"""One pass over a file, the baseline of the streaming benchmark's commands.

    python -m bench.inflate_once isal|zlib-ng|zlib FILE.gz   # decompress it once
    python -m bench.inflate_once read FILE                   # read it once

Reads 1 MiB at a time, keeps nothing and prints how many bytes came out, so
that the harness can check that the whole file went through.
"""

from __future__ import annotations

import sys

CHUNK = 1 << 20


def opener(how: str):
    if how == "read":
        return lambda path: open(path, "rb")
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
    with opener(how)(path) as stream:
        while chunk := stream.read(CHUNK):
            total += len(chunk)
    print(total)
    return 0


if __name__ == "__main__":
    sys.exit(main())
