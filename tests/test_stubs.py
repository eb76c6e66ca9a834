"""Type checkers find the stubs of the installed wheel and hold callers to them.

mypy runs in strict mode against a clean virtual environment that has only the
wheel installed, never against the source tree: a correct program checks clean,
and every misuse in the second program is reported on its own line with the
expected error code.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
import wheel_build
from wheel_build import run

pytest.importorskip("mypy", reason="mypy is not installed in the test environment")

# The checks below build the wheel and install it into fresh environments.
needs_the_wheel = wheel_build.wheel_marks("stub")

# Uses every function and attribute as documented; also run for real.
CORRECT_USE = """
from typing import TYPE_CHECKING, Dict, List, Optional

import quillmark

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    def assert_type(value, _type):
        return value

warc = quillmark.build_record("resource", "text/plain", "urn:uuid:1", b"hello")
warc += quillmark.build_record("resource", "text/plain", "urn:uuid:2", b"", None)
warc += quillmark.build_record(
    warc_type="metadata", content_type="x", record_id="urn:3", body=b"", target_uri="http://a/"
)
assert_type(warc, bytes)
out = quillmark.append_manifest(warc, manifest=b"store", record_id="urn:uuid:m")
assert_type(out, bytes)
manifest = quillmark.read_manifest(out)
assert_type(manifest, Optional[bytes])
if manifest is not None:
    size: int = len(manifest)
records = quillmark.read_records(warc=out)
for record in records:
    assert_type(record["headers"], Dict[str, str])
    assert_type(record["body"], bytes)
    assert_type(record["offset"], int)
    assert_type(record["length"], int)
    warc_type = record["headers"].get("warc-type")
    assert_type(warc_type, Optional[str])
version: str = quillmark.__version__
names: List[str] = quillmark.__all__
print(len(records), manifest, version)
"""

# Each line marked "# error: CODE" must draw exactly that error, and no other
# line any error.
MISUSE = """
import quillmark

quillmark.read_records("text")  # error: arg-type
quillmark.read_manifest(None)  # error: arg-type
quillmark.build_record("resource", "text/plain", "urn:1", "body")  # error: arg-type
quillmark.build_record("resource", "text/plain", "urn:1", b"", target_uri=1)  # error: arg-type
quillmark.build_record(b"resource", "text/plain", "urn:1", b"")  # error: arg-type
quillmark.append_manifest(b"", b"")  # error: call-arg
quillmark.read_records(b"", b"")  # error: call-arg
quillmark.read_records(data=b"")  # error: call-arg
store: bytes = quillmark.read_manifest(b"")  # error: assignment
record = quillmark.read_records(b"")[0]
record["offset"] + "1"  # error: operator
record["status"]  # error: typeddict-item
text: str = record["body"]  # error: assignment
quillmark.read_warc(b"")  # error: attr-defined
"""

# The package for files, as documented: also typed, also run for real.
FILES_CORRECT_USE = """
import io
from typing import Iterator, Optional

import quillmark
import quillmark_files
from quillmark_files import AppendResult, FileRecord, Summary

warc = quillmark.build_record("resource", "text/plain", "urn:1", b"hello")
summary: Summary = quillmark_files.check(io.BytesIO(warc))
count: int = summary.records
size: Optional[int] = summary.manifest_size
digest: Optional[str] = summary.manifest_sha256
store: Optional[bytes] = quillmark_files.read_manifest(io.BytesIO(warc), inflater="zlib")
records: Iterator[FileRecord] = quillmark_files.iter_records(io.BytesIO(warc), bodies=True)
for record in records:
    body: Optional[bytes] = record.body
    start: Optional[int] = record.gzip_offset
    kind: Optional[str] = record.headers.get("warc-type")
result: AppendResult = quillmark_files.append_manifest(
    io.BytesIO(warc), b"store", "/dev/null", record_id="urn:m"
)
try:
    quillmark_files.check(io.BytesIO(b"x"))
except quillmark_files.MalformedArchive as error:
    where: Optional[int] = error.record_offset
    print(error.located())
print(count, store, result.records_kept)
"""

FILES_MISUSE = """
import quillmark_files

quillmark_files.check(42)  # error: arg-type
quillmark_files.append_manifest("a.warc", "store")  # error: arg-type
quillmark_files.iter_records("a.warc", bodies="yes")  # error: arg-type
count: str = quillmark_files.check("a.warc").records  # error: assignment
quillmark_files.check("a.warc").record_count  # error: attr-defined
"""

ERROR_LINE = re.compile(r"^example\.py:(\d+): error: .*\[([a-z-]+)\]$", re.M)


def expected_errors(source: str) -> set[tuple[int, str]]:
    return {
        (number, match[1])
        for number, line in enumerate(source.splitlines(), 1)
        if (match := re.search(r"# error: ([a-z-]+)$", line))
    }


def mypy(source: str, venv_python: Path, where: Path) -> tuple[int, str]:
    """mypy --strict on `source`, resolving imports in `venv_python`'s environment."""
    where.mkdir(exist_ok=True)
    (where / "example.py").write_text(source)
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--show-error-codes",
            "--cache-dir",
            str(where / ".mypy_cache"),
            "--python-executable",
            str(venv_python),
            "example.py",
        ],
        cwd=where,
        capture_output=True,
        text=True,
        timeout=300,
        env={k: v for k, v in os.environ.items() if k != "MYPYPATH"},
    )
    return result.returncode, result.stdout + result.stderr


def apply(marks):
    def decorate(function):
        for mark in reversed(marks):
            function = mark(function)
        return function

    return decorate


@pytest.fixture(scope="module")
def wheel_venv(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("stubs")
    python = wheel_build.make_venv(sys.executable, root / "venv")
    wheel_build.install_wheel(python, wheel_build.built_wheel())
    return python


@apply(needs_the_wheel)
def test_correct_use_checks_clean_and_runs(wheel_venv, tmp_path):
    status, output = mypy(CORRECT_USE, wheel_venv, tmp_path)
    assert status == 0, output
    assert "Success: no issues found in 1 source file" in output
    printed = run(wheel_venv, tmp_path / "example.py", cwd=tmp_path)
    assert printed.split() == ["4", "b'store'", wheel_build.package_version()]


@apply(needs_the_wheel)
def test_every_misuse_is_reported(wheel_venv, tmp_path):
    status, output = mypy(MISUSE, wheel_venv, tmp_path)
    assert status == 1, output
    found = {(int(number), code) for number, code in ERROR_LINE.findall(output)}
    assert found == expected_errors(MISUSE), output


@apply(needs_the_wheel)
def test_the_files_package_is_typed_too(wheel_venv, tmp_path):
    status, output = mypy(FILES_CORRECT_USE, wheel_venv, tmp_path / "correct")
    assert status == 0, output
    printed = run(wheel_venv, tmp_path / "correct" / "example.py", cwd=tmp_path)
    assert printed.split()[-3:] == ["1", "None", "1"]
    status, output = mypy(FILES_MISUSE, wheel_venv, tmp_path / "misuse")
    assert status == 1, output
    found = {(int(number), code) for number, code in ERROR_LINE.findall(output)}
    assert found == expected_errors(FILES_MISUSE), output


@apply(needs_the_wheel)
def test_without_the_wheel_the_module_is_unknown(tmp_path):
    # The control: the same check in an environment without the wheel fails
    # to resolve the import, so the stubs above came from the installed wheel.
    bare = wheel_build.make_venv(sys.executable, tmp_path / "bare", with_pip=False)
    status, output = mypy(CORRECT_USE, bare, tmp_path / "check")
    assert status == 1
    assert '"quillmark"  [import-not-found]' in output, output


def test_stubs_match_the_installed_module(tmp_path):
    # stubtest imports the module this interpreter has installed and compares
    # every name, parameter and default with the stubs installed beside it.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quillmark"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout
