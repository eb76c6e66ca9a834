"""``datapackage.json`` and ``datapackage-digest.json``: read by the native
readers (one forward pass, nesting bounded, every fault of the text a
message), and changed by editing the text where the changed values stand,
so that every other byte stays as it was written: line endings, indentation,
escapes, number spellings, key order, a byte-order mark.

Any fault of either text is a PackageError "datapackage.json: <why>" (the
package adds its own name). A WARC of the package must be listed with a
hash ("<algorithm>:<hex>", sha256 where no algorithm is named) and its size
in bytes, so that it can be checked against them.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

from .._native import (
    PackageTextError,
    Span,
    edit_text,
    json_string_token,
    read_datapackage,
    read_package_digest,
)
from ..errors import PackageError

DATAPACKAGE = "datapackage.json"
DIGEST = "datapackage-digest.json"
_SIGNATURE = "signedData"
_DEFAULT_ALGORITHM = "sha256"


class Listed(NamedTuple):
    """What ``datapackage.json`` says of one file, and where it says it."""

    size: int
    algorithm: str  # as hashlib names it: "sha256", "md5", ...
    hexdigest: str  # lower case
    hash_span: Span
    size_span: Span


class DataPackage:
    """``datapackage.json``, read for the paths ``paths`` (a package's WARCs):
    each must be listed once, with its hash and size."""

    def __init__(self, text: bytes, paths: Sequence[str]) -> None:
        self.text = text
        try:
            found = read_datapackage(text, paths)
        except PackageTextError as exc:
            raise text_error(DATAPACKAGE, exc.message) from None
        self.listed: dict[str, Listed] = {}
        for resource in found.resources:
            path = resource.path
            if resource.span is None:
                raise text_error(DATAPACKAGE, f"{path} is not listed in resources")
            if resource.hash is None or resource.hash_span is None:
                raise text_error(DATAPACKAGE, resource.hash_error or "its hash is missing")
            if resource.size is None or resource.size_span is None:
                raise text_error(DATAPACKAGE, resource.size_error or "its bytes are missing")
            algorithm, hexdigest = split_hash(resource.hash, DATAPACKAGE, f"the hash of {path}")
            self.listed[path] = Listed(
                resource.size, algorithm, hexdigest, resource.hash_span, resource.size_span
            )

    def updated(self, path: str, hexdigest: str, size: int) -> bytes:
        """The text with the hash and size of ``path`` set anew (the hash in
        its algorithm), every other byte as it was."""
        listed = self.listed[path]
        token = json_string_token(f"{listed.algorithm}:{hexdigest}")
        edits = sorted(
            [(listed.hash_span, token), (listed.size_span, str(size).encode("ascii"))],
            key=lambda edit: edit[0].begin,
        )
        return edit_text(self.text, [((span.begin, span.end), value) for span, value in edits])


class Digest:
    """``datapackage-digest.json``: the hash of ``datapackage.json``, and
    maybe a signature over it."""

    def __init__(self, text: bytes) -> None:
        self.text = text
        try:
            found = read_package_digest(text)
        except PackageTextError as exc:
            raise text_error(DIGEST, exc.message) from None
        if found.path_span is not None and found.path != DATAPACKAGE:
            raise text_error(DIGEST, found.path_error or f"its path is not {DATAPACKAGE}")
        if found.hash is None or found.hash_span is None:
            raise text_error(DIGEST, found.hash_error or "hash is missing")
        self.algorithm, self.hexdigest = split_hash(found.hash, DIGEST, "its hash")
        self.hash_span = found.hash_span
        self.signed = found.is_signed
        self.signature_spans = found.signature_spans

    def check(self, package_text: bytes) -> bool:
        """Whether ``package_text`` has the hash this gives."""
        return hexdigest_of(self.algorithm, package_text) == self.hexdigest

    def updated(self, package_text: bytes, drop_signature: bool) -> bytes:
        """The text with the hash of ``package_text``, and without its
        signature where ``drop_signature``; every other byte as it was."""
        hexdigest = hexdigest_of(self.algorithm, package_text)
        edits = [((self.hash_span.begin, self.hash_span.end), self._token(hexdigest))]
        if drop_signature:
            edits += [((span.begin, span.end), b"") for span in self.signature_spans]
        edits.sort(key=lambda edit: edit[0][0])
        return edit_text(self.text, edits)

    def _token(self, hexdigest: str) -> bytes:
        return json_string_token(f"{self.algorithm}:{hexdigest}")


def hexdigest_of(algorithm: str, data: bytes) -> str:
    import hashlib  # slow to load: only where a package is read

    return hashlib.new(algorithm, data).hexdigest()


def split_hash(value: str, file: str, what: str) -> tuple[str, str]:
    """A hash "<algorithm>:<hex>" (sha256 where no algorithm is named) as the
    algorithm hashlib knows and the digest in lower case."""
    import hashlib  # slow to load: only where a package is read

    algorithm, colon, hexdigest = value.rpartition(":")
    algorithm = algorithm.lower() if colon else _DEFAULT_ALGORITHM
    try:
        known = hashlib.new(algorithm).digest_size > 0  # not one of variable length
    except (ValueError, TypeError):
        known = False
    if not known:
        raise text_error(file, f"{what} uses {algorithm}, which is not known here")
    return algorithm, hexdigest.lower()


def text_error(file: str, message: str) -> PackageError:
    return PackageError(f"{file}: {message}")


def signature_error() -> PackageError:
    """Why a signed package is not changed unless its signature may go."""
    return PackageError(
        f"{DIGEST} carries a signature ({_SIGNATURE}) over {DATAPACKAGE}, which cannot stay "
        "valid once a WARC changes; drop it with --drop-signature (drop_signature=True in "
        "Python) and sign the package again"
    )
