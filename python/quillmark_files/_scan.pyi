"""The core's pass over archive files (private to quillmark_files)."""

from typing import Any

EMPTY_ARCHIVE_MESSAGE: str

def libraries() -> tuple[str, ...]: ...
def crc32(data: bytes | bytearray, value: int = 0, size: int = -1, /) -> int: ...

class Scan:
    def __init__(
        self,
        source: Any,
        *,
        start: int = 0,
        end: int | None = None,
        inflater: str | None = None,
        listing: bool = False,
        bodies: bool = False,
        record_type: Any = None,
        append_to: int = -1,
        manifest: bytes = b"",
        record_id: str = "",
        compress: bool = False,
        threads: int = 1,
        part_size: int = 0,
    ) -> None: ...
    def run(self, budget: int = 0, /) -> list[Any] | None: ...
    def summary(self) -> tuple[bool, bool, int, int, bytes | None]: ...
    def appended(
        self,
    ) -> tuple[int, int, int, int, int, int | None, int | None, int, int | None]: ...
    @property
    def done(self) -> bool: ...
    @property
    def consumed(self) -> int: ...
    @property
    def size(self) -> int | None: ...
    @property
    def compressed(self) -> bool: ...
    @property
    def failure(self) -> tuple[Any, ...] | None: ...
