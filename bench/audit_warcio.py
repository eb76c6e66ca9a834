"""A crawl audit as a warcio user writes it: every record, the last manifest kept.

python -m bench.audit_warcio DIR --jobs 2 -o rows.jsonl
"""

from __future__ import annotations

import gzip
import hashlib
import sys

from warcio.archiveiterator import ArchiveIterator
from warcio.exceptions import ArchiveLoadFailed

from bench.audit_script import main, row


def audit_file(path: str) -> dict:
    try:
        return _audit(path, open)
    except ArchiveLoadFailed as exc:
        if "non-chunked gzip" not in str(exc):
            raise
    # warcio reads only gzip files of one member per record; it reads others
    # once they are decompressed by the gzip module.
    return _audit(path, gzip.open)


def _audit(path: str, opener) -> dict:
    result = row(path)
    manifest = None
    try:
        with opener(path, "rb") as stream:
            for record in ArchiveIterator(stream):
                result["records"] += 1
                if record.rec_type == "c2paprovenance":
                    result["manifest_records"] += 1
                    manifest = record.content_stream().read()
    except ArchiveLoadFailed as exc:
        if "non-chunked gzip" in str(exc):
            raise
        result["error"] = f"{type(exc).__name__}: {' '.join(str(exc).split())}"
    except Exception as exc:  # a broken file is reported, not fatal
        result["error"] = f"{type(exc).__name__}: {exc}"
    if manifest is not None:
        result["manifest_size"] = len(manifest)
        result["manifest_sha256"] = hashlib.sha256(manifest).hexdigest()
    return result


if __name__ == "__main__":
    sys.exit(main(audit_file, __doc__.splitlines()[0]))
