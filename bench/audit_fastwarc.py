"""A crawl audit as a FastWARC user writes it: every record, the last manifest kept.

python -m bench.audit_fastwarc DIR --jobs 2 -o rows.jsonl
"""

from __future__ import annotations

import hashlib
import sys

from fastwarc.warc import ArchiveIterator

from bench.audit_script import main, row


def audit_file(path: str) -> dict:
    result = row(path)
    manifest = None
    try:
        for record in ArchiveIterator(path, parse_http=False):
            result["records"] += 1
            if record.headers.get("WARC-Type") == "c2paprovenance":
                result["manifest_records"] += 1
                manifest = record.reader.read()
    except Exception as exc:  # a broken file is reported, not fatal
        result["error"] = f"{type(exc).__name__}: {exc}"
    if manifest is not None:
        result["manifest_size"] = len(manifest)
        result["manifest_sha256"] = hashlib.sha256(manifest).hexdigest()
    return result


if __name__ == "__main__":
    sys.exit(main(audit_file, __doc__.splitlines()[0]))
