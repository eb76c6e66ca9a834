"""What each run of the native pass benchmark must have left, checked before its time counts.

Every check runs untimed after its case and returns a failure text or None.
An appended archive is read back by FastWARC in a child process (bench/
read_peers.py), not by the tool that wrote it: it must hold as many records
as its input, the input's bodies less the old manifest store plus the new
one, and the new store as its last manifest record. Large files are never
read into this process, whose size every case it starts would inherit into
its peak.
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

from bench.crawl import compare
from bench.processes import ROOT, Run

Check = Callable[[Run], "str | None"]


def sha256_file(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def read_back(path: Path) -> dict:
    """Records, body bytes and last manifest store of an archive, as FastWARC reads it."""
    done = subprocess.run(
        [sys.executable, "-m", "bench.read_peers", "fastwarc", str(path)],
        capture_output=True, text=True, cwd=ROOT,
    )  # fmt: skip
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or ["no message"]
        raise ValueError(f"FastWARC cannot read it back: {lines[-1]}")
    return json.loads(done.stdout)


def _same_facts(found: dict, facts: dict) -> str | None:
    for key in ("records", "body_bytes", "manifest_sha256"):
        if found.get(key) != facts[key]:
            return f"{key} {found.get(key)}, not {facts[key]}"
    return None


def printed_facts(stdout: Path, facts: dict) -> Check:
    """The run printed the records, body bytes and manifest store the generator made."""

    def check(run: Run) -> str | None:
        try:
            found = json.loads(stdout.read_text())
        except ValueError:
            return "printed no JSON"
        return _same_facts(found, facts)

    return check


def bytes_read(stdout: Path, facts: dict) -> Check:
    def check(run: Run) -> str | None:
        printed = stdout.read_text().strip()
        wanted = str(facts["uncompressed"])
        return None if printed == wanted else f"read {printed} bytes, not {wanted}"

    return check


def copied(target: Path, source: Path) -> Check:
    def check(run: Run) -> str | None:
        if not target.exists():
            return f"{target.name} was not written"
        if target.stat().st_size != source.stat().st_size:
            return f"{target.name} is {target.stat().st_size} bytes, not {source.stat().st_size}"
        return None

    return check


def manifest_store(target: Path, facts: dict) -> Check:
    def check(run: Run) -> str | None:
        if not target.exists():
            return f"{target.name} was not written"
        found = sha256_file(target)
        return None if found == facts["manifest_sha256"] else "not the archive's manifest store"

    return check


def appended(target: Path, facts: dict, store: Path) -> Check:
    """The output holds the input's records with `store` as its one manifest."""
    new_size = store.stat().st_size
    wanted = {
        "records": facts["records"],
        "body_bytes": facts["body_bytes"] - facts["manifest_size"] + new_size,
        "manifest_sha256": sha256_file(store),
    }

    def check(run: Run) -> str | None:
        if not target.exists():
            return f"{target.name} was not written"
        try:
            found = read_back(target)
        except ValueError as exc:
            return str(exc)
        return _same_facts(found, wanted)

    return check


def calls(stdout: Path, facts: dict, kept: dict[str, dict], key: str) -> Check:
    """cProfile's counts, kept under `key` for the table, once check found every record."""

    def check(run: Run) -> str | None:
        try:
            found = json.loads(stdout.read_text())
        except ValueError:
            return "printed no JSON"
        if found.get("records") != facts["records"]:
            return f"check found {found.get('records')} records, not {facts['records']}"
        kept[key] = found
        return None

    return check


def audit_rows(report: Path, expected: list[dict]) -> Check:
    def check(run: Run) -> str | None:
        try:
            rows = [json.loads(line) for line in report.read_text().splitlines() if line.strip()]
        except (OSError, ValueError) as exc:
            return f"no readable rows: {exc}"
        if len(rows) != len(expected):
            return f"{len(rows)} rows for {len(expected)} files"
        wrong = compare(rows, expected)
        return "; ".join(wrong[:3]) if wrong else None

    return check
