"""Read and embed C2PA Manifest Stores in WARC/1.1 web archives.

Every function works on whole archives held in memory as ``bytes``; the module
opens no files. Calls hold the interpreter lock for their whole duration.
"""

from typing import TypedDict

__all__ = ["append_manifest", "read_manifest", "read_records", "build_record", "__version__"]

__version__: str

# Exists for type checkers only: at run time a record is a plain dict.
class _Record(TypedDict):
    headers: dict[str, str]
    """Lower-cased header name to trimmed value, names in the order they first
    appear in the record, each with the value of its last occurrence."""
    body: bytes
    """The record's Content-Length bytes, exactly as stored (no transfer or
    content decoding)."""
    offset: int
    """Position of the record's first byte ("W" of "WARC/1.1") in the archive."""
    length: int
    """Number of archive bytes the record covers from ``offset``, the record
    separator ("\\r\\n\\r\\n" or "\\n\\n") that follows the body included."""

def append_manifest(warc: bytes, manifest: bytes, record_id: str) -> bytes:
    """Append a C2PA Manifest Store to a WARC archive as a new record.

    Returns a new archive: every record of ``warc`` that is not a manifest
    record, copied byte for byte in archive order, followed by one new manifest
    record (WARC-Type "c2paprovenance", Content-Type "application/c2pa") whose
    body is ``manifest`` and whose WARC-Record-ID is ``<record_id>``.
    ``record_id`` is written verbatim: check untrusted ids before passing them.

    Raises ``ValueError`` ("invalid WARC record: ...") when ``warc`` is empty
    or malformed, ``TypeError`` for arguments of the wrong type and
    ``UnicodeEncodeError`` for a ``record_id`` that is not encodable as UTF-8.
    """

def read_manifest(warc: bytes) -> bytes | None:
    """Read the embedded C2PA Manifest Store, or `None` when the archive carries
    no provenance.

    The store is the body of the last manifest record of the archive. The whole
    archive must parse: a malformed record anywhere raises ``ValueError``.
    """

def read_records(warc: bytes) -> list[_Record]:
    """Every record in the archive, as a list of dicts with `headers`, `body`,
    `offset`, and `length`.

    Raises ``ValueError`` ("invalid WARC record: ...") for the first malformed
    record; no records are returned then. Empty input gives an empty list.
    """

def build_record(
    warc_type: str,
    content_type: str,
    record_id: str,
    body: bytes,
    target_uri: str | None = None,
) -> bytes:
    """Build a single WARC record.

    Returns one serialised WARC/1.1 record dated with the current UTC time, with
    the header lines WARC-Type, WARC-Record-ID (``<record_id>``),
    WARC-Target-URI (only when ``target_uri`` is not None), WARC-Date,
    Content-Type and Content-Length, the body, and "\\r\\n\\r\\n". Values are
    written verbatim, without validation: check untrusted values before passing
    them. Raises ``TypeError`` or ``UnicodeEncodeError`` for bad arguments only.
    """
