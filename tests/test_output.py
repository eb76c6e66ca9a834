"""An output holds exactly what was written and copied, in order, with an
append's bytes written through it in between; on a failure midway the target
keeps its bytes and nothing is left beside it. (Each way the kernel may copy,
or refuse to, is tried by the writer's own tests, tests/cpp/test_output_file.cpp.)"""

from __future__ import annotations

import functools
import os
import random
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest
import quillmark

output = pytest.importorskip("quillmark_files.archive")
from quillmark_files.archive._append import append_into  # noqa: E402
from quillmark_files.archive._source import Source  # noqa: E402

MIB = 1 << 20
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
CLI = Path(sys.executable).with_name("quillmark")


class Interrupted(BaseException):
    pass


@pytest.mark.parametrize("target", ["new", "replaced", "named temporary"])
@pytest.mark.parametrize("seed", range(4))
def test_output_is_what_was_written_and_copied(tmp_path: Path, monkeypatch, seed: int, target: str):
    rng = random.Random(f"{seed}/{target}")
    if target == "named temporary":  # a file system without O_TMPFILE
        monkeypatch.setattr("quillmark_files.archive._atomic_file._can_link_unnamed", lambda: False)
    (tmp_path / "pieces").mkdir()
    source = tmp_path / "in"
    content = rng.randbytes(6 * MIB)
    source.write_bytes(content)
    path = tmp_path / "out"
    original = None if target == "new" else b"old bytes"
    if original is not None:
        path.write_bytes(original)
        path.chmod(0o604)
    before = sorted(os.listdir(tmp_path))
    stop_at = rng.choice([None, rng.randrange(40)])
    expected = bytearray()
    steps = next_offset = 0
    with open(source, "rb") as given:
        try:
            with output.open_output(str(path)) as out:
                while len(expected) < 16 * MIB:
                    steps += 1
                    if steps == stop_at:
                        raise Interrupted
                    size = rng.choice((1, 100, 4095, 4096, 70_000, MIB + 1, 3 * MIB))
                    offset = rng.randrange(len(content) - size)
                    kind = rng.choice(("write", "copy", "copy next", "appended"))
                    if kind == "copy next" and next_offset + size <= len(content):
                        offset = next_offset  # joins the copy before it
                    if kind == "write":
                        piece = rng.randbytes(size)
                        out.write(piece)
                    elif kind == "appended":  # an append writing through the output
                        piece = _appended(tmp_path, rng.randbytes(size), out)
                    else:
                        piece = content[offset : offset + size]
                        out.copy(given.fileno(), offset, size)
                        next_offset = offset + size
                    expected += piece
                    assert out.position == len(expected)
                out.flush()
                assert os.lseek(out.fd, 0, os.SEEK_CUR) == len(expected)
        except Interrupted:
            assert (path.read_bytes() if path.exists() else None) == original
            assert sorted(os.listdir(tmp_path)) == before
            return
    assert path.read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == sorted({*before, "out"})
    if original is not None:
        assert stat.S_IMODE(path.stat().st_mode) == 0o604


def _appended(tmp_path: Path, body: bytes, out) -> bytes:
    """What an append of a one-record archive writes through ``out``."""
    archive = tmp_path / "pieces" / "piece.warc"
    archive.parent.mkdir(exist_ok=True)
    archive.write_bytes(
        quillmark.build_record("resource", "application/octet-stream", "urn:uuid:0", body)
    )
    start = out.position
    with Source(str(archive)) as stream:
        append_into(
            stream,
            out,
            b"store",
            "urn:uuid:1",
            compress=False,
            inflater=None,
            progress=None,
            threads=1,
            output_name="out",
        )
    assert out.position > start
    out.flush()
    return os.pread(out.fd, out.position - start, start)


def test_a_copy_past_the_end_of_its_input_fails_and_leaves_nothing(tmp_path: Path):
    (tmp_path / "in").write_bytes(b"x" * 10_000)
    with (
        open(tmp_path / "in", "rb") as given,
        pytest.raises(OSError) as raised,
        output.open_output(str(tmp_path / "out")) as out,
    ):
        out.copy(given.fileno(), 5_000, 6_000)
    assert "became shorter" in str(raised.value)
    assert raised.value.filename == str(tmp_path / "out")
    assert os.listdir(tmp_path) == ["in"]


@pytest.mark.parametrize("mode", ["w", "a"], ids=["> file", ">> file"])
def test_standard_output_gets_the_whole_output_once_made(tmp_path: Path, mode: str):
    if not CLI.exists():
        pytest.skip(f"the quillmark command is not installed next to {sys.executable}")
    argv = [CLI, "append", EXAMPLES / "sample.warc", EXAMPLES / "manifest.c2pa"]
    argv += ["--record-id", "urn:uuid:1", "-o"]
    (tmp_path / "out.warc").write_bytes(b"")
    assert subprocess.run([*argv, tmp_path / "out.warc"]).returncode == 0
    listing = tmp_path / "listing"
    listing.write_bytes(b"before\n")
    with open(listing, mode + "b") as stdout:
        result = subprocess.run([*argv, "-"], stdout=stdout, stderr=subprocess.PIPE)
    assert result.returncode == 0, result.stderr
    kept = b"before\n" if mode == "a" else b""
    # The new record's WARC-Date may be a second later in the second run.
    undated = functools.partial(re.sub, rb"WARC-Date: [^\r]*", b"")
    assert undated(listing.read_bytes()) == undated(kept + (tmp_path / "out.warc").read_bytes())
