"""A WARC of a package checked against what the package says of it, while
the pass that reads it anyway (to check it, list it or append to it) goes on:
its size against ``datapackage.json`` before a byte is read, then its CRC-32
against the ZIP directory (which its local header was found to agree with)
and its hash against ``datapackage.json``, from the pass's own digests of its
input. A hash in another algorithm than SHA-256 is made by hashlib on a thread
of its own, reading the WARC's bytes beside the pass.
"""

from __future__ import annotations

import os
from typing import Any

from ..archive._pass import InputDigests
from ..errors import PackageMismatch
from ._datapackage import DATAPACKAGE, Listed

_SHA256 = "sha256"
_PIECE = 1 << 20


class WarcCheck:
    """The checks of the WARC at ``offset`` (``size`` bytes) of the package
    open as ``fd``, named ``name`` (``PACKAGE#NAME``) in what it raises."""

    def __init__(self, name: str, fd: int, offset: int, size: int, crc: int, listed: Listed):
        self.name = name
        self.fd = fd
        self.offset = offset
        self.size = size
        self.crc = crc
        self.listed = listed
        self._hasher: _RangeHasher | None = None

    def start(self) -> None:
        if self.listed.size != self.size:
            raise self._mismatch(f"its size in {DATAPACKAGE}", "size")
        if self.listed.algorithm != _SHA256:
            self._hasher = _RangeHasher(self.listed.algorithm, self.fd, self.offset, self.size)

    def digests(self) -> dict[str, bool]:
        return {"crc32": True, "sha256": self.listed.algorithm == _SHA256}

    def finish(self, digests: InputDigests) -> None:
        if self._hasher is not None:
            hexdigest = self._hasher.result()
        else:
            assert digests.sha256 is not None
            hexdigest = digests.sha256.hex()
        if hexdigest != self.listed.hexdigest:
            raise self._mismatch(f"its {self.listed.algorithm} in {DATAPACKAGE}", "hash")
        if digests.crc32 != self.crc:
            raise self._mismatch("its CRC-32 in the ZIP directory", "crc32")

    def stop(self) -> None:
        if self._hasher is not None:
            self._hasher.stop()

    def _mismatch(self, what: str, against: str) -> PackageMismatch:
        return PackageMismatch(f"does not match {what}", self.name, against)


class _RangeHasher:
    """hashlib's digest of a byte range, made on a thread of its own (hashlib
    lets go of the interpreter lock while it hashes)."""

    def __init__(self, algorithm: str, fd: int, offset: int, size: int) -> None:
        import hashlib  # slow to load: only where a package names another hash
        import threading

        self._hasher: Any = hashlib.new(algorithm)
        self._stopped = False
        self._failure: OSError | None = None
        self._thread = threading.Thread(
            target=self._run, args=(fd, offset, size), name="quillmark-hash", daemon=True
        )
        self._thread.start()

    def _run(self, fd: int, offset: int, size: int) -> None:
        try:
            done = 0
            while done < size and not self._stopped:
                piece = os.pread(fd, min(_PIECE, size - done), offset + done)
                if not piece:
                    raise OSError(0, "the file ends before the WARC does")
                self._hasher.update(piece)
                done += len(piece)
        except OSError as exc:
            self._failure = exc

    def result(self) -> str:
        self._thread.join()
        if self._failure is not None:
            raise self._failure
        return str(self._hasher.hexdigest())

    def stop(self) -> None:
        self._stopped = True
        self._thread.join()
