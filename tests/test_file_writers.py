"""Large outputs written past the page cache: the file holds exactly what was
written and copied, in order, whatever the file system refuses on the way."""

from __future__ import annotations

import errno
import os
import random
from pathlib import Path

import pytest

writers = pytest.importorskip("quillmark_files.file_writers")
MIB = 1 << 20


def is_direct(fd: int) -> bool:
    with open(f"/proc/self/fdinfo/{fd}") as info:
        flags = next(line for line in info if line.startswith("flags:"))
    return bool(int(flags.split()[1], 8) & getattr(os, "O_DIRECT", 0))


class RefusingWrites:
    """os.write, except that the ``at``-th write made with O_DIRECT set is
    refused (EINVAL) or written only in part (``short``), as file systems and
    full disks do."""

    def __init__(self, at: int | None, short: bool) -> None:
        self.at, self.short, self.direct_writes = at, short, 0
        self.real = os.write

    def __call__(self, fd: int, data) -> int:
        if not is_direct(fd):
            return self.real(fd, data)
        self.direct_writes += 1
        if self.direct_writes == self.at:
            if not self.short:
                raise OSError(errno.EINVAL, "refused")
            return self.real(fd, memoryview(data)[: len(data) // 2 // 4096 * 4096])
        return self.real(fd, data)


@pytest.mark.skipif(not os.path.exists("/proc/self/fdinfo"), reason="needs /proc")
@pytest.mark.parametrize("at, short", [(None, False), (1, False), (2, False), (1, True), (3, True)])
@pytest.mark.parametrize("seed", range(3))
def test_direct_writer_writes_what_it_is_given(
    tmp_path: Path, monkeypatch, seed: int, at: int | None, short: bool
):
    rng = random.Random(seed)
    source = tmp_path / "in"
    source.write_bytes(rng.randbytes(12 * MIB))
    content = source.read_bytes()
    refusing = RefusingWrites(at, short)
    monkeypatch.setattr(writers.os, "write", refusing)
    expected = bytearray()
    with open(source, "rb") as given, open(tmp_path / "out", "wb") as out:
        writer = writers.open_writer(out.fileno(), large=True)
        if not isinstance(writer, writers.DirectWriter):
            pytest.skip("this file system refuses O_DIRECT")
        # Pieces small and large, on and off the block size, across the
        # staging buffer's end more than once.
        while len(expected) < 26 * MIB:
            size = rng.choice((1, 4095, 4096, 70_000, 3 * MIB, 9 * MIB))
            if rng.random() < 0.5:
                piece = rng.randbytes(size)
                writer.write(piece)
            else:
                offset = rng.randrange(len(content) - size)
                piece = content[offset : offset + size]
                writer.copy(given.fileno(), offset, size)
            expected += piece
        writer.finish()
        assert not is_direct(out.fileno())
        writer.close()
    assert (tmp_path / "out").read_bytes() == expected
    assert refusing.direct_writes >= (at or 1)  # the writing went past the cache


def test_a_copy_past_the_end_of_its_input_is_an_error(tmp_path: Path):
    (tmp_path / "in").write_bytes(b"x" * 10_000)
    with open(tmp_path / "in", "rb") as given, open(tmp_path / "out", "wb") as out:
        writer = writers.open_writer(out.fileno(), large=True)
        with pytest.raises(OSError, match="became shorter"):
            writer.copy(given.fileno(), 5_000, 6_000)
        writer.close()
