"""The least work an exact audit of a crawl must do: inflate every gzip file once.

    python -m bench.crawl_floor DIR

A verdict on a .warc.gz needs its whole uncompressed content, and nothing
reads deflate data faster than inflating it; a plain file can be judged by
its headers alone, so it costs nothing here. Uses the fastest installed
inflater (python-isal, else zlib-ng, else zlib), one file after another.
"""

from __future__ import annotations

import sys

from bench.audit_script import archives
from bench.inflate_once import CHUNK, opener


def fastest():
    for how in ("isal", "zlib-ng", "zlib"):
        try:
            return opener(how)
        except ImportError:
            continue
    raise SystemExit("no inflater")


def main() -> int:
    open_gzip = fastest()
    for path in archives(sys.argv[1:]):
        with open(path, "rb") as probe:
            if probe.read(2) != b"\x1f\x8b":
                continue
        try:
            with open_gzip(path) as stream:
                while stream.read(CHUNK):
                    pass
        except Exception:  # damaged files end early (each library has its own error)
            continue
    return 0


if __name__ == "__main__":
    sys.exit(main())
