"""What each benchmark case does, per operation and implementation.

A case has an untimed `prepare(data)` that returns the timed callable; the
callable returns how many records it went through, so that a case that reads
nothing is caught by the runner comparing counts across implementations.
"""

from __future__ import annotations

import io
import random
from collections.abc import Callable

from bench.framing import body_spans
from bench.generate import MANIFEST_WARC_TYPE, SEED, BodyPool, manifest_record

Timed = Callable[[], int]

OPERATIONS = ("read", "manifest", "append", "build")
# The implementation that the others are compared with comes first.
IMPLEMENTATIONS = {
    "read": ("quillmark", "fastwarc", "warcio", "limit"),
    "manifest": ("quillmark", "fastwarc", "warcio", "quillmark-read"),
    "append": ("quillmark", "limit"),
    "build": ("quillmark", "limit"),
}
# Sizes of the bodies that the build case serialises.
BUILD_BODIES = {"body-1MiB": 1 << 20, "body-64MiB": 64 << 20}
RECORD_ID = "urn:uuid:6f1c1e6a-3c1b-4d55-9a57-1f0f5b2a8c11"


def _quillmark_read(data: bytes) -> Timed:
    from quillmark import read_records

    return lambda: len(read_records(data))


def _fastwarc_read(data: bytes) -> Timed:
    from fastwarc.warc import ArchiveIterator

    def run() -> int:
        count = 0
        for record in ArchiveIterator(io.BytesIO(data), parse_http=False):
            record.headers.items()
            record.reader.read()
            count += 1
        return count

    return run


def _warcio_read(data: bytes) -> Timed:
    from warcio.archiveiterator import ArchiveIterator

    def run() -> int:
        count = 0
        for record in ArchiveIterator(io.BytesIO(data), no_record_parse=True):
            list(record.rec_headers.headers)
            record.raw_stream.read()
            count += 1
        return count

    return run


def _limit_read(data: bytes) -> Timed:
    spans = body_spans(data)

    def run() -> int:
        view = memoryview(data)
        bodies = [bytes(view[start:end]) for start, end in spans]
        return len(bodies)

    return run


def _quillmark_manifest(data: bytes) -> Timed:
    from quillmark import read_manifest

    return lambda: int(read_manifest(data) is not None)


def _quillmark_read_manifest(data: bytes) -> Timed:
    """The manifest found by listing every record: what a lookup must beat."""
    from quillmark import read_records

    def run() -> int:
        found = None
        for record in read_records(data):
            headers = record["headers"]
            if (
                headers.get("warc-type") == MANIFEST_WARC_TYPE
                and headers.get("content-type") == "application/c2pa"
            ):
                found = record["body"]
        return int(found is not None)

    return run


def _fastwarc_manifest(data: bytes) -> Timed:
    from fastwarc.warc import ArchiveIterator

    def run() -> int:
        found = None
        for record in ArchiveIterator(io.BytesIO(data), parse_http=False):
            if record.headers.get("WARC-Type") == MANIFEST_WARC_TYPE:
                found = record.reader.read()
        return int(found is not None)

    return run


def _warcio_manifest(data: bytes) -> Timed:
    from warcio.archiveiterator import ArchiveIterator

    def run() -> int:
        found = None
        for record in ArchiveIterator(io.BytesIO(data), no_record_parse=True):
            if record.rec_headers.get_header("WARC-Type") == MANIFEST_WARC_TYPE:
                found = record.raw_stream.read()
        return int(found is not None)

    return run


def manifest_store(size: int = 64 << 10) -> bytes:
    return random.Random(f"{SEED}/manifest").randbytes(size)


def _quillmark_append(data: bytes) -> Timed:
    from quillmark import append_manifest

    manifest = manifest_store()
    return lambda: len(append_manifest(data, manifest, RECORD_ID))


def _limit_append(data: bytes) -> Timed:
    """One copy of an output of the same size: the archive plus a record."""
    record = manifest_record(random.Random(SEED), manifest_store())
    return lambda: len(data + record)


def build_body(size: int) -> bytes:
    return BodyPool(random.Random(f"{SEED}/body"), 4 << 20).body(size)


def _quillmark_build(body: bytes) -> Timed:
    from quillmark import build_record

    return lambda: int(
        len(build_record("resource", "text/html", RECORD_ID, body, "https://example.org/"))
        > len(body)
    )


def _limit_build(body: bytes) -> Timed:
    return lambda: int(len(bytes(memoryview(body))) == len(body))


PREPARE: dict[tuple[str, str], Callable[[bytes], Timed]] = {
    ("read", "quillmark"): _quillmark_read,
    ("read", "fastwarc"): _fastwarc_read,
    ("read", "warcio"): _warcio_read,
    ("read", "limit"): _limit_read,
    ("manifest", "quillmark"): _quillmark_manifest,
    ("manifest", "fastwarc"): _fastwarc_manifest,
    ("manifest", "warcio"): _warcio_manifest,
    ("manifest", "quillmark-read"): _quillmark_read_manifest,
    ("append", "quillmark"): _quillmark_append,
    ("append", "limit"): _limit_append,
    ("build", "quillmark"): _quillmark_build,
    ("build", "limit"): _limit_build,
}
