"""Commands racing a writer, and each other, lose nothing: a writer process
appends gzip members at random moments while ``append`` runs, in place and
with ``-o``; two appends in place run at once. Every round ends with either
a one-line refusal and the file as the writer left it, or a success whose
output holds every record it should."""

from __future__ import annotations

import gzip
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest
import quillmark
from conftest import manifest_record

qf = pytest.importorskip("quillmark_files")

CLI = Path(sys.executable).with_name("quillmark")
ROUNDS = 4 if os.environ.get("QUILLMARK_QUICK") else 10
OLD_STORE, STORE = b"old store", b"\x00new store"
CHANGED = "changed while it was read (is it still being written?); nothing written"
BUSY = "is being changed by another process"

# A crawler appending one gzip member per record. With "lock" it opens the
# file for each record and, after checking that the path still names the file
# it locked, holds an exclusive flock while it writes the record in two
# pieces a moment apart; without, it keeps one descriptor open, takes no lock
# and writes each member at once (a reader between two pieces would rightly
# find the file truncated). It prints "ready" once started, then each
# record's number and the monotonic time once the record is written.
WRITER = """
import fcntl, gzip, os, random, sys, time
import quillmark
path, count, gap, seed, locking = sys.argv[1:]
rng = random.Random(int(seed))
held = None if locking == "lock" else os.open(path, os.O_WRONLY | os.O_APPEND)
print("ready", flush=True)
for n in range(int(count)):
    time.sleep(rng.expovariate(1 / float(gap)))
    body = rng.randbytes(rng.randrange(100, 4000))
    record = quillmark.build_record("response", "text/html", f"urn:uuid:w{n}", body)
    member = gzip.compress(record, compresslevel=1)
    fd = held
    while fd is None:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        fcntl.flock(fd, fcntl.LOCK_EX)
        there, opened = os.stat(path), os.fstat(fd)
        if (there.st_dev, there.st_ino) != (opened.st_dev, opened.st_ino):
            os.close(fd)
            fd = None
    if held is None:  # a record written in two pieces, a while apart, under the lock
        os.write(fd, member[: len(member) // 2])
        time.sleep(rng.uniform(0, float(gap) / 2))
        member = member[len(member) // 2 :]
    os.write(fd, member)
    if held is None:
        os.close(fd)
    print(n, time.monotonic(), flush=True)
"""


def cli(*args: object) -> list[str]:
    if not CLI.exists():
        pytest.skip(f"the quillmark command is not installed next to {sys.executable}")
    return [str(CLI), *map(str, args)]


@pytest.fixture(scope="module")
def crawl_bytes() -> bytes:
    """About 4 MiB of records, one member each, signed once already."""
    rng = random.Random(25)
    members = [
        gzip.compress(
            quillmark.build_record("response", "text/html", f"urn:uuid:c{n}", rng.randbytes(4000)),
            compresslevel=1,
        )
        for n in range(1000)
    ]
    return b"".join(members) + gzip.compress(manifest_record(OLD_STORE))


def ids(path: Path) -> tuple[list[str], int]:
    """The record ids of the records that are not manifest records, and how
    many manifest records there are."""
    kept, manifests = [], 0
    for record in qf.iter_records(path):
        if record.is_manifest:
            manifests += 1
        else:
            kept.append(record.headers["warc-record-id"])
    return kept, manifests


@pytest.mark.parametrize("in_place", [True, False], ids=["in place", "to a file"])
def test_an_append_racing_a_writer_loses_no_record(tmp_path: Path, crawl_bytes: bytes, in_place):
    path, out, store = tmp_path / "crawl.warc.gz", tmp_path / "out.warc.gz", tmp_path / "store"
    store.write_bytes(STORE)
    path.write_bytes(crawl_bytes)
    original, _ = ids(path)
    rng = random.Random(f"races {in_place}")
    outcomes = []
    for round in range(ROUNDS):
        path.write_bytes(crawl_bytes)
        out.unlink(missing_ok=True)
        gap = rng.choice([0.002, 0.02, 0.1])
        count = max(5, int(0.5 / gap))
        writer = subprocess.Popen(
            [sys.executable, "-c", WRITER, path, str(count), str(gap), str(round)]
            + ["lock" if in_place else "free"],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert writer.stdout is not None and writer.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0, 0.5))
        wait = ["--wait"] if rng.random() < 0.3 else []
        argv = (
            cli("append", path, store, *wait) if in_place else cli("append", path, store, "-o", out)
        )
        started = time.monotonic()
        done = subprocess.run(argv, capture_output=True, text=True, timeout=120)
        written_out, _ = writer.communicate(timeout=120)
        assert writer.returncode == 0
        times = [float(line.split()[1]) for line in written_out.splitlines()]
        assert len(times) == count
        written = [f"<urn:uuid:w{n}>" for n in range(count)]
        every = original + written
        final, manifests = ids(path)
        if done.returncode != 0:
            outcomes.append("refused")
            reasons = {f"quillmark: {path} {CHANGED}\n"}
            if in_place and not wait:
                reasons.add(f"quillmark: {path} {BUSY}\n")
            assert (done.returncode, done.stdout, done.stderr in reasons) == (1, "", True), done
            # As the writer left it: untouched by the command, every record there.
            assert (final, manifests) == (every, 1)
            assert qf.read_manifest(path) == OLD_STORE
            assert sorted(os.listdir(tmp_path)) == ["crawl.warc.gz", "store"]
            continue
        outcomes.append("appended")
        assert done.stderr == ""
        if in_place:
            # The writer waited for the lock, then wrote to the new file.
            assert (final, manifests) == (every, 1)
            assert qf.read_manifest(path) == STORE
        else:
            # The input as it stood at some moment after the command started.
            assert (final, manifests) == (every, 1)
            kept, manifests = ids(out)
            assert manifests == 1 and qf.read_manifest(out) == STORE
            before_start = sum(1 for t in times if t < started)
            assert kept == every[: len(kept)] and len(kept) >= len(original) + before_start
        left = ["crawl.warc.gz", "store"] if in_place else ["crawl.warc.gz", out.name, "store"]
        assert sorted(os.listdir(tmp_path)) == left
    assert "appended" in outcomes, outcomes


REMOVED = re.compile(r"records kept, (\d+) manifest records? removed")


@pytest.mark.parametrize("wait", [False, True], ids=["at once", "waiting"])
def test_two_appends_in_place_never_both_succeed_with_one_store_lost(
    tmp_path: Path, crawl_bytes: bytes, wait: bool
):
    path = tmp_path / "crawl.warc.gz"
    unsigned = crawl_bytes[: crawl_bytes.rindex(b"\x1f\x8b")]  # no manifest record yet
    path.write_bytes(unsigned)
    original, _ = ids(path)
    stores = [b"store A", b"store B"]
    for n, data in enumerate(stores):
        (tmp_path / str(n)).write_bytes(data)
    extra = ["--wait"] if wait else []
    for _ in range(ROUNDS * 2):
        path.write_bytes(unsigned)
        commands = [
            subprocess.Popen(
                cli("append", path, tmp_path / str(n), *extra),
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for n in range(2)
        ]
        results = [command.communicate(timeout=120) for command in commands]
        succeeded = []  # (manifest records removed, the store embedded)
        for n, (command, (out, err)) in enumerate(zip(commands, results)):
            if command.returncode == 0:
                removed = REMOVED.search(out)
                assert err == "" and removed, (out, err)
                succeeded.append((int(removed.group(1)), stores[n]))
            else:
                assert not wait and (command.returncode, out) == (1, "")
                assert err == f"quillmark: {path} {BUSY}\n"
        # One at a time: the second read the first's output and replaced its
        # store, as its line says; so the file holds the store of the one that
        # ended last.
        assert succeeded and sorted(removed for removed, _ in succeeded) == [0, 1][: len(succeeded)]
        assert ids(path) == (original, 1)
        assert qf.read_manifest(path) == max(succeeded)[1]
        assert len(succeeded) == 2 or not wait
        assert sorted(os.listdir(tmp_path)) == ["0", "1", "crawl.warc.gz"]
