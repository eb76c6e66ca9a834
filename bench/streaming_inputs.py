"""The large crawl archive of the streaming benchmark, written three ways.

    python -m bench.streaming_inputs                 # 4 GiB, as measured
    python -m bench.streaming_inputs --size-mib 64   # a small one, to try the harness

One seeded crawl (bench/crawl_records.py) of about the given uncompressed size,
manifest record last, as a plain `.warc`, as a `.warc.gz` of one gzip member
per record and as a `.warc.gz` of one single member. The files go to
bench/data/ with a stamp beside them (seed, generator, compressor, sizes, what
the manifest record holds); files whose stamp still matches are not made again.
The two compressed files are written by two processes at once.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from bench.crawl_records import COMPRESSOR, MIB, Crawl, Pools, SingleMember, gzip_member

DATA_DIR = Path(__file__).resolve().parent / "data"
SEED = 20261208
GENERATOR = 1
FULL_SIZE_MIB = 4096
# The three files of one input, by the name used in tables.
FORMS = {"plain": ".warc", "members": ".members.warc.gz", "single": ".single.warc.gz"}


def base_name(size_mib: int) -> str:
    return f"stream-{size_mib}MiB"


def paths(size_mib: int, data_dir: Path = DATA_DIR) -> dict[str, Path]:
    return {form: data_dir / (base_name(size_mib) + suffix) for form, suffix in FORMS.items()}


def stamp_path(size_mib: int, data_dir: Path = DATA_DIR) -> Path:
    return data_dir / f"{base_name(size_mib)}.json"


def _stamp(size_mib: int, seed: int) -> dict:
    return {"generator": GENERATOR, "seed": seed, "size_mib": size_mib, "compressor": COMPRESSOR}


def crawl(size_mib: int, seed: int) -> Crawl:
    return Crawl(Pools(), f"{seed}/stream", size_mib * MIB)


def _write(size_mib: int, seed: int, forms: tuple[str, ...], data_dir: Path) -> dict:
    """Writes the given forms of the input in one pass over its records."""
    target = paths(size_mib, data_dir)
    partial = {form: target[form].with_name(target[form].name + ".partial") for form in forms}
    with contextlib.ExitStack() as stack:
        outs = {form: stack.enter_context(open(partial[form], "wb")) for form in forms}
        single = SingleMember(outs["single"]) if "single" in outs else None
        source = crawl(size_mib, seed)
        uncompressed = 0
        for record in source.records():
            uncompressed += len(record)
            if "plain" in outs:
                outs["plain"].write(record)
            if "members" in outs:
                outs["members"].write(gzip_member(record))
            if single:
                single.write(record)
        if single:
            single.close()
    for form in forms:
        partial[form].replace(target[form])
    return {
        "records": source.count,
        "uncompressed": uncompressed,
        "manifest": source.manifest.__dict__,
    }


def ensure(size_mib: int = FULL_SIZE_MIB, data_dir: Path = DATA_DIR, seed: int = SEED) -> dict:
    """The stamp of the input, its files made first when missing or stale."""
    target = paths(size_mib, data_dir)
    stamp_file = stamp_path(size_mib, data_dir)
    stamp = _stamp(size_mib, seed)
    if stamp_file.exists():
        kept = json.loads(stamp_file.read_text())
        sizes = {form: path.stat().st_size for form, path in target.items() if path.exists()}
        if kept.get("stamp") == stamp and kept.get("sizes") == sizes:
            return kept
    data_dir.mkdir(parents=True, exist_ok=True)
    with ProcessPoolExecutor(2) as pool:
        jobs = [
            pool.submit(_write, size_mib, seed, forms, data_dir)
            for forms in (("plain", "members"), ("single",))
        ]
        facts = [job.result() for job in jobs]
    assert facts[0] == facts[1], "the two writers made different crawls"
    sizes = {form: path.stat().st_size for form, path in target.items()}
    kept = {"stamp": stamp, "sizes": sizes, **facts[0]}
    stamp_file.write_text(json.dumps(kept, indent=1))
    return kept


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=FULL_SIZE_MIB)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    args = parser.parse_args(argv)
    kept = ensure(args.size_mib, args.data_dir)
    for form, path in paths(args.size_mib, args.data_dir).items():
        print(f"{form}: {path} ({kept['sizes'][form] / MIB:,.1f} MiB)")
    print(f"{kept['records']:,} records, manifest store of {kept['manifest']['size']:,} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
