"""What the two peer audit scripts share: arguments, the walk, the pool, the output.

Each script supplies `audit_file(path) -> dict`; this runs it over every
.warc and .warc.gz file under the given paths with a pool of --jobs processes
and writes one JSON line per file, in the order of the sorted paths.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Iterator
from concurrent.futures import ProcessPoolExecutor

SUFFIXES = (".warc", ".warc.gz")


def row(path: str) -> dict:
    """A result row before the file is read: the same fields as `quillmark audit`."""
    with open(path, "rb") as f:
        gzipped = f.read(2) == b"\x1f\x8b"
    return {
        "path": path,
        "size": os.path.getsize(path),
        "compression": "gzip" if gzipped else "none",
        "records": 0,
        "error": None,
        "manifest_records": 0,
        "manifest_size": None,
        "manifest_sha256": None,
    }


def archives(paths: list[str]) -> Iterator[str]:
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        for folder, _, names in sorted(os.walk(path)):
            for name in sorted(names):
                if name.endswith(SUFFIXES):
                    yield os.path.join(folder, name)


def main(audit_file: Callable[[str], dict], description: str) -> int:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    with ProcessPoolExecutor(args.jobs) as pool, open(args.output, "w") as out:
        for result in pool.map(audit_file, archives(args.paths), chunksize=1):
            out.write(json.dumps(result) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit("run bench.audit_warcio or bench.audit_fastwarc")
