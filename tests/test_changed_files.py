"""A file that changes while it is read gets no verdict, no listing and no
output, in Python and on the command line; a file replaced in place is
locked, so that changes to it are made one at a time; and a new output's
mode comes from the umask, read without being changed."""

from __future__ import annotations

import contextlib
import fcntl
import gzip
import hashlib
import json
import os
import signal
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

import pytest
from conftest import interruptible, manifest_record, resource_record

qf = pytest.importorskip("quillmark_files")
from quillmark_cli import commands  # noqa: E402
from quillmark_cli.__main__ import main  # noqa: E402
from quillmark_cli.audit import Tally  # noqa: E402
from quillmark_files.archive import _atomic_file, write_file  # noqa: E402
from quillmark_files.crawl import audit_file, changed_while_read  # noqa: E402
from quillmark_files.errors import CHANGED_WHILE_READ  # noqa: E402

CLI = Path(sys.executable).with_name("quillmark")
RECORDS = [resource_record(b"page %d" % n) for n in range(4)]
ORIGINAL = b"".join(gzip.compress(r) for r in RECORDS) + gzip.compress(manifest_record(b"old"))
LATE = gzip.compress(resource_record(b"written while the file was read"))
STORE = b"\x00new store"


def changed(name: object) -> str:
    return f"{name} changed while it was read (is it still being written?); nothing written"


def busy(name: object) -> str:
    return f"{name} is being changed by another process"


def appending(path: Path, data: bytes = LATE):
    """A progress callback that appends ``data`` to ``path`` the first time
    it is called, as a crawler writing the file would, in the middle of a pass."""
    calls = []

    def progress(_done: int, _size: int | None) -> None:
        if not calls:
            with open(path, "ab") as stream:
                stream.write(data)
        calls.append(1)

    return progress


def write_package(path: Path, warc: bytes) -> Path:
    resource = {"path": "archive/a.warc.gz", "hash": "sha256:" + hashlib.sha256(warc).hexdigest()}
    resource["bytes"] = len(warc)
    with zipfile.ZipFile(path, "w") as package:
        package.writestr("archive/a.warc.gz", warc)
        package.writestr("datapackage.json", json.dumps({"resources": [resource]}))
    return path


@pytest.fixture
def crawl(tmp_path: Path) -> Path:
    path = tmp_path / "crawl.warc.gz"
    path.write_bytes(ORIGINAL)
    return path


READS = {
    "check": lambda source, progress, **kw: qf.check(source, progress=progress, **kw),
    "manifest": lambda source, progress, **kw: qf.read_manifest(source, progress=progress, **kw),
    "records": lambda source, progress, **kw: list(
        qf.iter_records(source, progress=progress, **kw)
    ),
}
APPENDS = {
    "in place": lambda source, progress, **kw: qf.append_manifest(
        source, STORE, progress=progress, **kw
    ),
    "to a file": lambda source, progress, **kw: qf.append_manifest(
        source, STORE, source.with_name("out"), progress=progress, **kw
    ),
    "to standard output": lambda source, progress, **kw: qf.append_manifest(
        source, STORE, "-", progress=progress, **kw
    ),
}


@pytest.mark.parametrize("package", [False, True], ids=["file", "package"])
@pytest.mark.parametrize("operation", [*READS, *APPENDS])
def test_a_file_that_grows_during_the_pass_gets_nothing_but_the_error(
    crawl: Path, capfd, operation: str, package: bool
):
    source = crawl
    if package:
        source = write_package(crawl.with_name("crawl.wacz"), ORIGINAL)
        crawl.unlink()
    before = source.read_bytes()
    call = {**READS, **APPENDS}[operation]
    with pytest.raises(qf.FileChanged) as raised:
        call(source, appending(source))
    assert str(raised.value) == changed(source) and raised.value.path == str(source)
    # Left as the writer left it, and nothing beside it, nor on standard output.
    assert source.read_bytes() == before + LATE
    assert os.listdir(source.parent) == [source.name]
    assert capfd.readouterr().out == ""


def test_a_failure_on_a_file_still_being_written_is_told_as_its_change(crawl: Path):
    """A member cut short by a writer not yet done would be "truncated"; once
    the writer completes it, that verdict is the change's."""
    cut = len(ORIGINAL) - 30
    crawl.write_bytes(ORIGINAL[:cut])
    with pytest.raises(qf.CompressionError):
        qf.check(crawl)
    for call in (READS["check"], READS["records"], APPENDS["in place"]):
        crawl.write_bytes(ORIGINAL[:cut])
        with pytest.raises(qf.FileChanged):
            call(crawl, appending(crawl, ORIGINAL[cut:]))
        assert crawl.read_bytes() == ORIGINAL


def test_standard_input_and_streams_are_not_watched(crawl: Path, monkeypatch):
    with open(crawl, "rb") as stream:
        assert qf.check(stream, progress=appending(crawl)).records == 5
    with open(crawl, "rb") as stdin:
        monkeypatch.setattr(sys, "stdin", stdin)
        assert qf.check("-", progress=appending(crawl)).records == 6  # grown by the first


def test_a_file_replaced_while_it_is_changed_in_place_is_kept(crawl: Path):
    """A process that takes no lock renames another file over the path during
    the pass: that file stays, rather than being replaced by the append."""
    other = crawl.with_name("other")
    other.write_bytes(gzip.compress(RECORDS[0]))

    def replace(_done: int, _size: int | None) -> None:
        if other.exists():
            os.replace(other, crawl)

    with pytest.raises(qf.FileChanged):
        qf.append_manifest(crawl, STORE, progress=replace)
    assert crawl.read_bytes() == gzip.compress(RECORDS[0])
    assert os.listdir(crawl.parent) == [crawl.name]


@pytest.mark.parametrize(
    "argv, output",
    [
        (["check", "{path}"], None),
        (["records", "{path}", "--json"], None),
        (["manifest", "{path}", "-o", "{out}"], "{out}"),
        (["append", "{path}", "{store}"], None),
        (["append", "{path}", "{store}", "-o", "{out}"], "{out}"),
        (["append", "{path}", "{store}", "-o", "-"], None),
    ],
)
def test_commands_say_it_in_one_line_and_write_nothing(crawl, capsys, monkeypatch, argv, output):
    store = crawl.with_name("store")
    store.write_bytes(STORE)
    names = {"path": crawl, "store": store, "out": crawl.with_name("out")}

    @contextlib.contextmanager
    def file_progress(_label: str):
        yield appending(crawl)

    monkeypatch.setattr(commands, "file_progress", file_progress)
    assert main([part.format(**names) for part in argv]) == 1
    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("", f"quillmark: {changed(crawl)}\n")
    assert crawl.read_bytes() == ORIGINAL + LATE
    if output is not None:
        assert not Path(output.format(**names)).exists()


def cli(*args: object) -> list[str]:
    if not CLI.exists():
        pytest.skip(f"the quillmark command is not installed next to {sys.executable}")
    return [str(CLI), *map(str, args)]


@contextlib.contextmanager
def locked(path: Path):
    """``path`` locked as a crawler, or another change, locks it."""
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield fd
    finally:
        os.close(fd)


def wait_for_a_waiter(path: Path, timeout: float = 20) -> None:
    """Returns once some process waits for the lock on ``path`` (/proc/locks
    lists it with "->")."""
    inode = f":{os.stat(path).st_ino} "
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/locks") as locks:
            if any("->" in line and inode in line for line in locks):
                return
        time.sleep(0.01)
    raise AssertionError("nothing waits for the lock")


def test_a_locked_file_is_not_changed_in_place_but_may_be_read(crawl: Path):
    store = crawl.with_name("store")
    store.write_bytes(STORE)
    package = write_package(crawl.with_name("crawl.wacz"), ORIGINAL)
    for target in (crawl, package):
        before = target.read_bytes()
        with locked(target):
            done = subprocess.run(cli("append", target, store), capture_output=True, timeout=60)
            assert (done.returncode, done.stdout) == (1, b"")
            assert done.stderr.decode() == f"quillmark: {busy(target)}\n"
            assert target.read_bytes() == before
            with pytest.raises(qf.FileBusy):
                qf.append_manifest(target, STORE)
            # Reading, and writing elsewhere, take no lock.
            out = crawl.with_name("out")
            assert subprocess.run(cli("append", target, store, "-o", out)).returncode == 0
            assert subprocess.run(cli("check", target), capture_output=True).returncode == 0
            out.unlink()


def test_a_waiting_change_starts_over_on_the_file_that_replaced_the_locked_one(crawl: Path):
    store = crawl.with_name("store")
    store.write_bytes(STORE)
    replacement = gzip.compress(RECORDS[3]) + LATE
    crawl.with_name("replacement").write_bytes(replacement)
    with locked(crawl):
        waiting = interruptible(cli("append", crawl, store, "--wait"))
        wait_for_a_waiter(crawl)
        os.replace(crawl.with_name("replacement"), crawl)  # as another change in place would
    out, err = waiting.communicate(timeout=60)
    assert (waiting.returncode, err) == (0, b""), err
    assert b"2 records kept, 0 manifest records removed" in out
    assert crawl.read_bytes().startswith(replacement)
    assert qf.read_manifest(crawl) == STORE


def test_ctrl_c_while_waiting_leaves_the_file(crawl: Path):
    store = crawl.with_name("store")
    store.write_bytes(STORE)
    with locked(crawl):
        waiting = interruptible(cli("append", crawl, store, "--wait"))
        wait_for_a_waiter(crawl)
        waiting.send_signal(signal.SIGINT)
        out, err = waiting.communicate(timeout=60)
    assert (waiting.returncode, out, err) == (130, b"", b"quillmark: interrupted\n")
    assert crawl.read_bytes() == ORIGINAL
    assert sorted(os.listdir(crawl.parent)) == ["crawl.warc.gz", "store"]


def test_a_file_that_changed_is_a_row_of_its_own_state(crawl: Path):
    row = audit_file(str(crawl), progress=appending(crawl))
    assert row["error"] == CHANGED_WHILE_READ and changed_while_read(row)
    assert row["size"] == len(ORIGINAL)
    assert [row[f] for f in ("compression", "records", "manifest_records")] == [None] * 3
    good = audit_file(str(crawl))
    assert good["error"] is None and not changed_while_read(good)
    broken = dict(good, path="broken", error="invalid WARC record: x (record at offset 0)")
    tally = Tally()
    for each in (row, good, broken):
        tally.add(each)
    lines = tally.table()
    counts = [(" ".join(line.split()[:-1]), line.split()[-1]) for line in lines[2:7]]
    assert counts == [
        ("well-formed", "1"),
        ("with a manifest store", "1"),
        ("without", "0"),
        ("changed while read", "1"),
        ("failed", "1"),
    ]
    assert lines[-2:] == [f"changed while read: {crawl}", f"failed: broken: {broken['error']}"]


def test_new_outputs_never_widen_the_mode_of_files_other_threads_create(tmp_path, monkeypatch):
    """Reading the umask by setting it would, for that moment, give the files
    another thread creates mode 0666."""
    (tmp_path / "made").mkdir()
    (tmp_path / "out").mkdir()
    monkeypatch.setattr(os, "fsync", lambda fd: None)  # commits as often as can be
    umask = os.umask
    old_mask, old_interval = umask(0o022), sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads take turns as often as they can
    stop, modes, masks_set = threading.Event(), set(), []
    # The race is narrow (and rarer on a busy machine): each change is seen too.
    monkeypatch.setattr(os, "umask", lambda mask: masks_set.append(mask) or umask(mask))

    def create() -> None:
        name = str(tmp_path / "made" / "file")
        while not stop.is_set():
            fd = os.open(name, os.O_CREAT | os.O_WRONLY, 0o666)
            modes.add(os.fstat(fd).st_mode & 0o777)
            os.close(fd)
            os.unlink(name)

    creator = threading.Thread(target=create)
    creator.start()
    try:
        end = time.monotonic() + (0.5 if os.environ.get("QUILLMARK_QUICK") else 1.5)
        n = 0
        while time.monotonic() < end:
            write_file(str(tmp_path / "out" / str(n)), [b"x"])
            n += 1
    finally:
        stop.set()
        creator.join()
        sys.setswitchinterval(old_interval)
        umask(old_mask)
    assert modes == {0o644} and masks_set == []
    assert {os.stat(p).st_mode & 0o777 for p in (tmp_path / "out").iterdir()} == {0o644}


@pytest.mark.parametrize("status", ["Name:\tpython\nUmask:\t{mask:04o}\n", "Name:\tpython\n", None])
def test_the_umask_is_read_from_the_status_or_else_by_setting_it(tmp_path, monkeypatch, status):
    path = tmp_path / "status"
    monkeypatch.setattr(_atomic_file, "_STATUS", str(path))
    old = os.umask(0)
    try:
        for mask in (0o022, 0o077, 0o002, 0):
            os.umask(mask)
            if status is not None:
                path.write_text(status.format(mask=mask))
            assert _atomic_file._current_umask() == mask
    finally:
        os.umask(old)
