"""The WARCs of a WACZ package are audited and checked from the package opened
once: each gives the row, or the line, that the same WARC gives as a file of
its own, named PACKAGE#archive/NAME; a package that cannot be read is one row
or line with why. Which modules a command loads at its start is pinned too."""

from __future__ import annotations

import gzip
import hashlib
import json
import random
import subprocess
import sys
import zipfile
from pathlib import Path

import archive_gen
import pytest
import quillmark_files
from conftest import manifest_record, resource_record
from quillmark_cli.__main__ import main
from quillmark_files.crawl import Target, audit_all, audit_file, find_archives, spark_audit
from quillmark_files.package import _package

GOOD = resource_record(b"page") + manifest_record(b"\x00store")


def warc_contents(rng: random.Random) -> dict[str, bytes]:
    """Up to four WARCs, good and broken, plain and gzip."""
    warcs = {}
    for n in range(rng.randint(1, 4)):
        data = rng.choice([GOOD, b""]) + archive_gen.archive(rng.randrange(400))
        if rng.random() < 0.5:
            data = gzip.compress(data)[: rng.choice([None, -5])]
        warcs[f"archive/{n}.warc" + (".gz" if data[:2] == b"\x1f\x8b" else "")] = data
    return warcs


def write_package(path: Path, warcs: dict[str, bytes]) -> Path:
    resources = [
        {"path": name, "hash": "sha256:" + hashlib.sha256(data).hexdigest(), "bytes": len(data)}
        for name, data in warcs.items()
    ]
    with zipfile.ZipFile(path, "w") as z:
        for name, data in warcs.items():
            z.writestr(name, data)
        z.writestr("datapackage.json", json.dumps({"resources": resources}))
    return path


@pytest.fixture
def opens(monkeypatch) -> list[int]:
    """The ZIP directories read, one per package opened."""
    read, count = _package.read_directory, []
    monkeypatch.setattr(_package, "read_directory", lambda fd: count.append(fd) or read(fd))
    return count


@pytest.mark.parametrize("seed", range(20))
def test_each_warc_of_a_package_reads_as_the_same_warc_as_a_file(tmp_path, capsys, opens, seed):
    folder = tmp_path
    warcs = warc_contents(random.Random(seed))
    package = write_package(folder / "crawl.wacz", warcs)
    as_files = {}
    for name, content in warcs.items():
        (folder / name.replace("/", "-")).write_bytes(content)
        as_files[name] = str(folder / name.replace("/", "-"))

    def named(text: str) -> str:
        for name, path in as_files.items():
            text = text.replace(path, f"{package}#{name}")
        return text

    expected = [json.loads(named(json.dumps(audit_file(path)))) for path in as_files.values()]
    rows: list[dict] = []
    assert audit_all(find_archives([str(folder)]), rows.append, jobs=2) is None
    assert sorted((r for r in rows if "#" in r["path"]), key=lambda r: r["path"]) == expected
    assert len(opens) == 1
    capsys.readouterr()
    status = main(["check", *as_files.values()])
    by_files = capsys.readouterr()
    assert main(["check", str(package)]) == status
    assert capsys.readouterr() == (named(by_files.out), named(by_files.err))
    assert len(opens) == 2


@pytest.mark.parametrize("damage", ["truncated", "unlisted"])
def test_a_package_that_cannot_be_read_is_one_row_and_one_line(tmp_path, capsys, opens, damage):
    package = write_package(tmp_path / "crawl.wacz", {"archive/a.warc": GOOD})
    if damage == "truncated":
        package.write_bytes(package.read_bytes()[:-30])
    else:
        with zipfile.ZipFile(package, "a") as z:
            z.writestr("archive/b.warc", GOOD)
    with pytest.raises(quillmark_files.PackageError) as raised:
        quillmark_files.check(package, warc="a.warc")
    rows: list[dict] = []
    audit_all(find_archives([str(tmp_path)]), rows.append, jobs=1)
    assert [(row["path"], row["error"]) for row in rows] == [(str(package), raised.value.message)]
    assert main(["check", str(package)]) == 1
    assert capsys.readouterr().err == f"quillmark: {package}: {raised.value.message}\n"
    assert len(opens) == 3


def test_a_package_named_by_a_file_uri_is_audited(tmp_path):
    package = write_package(tmp_path / "crawl.bin", {"archive/a.warc": GOOD})  # a ZIP by content
    (tmp_path / "a.warc").write_bytes(GOOD)
    row = audit_file(str(tmp_path / "a.warc"))
    for given in (f"file://{package}", f"file:{package}"):
        rows: list[dict] = []
        audit_all(find_archives([given]), rows.append, jobs=1)
        assert rows == [{**row, "path": f"{given}#archive/a.warc"}]


def test_packages_count_as_one_file_each_once_their_rows_are_passed_on(tmp_path):
    write_package(tmp_path / "two.wacz", {"archive/a.warc": GOOD, "archive/b.warc": GOOD})
    (tmp_path / "c.warc").write_bytes(GOOD)
    seen: list = []  # the paths of rows, and targets when done, in order
    targets = list(find_archives([str(tmp_path)]))
    assert [t.package for t in targets] == [False, True]
    audit_all(targets, lambda row: seen.append(row["path"]), jobs=2, on_done=seen.append)
    assert len(seen) == 5
    for target, rows in zip(targets, (1, 2)):
        at = [n for n, item in enumerate(seen) if str(item).split("#")[0] == target.path]
        assert seen.count(target) == 1 and len(at) == rows and max(at) < seen.index(target)


def test_the_spark_job_takes_a_package_for_a_package_not_for_a_list(tmp_path):
    package = write_package(tmp_path / "crawl.zip", {"archive/a.warc": GOOD})
    (tmp_path / "paths.txt").write_text(f"{package}\n")
    assert spark_audit.list_targets([str(package)]) == [
        Target(str(package), package.stat().st_size, package=True)
    ]
    assert spark_audit.list_targets([str(tmp_path / "paths.txt")]) == [
        Target(str(package), package.stat().st_size, package=True)
    ]


SLOW_TO_LOAD = {"uuid", "hashlib", "tempfile", "threading", "queue", "glob"}
APPENDING = {"quillmark_files.archive._append", "quillmark_files.package._writer"}
AUDITING = {"quillmark_files.crawl._threads", "quillmark_files.crawl._find"}


# What the command line itself needs of the standard library, whose own
# imports differ from version to version (on 3.9 argparse's help formatter
# loads shutil, and its bz2 threading; on 3.10 uuid loads platform, and its
# subprocess threading): those the command cannot keep out.
PARSER = "import argparse\nargparse.ArgumentParser().add_argument('--x')"


def loaded_by(script: str) -> set[str]:
    done = subprocess.run(
        [sys.executable, "-c", f"{script}\nimport sys\nprint('\\n'.join(sys.modules))"],
        capture_output=True,
        text=True,
        check=True,
    )
    return set(done.stdout.split())


@pytest.mark.parametrize(
    "args, unloaded, needed",
    [
        (["check", "{warc}"], SLOW_TO_LOAD | APPENDING | AUDITING, PARSER),
        (
            ["records", "{warc}", "--json"],
            SLOW_TO_LOAD - {"tempfile"} | APPENDING | AUDITING,
            PARSER,
        ),
        (
            ["manifest", "{warc}", "-o", "{out}"],
            {"uuid", "hashlib", "threading", *APPENDING},
            PARSER,
        ),
        (
            ["append", "{warc}", "{warc}", "-o", "{out}"],
            {"hashlib", "threading", *AUDITING},
            PARSER + "\nimport uuid",
        ),
    ],
)
def test_a_command_loads_only_what_it_needs(tmp_path, args, unloaded, needed):
    (tmp_path / "a.warc").write_bytes(GOOD)
    filled = [a.format(warc=tmp_path / "a.warc", out=tmp_path / "out.warc") for a in args]
    script = (
        "import sys\nfrom quillmark_cli.__main__ import main\n"
        f"status = main({filled!r})\nprint('\\n'.join(sorted(sys.modules)), file=sys.stderr)"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    loaded = set(done.stderr.split())
    assert done.returncode == 0 and "quillmark_files" in loaded
    assert not (unloaded - loaded_by(needed)) & loaded


def test_every_public_name_is_there_on_first_use():
    script = (
        "import quillmark_files as q\nfrom quillmark_files import archive, crawl, package\n"
        "for m in (q, archive, crawl, package):\n"
        "    for name in m.__all__: getattr(m, name)\n"
        "assert q.AppendResult is archive.AppendResult is q.append_to_package.__globals__"
        "['AppendResult']\n"
        "try: q.nothing\nexcept AttributeError as e: print(e)"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.stdout == "module 'quillmark_files' has no attribute 'nothing'\n", done.stderr
