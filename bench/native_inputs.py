"""The inputs of the native pass benchmark: a crawl-shaped file, tiny records, a crawl folder.

    python -m bench.native_inputs            # full size, about 4 minutes on 2 cores
    python -m bench.native_inputs --quick    # small files, to try the harness

- crawl: one seeded crawl (bench/crawl_records.py) with response payloads
  spread lognormally around 20 KB, a warcinfo record first and a manifest
  record last, as a plain `.warc` and as a `.warc.gz` of one gzip member per
  record (zlib level 6, as crawlers write);
- tiny: records of about 100-byte bodies, manifest record last, in the same
  two forms;
- audit: a folder of smaller crawl-shaped `.warc.gz` files from the same
  generator, each with its own seed.

Files go to bench/data/native-<scale>/ with a stamp beside the folder (seed,
generator, sizes, compressor, and per file what a correct reader finds:
records, body bytes, the manifest store's size and SHA-256). Files whose
stamp still matches are not made again. Two processes write them.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import random
import sys
from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor
from dataclasses import asdict, dataclass
from pathlib import Path

from bench.crawl_records import (
    COMPRESSOR,
    KIB,
    MIB,
    Crawl,
    Manifest,
    Pools,
    _date,
    _record,
    _uuid,
    gzip_member,
    manifest_record,
)

DATA_DIR = Path(__file__).resolve().parent / "data"
SEED = 20261218
GENERATOR = 1
BODY_MEDIAN = 20_000
TINY_BODY = (60, 140)  # bytes, uniform: about 100
FORMS = {"plain": ".warc", "gzip": ".warc.gz"}


@dataclass(frozen=True)
class Scale:
    crawl_mib: int  # uncompressed; zlib level 6 makes about 0.42 of it
    tiny_records: int
    audit_files: int
    audit_mib: int  # uncompressed, per file


SCALES = {
    "full": Scale(crawl_mib=768, tiny_records=400_000, audit_files=12, audit_mib=112),
    "quick": Scale(crawl_mib=24, tiny_records=20_000, audit_files=4, audit_mib=6),
}


def folder(scale: str, data_dir: Path = DATA_DIR) -> Path:
    return data_dir / f"native-{scale}"


def paths(scale: str, data_dir: Path = DATA_DIR) -> dict[str, dict[str, Path]]:
    """The files of the two single-file inputs, by input and form."""
    base = folder(scale, data_dir)
    return {
        name: {form: base / (name + suffix) for form, suffix in FORMS.items()}
        for name in ("crawl", "tiny")
    }


def audit_folder(scale: str, data_dir: Path = DATA_DIR) -> Path:
    return folder(scale, data_dir) / "audit"


def body_size(record: bytes) -> int:
    """The block length of a record made here: what follows the blank line, less the separator."""
    return len(record) - record.index(b"\r\n\r\n") - 8


def tiny_records(seed: str, count: int) -> Iterator[tuple[bytes, Manifest | None]]:
    """`count` small resource records, then a manifest record (given with its facts)."""
    rng = random.Random(seed)
    epoch = rng.randrange(300 * 86400)
    words = [f"{rng.getrandbits(24):x}" for _ in range(512)]
    for i in range(count):
        size = rng.randint(*TINY_BODY)
        text = " ".join(rng.choices(words, k=size // 4 + 1)).encode()[:size]
        yield (
            _record(
                [
                    ("WARC-Type", "resource"),
                    ("WARC-Record-ID", f"<{_uuid(rng)}>"),
                    ("WARC-Date", _date(epoch + i // 50)),
                    ("WARC-Target-URI", f"urn:example:status/{i}"),
                    ("Content-Type", "text/plain"),
                ],
                text,
            ),
            None,
        )
    body = rng.randbytes(rng.randint(8 * KIB, 96 * KIB))
    yield manifest_record(rng, body, epoch), Manifest(len(body), hashlib.sha256(body).hexdigest())


def _crawl_records(seed: str, size: int) -> Iterator[tuple[bytes, Manifest | None]]:
    crawl = Crawl(Pools(), seed, size, body_median=BODY_MEDIAN)
    for record in crawl.records():
        yield record, crawl.manifest  # set once the manifest record, the last, is made


def _write(records: Iterator[tuple[bytes, Manifest | None]], targets: dict) -> dict:
    """Writes the records to each target form in one pass; what a reader must find."""
    partial = {form: path.with_name(path.name + ".partial") for form, path in targets.items()}
    count = uncompressed = bodies = 0
    manifest = None
    with contextlib.ExitStack() as stack:
        outs = {form: stack.enter_context(open(path, "wb")) for form, path in partial.items()}
        for record, facts in records:
            count += 1
            uncompressed += len(record)
            bodies += body_size(record)
            manifest = facts or manifest
            if "plain" in outs:
                outs["plain"].write(record)
            if "gzip" in outs:
                outs["gzip"].write(gzip_member(record))
    for form, path in targets.items():
        partial[form].replace(path)
    assert manifest is not None, "no manifest record was made"
    return {
        "records": count,
        "uncompressed": uncompressed,
        "body_bytes": bodies,
        "manifest_size": manifest.size,
        "manifest_sha256": manifest.sha256,
        "sizes": {form: path.stat().st_size for form, path in targets.items()},
    }


def _make(job: tuple[str, str, int, dict]) -> tuple[str, dict]:
    kind, seed, amount, targets = job
    if kind == "tiny":
        return kind, _write(tiny_records(seed, amount), targets)
    return kind, _write(_crawl_records(seed, amount * MIB), targets)


def _stamp(scale: str, seed: int) -> dict:
    return {
        "generator": GENERATOR,
        "seed": seed,
        "scale": scale,
        **asdict(SCALES[scale]),
        "body_median": BODY_MEDIAN,
        "compressor": COMPRESSOR,
    }


def _jobs(scale: str, seed: int, data_dir: Path) -> list[tuple[str, str, int, dict]]:
    sizes = SCALES[scale]
    files = paths(scale, data_dir)
    jobs = [
        ("crawl", f"{seed}/crawl", sizes.crawl_mib, files["crawl"]),
        ("tiny", f"{seed}/tiny", sizes.tiny_records, files["tiny"]),
    ]
    audit = audit_folder(scale, data_dir)
    for i in range(sizes.audit_files):
        target = {"gzip": audit / f"crawl-{i:02d}.warc.gz"}
        jobs.append((f"audit/{target['gzip'].name}", f"{seed}/audit/{i}", sizes.audit_mib, target))
    return jobs


def _matches(kept: dict, jobs: list[tuple[str, str, int, dict]]) -> bool:
    for name, _, _, targets in jobs:
        facts = kept["files"].get(name)
        if facts is None:
            return False
        for form, path in targets.items():
            if not path.exists() or path.stat().st_size != facts["sizes"][form]:
                return False
    return True


def ensure(scale: str = "full", data_dir: Path = DATA_DIR, seed: int = SEED) -> dict:
    """The stamp of the inputs, their files made first when missing or stale."""
    stamp_file = folder(scale, data_dir).with_suffix(".json")
    stamp = _stamp(scale, seed)
    jobs = _jobs(scale, seed, data_dir)
    if stamp_file.exists():
        kept = json.loads(stamp_file.read_text())
        if kept.get("stamp") == stamp and _matches(kept, jobs):
            return kept
    audit_folder(scale, data_dir).mkdir(parents=True, exist_ok=True)
    with ProcessPoolExecutor(2) as pool:
        files = dict(pool.map(_make, jobs))
    kept = {"stamp": stamp, "files": {name: files[name] for name in sorted(files)}}
    stamp_file.write_text(json.dumps(kept, indent=1))
    return kept


def audit_expected(kept: dict) -> list[dict]:
    """The audit folder's files as bench.crawl.compare wants them."""
    return [
        {
            "name": name.removeprefix("audit/"),
            "fault": None,
            "records": facts["records"],
            "manifests": 1,
            "manifest_size": facts["manifest_size"],
            "manifest_sha256": facts["manifest_sha256"],
            "disk_size": facts["sizes"]["gzip"],
        }
        for name, facts in kept["files"].items()
        if name.startswith("audit/")
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the small scale")
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    args = parser.parse_args(argv)
    scale = "quick" if args.quick else "full"
    kept = ensure(scale, args.data_dir)
    for name, facts in kept["files"].items():
        sizes = ", ".join(f"{form} {size / MIB:,.1f} MiB" for form, size in facts["sizes"].items())
        print(f"{name}: {facts['records']:,} records; {sizes}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
