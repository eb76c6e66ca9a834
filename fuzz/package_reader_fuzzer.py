"""Fuzzes the package reader with atheris: the bytes are written to a file
and opened as a WACZ package (its ZIP end records, central directory, local
headers and data descriptors, datapackage.json and datapackage-digest.json),
then each WARC it finds is checked, against its CRC-32, size and hash too.

Only ArchiveError (PackageError and what reading a WARC raises) and OSError
may come out; any other exception is a finding. A package that opens must
name its WARCs inside the file, and a failure must be one line.

Run: python fuzz/package_reader_fuzzer.py CORPUS_DIR... -max_total_time=N
(the seeds are fuzz/corpus/package/, packages made by py-wacz).
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile

import atheris
import quillmark_files
from quillmark_files import ArchiveError, Package

# Coverage of every Python function loaded: the package reader's modules among them.
atheris.instrument_all()

_FOLDER = tempfile.mkdtemp(prefix="qm-package-fuzz-")
_PATH = os.path.join(_FOLDER, "fuzzed.wacz")
atexit.register(shutil.rmtree, _FOLDER, True)


def _one_line(error: BaseException) -> None:
    if "\n" in str(error) or "\r" in str(error):
        raise AssertionError(f"a message of more than one line: {error!r}")


def test_one_input(data: bytes) -> None:
    with open(_PATH, "wb") as out:
        out.write(data)
    try:
        with Package(_PATH) as package:
            for warc in package.warcs:
                if not (warc.offset >= 0 and warc.offset + warc.size <= len(data)):
                    raise AssertionError(f"{warc} lies outside the file")
                try:
                    quillmark_files.check(package, warc=warc.name, threads=1)
                except ArchiveError as error:
                    _one_line(error)
    except (ArchiveError, OSError) as error:
        _one_line(error)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
