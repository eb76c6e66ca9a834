"""The many-file crawl of the audit benchmark: 200 seeded archives, a few broken.

    python -m bench.crawl_inputs                    # 200 files, about 3 GiB uncompressed
    python -m bench.crawl_inputs --total-mib 64     # the same mix, small

Sizes are spread log-uniformly (1 to 64 MiB uncompressed at full scale) and
scaled to the total. About two files in five are plain `.warc`, the others
`.warc.gz`, mostly one gzip member per record and some single-member. Most
end with one manifest record, some have none and a few have two (one halfway,
one last). Eight are malformed, two of each fault:

- truncated-member: the file ends inside its last gzip member;
- body-past-end: the last record is cut inside its body (plain, and inside a
  whole gzip member);
- trailing-garbage: bytes that are no record (plain) or no gzip member follow
  the last one;
- corrupt-deflate: a gzip member in the middle of the file whose first deflate
  block has the reserved block type, and a single member with 16 bytes in the
  middle of its deflate stream inverted (which breaks its codes or its CRC).

Files go to bench/data/crawl-<total>MiB/ and a stamp beside it lists, per
file, what a correct audit reports: records, manifest records, the last
manifest store's size and SHA-256, or which fault it has. A corpus whose
stamp and file sizes still match is not made again.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
from concurrent.futures import ProcessPoolExecutor
from dataclasses import asdict, dataclass
from pathlib import Path

from bench.crawl_records import COMPRESSOR, GZIP_HEADER, KIB, MIB, Crawl, Pools, gzip_member

DATA_DIR = Path(__file__).resolve().parent / "data"
SEED = 20261209
GENERATOR = 1
FILES = 200
TOTAL_MIB = 3072
FAULTS = {
    "truncated-member": ("members", "members"),
    "body-past-end": ("plain", "members"),
    "trailing-garbage": ("plain", "members"),
    "corrupt-deflate": ("members", "single"),
}
GARBAGE = b"<html><body><h1>503 Service Unavailable</h1></body></html>\n"


@dataclass(frozen=True)
class FileSpec:
    index: int
    form: str  # plain, members (one gzip member per record) or single (one gzip member)
    size: int  # uncompressed bytes of records to make, about
    manifests: int
    fault: str | None

    @property
    def name(self) -> str:
        return f"crawl-{self.index:03d}.warc" + ("" if self.form == "plain" else ".gz")


def plan(files: int = FILES, total_mib: int = TOTAL_MIB, seed: int = SEED) -> list[FileSpec]:
    rng = random.Random(f"{seed}/crawl-plan")
    weights = [math.exp(rng.uniform(0, math.log(64))) for _ in range(files)]
    scale = total_mib * MIB / sum(weights)
    forms = rng.choices(("plain", "members", "single"), weights=(40, 45, 15), k=files)
    manifests = rng.choices((1, 0, 2), weights=(84, 11, 5), k=files)
    faults: dict[int, str] = {}
    slots = rng.sample(range(files), 2 * len(FAULTS))
    for i, (fault, fault_forms) in enumerate(FAULTS.items()):
        for slot, form in zip(slots[2 * i : 2 * i + 2], fault_forms):
            faults[slot] = fault
            forms[slot] = form
            manifests[slot] = 1
    return [
        FileSpec(i, forms[i], max(16 * KIB, int(weights[i] * scale)), manifests[i], faults.get(i))
        for i in range(files)
    ]


def _corrupt(member: bytes, form: str) -> bytes:
    at = len(GZIP_HEADER)
    if form == "members":
        # Bits 1 and 2 of a block's first byte are its type; 3 is reserved.
        return member[:at] + bytes([member[at] | 0b110]) + member[at + 1 :]
    at += (len(member) - at) // 2
    return member[:at] + bytes(b ^ 0xFF for b in member[at : at + 16]) + member[at + 16 :]


def _make(spec: FileSpec, seed: int) -> tuple[list[bytes], Crawl]:
    """The chunks of the file (records, or gzip members), its fault applied."""
    crawl = Crawl(
        _pools(),
        f"{seed}/crawl/{spec.index}",
        spec.size,
        body_max=min(8 * MIB, max(4 * KIB, spec.size // 4)),
        manifests=spec.manifests,
    )
    records = list(crawl.records())
    if spec.fault == "body-past-end":
        records[-1] = records[-1][: len(records[-1]) // 2]
    if spec.form == "plain":
        chunks = records
    elif spec.form == "members":
        chunks = [gzip_member(r) for r in records]
    else:
        chunks = [gzip_member(b"".join(records))]
    if spec.fault == "trailing-garbage":
        chunks.append(GARBAGE)
    elif spec.fault == "truncated-member":
        chunks[-1] = chunks[-1][: len(chunks[-1]) // 2]
    elif spec.fault == "corrupt-deflate":
        half = len(chunks) // 2
        middle = next((i for i in range(half, len(chunks)) if len(chunks[i]) > 256), half)
        chunks[middle] = _corrupt(chunks[middle], spec.form)
    return chunks, crawl


_POOLS: list[Pools] = []


def _pools() -> Pools:
    if not _POOLS:
        _POOLS.append(Pools())
    return _POOLS[0]


def _write(spec: FileSpec, seed: int, directory: Path) -> dict:
    chunks, crawl = _make(spec, seed)
    path = directory / spec.name
    partial = path.with_name(path.name + ".partial")
    with open(partial, "wb") as out:
        for chunk in chunks:
            out.write(chunk)
    partial.replace(path)
    expected = {**asdict(spec), "name": spec.name, "disk_size": path.stat().st_size}
    if spec.fault is None:
        expected.update(
            records=crawl.count,
            manifest_size=crawl.manifest.size if crawl.manifest else None,
            manifest_sha256=crawl.manifest.sha256 if crawl.manifest else None,
        )
    return expected


def directory(total_mib: int, data_dir: Path = DATA_DIR) -> Path:
    return data_dir / f"crawl-{total_mib}MiB"


def ensure(
    files: int = FILES,
    total_mib: int = TOTAL_MIB,
    data_dir: Path = DATA_DIR,
    seed: int = SEED,
    jobs: int = 2,
) -> dict:
    """The stamp of the corpus, its files made first when missing or stale."""
    folder = directory(total_mib, data_dir)
    stamp_file = folder.with_suffix(".json")
    stamp = {
        "generator": GENERATOR,
        "seed": seed,
        "files": files,
        "total_mib": total_mib,
        "compressor": COMPRESSOR,
    }
    if stamp_file.exists():
        kept = json.loads(stamp_file.read_text())
        if kept.get("stamp") == stamp and all(
            (folder / f["name"]).exists() and (folder / f["name"]).stat().st_size == f["disk_size"]
            for f in kept["files"]
        ):
            return kept
    folder.mkdir(parents=True, exist_ok=True)
    specs = plan(files, total_mib, seed)
    with ProcessPoolExecutor(jobs) as pool:
        expected = list(pool.map(_write, specs, [seed] * files, [folder] * files))
    kept = {"stamp": stamp, "files": expected}
    stamp_file.write_text(json.dumps(kept, indent=1))
    return kept


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=FILES)
    parser.add_argument("--total-mib", type=int, default=TOTAL_MIB)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument("--jobs", type=int, default=2, help="processes writing files")
    args = parser.parse_args(argv)
    kept = ensure(args.files, args.total_mib, args.data_dir, jobs=args.jobs)
    files = kept["files"]
    disk = sum(f["disk_size"] for f in files)
    forms = {form: sum(f["form"] == form for f in files) for form in ("plain", "members", "single")}
    print(
        f"{directory(args.total_mib, args.data_dir)}: {len(files)} files, {disk / MIB:,.1f} MiB "
        f"on disk; {forms}; {sum(bool(f['fault']) for f in files)} malformed"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
