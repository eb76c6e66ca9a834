"""Signing an archive file, or a WARC inside a package: the append of a
manifest store made, once everything kept is written, over the SHA-256 of
the bytes written before the new manifest record.

The append is ``append_manifest``'s, with all it keeps (members copied byte
for byte, an output that appears whole or not at all, the in-place lock and
the checks that the input did not change). Its pass digests the output right
behind the writer and stops before the new record; the store is signed over
that digest and the pass writes it. So the covered bytes are exactly those of
the output before its manifest record (before its gzip member in a
``.warc.gz``), and the SDK never reads the archive.

Re-signing: the store an archive carried becomes the parent of the new one
when it is a C2PA manifest store. The same pass digests the input's bytes
before that store's record, so the SDK checks it as ``verify`` would, and
the new manifest names the earlier active manifest as its parent ingredient
(action c2pa.opened), carrying the earlier manifests and the validation
results found for them.
"""

from __future__ import annotations

import dataclasses
import os
from typing import NamedTuple

from ..archive import STANDARD_STREAM, AppendResult, Input, Progress
from ..archive._append import KeptBytes, append_to_file
from ..archive._output import is_special
from ..errors import ArchiveError
from ..package._package import package_path, wants_package
from ._covered import CoveredRange
from ._definition import Definition, parsed
from ._report import VerifyReport
from ._signer import Signer
from ._verify import NOT_COVERED

NOTHING_TO_SIGN = "nothing to sign: the archive holds no record besides its manifest records"


class SignResult(NamedTuple):
    """What ``sign`` wrote."""

    output: str  # the file written ("package#warc" in a package), or "-"
    archive: AppendResult  # the append; offsets inside the WARC for a package
    covered: int  # the signed bytes are the output's first ``covered`` (inside the WARC)
    sha256: str  # their SHA-256, hex
    store_size: int  # bytes of the manifest store
    # Re-signing: the earlier active manifest, now the new one's parent
    # ingredient (None when there was none, or it was not a C2PA store).
    parent: str | None
    # Why the earlier store did not verify ("" when it did; None: no parent).
    parent_problem: str | None
    # An earlier store that could not become a parent ("not a C2PA manifest
    # store (...)"), replaced all the same; None otherwise.
    replaced_unreadable: str | None
    package_output: str | None = None  # the package written, for a WARC in one


class _Signing:
    """The MakeManifest of one signing, remembering what it found."""

    def __init__(
        self,
        definition: Definition,
        signer: Signer,
        title: str,
        resign: bool,
        trust_anchors: str | bytes | None,
        inflater: str | None = None,
        threads: int | None = None,
    ) -> None:
        self.inflater = inflater
        self.threads = threads
        self.definition = definition
        self.signer = signer
        self.title = title
        self.resign = resign
        self.trust_anchors = trust_anchors
        self.kept: KeptBytes | None = None
        self.store = b""
        self.parent: VerifyReport | None = None
        self.unreadable: str | None = None

    def __call__(self, kept: KeptBytes) -> bytes:
        from ._sdk import sign_store

        self.kept = kept
        if kept.size == 0:
            raise ArchiveError(NOTHING_TO_SIGN, kept.source.name)
        parent = kept.old_manifest if self.resign else None
        if parent is not None:
            self.parent = self._earlier(kept, parent)
            if not self.parent.is_store:
                self.unreadable, self.parent, parent = self.parent.problem, None, None
        self.store = sign_store(
            self.definition,
            kept.sha256,
            self.signer,
            title=self.title,
            parent=parent,
            parent_report=self.parent,
        )
        return self.store

    def _earlier(self, kept: KeptBytes, store: bytes) -> VerifyReport:
        """The earlier store verified over the input's bytes before it: read
        again, so that the first signing of an archive (the common case)
        costs no digest of its input."""
        from ..archive._pass import chosen_inflater, pass_options, run_to_end
        from ._sdk import verify_store

        first_look = verify_store(store, b"")  # bytes that are no C2PA store: no read
        if not first_look.is_store:
            return first_look
        source = kept.source
        assert source.fd is not None
        options = pass_options(self.threads)
        scan = source.scan(inflater=chosen_inflater(self.inflater), covered=True, **options)
        run_to_end(scan, None, source.name)
        covered = scan.input_digests().covered
        assert covered is not None  # the append found the store there
        span = CoveredRange(f"/proc/self/fd/{source.fd}", source.start, covered.end)
        found = verify_store(store, span, self.trust_anchors, sha256=covered.sha256)
        if found.is_store and not (covered.last_record and covered.nothing_after):
            problem = f"{NOT_COVERED}: records or bytes followed the manifest record"
            found = dataclasses.replace(found, valid=False, problem=problem)
        return found

    def result(self, written: AppendResult, package_output: str | None = None) -> SignResult:
        assert self.kept is not None
        parent = self.parent
        return SignResult(
            output=written.output,
            archive=written,
            covered=self.kept.size,
            sha256=self.kept.sha256.hex(),
            store_size=len(self.store),
            parent=None if parent is None else parent.active_manifest,
            parent_problem=None if parent is None else parent.reason(),
            replaced_unreadable=self.unreadable,
            package_output=package_output,
        )


def sign(
    source: Input,
    signer: Signer,
    output: str | os.PathLike[str] | None = None,
    *,
    definition: Definition = None,
    record_id: str | None = None,
    compress: bool | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
    drop_signature: bool = False,
    wait: bool = False,
    resign: bool = True,
    trust_anchors: str | bytes | None = None,
) -> SignResult:
    """Signs the archive ``source`` (or its WARC ``warc``, in a package): its
    one manifest record becomes a C2PA manifest store, signed by ``signer``,
    whose hard binding is the SHA-256 of every byte the output holds before
    that record (before its gzip member in a ``.warc.gz``).

    ``definition`` is the SDK's manifest definition (a dict or JSON text), or
    None for quillmark's: the file's name as title, format application/warc,
    quillmark as claim generator, one c2pa.created action. The output and
    its guarantees are ``append_manifest``'s (in place when ``output`` is
    None; "-" is standard output). With ``resign``, an earlier C2PA store
    becomes the parent ingredient of the new manifest (verified against
    ``trust_anchors`` for the record kept in it); otherwise it is replaced.

    The SDK is loaded only once the archive is read, so that its memory and
    the pass's are not held at once: a signer or definition it refuses
    raises SdkError then, before the output is put in place, so nothing is
    written. Raises as ``append_manifest`` does, ArchiveError when the
    archive holds nothing to sign, SdkUnavailable without c2pa-python.
    """
    from ._sdk import installed

    installed()  # what to install, before any pass
    definition = parsed(definition)
    in_package = wants_package(source, warc)
    title = definition.get("title") or _title(source, warc if in_package else None)
    if output is not None:
        _refuse_special(os.fspath(output))
    signing = _Signing(definition, signer, str(title), resign, trust_anchors, inflater, threads)
    if in_package:
        from ..package import append_to_package

        if compress is not None:
            raise ValueError("compress does not apply to a package: its WARC keeps its compression")
        written = append_to_package(
            package_path(source),
            signing,
            output,
            record_id=record_id,
            inflater=inflater,
            progress=progress,
            threads=threads,
            warc=warc,
            drop_signature=drop_signature,
            wait=wait,
        )
        return signing.result(written.archive, written.output)
    appended = append_to_file(
        source,
        signing,
        output,
        record_id=record_id,
        compress=compress,
        inflater=inflater,
        progress=progress,
        threads=threads,
        wait=wait,
    )
    return signing.result(appended)


def _title(source: Input, warc: str | None) -> str:
    if warc is not None:
        return os.path.basename(warc)
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.path.basename(os.fsdecode(os.fspath(source)))
        if name and name != STANDARD_STREAM:
            return name
    return "archive.warc"


def _refuse_special(target: str) -> None:
    """The output is read back as it is written, to be digested: see is_special."""
    if is_special(target):
        raise ArchiveError("a signed archive can be written only to a regular file", target)
