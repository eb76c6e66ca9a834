"""One pass over a file for what a check needs: the verdict, the number of
records and of manifest records, the manifest store, and the gzip layout."""

from __future__ import annotations

from typing import NamedTuple

from .errors import ArchiveError
from .gzip_codecs import codec as choose_codec
from .reader import BODY, END, HEADER, MANIFEST_BODIES, MEMBER_END, PASSED, events
from .source import Input, Source

NONE = "none"
GZIP_PER_RECORD = "gzip-per-record"
GZIP = "gzip"


class Summary(NamedTuple):
    """What ``check`` finds in a well-formed archive file."""

    path: str
    size: int  # bytes read from the file (its size on disk for a regular file)
    compression: str  # "none", "gzip-per-record" (one member per record) or "gzip"
    records: int
    manifest_records: int  # more than one: an old one was left behind
    manifest: bytes | None  # the store of the last manifest record

    @property
    def manifest_size(self) -> int | None:
        return None if self.manifest is None else len(self.manifest)

    @property
    def manifest_sha256(self) -> str | None:
        if self.manifest is None:
            return None
        import hashlib  # loaded only where a digest is asked for

        return hashlib.sha256(self.manifest).hexdigest()


class _Layout:
    """Tells whether every gzip member holds exactly one whole record."""

    def __init__(self) -> None:
        self.per_record = True
        self.members = 0
        self._headers = 0  # records begun since the member started
        self._awaited: tuple[int, int] | None = None  # (open record, member end)

    def header(self) -> None:
        self._headers += 1

    def member_end(self, end: int, open_record: int | None) -> None:
        self.members += 1
        if self._headers != 1:
            self.per_record = False
        self._headers = 0
        if open_record is not None:
            # The record may still end inside this member: its separator is
            # decided by the next member's first bytes.
            self._awaited = (open_record, end)

    def record_end(self, offset: int, length: int) -> None:
        if self._awaited is not None and self._awaited[0] == offset:
            if offset + length > self._awaited[1]:
                self.per_record = False
            self._awaited = None


def check(source: Input, *, inflater: str | None = None) -> Summary:
    """Reads a file as quillmark reads a whole archive, without holding it.

    Returns its Summary, or raises MalformedArchive (quillmark's message) or
    CompressionError; OSError when it cannot be read.
    """
    with Source(source) as stream:
        return _scan(stream, inflater)


def _scan(stream: Source, inflater: str | None) -> Summary:
    codec = choose_codec(inflater) if stream.is_gzip() else None
    layout = _Layout()
    records = manifests = 0
    manifest: bytes | None = None
    parts: list[bytes] | None = None  # the body of the manifest record being read
    try:
        for batch in events(stream, codec, bodies=MANIFEST_BODIES, pass_over=True):
            for event in batch:
                kind = event[0]
                if kind == HEADER:
                    records += 1
                    layout.header()
                    if event[4]:
                        manifests += 1
                        parts = []
                elif kind == END:
                    if parts is not None:
                        manifest = b"".join(parts)
                        parts = None
                    layout.record_end(event[1], event[2])
                elif kind == BODY:
                    if parts is not None:
                        parts.append(bytes(event[1]))
                elif kind == PASSED:
                    if parts is not None:
                        parts.append(stream.read_at(event[1], event[2]))
                elif kind == MEMBER_END:
                    layout.member_end(event[4], event[5])
    except ArchiveError as exc:  # MalformedArchive and CompressionError
        exc.path = stream.name
        raise
    if codec is None:
        compression = NONE
    elif layout.per_record and records > 0:
        compression = GZIP_PER_RECORD
    else:
        compression = GZIP
    return Summary(stream.name, stream.position, compression, records, manifests, manifest)


def read_manifest(source: Input, *, inflater: str | None = None) -> bytes | None:
    """The manifest store of an archive file (the body of its last manifest
    record), or None when it carries none. The whole file must be well-formed,
    as for ``quillmark.read_manifest``; raises as ``check`` does."""
    return check(source, inflater=inflater).manifest
