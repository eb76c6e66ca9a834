"""The `quillmark` command, driven as a user drives it: the installed script in a
subprocess. A few helpers (the failing-record walk, atomic writes, gzip
members) are also tested in-process where a subprocess cannot reach the case."""

from __future__ import annotations

import gzip
import importlib.metadata
import importlib.util
import io
import json
import os
import pty
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import uuid
import zlib
from pathlib import Path

import archive_gen
import pytest
import quillmark
from conftest import interruptible, invalid, make_record, manifest_record, resource_record

CLI = Path(sys.executable).with_name("quillmark")
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SAMPLE = (EXAMPLES / "sample.warc").read_bytes()
STORE = (EXAMPLES / "manifest.c2pa").read_bytes()


def command(*args) -> list[str]:
    if not CLI.exists():
        pytest.skip(f"the quillmark command is not installed next to {sys.executable}")
    return [str(CLI), *map(str, args)]


def run(*args, stdin: bytes = b"", cwd=None) -> subprocess.CompletedProcess:
    return subprocess.run(command(*args), input=stdin, capture_output=True, timeout=120, cwd=cwd)


def error_line(result: subprocess.CompletedProcess) -> str:
    """The one line a failure prints; fails the test on a traceback or more lines."""
    text = result.stderr.decode()
    assert "Traceback" not in text
    assert result.stdout == b""
    lines = text.splitlines()
    assert len(lines) == 1, text
    return lines[0]


def gzip_members(data: bytes) -> list[bytes]:
    members = []
    while data:
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        members.append(inflater.decompress(data) + inflater.flush())
        assert inflater.eof
        data = inflater.unused_data
    return members


def record_bytes(data: bytes) -> list[bytes]:
    return [data[r["offset"] : r["offset"] + r["length"]] for r in quillmark.read_records(data)]


@pytest.fixture()
def sample(tmp_path: Path) -> Path:
    path = tmp_path / "sample.warc"
    path.write_bytes(SAMPLE)
    (tmp_path / "store.c2pa").write_bytes(STORE)
    return path


# --- help, version, usage ------------------------------------------------------------


def test_installed_distribution_provides_the_command():
    # Guards the skip in command(): where the package is installed, the command must be too.
    try:
        dist = importlib.metadata.distribution("quillmark")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the quillmark distribution is not installed")
    scripts = [e for e in dist.entry_points if e.group == "console_scripts"]
    assert [(e.name, e.value) for e in scripts] == [("quillmark", "quillmark_cli.__main__:main")]


def test_version_is_the_module_version():
    result = run("--version")
    assert result.returncode == 0
    assert result.stdout.decode() == f"quillmark {quillmark.__version__}\n"


@pytest.mark.parametrize("words", [[], ["records"], ["manifest"], ["append"], ["check"]])
def test_help(words):
    result = run(*words, "--help")
    assert result.returncode == 0
    assert result.stdout.decode().startswith(f"usage: quillmark {' '.join(words)}".rstrip())


@pytest.mark.parametrize(
    "args", [[], ["frobnicate"], ["records"], ["append", "only-one.warc"], ["records", "a", "b"]]
)
def test_usage_errors_exit_2_without_traceback(args):
    result = run(*args)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr.decode()
    assert "usage: quillmark" in result.stderr.decode()


# --- append and manifest -------------------------------------------------------------


def test_bundled_example_round_trip(sample: Path):
    out = sample.with_name("signed.warc")
    assert run("append", sample, sample.with_name("store.c2pa"), "-o", out).returncode == 0
    extracted = sample.with_name("store.out")
    assert run("manifest", out, "-o", extracted).returncode == 0
    assert extracted.read_bytes() == STORE
    # Every original record is kept byte for byte, the manifest record comes last.
    signed = out.read_bytes()
    assert record_bytes(signed)[:-1] == record_bytes(SAMPLE)
    last = quillmark.read_records(signed)[-1]
    record_id = last["headers"]["warc-record-id"]
    assert re.fullmatch(r"<urn:uuid:[0-9a-f-]{36}>", record_id)
    assert uuid.UUID(record_id[10:-1]).version == 4
    assert sample.read_bytes() == SAMPLE  # the input is never touched with -o


def test_default_record_ids_are_fresh(sample: Path):
    ids = set()
    for name in ("a.warc", "b.warc"):
        run("append", sample, sample.with_name("store.c2pa"), "-o", sample.with_name(name))
        last = quillmark.read_records(sample.with_name(name).read_bytes())[-1]
        ids.add(last["headers"]["warc-record-id"])
    assert len(ids) == 2


def test_record_id_option_and_replacing_an_earlier_manifest(sample: Path):
    sample.write_bytes(SAMPLE + manifest_record(b"old store"))
    result = run("append", sample, sample.with_name("store.c2pa"), "--record-id", "urn:x:7")
    assert result.returncode == 0, result.stderr
    records = quillmark.read_records(sample.read_bytes())
    manifests = [r for r in records if r["headers"].get("warc-type") == "c2paprovenance"]
    assert [m["headers"]["warc-record-id"] for m in manifests] == ["<urn:x:7>"]
    assert quillmark.read_manifest(sample.read_bytes()) == STORE


@pytest.mark.parametrize("record_id", ["a\nb", "a\rb", "\r\n", "urn:x\n"])
def test_record_id_with_line_break_is_refused(sample: Path, record_id: str):
    out = sample.with_name("out.warc")
    store = sample.with_name("store.c2pa")
    result = run("append", sample, store, "--record-id", record_id, "-o", out)
    assert result.returncode == 1
    assert "carriage return or a line feed" in error_line(result)
    assert sample.read_bytes() == SAMPLE
    assert not out.exists()


def test_in_place_append_keeps_mode_and_leaves_no_temporary(sample: Path):
    sample.chmod(0o640)
    before = set(os.listdir(sample.parent))
    assert run("append", sample, sample.with_name("store.c2pa")).returncode == 0
    assert stat.S_IMODE(sample.stat().st_mode) == 0o640
    assert set(os.listdir(sample.parent)) == before
    assert quillmark.read_manifest(sample.read_bytes()) == STORE


def test_new_output_file_gets_the_usual_mode(sample: Path):
    out = sample.with_name("new.warc")
    subprocess.run(
        ["sh", "-c", 'umask 027 && exec "$0" "$@"']
        + command("append", sample, sample.with_name("store.c2pa"), "-o", out),
        check=True,
    )
    assert stat.S_IMODE(out.stat().st_mode) == 0o640


def test_in_place_append_through_a_symlink_replaces_the_target(sample: Path):
    link = sample.with_name("link.warc")
    link.symlink_to(sample.name)
    assert run("append", link, sample.with_name("store.c2pa")).returncode == 0
    assert link.is_symlink()
    assert quillmark.read_manifest(sample.read_bytes()) == STORE


def test_output_to_a_device_writes_through_it(sample: Path):
    result = run("append", sample, sample.with_name("store.c2pa"), "-o", os.devnull)
    assert result.returncode == 0
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_append_to_standard_output(sample: Path):
    result = run("append", sample, sample.with_name("store.c2pa"), "-o", "-")
    assert result.returncode == 0
    assert quillmark.read_manifest(result.stdout) == STORE


@pytest.mark.parametrize(
    "archive, expected",
    [
        (SAMPLE + b"WARC/1.1\r\nContent-Length: 9\r\n\r\nshort", "body extends past end of data"),
        (b"", "empty WARC data"),
        (b"WARC/1.0\r\n\r\n", "expected WARC/1.1 at offset 0"),
    ],
)
def test_failed_append_leaves_the_input_byte_for_byte(sample: Path, archive, expected):
    sample.write_bytes(archive)
    before = set(os.listdir(sample.parent))
    result = run("append", sample, sample.with_name("store.c2pa"))
    assert result.returncode == 1
    assert invalid(expected) in error_line(result)
    assert sample.read_bytes() == archive
    assert set(os.listdir(sample.parent)) == before


@pytest.mark.parametrize(
    "output, reason",
    [
        ("missing-dir/out.warc", "No such file or directory"),
        (".", "Is a directory"),
    ],
)
def test_unwritable_output_is_reported(sample: Path, output, reason):
    result = run("append", sample, "store.c2pa", "-o", output, cwd=sample.parent)
    assert result.returncode == 1
    assert error_line(result) == f"quillmark: {output}: {reason}"
    assert sample.read_bytes() == SAMPLE


def test_in_place_append_refuses_a_fifo(tmp_path: Path):
    fifo = tmp_path / "in.warc"
    os.mkfifo(fifo)
    result = run("append", fifo, EXAMPLES / "manifest.c2pa")
    assert result.returncode == 1
    assert "not a regular file" in error_line(result)


def test_standard_input_is_read_once():
    result = run("append", "-", "-", stdin=SAMPLE)
    assert result.returncode == 1
    assert "standard input can hold the archive or the manifest store" in error_line(result)


def test_filter_from_standard_input_to_standard_output():
    result = run("append", "-", EXAMPLES / "manifest.c2pa", stdin=SAMPLE)
    assert result.returncode == 0
    assert record_bytes(result.stdout)[:-1] == record_bytes(SAMPLE)


def test_manifest_output_and_absence(tmp_path: Path):
    signed = tmp_path / "signed.warc"
    signed.write_bytes(SAMPLE + manifest_record(STORE))
    result = run("manifest", signed)
    assert result.returncode == 0 and result.stdout == STORE
    empty_store = tmp_path / "empty.warc"
    empty_store.write_bytes(manifest_record(b""))
    result = run("manifest", empty_store)
    assert result.returncode == 0 and result.stdout == b""
    unsigned = tmp_path / "unsigned.warc"
    unsigned.write_bytes(SAMPLE)
    result = run("manifest", unsigned)
    assert result.returncode == 1
    assert error_line(result) == f"quillmark: {unsigned}: no C2PA manifest record found"


# --- gzip ------------------------------------------------------------------------------


def per_record_gzip(data: bytes) -> bytes:
    return b"".join(gzip.compress(chunk) for chunk in record_bytes(data))


@pytest.mark.parametrize(
    "compress", [per_record_gzip, gzip.compress], ids=["member-per-record", "single-member"]
)
def test_gzip_input_reads_like_plain(tmp_path: Path, compress):
    archive = SAMPLE + manifest_record(STORE)
    plain, packed = tmp_path / "a.warc", tmp_path / "a.warc.gz"
    plain.write_bytes(archive)
    packed.write_bytes(compress(archive))
    rows = [json.loads(line) for line in run("records", packed).stdout.splitlines()]
    seekable = [row.pop("gzip_offset", None) for row in rows]
    lengths = [row.pop("gzip_length", None) for row in rows]
    assert rows == [json.loads(line) for line in run("records", plain).stdout.splitlines()]
    assert run("manifest", packed).stdout == STORE
    assert run("check", packed).returncode == 0
    if compress is gzip.compress:
        assert seekable == [0] + [None] * (len(rows) - 1)
        assert lengths == [None] * len(rows)
    else:
        # Each record can be read alone from its place in the compressed file.
        compressed = packed.read_bytes()
        spans = zip(seekable, lengths)
        pieces = [gzip.decompress(compressed[at : at + size]) for at, size in spans]
        assert pieces == record_bytes(archive)


def test_gzip_output_has_one_member_per_record(sample: Path):
    out = sample.with_name("signed.warc.gz")
    assert run("append", sample, sample.with_name("store.c2pa"), "-o", out).returncode == 0
    packed = out.read_bytes()
    members = gzip_members(packed)
    assert gzip.decompress(packed) == b"".join(members)
    assert members[:-1] == record_bytes(SAMPLE)
    assert quillmark.read_manifest(members[-1]) == STORE


def test_gzip_output_reads_in_warcio_at_the_listed_places(sample: Path):
    archiveiterator = pytest.importorskip("warcio.archiveiterator")
    out = sample.with_name("signed.warc.gz")
    assert run("append", sample, sample.with_name("store.c2pa"), "-o", out).returncode == 0
    listed = [json.loads(line) for line in run("records", out).stdout.splitlines()]
    seen = []
    with open(out, "rb") as stream:
        records = archiveiterator.ArchiveIterator(stream, no_record_parse=True)
        for record in records:
            body = record.raw_stream.read()
            seen.append((records.get_record_offset(), records.get_record_length(), len(body)))
    assert seen == [(row["gzip_offset"], row["gzip_length"], row["body_size"]) for row in listed]


def test_in_place_append_keeps_gzip(tmp_path: Path):
    packed = tmp_path / "crawl.warc.gz"
    packed.write_bytes(per_record_gzip(SAMPLE))
    assert run("append", packed, EXAMPLES / "manifest.c2pa").returncode == 0
    members = gzip_members(packed.read_bytes())
    assert len(members) == len(record_bytes(SAMPLE)) + 1
    assert quillmark.read_manifest(b"".join(members)) == STORE


@pytest.mark.parametrize(
    "damage, reason",
    [
        (lambda gz: gz[:-5], "is truncated"),
        (lambda gz: gz + b"trailing", "unexpected data after gzip member"),
        (lambda gz: gz[:20] + bytes(40) + gz[60:], "is corrupt"),
    ],
)
def test_damaged_gzip_is_reported(tmp_path: Path, damage, reason):
    packed = tmp_path / "bad.warc.gz"
    packed.write_bytes(damage(per_record_gzip(SAMPLE)))
    result = run("check", packed)
    assert result.returncode == 1
    assert reason in error_line(result)


def test_gzip_zero_padding_is_accepted(tmp_path: Path):
    packed = tmp_path / "padded.warc.gz"
    packed.write_bytes(per_record_gzip(SAMPLE) + bytes(512))
    assert run("check", packed).returncode == 0


# --- records -------------------------------------------------------------------------


def test_records_json_lines(tmp_path: Path):
    archive = SAMPLE + manifest_record(STORE)
    path = tmp_path / "a.warc"
    path.write_bytes(archive)
    piped, flagged = run("records", path), run("records", "--json", path)
    assert piped.stdout == flagged.stdout
    rows = [json.loads(line) for line in piped.stdout.decode().splitlines()]
    expected = [
        {
            "offset": r["offset"],
            "length": r["length"],
            "body_size": len(r["body"]),
            "headers": r["headers"],
        }
        for r in quillmark.read_records(archive)
    ]
    assert rows == expected


def test_records_from_standard_input():
    result = run("records", "-", stdin=SAMPLE)
    assert result.returncode == 0
    assert len(result.stdout.splitlines()) == len(quillmark.read_records(SAMPLE))


def run_on_terminal(*args, env=None) -> tuple[int, str]:
    argv = command(*args)
    leader, follower = pty.openpty()
    proc = subprocess.Popen(argv, stdout=follower, stderr=follower, env=env)
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # EIO once the command has closed the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    return proc.wait(timeout=60), b"".join(chunks).decode().replace("\r\n", "\n")


def test_records_table_on_a_terminal(tmp_path: Path):
    hostile = make_record(
        ("WARC-Type", "resource"), ("WARC-Record-ID", "<urn:\x1b[31mred>"), body=b"x"
    )
    path = tmp_path / "a.warc"
    path.write_bytes(SAMPLE + hostile)
    status, text = run_on_terminal("records", path)
    assert status == 0
    lines = text.splitlines()
    assert lines[0].split() == ["OFFSET", "LENGTH", "BODY", "WARC-TYPE", "RECORD-ID"]
    records = quillmark.read_records(SAMPLE + hostile)
    assert len(lines) == len(records) + 1
    for line, record in zip(lines[1:], records):
        offset, length, body, warc_type, _ = line.split(maxsplit=4)
        assert (int(offset), int(length), int(body)) == (
            record["offset"],
            record["length"],
            len(record["body"]),
        )
        assert warc_type == record["headers"]["warc-type"]
    assert "\x1b" not in text and "<urn:\\x1b[31mred>" in lines[-1]


def test_table_on_a_terminal_that_cannot_show_the_text(tmp_path: Path):
    path = tmp_path / "a.warc"
    path.write_bytes(make_record(("WARC-Type", "résumé"), ("WARC-Record-ID", "<首>")))
    status, text = run_on_terminal("records", path, env={**os.environ, "PYTHONIOENCODING": "ascii"})
    assert status == 0
    assert text.splitlines()[1].split()[3:] == ["r\\xe9sum\\xe9", "<\\u9996>"]


def test_undecodable_file_names_are_shown_escaped(tmp_path: Path):
    name = os.fsdecode(b"n\xffme.warc")
    (tmp_path / name).write_bytes(SAMPLE)
    result = run("check", name, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.decode().startswith("n\\xffme.warc: well-formed")
    assert error_line(run("check", name + "x", cwd=tmp_path)).startswith("quillmark: n\\xffme")


def test_binary_output_to_a_terminal_is_refused(tmp_path: Path):
    path = tmp_path / "a.warc"
    path.write_bytes(manifest_record(STORE))
    status, text = run_on_terminal("manifest", path)
    assert status == 1
    assert "not writing a manifest store to a terminal" in text


# --- check and error reports ---------------------------------------------------------

GOOD = resource_record(b"first") + resource_record(b"WARC/1.1\r\nContent-Length: 999\r\n\r\n")


@pytest.mark.parametrize(
    "tail, detail",
    [
        (b"WARC/1.1\r\nContent-Length: 3\r\n", "unterminated header"),
        (b"WARC/1.1\r\nX: \xff\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"),
        (make_record(("WARC-Type", "resource"), content_length=None), "missing Content-Length"),
        (make_record(content_length="0x10"), "invalid Content-Length"),
        (
            make_record(content_length="5", body=b"abc", separator=b""),
            "body extends past end of data",
        ),
        # The last of two Content-Length lines counts, whatever the first says.
        (
            b"WARC/1.1\r\nContent-Length: 2\r\ncontent-LENGTH: 20\r\n\r\nab\r\n\r\n",
            "body extends past end of data",
        ),
    ],
)
@pytest.mark.parametrize("gap", [b"", b"\r\n", b"\n\n\r\n"])
def test_check_reports_the_failing_record_offset(tmp_path: Path, tail, detail, gap):
    archive = GOOD + gap + tail
    path = tmp_path / "bad.warc"
    path.write_bytes(archive)
    result = run("check", path)
    assert result.returncode == 1
    offset = len(GOOD) + len(gap)
    assert error_line(result) == f"quillmark: {path}: {invalid(detail)} (record at offset {offset})"


@pytest.mark.parametrize(
    "middle",
    [
        make_record(content_length="+0005", body=b"12345"),
        make_record(content_length="\u00a07\u3000", body=b"1234567"),
        make_record(content_length="3", body=b"abc", separator=b"\n\n"),
        "WARC/1.1\r\nContent-Length: 5\r\ncontent-length\u3000: 7\r\n\r\n1234567".encode(),
    ],
    ids=["plus-and-zeros", "unicode-space", "lf-separator", "unusual-second-length"],
)
def test_check_walks_past_unusual_but_valid_records(tmp_path: Path, middle):
    bad = make_record(content_length="-1")
    path = tmp_path / "bad.warc"
    path.write_bytes(GOOD + middle + bad)
    result = run("check", path)
    offset = len(GOOD + middle)
    assert error_line(result).endswith(
        f"{invalid('invalid Content-Length')} (record at offset {offset})"
    )


@pytest.mark.parametrize(
    "archive, message",
    [
        (SAMPLE + b" ", f"expected WARC/1.1 at offset {len(SAMPLE)}"),
        (b"\r\n\xef\xbb\xbfWARC/1.1", "expected WARC/1.1 at offset 2"),
    ],
)
def test_check_keeps_an_offset_the_message_already_names(tmp_path: Path, archive, message):
    path = tmp_path / "bad.warc"
    path.write_bytes(archive)
    assert error_line(run("check", path)) == f"quillmark: {path}: {invalid(message)}"


def test_check_on_gzip_names_the_uncompressed_offset(tmp_path: Path):
    path = tmp_path / "bad.warc.gz"
    path.write_bytes(per_record_gzip(GOOD) + gzip.compress(make_record(content_length=None)))
    line = error_line(run("check", path))
    assert line.endswith(f"(record at offset {len(GOOD)} of the uncompressed archive)")


@pytest.mark.parametrize("archive", [b"", b"\r\n\n", SAMPLE, SAMPLE + manifest_record(STORE)])
def test_check_accepts_well_formed_archives(tmp_path: Path, archive):
    path = tmp_path / "good.warc"
    path.write_bytes(archive)
    result = run("check", path)
    assert result.returncode == 0
    assert result.stdout.decode().startswith(f"{path}: well-formed")


def test_check_goes_through_every_file(tmp_path: Path):
    (tmp_path / "good.warc").write_bytes(SAMPLE)
    (tmp_path / "bad.warc").write_bytes(GOOD + b"x")
    result = run("check", "good.warc", "missing.warc", "bad.warc", "good.warc", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout.decode().splitlines() == ["good.warc: well-formed, no manifest store"] * 2
    assert result.stderr.decode().splitlines() == [
        "quillmark: missing.warc: No such file or directory",
        f"quillmark: bad.warc: {invalid(f'expected WARC/1.1 at offset {len(GOOD)}')}",
    ]


@pytest.mark.parametrize("verb", ["records", "manifest", "check", "append"])
@pytest.mark.parametrize(
    "name, reason",
    [
        ("missing.warc", "No such file or directory"),
        (".", "Is a directory"),
        ("bad.warc", f"{invalid('missing Content-Length')} (record at offset {len(GOOD)})"),
    ],
)
def test_unusable_input_is_one_line_for_every_command(tmp_path: Path, verb, name, reason):
    (tmp_path / "bad.warc").write_bytes(GOOD + make_record(content_length=None))
    extra = [str(EXAMPLES / "manifest.c2pa"), "-o", "out.warc"] if verb == "append" else []
    result = run(verb, name, *extra, cwd=tmp_path)
    assert result.returncode == 1
    assert error_line(result) == f"quillmark: {name}: {reason}"
    assert not (tmp_path / "out.warc").exists()


def unprivileged(argv: list[str]) -> list[str]:
    """``argv`` run without root's power to ignore file permissions."""
    if os.geteuid() != 0:
        return argv
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root and setpriv (util-linux) is missing")
    wrapped = [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", *argv]
    if subprocess.run(wrapped[:4] + [argv[0], "--version"], capture_output=True).returncode:
        pytest.skip("the installed command cannot run as an unprivileged user")
    return wrapped


@pytest.mark.parametrize("case", ["unreadable-input", "unwritable-folder"])
def test_permission_denied(case):
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)  # reachable, but only root may create files in it
        archive = Path(folder, "a.warc")
        archive.write_bytes(SAMPLE)
        if case == "unreadable-input":
            archive.chmod(0o000)
            argv = command("check", archive)
        else:
            archive.chmod(0o644)
            argv = command("append", archive, EXAMPLES / "manifest.c2pa")
        result = subprocess.run(unprivileged(argv), capture_output=True, timeout=120)
        assert result.returncode == 1
        assert error_line(result) == f"quillmark: {archive}: Permission denied"
        assert archive.read_bytes() == SAMPLE
        assert os.listdir(folder) == ["a.warc"]


def test_missing_manifest_file_leaves_the_archive(sample: Path):
    result = run("append", sample, sample.with_name("absent.c2pa"))
    assert result.returncode == 1
    assert (
        error_line(result)
        == f"quillmark: {sample.with_name('absent.c2pa')}: No such file or directory"
    )
    assert sample.read_bytes() == SAMPLE


# --- interrupts ----------------------------------------------------------------------


def interrupt_while_reading(
    fifo: Path, args: list, signum: int = signal.SIGINT
) -> subprocess.CompletedProcess:
    os.mkfifo(fifo)
    proc = interruptible(command(*args))
    writer = os.open(fifo, os.O_WRONLY)  # returns once the command has opened the FIFO
    try:
        os.write(writer, SAMPLE[:100])
        time.sleep(0.3)  # let it block in read() on the half-written FIFO
        proc.send_signal(signum)
        stdout, stderr = proc.communicate(timeout=60)
    finally:
        os.close(writer)
    return subprocess.CompletedProcess(proc.args, proc.returncode, stdout, stderr)


@pytest.mark.parametrize(
    "signum, status, message",
    [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")],
)
def test_stopped_check_reports_the_signal(tmp_path: Path, signum, status, message):
    result = interrupt_while_reading(tmp_path / "fifo", ["check", tmp_path / "fifo"], signum)
    assert result.returncode == status
    assert error_line(result) == f"quillmark: {message}"


def test_interrupted_in_place_append_leaves_the_input(sample: Path):
    fifo = sample.with_name("store.fifo")
    before = set(os.listdir(sample.parent)) | {fifo.name}
    result = interrupt_while_reading(fifo, ["append", sample, fifo])
    assert result.returncode == 130
    assert error_line(result) == "quillmark: interrupted"
    assert sample.read_bytes() == SAMPLE
    assert set(os.listdir(sample.parent)) == before


def test_readme_quick_start_runs(tmp_path: Path):
    readme = (EXAMPLES.parent / "README.md").read_text()
    block = re.search(r"## Quick start.*?```sh\n(.*?)\n```", readme, re.S).group(1)
    libraries, install, rest = block.split(" && ", 2)
    assert libraries == "bash tools/gzip-libraries"  # tools/ci/setup.sh runs it
    assert install == "python3 -m pip install ."  # the package is installed already here
    command("--version")  # skips where the tool is not installed
    script = rest.replace("/tmp/", f"{tmp_path}/").replace("python3 ", f"{sys.executable} ")
    result = subprocess.run(
        ["sh", "-c", script], cwd=EXAMPLES.parent, capture_output=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "manifest.out").read_bytes() == STORE


def test_bundled_examples_match_their_generator():
    spec = importlib.util.spec_from_file_location("make_sample", EXAMPLES / "make_sample.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert generator.build() == {"sample.warc": SAMPLE, "manifest.c2pa": STORE}
    records = quillmark.read_records(SAMPLE)
    types = [r["headers"]["warc-type"] for r in records]
    assert types == ["warcinfo", "request", "response", "resource", "metadata"]
    for record in records:
        digest = record["headers"].get("warc-block-digest")
        if digest:
            assert digest == generator.sha1_digest(record["body"])
    assert quillmark.read_manifest(SAMPLE) is None


# --- helpers in-process ----------------------------------------------------------------


def brute_force_failing_offset(data: bytes) -> int:
    """The longest prefix that parses ends where the failing record starts: a cut
    inside that record always fails, and everything before it parses."""
    for end in range(len(data), -1, -1):
        try:
            quillmark.read_records(data[:end])
        except ValueError:
            continue
        return end
    raise AssertionError("the empty prefix always parses")


def failing_record_offset(data: bytes) -> int | None:
    files = pytest.importorskip("quillmark_files")
    try:
        files.check(io.BytesIO(data))
    except files.MalformedArchive as exc:
        assert exc.message == str(pytest.raises(ValueError, quillmark.read_records, data).value)
        return exc.record_offset
    return None


def test_failing_record_offset_agrees_with_brute_force():
    checked = 0
    for seed in range(400):
        data = archive_gen.archive(seed)
        try:
            quillmark.read_records(data)
        except ValueError:
            assert failing_record_offset(data) == brute_force_failing_offset(data), seed
            checked += 1
        else:
            assert failing_record_offset(data) is None
    assert checked > 40  # enough damaged archives among the seeds


def test_failing_record_offset_follows_the_reader_not_str_strip():
    # U+001C is not white space to the parser, so this Content-Length is
    # invalid although str.strip() would accept it.
    data = GOOD + make_record(content_length="4\x1c", body=b"abcd")
    message = str(pytest.raises(ValueError, quillmark.read_records, data).value)
    assert message == invalid("invalid Content-Length")
    assert failing_record_offset(data) == len(GOOD)


def test_atomic_write_interrupted_midway_keeps_the_target(tmp_path: Path):
    output = pytest.importorskip("quillmark_files.archive")
    target = tmp_path / "archive.warc"
    target.write_bytes(b"original")

    def chunks():
        yield b"x" * 100_000
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        output.write_file(str(target), chunks())
    assert target.read_bytes() == b"original"
    assert os.listdir(tmp_path) == ["archive.warc"]
