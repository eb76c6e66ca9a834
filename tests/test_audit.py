"""`quillmark audit` and the Spark job, on a generated crawl of good and bad
files: their rows agree with a model built on the module and with what
`quillmark check` says, in every report format, and with each other."""

from __future__ import annotations

import gzip
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import zlib
from pathlib import Path

import archive_gen
import pytest
import quillmark
from conftest import interruptible, make_record, manifest_record, resource_record
from quillmark_files.crawl import (
    FAILED_UNEXPECTEDLY,
    FIELD_NAMES,
    Target,
    audit_all,
    audit_file,
    find_archives,
    read_report,
)
from test_cli import command, run, run_on_terminal

STORE = b"\x00store\xff" * 50


def per_record_gzip(data: bytes) -> bytes:
    return b"".join(
        gzip.compress(data[r["offset"] : r["offset"] + r["length"]])
        for r in quillmark.read_records(data)
    )


GOOD = resource_record(b"a" * 3000) + resource_record(b"b") + manifest_record(STORE)
CRAWL = {
    "good.warc": GOOD,
    "sub/deeper/per-record.warc.gz": per_record_gzip(GOOD),
    "sub/one-member.warc.gz": gzip.compress(GOOD),
    "sub/plain-named-gz.warc.gz": GOOD,
    "two-manifests.warc": manifest_record(b"old") + resource_record() + manifest_record(STORE),
    "no-manifest.WARC": resource_record() * 3,
    "empty.warc": b"",
    "truncated.warc.gz": per_record_gzip(GOOD)[:-9],
    "corrupt-deflate.warc.gz": (lambda z: z[:30] + bytes([z[30] ^ 0xFF]) + z[31:])(
        gzip.compress(GOOD * 3, 9)
    ),
    "trailing-garbage.warc.gz": gzip.compress(GOOD) + b"garbage",
    "body-past-the-end.warc": GOOD + make_record(("WARC-Type", "resource"), content_length="99"),
    "no-content-length.warc": GOOD + make_record(("WARC-Type", "x"), content_length=None),
    "ignored.txt": GOOD,
    **{f"random/{seed}.warc": archive_gen.archive(seed) for seed in range(12)},
    **{
        f"random/{seed}.warc.gz": gzip.compress(archive_gen.archive(seed)) for seed in range(12, 18)
    },
}


def inflate(data: bytes) -> tuple[bytes, list[int]] | None:
    """The content of gzip data and where each member's content starts; None
    when it is damaged."""
    content, starts = b"", []
    while data:
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        try:
            piece = inflater.decompress(data) + inflater.flush()
        except zlib.error:
            return None
        if not inflater.eof:
            return None
        starts.append(len(content))
        content += piece
        data = inflater.unused_data
    return content, starts


def model_row(path: str, data: bytes, check_errors: dict[str, str]) -> dict:
    """The row a file must get, worked out from the module alone; the error
    text is the one `quillmark check` prints for it."""
    row = dict.fromkeys(FIELD_NAMES)
    row.update(path=path, size=len(data))
    gzipped = data[:2] == b"\x1f\x8b"
    inflated = inflate(data) if gzipped else (data, [])
    try:
        if inflated is None:
            raise ValueError("damaged gzip")
        records = quillmark.read_records(inflated[0])
    except ValueError as exc:
        row["compression"] = None if gzipped else "none"
        row["error"] = check_errors[path]
        assert inflated is None or check_errors[path].startswith(str(exc))
        return row
    content, starts = inflated
    offsets = [record["offset"] for record in records]
    layout = "gzip-per-record" if records and starts == offsets else "gzip"
    manifest = quillmark.read_manifest(content)
    row.update(
        compression=layout if gzipped else "none",
        records=len(records),
        manifest_records=sum(
            r["headers"].get("warc-type") == "c2paprovenance"
            and r["headers"].get("content-type") == "application/c2pa"
            for r in records
        ),
        manifest_size=None if manifest is None else len(manifest),
        manifest_sha256=None if manifest is None else hashlib.sha256(manifest).hexdigest(),
    )
    return row


@pytest.fixture(scope="module")
def crawl(tmp_path_factory) -> tuple[Path, list[dict]]:
    """The crawl folder and the model's rows of every archive in it."""
    top = tmp_path_factory.mktemp("crawl")
    for name, data in CRAWL.items():
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_bytes(data)
    (top / "gone.warc.gz").symlink_to(top / "nowhere")
    os.mkfifo(top / "sub" / "fifo.warc")  # would block a worker: not an archive to audit
    archives = sorted(str(top / n) for n in CRAWL if not n.endswith(".txt"))
    checked = run("check", *archives)
    errors = {}
    for line in checked.stderr.decode().splitlines():
        path, _, message = line.removeprefix("quillmark: ").partition(": ")
        errors[path] = message
    rows = [model_row(path, Path(path).read_bytes(), errors) for path in archives]
    gone = dict.fromkeys(FIELD_NAMES)
    rows.append({**gone, "path": str(top / "gone.warc.gz"), "error": "No such file or directory"})
    assert len(errors) > 8 and sum(row["error"] is None for row in rows) > 8
    return top, sorted(rows, key=lambda row: row["path"])


def audited(*args, stdin: bytes = b"") -> tuple[subprocess.CompletedProcess, list[dict]]:
    result = run("audit", *args, stdin=stdin)
    assert "Traceback" not in result.stderr.decode()
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    for row in rows:
        assert tuple(row) == FIELD_NAMES
    return result, sorted(rows, key=lambda row: row["path"])


def test_rows_agree_with_the_module_and_check(crawl):
    top, expected = crawl
    result, rows = audited(top, "--jobs", "2")
    assert result.returncode == 1 and result.stderr == b""
    assert rows == expected
    assert [audit_file(row["path"]) for row in expected] == expected
    # Through standard input, a folder is walked too; files given are taken whatever their name.
    listing = f"{top / 'sub'}\n{top / 'ignored.txt'}\n".encode()
    result, rows = audited("-", "--jobs", "1", stdin=listing)
    assert [row["path"] for row in rows] == sorted(
        [str(top / "ignored.txt")] + [str(top / n) for n in CRAWL if n.startswith("sub/")]
    )


def test_on_a_terminal_a_summary_table_and_a_progress_bar(crawl):
    # Off a terminal, the test above sees rows alone and nothing on stderr.
    pytest.importorskip(
        "tqdm", reason="tqdm is not installed (pip install -r requirements-test.txt)"
    )
    top, expected = crawl
    status, text = run_on_terminal("audit", top, "--jobs", "2")
    assert status == 1 and "Traceback" not in text
    failed = [row for row in expected if row["error"] is not None]
    with_store = sum(row["error"] is None and row["manifest_size"] is not None for row in expected)
    table = {}
    for line in text.splitlines():
        name, _, count = line.rpartition("  ")
        if name.strip() in ("files", "well-formed", "with a manifest store", "without", "failed"):
            table[name.strip()] = int(count.replace(",", ""))
    assert table == {
        "files": len(expected),
        "well-formed": len(expected) - len(failed),
        "with a manifest store": with_store,
        "without": len(expected) - len(failed) - with_store,
        "failed": len(failed),
    }
    assert f"{len(expected)}/{len(expected)} files" in text  # the bar's last state
    assert not any(line.startswith("{") for line in text.splitlines())  # no rows


@pytest.mark.parametrize("format", ["jsonl", "csv", "parquet"])
def test_report_formats_read_back_the_same(crawl, tmp_path, format):
    if format == "parquet":
        pytest.importorskip("pyarrow", reason="pyarrow is not installed")
    top, expected = crawl
    out = tmp_path / f"report.{format}"
    assert run("audit", top, "-o", out).returncode == 1
    assert sorted(read_report(str(out)), key=lambda row: row["path"]) == expected
    if format == "csv":  # null is an empty cell
        header, *lines = out.read_text().splitlines()
        assert header == ",".join(FIELD_NAMES)
        [line] = [line for line in lines if line.startswith(f"{top / 'empty.warc'},")]
        assert line == f"{top / 'empty.warc'},0,none,0,,0,,"


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["good.warc", "two-manifests.warc"], 0, ""),
        (["empty.warc", "truncated.warc.gz"], 1, ""),
        (["ignored.txt/.."], 1, ""),  # not a folder: a row with its error
        (["random/0.warc", "--jobs", "0"], 2, "expected a whole number of at least 1"),
        (["nothing-here"], 1, ""),
    ],
)
def test_exit_status(crawl, tmp_path, args, status, message):
    top, _ = crawl
    (top / "nothing-here").mkdir(exist_ok=True)
    result = run(
        "audit", *[top / a if not a.startswith("-") and a[0].isalpha() else a for a in args]
    )
    assert result.returncode == status, result.stderr
    if message:
        assert message in result.stderr.decode()
    if args[0] == "nothing-here":
        assert result.stderr == b"quillmark: no archive files (.warc, .warc.gz) found\n"


@pytest.mark.parametrize("output", ["-", "report.csv"])
def test_interrupt_stops_the_workers_and_keeps_finished_rows(crawl, tmp_path, output):
    top, expected = crawl
    done = [row for row in expected if row["path"].endswith("/good.warc")] + expected[:3]
    fifo = tmp_path / "blocks.warc"
    os.mkfifo(fifo)
    args = ["audit", "--jobs", "1", "-o", tmp_path / output, *[r["path"] for r in done], fifo]
    if output == "-":
        args[3:5] = []
    proc = interruptible(command(*args))
    # One worker takes the files in order: the FIFO opens once the others are done.
    writer = os.open(fifo, os.O_WRONLY)
    try:
        if output == "-":
            lines = [proc.stdout.readline() for _ in done]
        else:
            time.sleep(1)  # for the last rows to reach the main process
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=60)
        with pytest.raises(BrokenPipeError):  # the worker reading the FIFO is gone
            os.write(writer, b"WARC/1.1")
    finally:
        os.close(writer)
    assert proc.returncode == 130
    total = len(done) + 1
    assert stderr.decode() == f"quillmark: interrupted; {len(done)} of {total} files done\n"
    if output == "-":
        assert stdout == b""
        rows = [json.loads(line) for line in lines]
    else:
        rows = read_report(str(tmp_path / output))
    assert sorted(rows, key=lambda row: row["path"]) == sorted(done, key=lambda row: row["path"])


def fails_on_one_file(path: str, **options) -> dict:
    """Audits as usual, but fails unexpectedly for one file."""
    if path.endswith("crash.warc"):
        raise RuntimeError("a fault of the tool")
    return audit_file(path, **options)


def test_an_audit_that_fails_unexpectedly_costs_only_its_own_file(crawl):
    top, expected = crawl
    files = [row["path"] for row in expected[:6]]
    targets = list(find_archives([*files[:3], str(top / "crash.warc"), *files[3:]]))
    rows: list[dict] = []
    assert audit_all(targets, rows.append, jobs=2, function=fails_on_one_file) is None
    crash = dict.fromkeys(FIELD_NAMES)
    crash.update(
        path=str(top / "crash.warc"),
        error=f"{FAILED_UNEXPECTEDLY}: RuntimeError('a fault of the tool')",
    )
    assert sorted(rows, key=lambda row: row["path"]) == sorted(
        [*expected[:6], crash], key=lambda row: row["path"]
    )


@pytest.mark.parametrize(
    "sizes, jobs, expected",
    [
        ([100] * 12, 2, [1] * 11),  # many files: one thread each (the last may get more)
        ([100], 4, [4]),  # one file: every core
        ([100, 100], 4, [2, 2]),  # fewer files than cores: shared out
        ([1000] + [10] * 6, 4, [4]),  # a file much larger than the rest
    ],
)
def test_cores_are_shared_between_files_and_threads(tmp_path, sizes, jobs, expected):
    given: dict[str, int] = {}

    def record_threads(path: str, **options) -> dict:
        given[path] = options["threads"]
        time.sleep(0.1)  # files overlap, as real ones do
        row = dict.fromkeys(FIELD_NAMES)
        row["path"] = path
        return row

    targets = [Target(str(tmp_path / f"{n:02}.warc"), size) for n, size in enumerate(sizes)]
    rows: list[dict] = []
    assert audit_all(targets, rows.append, jobs=jobs, function=record_threads) is None
    assert sorted(row["path"] for row in rows) == [t.path for t in targets]
    threads = [given[t.path] for t in targets]
    assert threads[: len(expected)] == expected
    assert all(1 <= n <= jobs for n in threads)


# --- the Spark job -------------------------------------------------------------------


@pytest.fixture(scope="module")
def spark_env():
    pytest.importorskip(
        "pyspark", reason="pyspark is not installed (pip install -r requirements-test-main.txt)"
    )
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip(
            "Java is not installed: Spark needs it (apt-get install openjdk-17-jre-headless)"
        )
    env = dict(os.environ)
    # Executors run this interpreter; Spark binds to the loopback address only.
    env.update(PYSPARK_PYTHON=sys.executable, PYSPARK_DRIVER_PYTHON=sys.executable)
    env.update(SPARK_LOCAL_IP="127.0.0.1")
    return env


def test_spark_job_gives_the_local_rows(crawl, tmp_path, spark_env):
    top, expected = crawl
    import quillmark_files.crawl.spark_audit as job

    listing = tmp_path / "paths.txt"
    listing.write_text(f"{top / 'good.warc'}\n{top / 'missing.warc'}\n")
    submit = Path(sys.executable).with_name("spark-submit")
    out = tmp_path / "rows"
    args = [submit, "--master", "local[2]", "--conf", "spark.ui.enabled=false", job.__file__]
    args += ["--format", "parquet", "--output", out, top / "random", f"{top}/sub/**/*.gz", listing]
    result = subprocess.run(list(map(str, args)), capture_output=True, env=spark_env, timeout=300)
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    picked = [row for row in expected if "/random/" in row["path"] or "/sub/" in row["path"]] + [
        row for row in expected if row["path"].endswith("/good.warc")
    ]
    missing = dict.fromkeys(FIELD_NAMES)
    missing.update(path=str(top / "missing.warc"), error="No such file or directory")
    want = sorted([*picked, missing], key=lambda row: row["path"])
    assert sorted(read_report(str(out)), key=lambda row: row["path"]) == want
    failed = sum(row["error"] is not None for row in want)
    assert f"{len(want)} files audited, {failed} failed".encode() in result.stdout


def test_a_reader_that_goes_away_ends_the_audit_cleanly(tmp_path):
    """When the pipe the rows go to closes, passes still running on worker
    threads end before the interpreter does: a thread still inside a pass
    at exit would abort the process ("terminate called ...", status 134)."""
    record = resource_record(os.urandom(1 << 16))
    member = gzip.compress(record, 1)
    for n in range(12):
        (tmp_path / f"{n:02}.warc.gz").write_bytes(member * 200)
    # Each round races the reader's going against the audit's end: an audit
    # that wrote all its rows into the pipe first ends well (status 0).
    for _ in range(8):
        proc = subprocess.Popen(
            command("audit", "--jobs", "2", tmp_path),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        assert proc.stdout is not None and proc.stderr is not None
        proc.stdout.read(1)
        proc.stdout.close()
        stderr = proc.stderr.read()
        assert (proc.wait(timeout=60) in (0, 141), stderr) == (True, b"")
