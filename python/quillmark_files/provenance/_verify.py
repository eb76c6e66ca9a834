"""Verifying an archive file, or a WARC inside a package, against the
manifest store it carries.

One pass reads the archive as ``check`` does and digests, on the way, every
byte before its last manifest record (before that record's gzip member in a
``.warc.gz``): the covered bytes. The SDK is handed the store and that digest
and checks everything else (the signature, the signer, the assertions); it
reads the covered bytes itself only for a store whose data hash the digest
cannot stand for. The record must be the archive's last with nothing after
it, and start its own gzip member: what follows it, or shares its member, is
not covered by the signature.
"""

from __future__ import annotations

import contextlib
import dataclasses
from collections.abc import Iterator
from dataclasses import dataclass

from ..archive import Input, Progress, chosen_inflater
from ..archive._pass import pass_options, run_to_end
from ..archive._reading import Summary, summary_of
from ..archive._source import Source, opened
from ..package import Package
from ..package._package import opened_warc, wants_package
from ._covered import CoveredRange
from ._report import UNTRUSTED, VerifyReport

VALID = "valid"
INVALID = "invalid"
UNSIGNED = "unsigned"
NOT_A_STORE = "not a C2PA store"
SIGNATURE_STATES = (VALID, INVALID, UNSIGNED, NOT_A_STORE)

NO_STORE = "no manifest store"
NOT_COVERED = "not covered by the signature"
NOT_ANCHORED = "the signer does not chain to a trust anchor"


@dataclass(frozen=True)
class Verification:
    """What ``verify`` found of one archive.

    ``signature`` is one of "valid", "invalid", "unsigned" (no manifest
    store) and "not a C2PA store" (a store the SDK does not read as a C2PA
    manifest store); ``reasons`` says why it is not valid, one line each.
    ``covered`` is (0, N): the signed bytes are the archive's first N (inside
    the WARC for a package), and its manifest record (or the gzip member
    holding it) starts at N. ``report`` is the SDK's findings, None when
    there is no store.
    """

    path: str
    signature: str
    reasons: tuple[str, ...]
    covered: tuple[int, int] | None
    report: VerifyReport | None

    @property
    def valid(self) -> bool:
        return self.signature == VALID

    @property
    def trusted(self) -> bool | None:
        """Whether the signer chains to a trust anchor; None when none was given."""
        return None if self.report is None else self.report.trusted

    @property
    def signer(self) -> str | None:
        """The signing certificate's subject, as an RFC 4514 name."""
        return None if self.report is None else self.report.signer_subject


def ready_to_verify(trust_anchors: str | bytes | None = None) -> None:
    """Raises what ``verify`` would raise for any archive: SdkUnavailable
    saying what to install, SdkError for trust anchors that are not PEM."""
    from ._sdk import installed
    from ._signer import certificates, pem_text

    installed()
    if trust_anchors is not None:
        certificates(pem_text(trust_anchors, "trust anchors"), "trust anchors")


def verify(
    source: Input | Package,
    *,
    trust_anchors: str | bytes | None = None,
    warc: str | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
) -> Verification:
    """Verifies the manifest store of an archive file (or of the WARC
    ``warc`` inside a package) against the bytes it covers.

    ``trust_anchors`` is PEM text of root certificates: the signer must
    chain to one of them. Without it trust is not checked (``trusted`` is
    None). A damaged archive raises as ``check`` does; SdkUnavailable when
    c2pa-python is not installed; SdkError for anchors that are not PEM.
    ``progress`` and ``threads`` are as for ``check``.
    """
    from ._sdk import installed

    installed()  # what to install, before any pass; loaded after it, when its memory is free
    if isinstance(source, Package) or wants_package(source, warc):
        with opened_warc(source, warc) as stream:
            return verify_source(stream, trust_anchors, inflater, progress, threads)
    with opened(source) as stream, _regular(stream) as readable:
        return verify_source(readable, trust_anchors, inflater, progress, threads)


@contextlib.contextmanager
def _regular(stream: Source) -> Iterator[Source]:
    """The covered bytes are digested by position: a pipe is spooled first."""
    if stream.regular:
        yield stream
        return
    from ..archive._append import seekable

    with seekable(stream) as copy:
        yield copy


def verify_source(
    stream: Source,
    trust_anchors: str | bytes | None,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
) -> Verification:
    """``verify`` of an open archive (a regular file, or a range of one)."""
    return checked_and_verified(stream, trust_anchors, inflater, progress, threads)[1]


def checked_and_verified(
    stream: Source,
    trust_anchors: str | bytes | None,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
) -> tuple[Summary, Verification]:
    """What ``check`` and ``verify`` find of an open archive (a regular file,
    or a range of one), in one pass."""
    from ._sdk import verify_store

    with stream.unchanged():
        options = pass_options(threads)
        # A package's WARC is checked against what the package says of it.
        with stream.checked_scan(
            inflater=chosen_inflater(inflater), covered=True, **options
        ) as scan:
            run_to_end(scan, progress, stream.name)
        summary = summary_of(scan, stream.name)
        store = summary.manifest
        covered = scan.input_digests().covered
        if store is None or covered is None:
            return summary, Verification(stream.name, UNSIGNED, (NO_STORE,), None, None)
        assert stream.fd is not None
        # The open file itself, whatever its name now (a package's WARC at its offset).
        bytes_range = CoveredRange(f"/proc/self/fd/{stream.fd}", stream.start, covered.end)
        found = verify_store(store, bytes_range, trust_anchors, sha256=covered.sha256)
    span = (0, covered.end)
    found = dataclasses.replace(found, covered=span)
    if not found.is_store:
        return summary, Verification(stream.name, NOT_A_STORE, (found.problem or "",), span, found)
    # Once each: a failure of the earlier manifest's is also an ingredient's.
    reasons = list(dict.fromkeys(f"{s.code}: {s.explanation}" for s in found.failures))
    uncovered = _uncovered(covered.last_record, covered.nothing_after, covered.own_member)
    if uncovered:
        reasons.insert(0, f"{NOT_COVERED}: {uncovered}")
    anchored = trust_anchors is not None
    if anchored and not found.trusted and UNTRUSTED not in {s.code for s in found.failures}:
        reasons.append(NOT_ANCHORED)
    state = INVALID if reasons else VALID
    return summary, Verification(stream.name, state, tuple(reasons), span, found)


def _uncovered(last_record: bool, nothing_after: bool, own_member: bool | None) -> str:
    """What of the archive the signature leaves out, beyond the record's own
    header lines ("" when nothing)."""
    if not last_record:
        return "records follow the manifest record"
    if not nothing_after:
        return "bytes follow the manifest record"
    if own_member is False:
        return "the manifest record shares its gzip member with the records before it"
    return ""
