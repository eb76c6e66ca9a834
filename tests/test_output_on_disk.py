"""Appends on real file systems: the output shares the input's blocks where
the file system can (XFS, btrfs), and an append killed at any moment leaves
the input as it was and nothing beside it."""

from __future__ import annotations

import contextlib
import gzip
import os
import random
import shutil
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest
import quillmark
from conftest import manifest_record

files = pytest.importorskip("quillmark_files")
CLI = Path(sys.executable).with_name("quillmark")
MIB = 1 << 20
STORE = b"new store" * 1000
# The crawl's last member, replaced by an append.
OLD_MANIFEST = gzip.compress(manifest_record(b"old store"), mtime=0)
RECORD_ID = "urn:uuid:00000000-0000-4000-8000-000000000001"


def append_argv(archive: Path, *output: Path) -> list[str]:
    if not CLI.exists():
        pytest.skip(f"the quillmark command is not installed next to {sys.executable}")
    store = archive.with_name("store.c2pa")
    store.write_bytes(STORE)
    out = ["-o", str(output[0])] if output else []
    return [str(CLI), "append", str(archive), str(store), "--record-id", RECORD_ID, *out]


@pytest.fixture(scope="module")
def crawl(tmp_path_factory) -> Path:
    """About 80 MiB of records, one gzip member each, bodies of random bytes
    and of text, signed last (as a file is signed again)."""
    path = tmp_path_factory.mktemp("crawl") / "crawl.warc.gz"
    rng = random.Random(18)
    pool = rng.randbytes(MIB) + b"<p>some text of a page</p>\n" * (MIB // 27)
    with open(path, "wb") as out:
        total = 0
        while total < 80 * MIB:
            size = int(rng.lognormvariate(10, 1.5)) % (2 * MIB)
            start = rng.randrange(len(pool) - size)
            record = quillmark.build_record(
                "response", "text/html", f"urn:uuid:{total}", pool[start : start + size]
            )
            out.write(gzip.compress(record, compresslevel=1))
            total += len(record)
        out.write(OLD_MANIFEST)
    return path


# --- shared blocks ---------------------------------------------------------------


MKFS = {"xfs": ["mkfs.xfs", "-q", "-m", "reflink=1"], "btrfs": ["mkfs.btrfs", "-q"]}


@contextlib.contextmanager
def mounted(folder: Path, kind: str) -> Iterator[Path]:
    """A new file system of ``kind`` on a loop image in ``folder``, mounted."""
    if os.geteuid() != 0:
        pytest.skip("mounting a loop image needs root")
    if shutil.which(MKFS[kind][0]) is None:
        pytest.skip(f"{MKFS[kind][0]} is not installed")
    image = folder / f"{kind}.img"
    with open(image, "wb") as sparse:
        sparse.truncate(512 * MIB)
    made = subprocess.run([*MKFS[kind], image], capture_output=True, text=True)
    if made.returncode:
        pytest.skip(f"{MKFS[kind][0]} failed: {made.stderr.strip()}")
    attached = subprocess.run(
        ["losetup", "--find", "--show", image], capture_output=True, text=True
    )
    if attached.returncode:
        pytest.skip(f"no loop device: {attached.stderr.strip()}")
    device = attached.stdout.strip()
    mount_point = folder / kind
    mount_point.mkdir()
    try:
        mounting = subprocess.run(
            ["mount", "-t", kind, device, mount_point], capture_output=True, text=True
        )
        if mounting.returncode:
            pytest.skip(f"mounting {kind} was refused: {mounting.stderr.strip()}")
        try:
            yield mount_point
        finally:
            subprocess.run(["umount", mount_point], check=True)
    finally:
        subprocess.run(["losetup", "--detach", device], check=True)


def used_bytes(folder: Path) -> int:
    os.sync()
    usage = os.statvfs(folder)
    return (usage.f_blocks - usage.f_bfree) * usage.f_frsize


@pytest.mark.parametrize("kind", ["xfs", "btrfs"])
@pytest.mark.parametrize("in_place", [False, True], ids=["-o", "in place"])
def test_an_append_shares_the_blocks_of_its_input(tmp_path: Path, crawl: Path, kind, in_place):
    with mounted(tmp_path, kind) as folder:
        archive = folder / crawl.name
        shutil.copyfile(crawl, archive)
        output = archive if in_place else folder / "out.warc.gz"
        argv = append_argv(archive, *([] if in_place else [output]))
        if in_place:  # held by a second name, the replaced file's blocks stay in use
            os.link(archive, folder / "before.warc.gz")
        before = used_bytes(folder)
        result = subprocess.run(argv, capture_output=True)
        assert result.returncode == 0, result.stderr
        added = used_bytes(folder) - before
        assert added <= crawl.stat().st_size // 100, f"{added >> 10} KiB more in use"
        summary = files.check(output)
        assert (summary.manifest, summary.manifest_records) == (STORE, 1)
        assert summary.compression == files.GZIP_PER_RECORD


# --- killed midway ---------------------------------------------------------------


@pytest.fixture(scope="module")
def appended(crawl: Path, tmp_path_factory) -> tuple[bytes, float]:
    """What a whole append of ``crawl`` writes, and how long the append takes
    at best (the flush to disk varies with what other processes write)."""
    folder = tmp_path_factory.mktemp("appended")
    argv = append_argv(crawl, folder / "out.warc.gz")
    durations = []
    for _ in range(3):
        start = time.monotonic()
        subprocess.run(argv, check=True, capture_output=True)
        durations.append(time.monotonic() - start)
    return (folder / "out.warc.gz").read_bytes(), min(durations)


def complete(path: Path, expected: bytes, kept: int) -> bool:
    """Whether ``path`` holds the whole output: the ``kept`` bytes of members
    as they were, then one member that holds the new manifest record (its
    gzip header and WARC-Date tell when it was made)."""
    data = path.read_bytes()
    if data[:kept] != expected[:kept]:
        return False
    added = quillmark.read_records(gzip.decompress(data[kept:]))
    return len(added) == 1 and quillmark.read_manifest(gzip.decompress(data[kept:])) == STORE


@pytest.mark.parametrize("in_place", [False, True], ids=["-o", "in place"])
def test_a_killed_append_leaves_the_input_and_nothing_else(
    tmp_path: Path, crawl: Path, appended: tuple[bytes, float], in_place: bool
):
    expected, duration = appended
    original = crawl.read_bytes()
    kept = len(original) - len(OLD_MANIFEST)
    archive = tmp_path / crawl.name
    archive.write_bytes(original)
    output = archive if in_place else tmp_path / "out.warc.gz"
    argv = append_argv(archive, *([] if in_place else [output]))
    rng = random.Random(in_place)
    killed_midway = 0
    for _ in range(10):
        before = sorted(os.listdir(tmp_path))
        append = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Anywhere from late in the start of the interpreter to past the rename.
        time.sleep(rng.uniform(duration * 0.2, duration * 1.1))
        append.kill()
        append.wait()
        after = sorted(os.listdir(tmp_path))
        if in_place:
            assert after == before
            if archive.read_bytes() == original:
                killed_midway += 1
            else:
                assert complete(archive, expected, kept)
                archive.write_bytes(original)
        else:
            assert archive.read_bytes() == original
            if output.exists():
                assert after == sorted([*before, output.name])
                assert complete(output, expected, kept)
                output.unlink()
            else:
                assert after == before
                killed_midway += 1
    assert killed_midway, "no kill landed before the output was in place"
