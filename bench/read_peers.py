"""Reading every record of one archive file, as a user of each library writes it.

    python -m bench.read_peers fastwarc FILE          # every body read, as a checker must
    python -m bench.read_peers fastwarc-pairs FILE    # (headers, body) made per record
    python -m bench.read_peers iter-records FILE      # the same with quillmark_files

Each prints one JSON line: records, body bytes, and the SHA-256 of the last
manifest record's body, so that the harness can check that the whole file
was read (and, with `fastwarc`, check another tool's output independently).
Only the library a mode needs is imported.
"""

from __future__ import annotations

import hashlib
import json
import sys
from collections.abc import Iterator

MANIFEST_TYPE = "c2paprovenance"


def fastwarc_bodies(path: str) -> Iterator[tuple[bool, bytes]]:
    from fastwarc.warc import ArchiveIterator

    for record in ArchiveIterator(path, parse_http=False):
        body = record.reader.read()
        yield record.headers.get("WARC-Type") == MANIFEST_TYPE, body


def fastwarc_pairs(path: str) -> Iterator[tuple[bool, bytes]]:
    from fastwarc.warc import ArchiveIterator

    for record in ArchiveIterator(path, parse_http=False):
        headers = dict(record.headers.items())
        pair = (headers, record.reader.read())
        yield headers.get("WARC-Type") == MANIFEST_TYPE, pair[1]


def iter_records_pairs(path: str) -> Iterator[tuple[bool, bytes]]:
    import inspect

    import quillmark_files

    # One thread, as FastWARC reads, where the tool can read on more.
    takes_threads = "threads" in inspect.signature(quillmark_files.iter_records).parameters
    one_thread = {"threads": 1} if takes_threads else {}

    for record in quillmark_files.iter_records(path, bodies=True, **one_thread):
        pair = (record.headers, record.body)
        assert pair[1] is not None
        yield pair[0].get("warc-type") == MANIFEST_TYPE, pair[1]


MODES = {
    "fastwarc": fastwarc_bodies,
    "fastwarc-pairs": fastwarc_pairs,
    "iter-records": iter_records_pairs,
}


def facts(mode: str, path: str) -> dict:
    records = body_bytes = 0
    manifest = None
    for is_manifest, body in MODES[mode](path):
        records += 1
        body_bytes += len(body)
        if is_manifest:
            manifest = body
    return {
        "records": records,
        "body_bytes": body_bytes,
        "manifest_sha256": hashlib.sha256(manifest).hexdigest() if manifest is not None else None,
    }


def main(argv: list[str] | None = None) -> int:
    mode, path = sys.argv[1:] if argv is None else argv
    print(json.dumps(facts(mode, path)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
