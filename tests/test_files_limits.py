"""The command on large and on bad files: memory stays far below the size of
the archive, and every failure is one line, status 1 and nothing left behind."""

from __future__ import annotations

import gzip
import os
import random
import resource
import subprocess
import sys
from pathlib import Path

import pytest
import quillmark
from conftest import invalid, manifest_record

files = pytest.importorskip("quillmark_files")
CLI = Path(sys.executable).with_name("quillmark")
SAMPLE = (Path(__file__).resolve().parents[1] / "examples" / "sample.warc").read_bytes()
MIB = 1 << 20


def cli(*args, **kwargs) -> list[str]:
    if not CLI.exists():
        pytest.skip(f"the quillmark command is not installed next to {sys.executable}")
    return [str(CLI), *map(str, args)]


# The command in a fresh interpreter that reports its own high-water mark: a
# child's ru_maxrss would also count the test process it was forked from.
_MEASURED = """
import sys
from quillmark_cli.__main__ import main
status = main(sys.argv[1:])
with open("/proc/self/status") as info:
    sys.stderr.write([line for line in info if line.startswith("VmHWM:")][0])
sys.exit(status)
"""


def peak_rss(*args) -> int:
    """Peak resident bytes of one successful run of the command with ``args``."""
    cli()  # skips where the command is not installed
    argv = [sys.executable, "-c", _MEASURED, *map(str, args)]
    result = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert result.returncode == 0, result.stderr
    return int(result.stderr.split()[-2]) * 1024


@pytest.fixture(scope="module")
def large(tmp_path_factory) -> dict[str, Path]:
    """About 320 MiB of records, bodies up to 8 MiB, signed last, written
    plain and with one gzip member per record."""
    folder = tmp_path_factory.mktemp("large")
    rng = random.Random(7)
    pool = rng.randbytes(MIB) + b"<p>compressible text</p>" * (3 * MIB // 24)
    with open(folder / "big.warc", "wb") as plain, open(folder / "big.warc.gz", "wb") as packed:
        total = 0
        while total < 320 * MIB:
            size = rng.choice((2_000, 60_000, 900_000, 8 * MIB))
            start = rng.randrange(len(pool) - min(size, len(pool)) + 1)
            body = (pool * (1 + size // len(pool)))[start : start + size]
            record = quillmark.build_record("response", "text/html", f"urn:{total}", body)
            plain.write(record)
            packed.write(gzip.compress(record, compresslevel=1))
            total += len(record)
        store = manifest_record(b"store" * 1000)
        plain.write(store)
        packed.write(gzip.compress(store))
    (folder / "store.c2pa").write_bytes(b"new store" * 100)
    return {"plain": folder / "big.warc", "gzip": folder / "big.warc.gz", "folder": folder}


@pytest.mark.skipif(
    os.environ.get("QUILLMARK_SANITIZED") == "1", reason="the sanitizers' shadow memory"
)
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("kind", ["plain", "gzip"])
@pytest.mark.parametrize("command", ["check", "manifest", "records", "append"])
def test_memory_stays_far_below_the_archive_size(large, kind: str, command: str):
    path = large[kind]
    extra = {
        "manifest": ["-o", large["folder"] / "out.c2pa"],
        "records": ["--json"],
        "append": [large["folder"] / "store.c2pa", "-o", large["folder"] / f"out-{path.name}"],
    }.get(command, [])
    peak = peak_rss(command, path, *extra)
    size = large["plain"].stat().st_size  # the archive, uncompressed
    assert peak < 80 * MIB < size // 4, f"{command} on {size >> 20} MiB peaked at {peak >> 20} MiB"


def per_record_gzip(data: bytes) -> bytes:
    starts = [r["offset"] for r in quillmark.read_records(data)] + [len(data)]
    return b"".join(gzip.compress(data[a:b]) for a, b in zip(starts, starts[1:]))


SIGNED = SAMPLE + manifest_record(b"store")
GOOD_GZ = per_record_gzip(SIGNED)
LAST = gzip.compress(manifest_record(b"store"))
DAMAGE = {
    "truncated member": (GOOD_GZ[:-7], "is truncated"),
    "corrupt deflate": (GOOD_GZ[:30] + bytes(25) + GOOD_GZ[55:], "is corrupt"),
    "trailing garbage": (GOOD_GZ + b"junk", "unexpected data after gzip member at byte"),
    "last record cut": (
        GOOD_GZ[: -len(LAST)] + gzip.compress(manifest_record(b"store")[:-9]),
        invalid(f"body extends past end of data (record at offset {len(SAMPLE)} of the"),
    ),
}
COMMANDS = {
    "check": [],
    "manifest": ["-o", "out.c2pa"],
    "records": [],
    "append -o": ["store.c2pa", "-o", "out.warc.gz"],
    "append in place": ["store.c2pa"],
}


@pytest.mark.parametrize("damage", DAMAGE)
@pytest.mark.parametrize("command", COMMANDS)
def test_bad_gzip_input_is_one_line_and_leaves_nothing(tmp_path: Path, damage: str, command: str):
    data, reason = DAMAGE[damage]
    (tmp_path / "bad.warc.gz").write_bytes(data)
    (tmp_path / "store.c2pa").write_bytes(b"new")
    before = sorted(os.listdir(tmp_path))
    verb = command.split()[0]
    result = subprocess.run(
        cli(verb, "bad.warc.gz", *COMMANDS[command]), cwd=tmp_path, capture_output=True
    )
    assert result.returncode == 1
    assert result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert (
        len(lines) == 1 and lines[0].startswith("quillmark: bad.warc.gz: ") and reason in lines[0]
    )
    assert sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "bad.warc.gz").read_bytes() == data


def test_a_last_member_cut_anywhere_is_refused_with_the_modules_verdict(tmp_path: Path):
    path = tmp_path / "cut.warc.gz"
    head = GOOD_GZ[: -len(LAST)]
    last = manifest_record(b"store")
    for cut in range(len(last)):  # the record cut at every position, the member whole
        content = SIGNED[: len(SAMPLE)] + last[:cut]
        path.write_bytes(head + gzip.compress(last[:cut]))
        try:
            quillmark.read_records(content)
        except ValueError as exc:
            with pytest.raises(files.MalformedArchive) as refused:
                files.check(path)
            assert refused.value.message == str(exc)
        else:
            assert files.check(path).records == len(quillmark.read_records(content))
    for cut in range(1, len(LAST)):  # the member's compressed bytes cut anywhere
        path.write_bytes(head + LAST[:cut])
        with pytest.raises(files.CompressionError, match=f"gzip member at byte {len(head)}"):
            files.check(path)
        with pytest.raises(files.CompressionError):
            files.append_manifest(path, b"s", tmp_path / "out.warc.gz")
        assert sorted(os.listdir(tmp_path)) == ["cut.warc.gz"]


def limit_file_size(limit: int):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


@pytest.mark.parametrize("in_place", [False, True], ids=["-o", "in place"])
def test_a_full_disk_is_one_line_and_leaves_the_input(tmp_path: Path, in_place: bool):
    path = tmp_path / "crawl.warc.gz"
    original = per_record_gzip(SAMPLE * 40)
    path.write_bytes(original)
    (tmp_path / "store.c2pa").write_bytes(b"new")
    before = sorted(os.listdir(tmp_path))
    argv = cli("append", path.name, "store.c2pa", *([] if in_place else ["-o", "out.warc.gz"]))
    limited = subprocess.run(
        argv, cwd=tmp_path, capture_output=True, preexec_fn=limit_file_size(4096)
    )
    target = path.name if in_place else "out.warc.gz"
    assert limited.returncode == 1
    assert limited.stderr.decode().splitlines() == [f"quillmark: {target}: File too large"]
    assert sorted(os.listdir(tmp_path)) == before
    assert path.read_bytes() == original
    if os.path.exists("/dev/full"):
        full = subprocess.run(
            cli("append", path, "store.c2pa", "-o", "/dev/full"), cwd=tmp_path, capture_output=True
        )
        assert full.returncode == 1
        assert full.stderr.decode().splitlines() == [
            "quillmark: /dev/full: No space left on device"
        ]
