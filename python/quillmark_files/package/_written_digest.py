"""The CRC-32 and hash of bytes as they are written to a file.

A package needs the CRC-32 (for its ZIP headers) and a hash (for
datapackage.json) of the new WARC, which the native pass writes: bytes made
anew and ranges the kernel copies. A thread reads them back right behind the
writer, from the page cache, and digests them while the pass goes on, so the
digests cost little more time than the writing itself. The CRC-32 comes from
the native module (libdeflate's, some ten times zlib's speed); it and hashlib
let go of the interpreter lock on large pieces.
"""

from __future__ import annotations

import hashlib
import os
import threading

from ..archive._pass import crc32

_PIECE = 4 << 20  # bytes read back at a time
_WAIT_SECONDS = 0.01  # how long the thread waits for more bytes


class WrittenDigest:
    """Digests the bytes of ``fd`` from ``start`` on as they appear in the file."""

    def __init__(self, fd: int, start: int, algorithm: str) -> None:
        self._fd = fd
        self._start = start
        self._hasher = hashlib.new(algorithm)  # ValueError for an unknown one
        self._crc = 0
        self._done = 0
        self._size: int | None = None  # known once the writer is done
        self._stop = False
        self._more = threading.Event()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="quillmark-digest", daemon=True)
        self._thread.start()

    def finish(self, size: int) -> tuple[int, str]:
        """The CRC-32 and hex digest of the ``size`` bytes written."""
        self._size = size
        self._more.set()
        self._thread.join()
        if self._error is not None:
            raise self._error
        if self._done != size:
            raise OSError("the new WARC became shorter while it was read back")
        return self._crc, self._hasher.hexdigest()

    def cancel(self) -> None:
        self._stop = True
        self._more.set()
        self._thread.join()

    def _run(self) -> None:
        buffer = bytearray(_PIECE)
        try:
            while not self._stop:
                size = self._size
                written = os.fstat(self._fd).st_size - self._start if size is None else size
                if self._done >= written:
                    if size is not None:
                        return
                    self._more.wait(_WAIT_SECONDS)
                    continue
                want = min(_PIECE, written - self._done)
                with memoryview(buffer) as view:
                    got = os.preadv(self._fd, [view[:want]], self._start + self._done)
                    if got == 0:
                        return
                    self._hasher.update(view[:got])
                    self._crc = crc32(buffer, self._crc, got)
                self._done += got
        except BaseException as exc:  # raised again by finish(), on the caller's thread
            self._error = exc
